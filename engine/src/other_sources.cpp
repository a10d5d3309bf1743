#include "other_sources.h"

#include <memory>
#include <unordered_set>
#include <vector>

#include "contacts/contact_sources.h"
#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "correspondents.h"
#include "engine/autocomplete_cards.h"
#include "engine/contact_extraction.h"
#include "engine/pause_gate.h"
#include "engine/text_decoding.h"

namespace engine {

namespace {

constexpr unsigned kMaxDepth = 64;
constexpr std::u16string_view kAutocompleteClass = u"IPM.Configuration.Autocomplete";
constexpr uint32_t kTagMessageClass = 0x001A;
constexpr uint32_t kTagRoamingBinary = 0x7C09;
constexpr std::u16string_view kRecipientCacheClass = u"IPM.AbchPerson";
constexpr uint32_t kTagContainerClass = 0x3613;
constexpr uint32_t kNormalFolder = 0x02; // NID type

bool stopped(PauseGate* gate)
{
    return gate != nullptr && gate->checkpoint();
}

bool same_ascii_case(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Counts a skipped item in the result and reports it.
struct Skips
{
    ScanListener& listener;
    ScanResult& result;
    contacts::ContactStore& store;
    uint32_t source_file;
    void operator()(const SkippedItem& item) const
    {
        ++result.skipped;
        listener.item_skipped(item);
    }
    // The place of `folder` in the scanned file, for the cards found there.
    uint32_t place(const std::u16string& folder) const
    {
        return source_file == contacts::kUnknownFile ? contacts::kNoPlace
                                                     : store.sources().add_place(source_file, folder);
    }
};

// The autocomplete list: the stream of each IPM.Configuration.Autocomplete message among the
// folders' associated contents (Outlook keeps one, in the Inbox's).
bool read_autocomplete(PstSource& file, contacts::ContactStore& store, ScanListener& listener, PauseGate* gate,
                       const Skips& skip)
{
    std::u16string text;
    const auto visit = [&](PstItem& folder, const std::u16string& path) {
        // Only a normal folder (NID type 0x02) has an associated contents table: a search
        // folder's node + 13 is its search update queue.
        if (const uint32_t nid = folder.node_id(); nid != 0 && (nid & 0x1F) != kNormalFolder) {
            return !stopped(gate);
        }
        int count = 0;
        if (const pst::Status counted = folder.sub_associated_count(&count); !counted) {
            skip({path, 0, "the folder's associated contents cannot be read", counted.message});
            return !stopped(gate);
        }
        for (int i = 0; i < count; ++i) {
            if (stopped(gate)) {
                return false;
            }
            std::unique_ptr<PstItem> item;
            const PropertyList* list = nullptr;
            pst::Status read = folder.sub_associated(i, &item);
            if (read && item) {
                read = item->properties(&list);
            }
            if (!read || list == nullptr) {
                skip({path, i, "an associated message cannot be read", read.message});
                continue;
            }
            const PropertyList::Property* cls = list->find(kTagMessageClass);
            const int codepage = message_codepage(*list, file.options().fallback_codepage);
            if (cls == nullptr || !property_text(*list, *cls, codepage, text) ||
                !same_ascii_case(text, kAutocompleteClass)) {
                continue;
            }
            const PropertyList::Property* stream = list->find(kTagRoamingBinary, type_code(PropType::Binary));
            if (stream == nullptr) {
                skip({path, i, "the autocomplete list's message holds no list", {}});
                continue;
            }
            const AutocompleteCards cards =
                add_autocomplete_cards(list->bytes(*stream), codepage, path, store, listener, skip.place(path));
            skip.result.autocomplete += cards.cards;
            skip.result.skipped += cards.damage.empty() ? 0 : 1;
            if (cards.out_of_memory) {
                return false;
            }
        }
        return !stopped(gate);
    };
    return for_each_folder(file, visit, skip);
}

// Whether `folder`'s container class starts with IPF.Contact.
bool contact_folder(PstItem& folder, int codepage, std::u16string& text)
{
    const PropertyList* list = nullptr;
    if (!folder.properties(&list) || list == nullptr) {
        return false;
    }
    const PropertyList::Property* cls = list->find(kTagContainerClass);
    if (cls == nullptr || !property_text(*list, *cls, codepage, text)) {
        return false;
    }
    return is_contact_folder_class(contacts::utf16_to_utf8(text));
}

// The recipient cache: IPM.AbchPerson items of the folders whose container class starts with
// IPF.Contact, read as contacts.
bool read_recipient_cache(PstSource& file, contacts::ContactStore& store, ScanListener& listener, PauseGate* gate,
                          const Skips& skip)
{
    const int fallback = file.options().fallback_codepage;
    ContactReader reader;
    contacts::ContactDraft draft;
    std::u16string text;
    const auto visit = [&](PstItem& folder, const std::u16string& path) {
        if (!contact_folder(folder, fallback, text)) {
            return !stopped(gate);
        }
        int count = 0;
        if (const pst::Status counted = folder.sub_message_count(&count); !counted) {
            skip({path, 0, "the folder's contents cannot be read", counted.message});
            return !stopped(gate);
        }
        for (int i = 0; i < count; ++i) {
            if (stopped(gate)) {
                return false;
            }
            listener.progress(static_cast<int>(int64_t{i} * 100 / count));
            std::unique_ptr<PstItem> item;
            uint8_t type = 0;
            const PropertyList* list = nullptr;
            pst::Status read = folder.sub_message(i, &item);
            if (read && item) {
                read = item->type(&type);
            }
            // Contacts, lists and the other known classes are no person of the cache.
            if (read && type != kItemUndefined) {
                continue;
            }
            if (read) {
                read = item->properties(&list);
            }
            if (!read || list == nullptr) {
                skip({path, i, "an item of the recipient cache cannot be read", read.message});
                continue;
            }
            const PropertyList::Property* cls = list->find(kTagMessageClass);
            if (cls == nullptr || !property_text(*list, *cls, message_codepage(*list, fallback), text) ||
                !same_ascii_case(text, kRecipientCacheClass)) {
                continue;
            }
            if (const pst::Status values = read_contact(*item, reader, draft, contacts::kContactKindCode, fallback);
                !values) {
                skip({path, i, "the contact's values cannot be read", values.message});
                continue;
            }
            draft.set_origin(contacts::Origin::recipient_cache);
            draft.set_place(skip.place(path));
            contacts::ContactRecordPtr record = build_contact(store, draft);
            if (!record) {
                return false;
            }
            ++skip.result.recipient_cache;
            listener.contact_added(*record);
            contacts::contact_store_append(store, std::move(record));
        }
        return !stopped(gate);
    };
    return for_each_folder(file, visit, skip);
}

} // namespace

bool for_each_folder(PstSource& file, const std::function<bool(PstItem&, const std::u16string&)>& visit,
                     const std::function<void(const SkippedItem&)>& skipped)
{
    std::unique_ptr<PstItem> root;
    if (const pst::Status found = file.root_folder(&root); !found || !root) {
        skipped({u"", 0, "the root folder cannot be read", found.message});
        return true;
    }
    std::unordered_set<uint32_t> seen;
    struct Level
    {
        std::unique_ptr<PstItem> folder;
        std::u16string path;
        unsigned depth;
    };
    std::vector<Level> todo;
    todo.push_back({std::move(root), u"", 0});
    std::string name;
    while (!todo.empty()) {
        Level level = std::move(todo.back());
        todo.pop_back();
        const uint32_t nid = level.folder->node_id();
        if (nid != 0 && !seen.insert(nid).second) {
            continue;
        }
        if (!visit(*level.folder, level.path)) {
            return false;
        }
        if (level.depth >= kMaxDepth) {
            continue;
        }
        int count = 0;
        if (const pst::Status counted = level.folder->sub_folder_count(&count); !counted) {
            skipped({level.path, 0, "the folder's sub folders cannot be read", counted.message});
            continue;
        }
        // Pushed last to first, so that they are visited in their table's order.
        for (int i = count - 1; i >= 0; --i) {
            std::unique_ptr<PstItem> child;
            if (const pst::Status read = level.folder->sub_folder(i, &child); !read || !child) {
                skipped({level.path, i, "a sub folder cannot be read", read.message});
                continue;
            }
            std::u16string path = level.path;
            name.clear();
            if (child->display_name(&name).found()) {
                path += path.empty() ? u"" : u"\\";
                std::u16string wide;
                contacts::utf8_to_utf16(name, wide);
                path += wide;
            }
            todo.push_back({std::move(child), std::move(path), level.depth + 1});
        }
    }
    return true;
}

void read_other_sources(PstSource& file, uint32_t source_file, contacts::ContactStore& store, ScanListener& listener,
                        PauseGate* gate, ScanResult* result)
{
    const Sources& sources = file.options().sources;
    const Skips skip{listener, *result, store, source_file};
    if (sources.has(Source::autocomplete) && !read_autocomplete(file, store, listener, gate, skip)) {
        return;
    }
    if (sources.has(Source::recipients) && !read_recipient_cache(file, store, listener, gate, skip)) {
        return;
    }
    if (sources.has(Source::correspondents)) {
        read_correspondents(file, store, listener, gate, result, skip, skip.place({}));
    }
}

} // namespace engine
