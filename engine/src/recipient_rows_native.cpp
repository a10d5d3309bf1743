// Recipient rows through our own reader: the cells of the address columns of each row.
#include "recipient_rows.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "pst/messaging.h"

namespace engine {

pst::Status read_recipient_rows(pst::read::File& file, const pst::read::Node& message, pst::read::Table& table,
                                RecipientRows* out)
{
    out->clear();
    if (pst::Status found = pst::read::open_recipient_table(file, message, &table); !found.found()) {
        return found;
    }
    // The address columns the table has, in the order of kRecipientAddressTags, each tag's 8-bit
    // column before its Unicode one (most tables have one of the two only), and of a tag the
    // first column, as cell() takes. One pass over the columns: a table is opened for every
    // message's recipients.
    constexpr size_t kSlots = std::size(kRecipientAddressTags) * 2;
    size_t first[kSlots];
    std::fill(std::begin(first), std::end(first), SIZE_MAX);
    const auto& all = table.columns();
    for (size_t c = 0; c < all.size(); ++c) {
        const uint16_t type = static_cast<uint16_t>(all[c].tag);
        const size_t unicode = type == type_code(PropType::Unicode) ? 1 : 0;
        if (!unicode && type != type_code(PropType::String8)) {
            continue;
        }
        for (size_t k = 0; k < std::size(kRecipientAddressTags); ++k) {
            if (kRecipientAddressTags[k] == all[c].tag >> 16) {
                first[2 * k + unicode] = std::min(first[2 * k + unicode], c);
                break;
            }
        }
    }
    uint32_t tags[kSlots];
    size_t columns[kSlots];
    size_t tag_count = 0;
    for (size_t slot = 0; slot < kSlots; ++slot) {
        if (first[slot] != SIZE_MAX) {
            tags[tag_count] = all[first[slot]].tag;
            columns[tag_count++] = first[slot];
        }
    }
    std::optional<std::span<const uint8_t>> cells[kSlots];
    // A row that cannot be read is left out and counted, not a failure of the table.
    for (size_t r = 0; r < table.row_count(); ++r) {
        PropertyList& row = out->next_row();
        const bool readable = table.row_cells(r, {columns, tag_count}, cells, out->cells).ok;
        for (size_t t = 0; t < tag_count && readable; ++t) {
            if (cells[t] && cells[t]->size() <= kMaxRecipientValue) {
                row.add(tags[t] >> 16, static_cast<uint16_t>(tags[t]), cells[t]->data(), cells[t]->size());
            }
        }
        out->keep_row(readable);
    }
    return pst::Status::success();
}

} // namespace engine
