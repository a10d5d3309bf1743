#include "pff.h"

namespace engine::pff {

void ErrorSlot::clear()
{
    if (m_error != nullptr) {
        libpff_error_free(&m_error);
        m_error = nullptr;
    }
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
