// One contact item to one record of the store.
#include <new>

#include "contacts/contact_store.h"
#include "engine/contact_extraction.h"
#include "engine/export_handle.h"
#include "engine/scan_observer.h"
#include "extraction_state.h"

namespace engine {

int export_handle_export_contact(export_handle_t* handle, PstItem* item, int /*item_index*/,
                                 const char16_t* export_path, size_t /*export_path_size*/, uint8_t /*export_format*/,
                                 log_handle_t* /*log_handle*/, int kind_code, Error* error)
{
    constexpr const char* kFunction = "export_handle_export_contact";
    if (handle == nullptr || item == nullptr || export_path == nullptr) {
        error_set(error, kFunction, "missing argument");
        return -1;
    }
    if (!handle->extraction) {
        handle->extraction.reset(new (std::nothrow) ExtractionState());
        if (!handle->extraction) {
            error_set(error, kFunction, "out of memory");
            return -1;
        }
    }
    if (handle->store == nullptr) {
        const PropertyList* properties = nullptr;
        return item->properties(&properties) == 1 ? 1 : -1;
    }
    contacts::ContactStore& store = *handle->store;
    contacts::ContactRecordPtr record = extract_contact(
        *item, store, handle->extraction->reader, handle->extraction->draft, kind_code, handle->fallback_codepage);
    if (!record) {
        error_set(error, kFunction, "unable to read the contact's values");
        return -1;
    }
    if (handle->observer != nullptr) {
        handle->observer->contact_found(*record);
    }
    contacts::contact_store_append(store, std::move(record));
    return 1;
}

} // namespace engine
