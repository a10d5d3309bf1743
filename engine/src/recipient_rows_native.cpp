// Recipient rows through our own reader: the cells of the address columns of each row.
#include "recipient_rows.h"

#include <algorithm>
#include <iterator>

#include "pst/messaging.h"

namespace engine {

pst::Status read_recipient_rows(pst::read::File& file, const pst::read::Node& message, pst::read::Table& table,
                                RecipientRows* out)
{
    out->clear();
    if (pst::Status found = pst::read::open_recipient_table(file, message, &table); !found.found()) {
        return found;
    }
    // The address columns the table has, in the order the rows list them: most tables have
    // each column in one of its two text types only.
    uint32_t tags[std::size(kRecipientAddressTags) * 2];
    size_t tag_count = 0;
    for (const uint32_t id : kRecipientAddressTags) {
        for (const uint16_t type : {type_code(PropType::String8), type_code(PropType::Unicode)}) {
            const uint32_t tag = id << 16 | type;
            const auto& columns = table.columns();
            if (std::any_of(columns.begin(), columns.end(), [tag](const auto& c) { return c.tag == tag; })) {
                tags[tag_count++] = tag;
            }
        }
    }
    std::vector<uint8_t>& bytes = out->cell;
    // A row that cannot be read is left out and counted, not a failure of the table.
    for (size_t r = 0; r < table.row_count(); ++r) {
        PropertyList& row = out->next_row();
        bool readable = table.read_row(r).ok;
        for (size_t t = 0; t < tag_count && readable; ++t) {
            const pst::Status got = table.cell(r, tags[t], &bytes);
            readable = got.ok;
            if (got.found() && bytes.size() <= kMaxRecipientValue) {
                row.add(tags[t] >> 16, static_cast<uint16_t>(tags[t]), bytes.data(), bytes.size());
            }
        }
        out->keep_row(readable);
    }
    return pst::Status::success();
}

} // namespace engine
