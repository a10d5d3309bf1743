// Recipient rows through our own reader: the cells of the address columns of each row.
#include "recipient_rows.h"

#include "pst/messaging.h"

namespace engine {

int read_recipient_rows(pst::read::File& file, const pst::read::Node& message, RecipientRows* out, std::string* why)
{
    out->rows.clear();
    out->unreadable = 0;
    pst::read::Table table;
    const int found = pst::read::open_recipient_table(file, message, &table, why);
    if (found != 1) {
        return found;
    }
    std::vector<uint8_t> bytes;
    std::string unread; // a row that cannot be read is left out, not a failure of the table
    for (size_t r = 0; r < table.row_count(); ++r) {
        PropertyList row;
        bool readable = true;
        for (const uint32_t id : kRecipientAddressTags) {
            for (const uint16_t type : {kTypeString8, kTypeUnicode}) {
                const int got = table.cell(r, id << 16 | type, &bytes, &unread);
                readable = readable && got >= 0;
                if (got == 1 && bytes.size() <= kMaxRecipientValue) {
                    row.add(id, type, bytes.data(), bytes.size());
                }
            }
        }
        if (readable) {
            out->rows.push_back(std::move(row));
        } else {
            ++out->unreadable;
        }
    }
    return 1;
}

} // namespace engine
