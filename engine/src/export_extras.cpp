// The contacts beyond the live folders into the store, after the live ones: orphans first, then
// deleted contacts found in free space, each marked by its origin. A contact whose values equal
// one already in the store (a live one, or an earlier copy found in free space) is left out: a
// deleted item is often an older copy of a contact that is still there.
#include <new>
#include <unordered_map>

#include "contacts/contact_store.h"
#include "engine/contact_extraction.h"
#include "engine/export_handle.h"
#include "engine/pause_gate.h"
#include "engine/scan_events.h"
#include "extraction_state.h"

namespace engine {

namespace {

using contacts::ContactRecord;
using contacts::Field;

// The fields whose values come from the file (the record supplies its constants itself).
bool from_file(const contacts::FieldInfo& info)
{
    return info.type == contacts::FieldType::Text;
}

// A contact's values as compared here: every text from the file (present or absent) and the
// gender.
template <typename Contact> uint64_t content_hash(const Contact& c)
{
    uint64_t h = 0xcbf29ce484222325ull; // FNV-1a
    const auto mix = [&h](uint64_t v) {
        h ^= v;
        h *= 0x100000001b3ull;
    };
    for (const auto& info : contacts::kFieldTable) {
        if (!from_file(info)) {
            continue;
        }
        const std::optional<std::u16string_view> text = c.text(info.field);
        mix(text ? text->size() + 1 : 0);
        if (text) {
            for (const char16_t unit : *text) {
                mix(unit);
            }
        }
    }
    mix(static_cast<uint16_t>(c.gender()));
    return h;
}

template <typename Contact> bool same_content(const Contact& c, const ContactRecord& r)
{
    if (c.gender() != r.gender()) {
        return false;
    }
    for (const auto& info : contacts::kFieldTable) {
        if (from_file(info) && c.text(info.field) != r.text(info.field)) {
            return false;
        }
    }
    return true;
}

// The store's records by their values, built on first use (a file with no extra contacts pays
// nothing for it).
class ContentIndex
{
public:
    explicit ContentIndex(const contacts::ContactStore& store) : m_store(store) {}

    bool contains(const contacts::ContactDraft& draft)
    {
        if (!m_built) {
            for (const ContactRecord* r = m_store.first(); r != nullptr; r = r->next()) {
                add(*r);
            }
            m_built = true;
        }
        const auto [begin, end] = m_records.equal_range(content_hash(draft));
        for (auto it = begin; it != end; ++it) {
            if (same_content(draft, *it->second)) {
                return true;
            }
        }
        return false;
    }
    void add(const ContactRecord& r) { m_records.emplace(content_hash(r), &r); }

private:
    const contacts::ContactStore& m_store;
    bool m_built = false;
    std::unordered_multimap<uint64_t, const ContactRecord*> m_records;
};

} // namespace

int export_handle_export_extras(export_handle_t* handle, PstSource* file)
{
    if (handle == nullptr || file == nullptr || handle->store == nullptr) {
        return -1;
    }
    if (!handle->extraction) {
        handle->extraction.reset(new (std::nothrow) ExtractionState());
        if (!handle->extraction) {
            return -1;
        }
    }
    contacts::ContactStore& store = *handle->store;
    ContentIndex index(store);
    bool failed = false;
    const auto go_on = [handle] { return handle->gate == nullptr || !handle->gate->checkpoint(); };
    const auto visit = [&](PstItem& item, ExtraOrigin origin) {
        if (!go_on()) {
            return false;
        }
        uint8_t type = 0;
        if (!item.type(&type) || type != kItemContact) {
            return true;
        }
        const bool orphan = origin == ExtraOrigin::orphan;
        ++(orphan ? handle->number_of_orphan_items : handle->number_of_recovered_items);
        contacts::ContactDraft& draft = handle->extraction->draft;
        if (!read_contact(item, handle->extraction->reader, draft, 7, handle->fallback_codepage)) {
            return true;
        }
        draft.set_origin(orphan ? contacts::Origin::orphan : contacts::Origin::recovered);
        if (handle->place == contacts::kNoPlace && handle->source_file != contacts::kUnknownFile) {
            handle->place = store.sources().add_place(handle->source_file, {}); // outside the folders
        }
        draft.set_place(handle->place);
        draft.set_node_id(item.node_id());
        if (index.contains(draft)) {
            return true;
        }
        contacts::ContactRecordPtr record = build_contact(store, draft);
        if (!record) {
            failed = true;
            return false;
        }
        index.add(*record);
        ++(orphan ? handle->number_of_exported_orphan_items : handle->number_of_exported_recovered_items);
        if (handle->listener != nullptr) {
            handle->listener->contact_added(*record);
        }
        contacts::contact_store_append(store, std::move(record));
        return true;
    };
    const pst::Status done = file->for_each_extra_item(visit, go_on);
    return failed || !done ? -1 : 1;
}

} // namespace engine
