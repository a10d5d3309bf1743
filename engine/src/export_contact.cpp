// One contact item to one record of the store.
#include <new>

#include "contacts/contact_store.h"
#include "engine/contact_extraction.h"
#include "engine/export_handle.h"
#include "engine/scan_events.h"
#include "extraction_state.h"
#include "group_scan.h"

namespace engine {

pst::Status export_handle_export_contact(export_handle_t* handle, PstItem* item, int kind_code)
{
    if (!handle->extraction) {
        handle->extraction.reset(new (std::nothrow) ExtractionState());
        if (!handle->extraction) {
            return pst::Status::failure("");
        }
    }
    if (handle->store == nullptr) {
        const PropertyList* properties = nullptr;
        return item->properties(&properties);
    }
    contacts::ContactStore& store = *handle->store;
    contacts::ContactDraft& draft = handle->extraction->draft;
    if (pst::Status read = read_contact(*item, handle->extraction->reader, draft, kind_code, handle->fallback_codepage);
        !read) {
        return read;
    }
    if (handle->place == contacts::kNoPlace && handle->source_file != contacts::kUnknownFile) {
        handle->place = store.sources().add_place(handle->source_file, handle->folder);
    }
    draft.set_place(handle->place);
    draft.set_node_id(item->node_id());
    contacts::ContactRecordPtr record = build_contact(store, draft);
    if (!record) {
        return pst::Status::failure("");
    }
    if (handle->listener != nullptr) {
        handle->listener->contact_added(*record);
    }
    if (handle->groups != nullptr) {
        handle->groups->contact_added(item->node_id(), record.get()); // the store keeps the record where it is
    }
    contacts::contact_store_append(store, std::move(record));
    return pst::Status::success();
}

} // namespace engine
