// Recipient rows through our own reader: the cells of the address columns of each row.
#include "recipient_rows.h"

#include "pst/messaging.h"

namespace engine {

pst::Status read_recipient_rows(pst::read::File& file, const pst::read::Node& message, RecipientRows* out)
{
    out->rows.clear();
    out->unreadable = 0;
    pst::read::Table table;
    if (pst::Status found = pst::read::open_recipient_table(file, message, &table); !found.found()) {
        return found;
    }
    std::vector<uint8_t> bytes;
    // A row that cannot be read is left out and counted, not a failure of the table.
    for (size_t r = 0; r < table.row_count(); ++r) {
        PropertyList row;
        bool readable = true;
        for (const uint32_t id : kRecipientAddressTags) {
            for (const uint16_t type : {type_code(PropType::String8), type_code(PropType::Unicode)}) {
                const pst::Status got = table.cell(r, id << 16 | type, &bytes);
                readable = readable && got.ok;
                if (got.found() && bytes.size() <= kMaxRecipientValue) {
                    row.add(id, type, bytes.data(), bytes.size());
                }
            }
        }
        out->add(std::move(row), readable);
    }
    return pst::Status::success();
}

} // namespace engine
