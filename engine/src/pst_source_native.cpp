// Our own reader behind the seam. Items are nodes of the node B-tree; the root folder, a node's
// children and a folder's tables come from the reader's messaging layer (pst/messaging.h).
#include "pst/format.h"
#include <algorithm>
#include <new>

#include "contacts/text.h"
#include "engine/pst_source.h"
#include "engine/text_decoding.h"
#include "open_source.h"
#include "pst/messaging.h"
#include "pst/reader.h"
#include "pst/recovery.h"

namespace engine {

namespace {

namespace read = pst::read;

constexpr uint16_t kTagMessageClass = 0x001A;

// Value types a property context may hold. libpff refuses a whole item with a property of
// any other type (0x0000 PT_UNSPECIFIED, 0x0001 PT_NULL, ...); so does this reader, so that
// both count the same contacts.
constexpr uint16_t kKnownValueTypes[] = {
    0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007, 0x000A, 0x000B, 0x000D, 0x0014,
    0x001E, 0x001F, 0x0040, 0x0048, 0x00FB, 0x00FD, 0x00FE, 0x0102, 0x1002, 0x1003,
    0x1004, 0x1005, 0x1006, 0x1007, 0x1014, 0x101E, 0x101F, 0x1040, 0x1048, 0x1102,
};

std::string hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string hex32(uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// Why an item has no type: its message class is a value of another type.
constexpr const char* kClassNotText = "its message class is neither an 8-bit nor a Unicode text";

// Hands out a newly made item; a failure (without an account) when there was no memory for it.
pst::Status made(std::unique_ptr<PstItem>* out, PstItem* item)
{
    out->reset(item);
    return item != nullptr ? pst::Status::success() : pst::Status::failure("");
}

bool known_value_type(uint16_t type)
{
    return std::find(std::begin(kKnownValueTypes), std::end(kKnownValueTypes), type) != std::end(kKnownValueTypes);
}

// The item type that a property list's message class names (none: a folder); -1 when the class
// has a type no text has.
int type_of_properties(const PropertyList& list)
{
    const PropertyList::Property* cls = list.find(kTagMessageClass);
    if (cls == nullptr) {
        return kItemFolder;
    }
    const auto bytes = list.bytes(*cls);
    if (cls->type == kTypeString8) {
        return item_type_of_class(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    if (cls->type == kTypeUnicode) {
        std::u16string units(bytes.size() / 2, u'\0');
        units.resize(contacts::utf16le_to_utf16(bytes.data(), bytes.size(), units.data()));
        return item_type_of_class(contacts::utf16_to_utf8(units));
    }
    return -1;
}

// A text value of an attachment as UTF-8 (8-bit texts are ASCII in practice: MIME tags and
// extensions); empty when absent or of another type.
std::string attachment_text(const read::PropertyContext& pc, uint16_t id)
{
    const read::PropertyRef* p = pc.find(id);
    if (p == nullptr || p->data == nullptr) {
        return {};
    }
    if (p->type == kTypeString8) {
        return std::string(reinterpret_cast<const char*>(p->data), p->size);
    }
    if (p->type == kTypeUnicode) {
        std::u16string units(p->size / 2, u'\0');
        units.resize(contacts::utf16le_to_utf16(p->data, p->size, units.data()));
        return contacts::utf16_to_utf8(units);
    }
    return {};
}

// Whether an attachment is marked as the contact's photo and holds bytes within the bound;
// then *out gets them.
bool photo_of_attachment(const read::PropertyContext& pc, ContactPhoto* out)
{
    const read::PropertyRef* flag = pc.find(pst::tag::kAttachmentContactPhoto);
    if (flag == nullptr || flag->type != kTypeBoolean || flag->size == 0 || flag->data[0] == 0) {
        return false;
    }
    const read::PropertyRef* data = pc.find(pst::tag::kAttachDataBinary);
    if (data == nullptr || data->type != kTypeBinary || data->size == 0 || data->size > kMaxPhotoBytes) {
        return false;
    }
    out->bytes.assign(data->data, data->data + data->size);
    out->mime = attachment_text(pc, pst::tag::kAttachMimeTag);
    out->extension = attachment_text(pc, pst::tag::kAttachExtension);
    for (const uint16_t name : {pst::tag::kAttachLongFilename, pst::tag::kAttachFilename}) {
        if (out->extension.empty()) {
            const std::string file_name = attachment_text(pc, name);
            const size_t dot = file_name.rfind('.');
            if (dot != std::string::npos) {
                out->extension = file_name.substr(dot);
            }
        }
    }
    return true;
}

// An item known only by its property list: a property context found in free space. It has no
// children and no attachments (its subnodes are not known).
class ListItem : public PstItem
{
public:
    PropertyList& list() { return m_list; }

    pst::Status type(uint8_t* out) override
    {
        const int type = type_of_properties(m_list);
        if (type < 0) {
            return pst::Status::failure(kClassNotText);
        }
        *out = static_cast<uint8_t>(type);
        return pst::Status::success();
    }
    pst::Status sub_item_count(int* count) override { return none(count); }
    pst::Status sub_item(int, std::unique_ptr<PstItem>*) override { return no_child(); }
    pst::Status sub_folder_count(int* count) override { return none(count); }
    pst::Status sub_folder(int, std::unique_ptr<PstItem>*) override { return no_child(); }
    pst::Status sub_message_count(int* count) override { return none(count); }
    pst::Status sub_message(int, std::unique_ptr<PstItem>*) override { return no_child(); }
    pst::Status display_name(std::string*) override { return pst::Status::none(); }
    pst::Status properties(const PropertyList** out) override
    {
        *out = &m_list;
        return pst::Status::success();
    }

private:
    static pst::Status none(int* count)
    {
        *count = 0;
        return pst::Status::success();
    }
    static pst::Status no_child() { return pst::Status::failure("an item found in free space has no children"); }
    PropertyList m_list;
};

class NativeSource;

class NativeItem : public PstItem
{
public:
    NativeItem(NativeSource& source, const read::Node& node, bool folder) : m_source(source), m_node(node)
    {
        if (folder) {
            m_type = kItemFolder;
        }
    }

    pst::Status type(uint8_t* out) override;
    pst::Status sub_item_count(int* count) override;
    pst::Status sub_item(int index, std::unique_ptr<PstItem>* out) override;
    pst::Status sub_folder_count(int* count) override
    {
        return table_rows(m_sub_folders, read::FolderTable::Hierarchy, count);
    }
    pst::Status sub_folder(int index, std::unique_ptr<PstItem>* out) override
    {
        return table_child(m_sub_folders, index, true, out);
    }
    pst::Status sub_message_count(int* count) override
    {
        return table_rows(m_sub_messages, read::FolderTable::Contents, count);
    }
    pst::Status sub_message(int index, std::unique_ptr<PstItem>* out) override
    {
        return table_child(m_sub_messages, index, false, out);
    }
    pst::Status display_name(std::string* out) override;
    pst::Status properties(const PropertyList** out) override;
    pst::Status contact_photo(ContactPhoto* out) override;
    uint32_t node_id() override { return m_node.nid; }

private:
    struct ChildTable
    {
        bool read = false;
        bool present = false;
        read::Table table;
    };
    pst::Status table_rows(ChildTable& t, read::FolderTable which, int* count);
    pst::Status table_child(ChildTable& t, int index, bool folder, std::unique_ptr<PstItem>* out);
    pst::Status make_child(uint32_t nid, bool folder, std::unique_ptr<PstItem>* out);

    NativeSource& m_source;
    read::Node m_node;
    int m_type = -1; // determined on first use
    bool m_read = false;
    pst::Status m_read_status; // of the first read of the properties
    PropertyList m_properties;
    ChildTable m_sub_folders;
    ChildTable m_sub_messages;
    bool m_children_read = false;
    std::vector<read::Node> m_children;
};

class NativeSource : public PstSource
{
public:
    explicit NativeSource(const SourceOptions& options) : PstSource(options) {}

    bool open(const std::string& path, pst::Status* why)
    {
        m_file = read::File::open(path, why);
        if (!m_file) {
            return false;
        }
        // Without a readable name-to-id map the named properties keep their stored ids.
        m_names_ok = m_names.open(*m_file).found();
        return true;
    }

    pst::Status root_folder(std::unique_ptr<PstItem>* out) override
    {
        read::Node root;
        if (pst::Status found = read::find_root_folder(*m_file, &root); !found.found()) {
            return found ? pst::Status::failure("the file has no root folder") : found;
        }
        // A root folder whose own values cannot be read means the block B-tree is unusable:
        // the walk would find nothing and call it done.
        auto item = std::unique_ptr<NativeItem>(new (std::nothrow) NativeItem(*this, root, true));
        if (!item) {
            return pst::Status::failure("");
        }
        const PropertyList* properties = nullptr;
        if (pst::Status read = item->properties(&properties); !read) {
            return read;
        }
        *out = std::move(item);
        return pst::Status::success();
    }

    read::File& file() { return *m_file; }

    // Reads the property context of `node` into `list`, named ids resolved through the map.
    pst::Status read_properties(const read::Node& node, PropertyList& list)
    {
        list.clear();
        if (pst::Status opened = m_pc.open(*m_file, node); !opened) {
            return opened;
        }
        return copy_properties(m_pc, list);
    }

    // The attachment marked as the contact photo of `message`: found, or absent (an attachment
    // that cannot be read is passed over: the contact is read without a photo then).
    pst::Status contact_photo(const read::Node& message, ContactPhoto* out)
    {
        if (message.bid_sub == 0 || !m_attachments.open(*m_file, message).found()) {
            return pst::Status::none();
        }
        for (size_t i = 0; i < m_attachments.count(); ++i) {
            if (m_attachments.open_attachment(i, &m_attachment) && photo_of_attachment(m_attachment, out)) {
                return pst::Status::success();
            }
        }
        return pst::Status::none();
    }

    pst::Status for_each_extra_item(const std::function<bool(PstItem&, ExtraOrigin)>& visit,
                                    const std::function<bool()>& go_on) override
    {
        // Orphans: the nodes first (reading items while the node B-tree is being walked would
        // interleave the two), then each as an item.
        std::vector<read::Node> orphans;
        if (pst::Status walked = read::for_each_orphan_message(*m_file,
                                                               [&](const read::Node& n) {
                                                                   orphans.push_back(n);
                                                                   return orphans.size() % 4096 != 0 || go_on();
                                                               });
            !walked) {
            return walked;
        }
        for (const read::Node& node : orphans) {
            NativeItem item(*this, node, false);
            if (!visit(item, ExtraOrigin::orphan)) {
                return pst::Status::success();
            }
        }
        if (!go_on()) {
            return pst::Status::success();
        }
        // Deleted items: property contexts left in free space.
        read::Recovery recovery(*m_file);
        read::RecoveryOptions options;
        options.progress = [&go_on](const read::RecoveryProgress&) { return go_on(); };
        read::RecoveryResult found;
        if (pst::Status scanned = recovery.scan(options, &found); !scanned) {
            return scanned;
        }
        if (found.end == read::RecoveryEnd::Cancelled) {
            return pst::Status::success();
        }
        ListItem item;
        for (const read::RecoveredItem& r : found.items) {
            item.list().clear();
            // A deleted item that no longer reads whole was overwritten: it is not one to find.
            if (!recovery.open(r, &m_pc) || !copy_properties(m_pc, item.list())) {
                continue;
            }
            if (!visit(item, ExtraOrigin::recovered)) {
                return pst::Status::success();
            }
        }
        return pst::Status::success();
    }

private:
    // The properties of an open context into `list`, named ids resolved through the map. A failure
    // (and an empty list) for a value type libpff refuses.
    pst::Status copy_properties(const read::PropertyContext& pc, PropertyList& list)
    {
        for (size_t i = 0; i < pc.size(); ++i) {
            const read::PropertyRef& p = pc.at(i);
            if (!known_value_type(p.type)) {
                list.clear();
                return pst::Status::failure("property " + hex16(p.id) + " has the value type " + hex16(p.type) +
                                            ", which no reader knows");
            }
            const read::NamedId* named = p.id >= 0x8000 && m_names_ok ? m_names.find(p.id) : nullptr;
            if (named == nullptr) {
                list.add(p.id, p.type, p.data, p.size);
            } else if (named->numeric) {
                list.add(p.id, p.type, p.data, p.size, named->lid);
            } else {
                list.add(p.id, p.type, p.data, p.size, std::nullopt, &named->guid, named->name);
            }
        }
        return pst::Status::success();
    }

    std::unique_ptr<read::File> m_file;
    read::NameMap m_names;
    bool m_names_ok = false;
    read::PropertyContext m_pc; // shared by every item: properties are copied out at once
    read::Attachments m_attachments;
    read::PropertyContext m_attachment;
};

pst::Status NativeItem::properties(const PropertyList** out)
{
    if (!m_read) {
        m_read = true;
        m_read_status = m_source.read_properties(m_node, m_properties);
    }
    if (!m_read_status) {
        return m_read_status;
    }
    *out = &m_properties;
    return pst::Status::success();
}

pst::Status NativeItem::type(uint8_t* out)
{
    if (m_type < 0) {
        const PropertyList* list = nullptr;
        if (pst::Status read = properties(&list); !read) {
            return read;
        }
        m_type = type_of_properties(*list);
        if (m_type < 0) {
            return pst::Status::failure(kClassNotText);
        }
    }
    *out = static_cast<uint8_t>(m_type);
    return pst::Status::success();
}

pst::Status NativeItem::contact_photo(ContactPhoto* out)
{
    // A photo that cannot be read leaves the contact without one; it is not a failure of the item.
    return m_source.contact_photo(m_node, out);
}

pst::Status NativeItem::display_name(std::string* out)
{
    const PropertyList* list = nullptr;
    if (pst::Status read = properties(&list); !read) {
        return read;
    }
    const PropertyList::Property* name = list->find(pst::tag::kDisplayName);
    if (name == nullptr) {
        return pst::Status::none();
    }
    const auto bytes = list->bytes(*name);
    std::u16string units;
    if (name->type == kTypeUnicode) {
        units.resize(bytes.size() / 2);
        units.resize(contacts::utf16le_to_utf16(bytes.data(), bytes.size(), units.data()));
    } else if (name->type == kTypeString8) {
        decode_8bit(bytes, m_source.options().fallback_codepage, units);
    } else {
        return pst::Status::failure("its display name is neither an 8-bit nor a Unicode text");
    }
    *out = contacts::utf16_to_utf8(units);
    return pst::Status::success();
}

pst::Status NativeItem::sub_item_count(int* count)
{
    if (!m_children_read) {
        if (pst::Status listed = read::children_of(m_source.file(), m_node.nid, &m_children); !listed) {
            return listed;
        }
        m_children_read = true;
    }
    *count = static_cast<int>(m_children.size());
    return pst::Status::success();
}

pst::Status NativeItem::sub_item(int index, std::unique_ptr<PstItem>* out)
{
    int count = 0;
    if (pst::Status counted = sub_item_count(&count); !counted) {
        return counted;
    }
    if (index < 0 || index >= count) {
        return pst::Status::failure("sub item " + std::to_string(index) + " is past the item's " +
                                    std::to_string(count));
    }
    return made(out, new (std::nothrow) NativeItem(m_source, m_children[static_cast<size_t>(index)], false));
}

pst::Status NativeItem::table_rows(ChildTable& t, read::FolderTable which, int* count)
{
    if (!t.read) {
        pst::Status found = read::open_folder_table(m_source.file(), m_node.nid, which, &t.table);
        if (!found) {
            return found;
        }
        t.present = found.found();
        t.read = true;
    }
    const size_t rows = t.present ? t.table.row_count() : 0;
    if (rows > static_cast<size_t>(INT32_MAX)) {
        return pst::Status::failure("its table has " + std::to_string(rows) + " rows, more than can be counted");
    }
    *count = static_cast<int>(rows);
    return pst::Status::success();
}

pst::Status NativeItem::table_child(ChildTable& t, int index, bool folder, std::unique_ptr<PstItem>* out)
{
    if (!t.read || !t.present || index < 0 || static_cast<size_t>(index) >= t.table.row_count()) {
        return pst::Status::failure("row " + std::to_string(index) + " is past its table");
    }
    return make_child(t.table.row_id(static_cast<size_t>(index)), folder, out);
}

// A table row names a child: it must be a node whose parent is this item.
pst::Status NativeItem::make_child(uint32_t nid, bool folder, std::unique_ptr<PstItem>* out)
{
    read::Node node;
    pst::Status found = read::find_child(m_source.file(), m_node.nid, nid, &node);
    if (!found.found()) {
        return found ? pst::Status::failure("its table names node " + hex32(nid) + ", which is not one of its children")
                     : found;
    }
    return made(out, new (std::nothrow) NativeItem(m_source, node, folder));
}

} // namespace

std::unique_ptr<PstSource> open_native_source(const std::string& path_utf8, const SourceOptions& options,
                                              pst::Status* why)
{
    return open_source<NativeSource>(path_utf8, options, why);
}

} // namespace engine
