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
#include "recipient_rows.h"

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

    int type(uint8_t* out) override
    {
        const int type = type_of_properties(m_list);
        if (type < 0) {
            return -1;
        }
        *out = static_cast<uint8_t>(type);
        return 1;
    }
    int sub_item_count(int* count) override { return none(count); }
    int sub_item(int, std::unique_ptr<PstItem>*) override { return -1; }
    int sub_folder_count(int* count) override { return none(count); }
    int sub_folder(int, std::unique_ptr<PstItem>*) override { return -1; }
    int sub_message_count(int* count) override { return none(count); }
    int sub_message(int, std::unique_ptr<PstItem>*) override { return -1; }
    int display_name(std::string*) override { return 0; }
    int properties(const PropertyList** out) override
    {
        *out = &m_list;
        return 1;
    }

private:
    static int none(int* count)
    {
        *count = 0;
        return 1;
    }
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

    int type(uint8_t* out) override;
    int sub_item_count(int* count) override;
    int sub_item(int index, std::unique_ptr<PstItem>* out) override;
    int sub_folder_count(int* count) override { return table_rows(m_sub_folders, read::FolderTable::Hierarchy, count); }
    int sub_folder(int index, std::unique_ptr<PstItem>* out) override
    {
        return table_child(m_sub_folders, index, true, out);
    }
    int sub_message_count(int* count) override
    {
        return table_rows(m_sub_messages, read::FolderTable::Contents, count);
    }
    int sub_message(int index, std::unique_ptr<PstItem>* out) override
    {
        return table_child(m_sub_messages, index, false, out);
    }
    int display_name(std::string* out) override;
    int properties(const PropertyList** out) override;
    int contact_photo(ContactPhoto* out) override;
    int recipient_rows(RecipientRows* out) override;
    const std::string& failure() const override { return m_why; }
    uint32_t node_id() override { return m_node.nid; }

private:
    struct ChildTable
    {
        bool read = false;
        bool present = false;
        read::Table table;
    };
    int table_rows(ChildTable& t, read::FolderTable which, int* count);
    int table_child(ChildTable& t, int index, bool folder, std::unique_ptr<PstItem>* out);
    int make_child(uint32_t nid, bool folder, std::unique_ptr<PstItem>* out);

    NativeSource& m_source;
    read::Node m_node;
    int m_type = -1; // determined on first use
    bool m_read = false;
    bool m_unreadable = false;
    PropertyList m_properties;
    ChildTable m_sub_folders;
    ChildTable m_sub_messages;
    bool m_children_read = false;
    std::vector<read::Node> m_children;
    std::string m_why; // the reader's account of the last failure
};

class NativeSource : public PstSource
{
public:
    explicit NativeSource(const SourceOptions& options) : PstSource(options) {}

    bool open(const std::string& path, std::string* why)
    {
        m_file = read::File::open(path, why);
        if (!m_file) {
            return false;
        }
        // Without a readable name-to-id map the named properties keep their stored ids.
        m_names_ok = m_names.open(*m_file, &m_why) == 1;
        return true;
    }

    int root_folder(std::unique_ptr<PstItem>* out) override
    {
        read::Node root;
        if (read::find_root_folder(*m_file, &root, &m_why) != 1) {
            return -1;
        }
        // A root folder whose own values cannot be read means the block B-tree is unusable:
        // the walk would find nothing and call it done.
        auto item = std::unique_ptr<NativeItem>(new (std::nothrow) NativeItem(*this, root, true));
        const PropertyList* properties = nullptr;
        if (!item || item->properties(&properties) != 1) {
            if (item) {
                m_why = item->failure();
            }
            return -1;
        }
        *out = std::move(item);
        return 1;
    }

    read::File& file() { return *m_file; }
    const std::string& failure() const override { return m_why; }

    // Reads the property context of `node` into `list`, named ids resolved through the map.
    int read_properties(const read::Node& node, PropertyList& list, std::string* why)
    {
        list.clear();
        if (m_pc.open(*m_file, node, why) != 1) {
            return -1;
        }
        return copy_properties(m_pc, list, why);
    }

    // The attachment marked as the contact photo of `message`: 1 found, 0 none (*why says what
    // kept an attachment from being read; the contact is read without a photo then).
    int contact_photo(const read::Node& message, ContactPhoto* out, std::string* why)
    {
        if (message.bid_sub == 0 || m_attachments.open(*m_file, message, why) != 1) {
            return 0;
        }
        for (size_t i = 0; i < m_attachments.count(); ++i) {
            if (m_attachments.open_attachment(i, &m_attachment, why) == 1 && photo_of_attachment(m_attachment, out)) {
                return 1;
            }
        }
        return 0;
    }

    int for_each_extra_item(const std::function<bool(PstItem&, ExtraOrigin)>& visit,
                            const std::function<bool()>& go_on) override
    {
        // Orphans: the nodes first (reading items while the node B-tree is being walked would
        // interleave the two), then each as an item.
        std::vector<read::Node> orphans;
        if (read::for_each_orphan_message(
                *m_file,
                [&](const read::Node& n) {
                    orphans.push_back(n);
                    return orphans.size() % 4096 != 0 || go_on();
                },
                &m_why) != 1) {
            return -1;
        }
        for (const read::Node& node : orphans) {
            NativeItem item(*this, node, false);
            if (!visit(item, ExtraOrigin::orphan)) {
                return 1;
            }
        }
        if (!go_on()) {
            return 1;
        }
        // Deleted items: property contexts left in free space.
        read::Recovery recovery(*m_file);
        read::RecoveryOptions options;
        options.progress = [&go_on](const read::RecoveryProgress&) { return go_on(); };
        read::RecoveryResult found;
        if (recovery.scan(options, &found, &m_why) != 1) {
            return -1;
        }
        if (found.end == read::RecoveryEnd::Cancelled) {
            return 1;
        }
        ListItem item;
        for (const read::RecoveredItem& r : found.items) {
            item.list().clear();
            // A deleted item that no longer reads whole was overwritten: it is not one to find.
            std::string overwritten;
            if (recovery.open(r, &m_pc, &overwritten) != 1 || copy_properties(m_pc, item.list(), &overwritten) != 1) {
                continue;
            }
            if (!visit(item, ExtraOrigin::recovered)) {
                return 1;
            }
        }
        return 1;
    }

private:
    // The properties of an open context into `list`, named ids resolved through the map. -1 (and
    // an empty list, and *why) for a value type libpff refuses.
    int copy_properties(const read::PropertyContext& pc, PropertyList& list, std::string* why)
    {
        for (size_t i = 0; i < pc.size(); ++i) {
            const read::PropertyRef& p = pc.at(i);
            if (!known_value_type(p.type)) {
                list.clear();
                *why = "property " + hex16(p.id) + " has the value type " + hex16(p.type) + ", which no reader knows";
                return -1;
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
        return 1;
    }

    std::unique_ptr<read::File> m_file;
    read::NameMap m_names;
    bool m_names_ok = false;
    read::PropertyContext m_pc; // shared by every item: properties are copied out at once
    read::Attachments m_attachments;
    read::PropertyContext m_attachment;
    std::string m_why; // the reader's account of the last failure, or of an unreadable name map
};

int NativeItem::properties(const PropertyList** out)
{
    if (!m_read && !m_unreadable) {
        if (m_source.read_properties(m_node, m_properties, &m_why) == 1) {
            m_read = true;
        } else {
            m_unreadable = true;
        }
    }
    if (m_unreadable) {
        return -1;
    }
    *out = &m_properties;
    return 1;
}

int NativeItem::type(uint8_t* out)
{
    if (m_type < 0) {
        const PropertyList* list = nullptr;
        if (properties(&list) != 1) {
            return -1;
        }
        m_type = type_of_properties(*list);
        if (m_type < 0) {
            m_why = "its message class is neither an 8-bit nor a Unicode text";
            return -1;
        }
    }
    *out = static_cast<uint8_t>(m_type);
    return 1;
}

int NativeItem::contact_photo(ContactPhoto* out)
{
    // A photo that cannot be read leaves the contact without one; it is not a failure of the item.
    std::string unreadable;
    return m_source.contact_photo(m_node, out, &unreadable);
}

int NativeItem::recipient_rows(RecipientRows* out)
{
    return read_recipient_rows(m_source.file(), m_node, out, &m_why);
}

int NativeItem::display_name(std::string* out)
{
    const PropertyList* list = nullptr;
    if (properties(&list) != 1) {
        return -1;
    }
    const PropertyList::Property* name = list->find(pst::tag::kDisplayName);
    if (name == nullptr) {
        return 0;
    }
    const auto bytes = list->bytes(*name);
    std::u16string units;
    if (name->type == kTypeUnicode) {
        units.resize(bytes.size() / 2);
        units.resize(contacts::utf16le_to_utf16(bytes.data(), bytes.size(), units.data()));
    } else if (name->type == kTypeString8) {
        decode_8bit(bytes, m_source.options().fallback_codepage, units);
    } else {
        return -1;
    }
    *out = contacts::utf16_to_utf8(units);
    return 1;
}

int NativeItem::sub_item_count(int* count)
{
    if (!m_children_read) {
        if (read::children_of(m_source.file(), m_node.nid, &m_children, &m_why) != 1) {
            return -1;
        }
        m_children_read = true;
    }
    *count = static_cast<int>(m_children.size());
    return 1;
}

int NativeItem::sub_item(int index, std::unique_ptr<PstItem>* out)
{
    int count = 0;
    if (sub_item_count(&count) != 1 || index < 0 || index >= count) {
        return -1;
    }
    out->reset(new (std::nothrow) NativeItem(m_source, m_children[static_cast<size_t>(index)], false));
    return *out ? 1 : -1;
}

int NativeItem::table_rows(ChildTable& t, read::FolderTable which, int* count)
{
    if (!t.read) {
        const int found = read::open_folder_table(m_source.file(), m_node.nid, which, &t.table, &m_why);
        if (found < 0) {
            return -1;
        }
        t.present = found == 1;
        t.read = true;
    }
    const size_t rows = t.present ? t.table.row_count() : 0;
    if (rows > static_cast<size_t>(INT32_MAX)) {
        return -1;
    }
    *count = static_cast<int>(rows);
    return 1;
}

int NativeItem::table_child(ChildTable& t, int index, bool folder, std::unique_ptr<PstItem>* out)
{
    if (!t.read || !t.present || index < 0 || static_cast<size_t>(index) >= t.table.row_count()) {
        return -1;
    }
    return make_child(t.table.row_id(static_cast<size_t>(index)), folder, out);
}

// A table row names a child: it must be a node whose parent is this item.
int NativeItem::make_child(uint32_t nid, bool folder, std::unique_ptr<PstItem>* out)
{
    read::Node node;
    const int found = read::find_child(m_source.file(), m_node.nid, nid, &node, &m_why);
    if (found != 1) {
        if (found == 0) {
            m_why = "its table names node " + hex32(nid) + ", which is not one of its children";
        }
        return -1;
    }
    out->reset(new (std::nothrow) NativeItem(m_source, node, folder));
    return *out ? 1 : -1;
}

} // namespace

std::unique_ptr<PstSource> open_native_source(const std::string& path_utf8, const SourceOptions& options,
                                              std::string* why)
{
    return open_source<NativeSource>(path_utf8, options, why);
}

} // namespace engine
