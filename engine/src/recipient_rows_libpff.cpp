// Recipient rows through libpff: its recipients item holds one record set per row.
#include "pff.h"
#include "recipient_rows.h"

namespace engine {

pst::Status read_recipient_rows(libpff_item_t* message, RecipientRows* out)
{
    // libpff's texts are never passed on: its failures carry no account.
    const auto failed = [] { return pst::Status::failure(""); };
    out->clear();
    pff::ErrorSlot error;
    pff::Item recipients;
    const int found = libpff_message_get_recipients(message, recipients.out(), error.out());
    if (found != 1 || !recipients) {
        return found < 0 ? failed() : pst::Status::none();
    }
    int count = 0;
    if (libpff_item_get_number_of_record_sets(recipients.get(), &count, error.out()) != 1) {
        return failed();
    }
    std::vector<uint8_t>& bytes = out->cell;
    for (int i = 0; i < count; ++i) {
        pff::RecordSet set;
        if (libpff_item_get_record_set_by_index(recipients.get(), i, set.out(), error.out()) != 1 || !set) {
            ++out->unreadable;
            continue;
        }
        PropertyList& row = out->next_row();
        bool readable = true;
        for (const uint32_t id : kRecipientAddressTags) {
            pff::RecordEntry entry;
            uint32_t type = 0;
            const int got = pff::record_entry_by_type(set.get(), id, 0, &entry);
            if (got == 1 && libpff_record_entry_get_value_type(entry.get(), &type, error.out()) != 1) {
                readable = false;
            } else if (got == 1 && (type == type_code(PropType::String8) || type == type_code(PropType::Unicode)) &&
                       pff::record_entry_bytes(entry.get(), kMaxRecipientValue, &bytes)) {
                row.add(id, static_cast<uint16_t>(type), bytes.data(), bytes.size());
            }
            readable = readable && got >= 0;
        }
        out->keep_row(readable);
    }
    return pst::Status::success();
}

} // namespace engine
