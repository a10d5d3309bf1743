#include "pff.h"

namespace engine::pff {

void ErrorSlot::clear()
{
    if (m_error != nullptr) {
        libpff_error_free(&m_error);
        m_error = nullptr;
    }
}

int record_entry_by_type(libpff_record_set_t* set, uint32_t entry_type, uint32_t value_type, RecordEntry* out)
{
    ErrorSlot error;
    const uint8_t flags = LIBPFF_ENTRY_VALUE_FLAG_IGNORE_NAME_TO_ID_MAP |
                          (value_type == 0 ? LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE : 0);
    const int found = libpff_record_set_get_entry_by_type(set, entry_type, value_type, out->out(), flags, error.out());
    return found == 1 && !*out ? -1 : found;
}

bool record_entry_bytes(libpff_record_entry_t* entry, size_t max_size, std::vector<uint8_t>* out)
{
    ErrorSlot error;
    size_t size = 0;
    if (libpff_record_entry_get_data_size(entry, &size, error.out()) != 1 || size > max_size) {
        return false;
    }
    out->assign(size, 0);
    return size == 0 || libpff_record_entry_get_data(entry, out->data(), size, error.out()) == 1;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

int item_entry_utf8_string_size(libpff_item_t* item, uint32_t entry_type, size_t* size)
{
    ErrorSlot error;
    return libpff_item_get_entry_value_utf8_string_size(item, 0, entry_type, size, 0, error.out());
}

int item_entry_utf8_string(libpff_item_t* item, uint32_t entry_type, uint8_t* buffer, size_t size)
{
    ErrorSlot error;
    return libpff_item_get_entry_value_utf8_string(item, 0, entry_type, buffer, size, 0, error.out());
}

#pragma GCC diagnostic pop

} // namespace engine::pff
