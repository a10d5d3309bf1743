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
    // each column in one of its two text types only. The first column of a tag, as cell() takes.
    uint32_t tags[std::size(kRecipientAddressTags) * 2];
    size_t columns[std::size(kRecipientAddressTags) * 2];
    size_t tag_count = 0;
    const auto& all = table.columns();
    for (const uint32_t id : kRecipientAddressTags) {
        for (const uint16_t type : {type_code(PropType::String8), type_code(PropType::Unicode)}) {
            const uint32_t tag = id << 16 | type;
            const auto c =
                std::find_if(all.begin(), all.end(), [tag](const auto& column) { return column.tag == tag; });
            if (c != all.end()) {
                tags[tag_count] = tag;
                columns[tag_count++] = static_cast<size_t>(c - all.begin());
            }
        }
    }
    std::span<const uint8_t> bytes;
    // A row that cannot be read is left out and counted, not a failure of the table.
    for (size_t r = 0; r < table.row_count(); ++r) {
        PropertyList& row = out->next_row();
        bool readable = table.read_row(r).ok;
        for (size_t t = 0; t < tag_count && readable; ++t) {
            const pst::Status got = table.cell_at(r, columns[t], &bytes, &out->cell);
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
