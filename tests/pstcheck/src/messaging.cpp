// Messaging layer: fixed nodes, parent links, folders with their counts and tables, messages,
// the message store and the name-to-id map.
#include "ltp.h"

#include <algorithm>
#include <set>

namespace pstcheck::detail {
namespace {

enum NidType : unsigned
{
    kInternal = 0x01,
    kFolder = 0x02,
    kSearchFolder = 0x03,
    kMessage = 0x04,
    kAttachment = 0x05,
    kAssocMessage = 0x08,
    kHierarchyTable = 0x0D,
    kContentsTable = 0x0E,
    kAssocContentsTable = 0x0F,
    kSearchContentsTable = 0x10,
    kAttachmentTable = 0x11,
    kRecipientTable = 0x12,
};

constexpr uint32_t kNidStore = 0x21;
constexpr uint32_t kNidNameMap = 0x61;
constexpr uint32_t kNidRoot = 0x122;
constexpr uint32_t kNidRecipients = 0x692;
constexpr uint32_t kNidAttachments = 0x671;

unsigned type_of(uint64_t nid)
{
    return unsigned(nid & 0x1F);
}
uint32_t sibling(uint64_t nid, unsigned type)
{
    return uint32_t((nid & ~uint64_t(0x1F)) | type);
}
std::string node_name(uint64_t nid)
{
    return "node " + hex(nid);
}

// Nodes every file has: store, name map, root folder with its tables, search queue and list,
// and the table templates.
constexpr uint32_t kRequiredNodes[] = {0x21,  0x61,  0x122, 0x12D, 0x12E, 0x12F, 0x1E1,
                                       0x201, 0x60D, 0x60E, 0x60F, 0x610, 0x671, 0x692};

bool is_tc_node(uint64_t nid)
{
    const unsigned t = type_of(nid);
    return t == kHierarchyTable || t == kContentsTable || t == kAssocContentsTable || t == kSearchContentsTable ||
           t == kAttachmentTable || t == kRecipientTable;
}

std::optional<Heap> heap_of(File& f, uint64_t bid, const std::string& where)
{
    if (bid == 0) {
        f.problem(where + ": no data block");
        return std::nullopt;
    }
    auto data = read_data(f, bid, where);
    if (!data)
        return std::nullopt;
    return Heap::parse(f, std::move(*data), where);
}

std::optional<PropMap> pc_of(File& f, uint64_t bid_data, uint64_t bid_sub, const std::string& where)
{
    auto heap = heap_of(f, bid_data, where);
    if (!heap)
        return std::nullopt;
    const Subnodes subs = read_subnodes(f, bid_sub);
    return read_pc(f, *heap, subs);
}

std::optional<Table> tc_of(File& f, uint64_t bid_data, uint64_t bid_sub, const std::string& where)
{
    auto heap = heap_of(f, bid_data, where);
    if (!heap)
        return std::nullopt;
    const Subnodes subs = read_subnodes(f, bid_sub);
    auto t = read_tc(f, *heap, subs);
    if (t) {
        ++f.summary.tables;
        f.summary.table_rows += t->rows.size();
    }
    return t;
}

std::optional<int64_t> int_prop(const PropMap& pc, uint16_t id)
{
    auto it = pc.find(id);
    if (it == pc.end() || it->second.bytes.empty() || it->second.bytes.size() > 4)
        return std::nullopt;
    int64_t v = 0;
    for (size_t i = it->second.bytes.size(); i-- > 0;)
        v = v << 8 | it->second.bytes[i];
    return v;
}

struct FolderTables
{
    std::optional<Table> hierarchy, contents, assoc;
};

// Rows by row id.
std::map<uint32_t, const std::map<uint32_t, PropValue>*> rows_by_id(const Table& t)
{
    std::map<uint32_t, const std::map<uint32_t, PropValue>*> out;
    for (size_t i = 0; i < t.rows.size() && i < t.row_ids.size(); ++i)
        out[t.row_ids[i]] = &t.rows[i];
    return out;
}

// Columns whose cells are the table's own bookkeeping, not copies of the child's properties.
bool is_table_own_column(uint32_t tag)
{
    const uint16_t id = uint16_t(tag >> 16);
    return id == 0x67F2 || id == 0x67F3;
}

// Windows-1252 characters 0x80-0x9f; 0 marks the five bytes the code page leaves undefined.
constexpr uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// A PtypString8 value as UTF-16LE: ASCII always, other bytes when the code page is 1252. Returns
// nullopt when the bytes cannot be widened here.
std::optional<std::vector<uint8_t>> widen(const std::vector<uint8_t>& s, int64_t code_page)
{
    std::vector<uint8_t> out;
    for (uint8_t c : s) {
        uint16_t u = c;
        if (c >= 0x80) {
            if (code_page != 1252)
                return std::nullopt;
            if (c < 0xA0 && (u = kCp1252High[c - 0x80]) == 0)
                return std::nullopt;
        }
        out.push_back(uint8_t(u));
        out.push_back(uint8_t(u >> 8));
    }
    return out;
}

// A table row mirrors its child object: every column the child has a property for holds the
// same value (string columns hold the UTF-16 form). Columns that only the table keeps (row id,
// status, replication data) may hold values the child lacks.
void compare_row(File& f, const std::string& where, const std::vector<Column>& columns,
                 const std::map<uint32_t, PropValue>& row, const PropMap& child)
{
    for (const auto& c : columns) {
        if (is_table_own_column(c.tag))
            continue;
        auto prop = child.find(uint16_t(c.tag >> 16));
        if (prop == child.end())
            continue;
        const PropValue& have = prop->second;
        auto cell = row.find(c.tag);
        if (cell == row.end()) {
            f.problem(where + ": column " + hex(c.tag) + " is empty, the child has the property");
            continue;
        }
        if (have.type == cell->second.type) {
            if (have.bytes != cell->second.bytes)
                f.problem(where + ": column " + hex(c.tag) + " differs from the child's property");
            continue;
        }
        if (cell->second.type == 0x001F && have.type == 0x001E) {
            const auto wide = widen(have.bytes, int_prop(child, 0x3FFD).value_or(0));
            if (wide && *wide != cell->second.bytes)
                f.problem(where + ": column " + hex(c.tag) + " differs from the child's property");
            continue;
        }
        f.problem(where + ": column " + hex(c.tag) + " has type " + hex(cell->second.type) + ", the child's property " +
                  hex(have.type));
    }
}

std::optional<std::vector<uint8_t>> binary_prop(const PropMap& pc, uint16_t id)
{
    auto it = pc.find(id);
    if (it == pc.end() || it->second.type != 0x0102)
        return std::nullopt;
    return it->second.bytes;
}

// What every attachment object's PC holds, with the types the format gives them.
struct AttachmentProp
{
    uint16_t id;
    uint16_t type;
    const char* name;
    bool required;
};
constexpr AttachmentProp kAttachmentProps[] = {
    {0x0E20, 0x0003, "PidTagAttachSize", true},
    {0x3705, 0x0003, "PidTagAttachMethod", true},
    {0x370B, 0x0003, "PidTagRenderingPosition", true},
    {0x7FFF, 0x000B, "PidTagAttachmentContactPhoto", false},
};

constexpr uint32_t kMsgFlagHasAttach = 0x10;

class Messaging
{
public:
    explicit Messaging(File& f) : m_f(f) {}
    void run();

private:
    void required_nodes();
    void parents();
    void folders();
    void folder(const NodeEntry& n);
    void messages();
    void attachment(const std::string& where, const PropMap& object);
    void has_attachments(const std::string& where, const PropMap& message, size_t count);
    void store();
    void name_map();

    File& m_f;
    std::map<uint32_t, std::vector<uint32_t>> m_child_folders, m_messages, m_assoc;
    std::map<uint32_t, FolderTables> m_tables;
    std::map<uint32_t, std::map<uint32_t, const std::map<uint32_t, PropValue>*>> m_contents_rows;
    std::map<uint32_t, const std::vector<Column>*> m_contents_columns;
    std::set<uint32_t> m_unread; // messages whose PidTagMessageFlags lack the read flag
    std::map<uint32_t, int64_t> m_unread_claims;
    void unread_counts();
};

void Messaging::unread_counts()
{
    for (const auto& [folder, claim] : m_unread_claims) {
        int64_t actual = 0;
        for (uint32_t m : m_messages[folder])
            actual += int64_t(m_unread.count(m));
        if (claim != actual)
            m_f.problem("folder " + hex(folder) + ": PidTagContentUnreadCount is " + std::to_string(claim) +
                        ", the folder has " + std::to_string(actual) + " unread messages");
    }
}

void Messaging::required_nodes()
{
    for (uint32_t nid : kRequiredNodes)
        if (!m_f.find_node(nid))
            m_f.problem("NBT: required node " + hex(nid) + " is missing");
}

void Messaging::parents()
{
    for (const auto& n : m_f.nodes) {
        const unsigned t = type_of(n.nid);
        const std::string at = node_name(n.nid);
        if (t == kFolder || t == kSearchFolder) {
            if (n.nid == kNidRoot) {
                if (n.parent != kNidRoot)
                    m_f.problem(at + ": the root folder's nidParent is " + hex(n.parent) + ", not itself");
                continue;
            }
            const NodeEntry* p = m_f.find_node(n.parent);
            if (!p || type_of(p->nid) != kFolder) {
                m_f.problem(at + ": nidParent " + hex(n.parent) + " is not a folder");
                continue;
            }
            m_child_folders[n.parent].push_back(uint32_t(n.nid));
        } else if (t == kMessage || t == kAssocMessage) {
            const NodeEntry* p = m_f.find_node(n.parent);
            if (!p || type_of(p->nid) != kFolder) {
                if (m_f.options.allow_orphans)
                    ++m_f.summary.orphans;
                else
                    m_f.problem(at + ": nidParent " + hex(n.parent) + " is not a folder");
                continue;
            }
            (t == kMessage ? m_messages : m_assoc)[n.parent].push_back(uint32_t(n.nid));
        } else if (n.parent != 0) {
            m_f.problem(at + ": nidParent " + hex(n.parent) + " on a node that is neither folder nor message");
        }
    }
}

void Messaging::folders()
{
    for (const auto& n : m_f.nodes)
        if (type_of(n.nid) == kFolder)
            folder(n);
}

void Messaging::folder(const NodeEntry& n)
{
    const uint32_t nid = uint32_t(n.nid);
    const std::string at = "folder " + hex(nid);
    auto pc = pc_of(m_f, n.bid_data, n.bid_sub, at);
    m_f.summary.folders += pc.has_value();
    FolderTables& tables = m_tables[nid];
    struct TableRef
    {
        unsigned type;
        const char* name;
        std::optional<Table> FolderTables::*slot;
    };
    const TableRef refs[] = {{kHierarchyTable, "hierarchy table", &FolderTables::hierarchy},
                             {kContentsTable, "contents table", &FolderTables::contents},
                             {kAssocContentsTable, "FAI contents table", &FolderTables::assoc}};
    for (const auto& r : refs) {
        const NodeEntry* t = m_f.find_node(sibling(nid, r.type));
        if (!t) {
            m_f.problem(at + ": its " + r.name + " node " + hex(sibling(nid, r.type)) + " is missing");
            continue;
        }
        tables.*r.slot = tc_of(m_f, t->bid_data, t->bid_sub, std::string(r.name) + " " + hex(t->nid));
    }
    if (!pc)
        return;

    const auto& subfolders = m_child_folders[nid];
    const auto& messages = m_messages[nid];
    const auto& assoc = m_assoc[nid];
    struct Count
    {
        uint16_t id;
        const char* name;
        int64_t actual;
        bool required;
    };
    const Count counts[] = {{0x3602, "PidTagContentCount", int64_t(messages.size()), true},
                            {0x3617, "PidTagAssociatedContentCount", int64_t(assoc.size()), false},
                            {0x360A, "PidTagSubfolders", subfolders.empty() ? 0 : 1, true}};
    for (const auto& c : counts) {
        const auto v = int_prop(*pc, c.id);
        if (!v) {
            if (c.required)
                m_f.problem(at + ": " + c.name + " is missing");
            continue;
        }
        const int64_t have = c.id == 0x360A ? (*v != 0) : *v;
        if (have != c.actual)
            m_f.problem(at + ": " + c.name + " is " + std::to_string(*v) + ", the folder has " +
                        std::to_string(c.actual));
    }
    if (pc->find(0x3001) == pc->end())
        m_f.problem(at + ": PidTagDisplayName is missing");
    if (const auto unread = int_prop(*pc, 0x3603))
        m_unread_claims[nid] = *unread; // checked once the messages' flags are known

    struct RowsRef
    {
        const std::optional<Table>& table;
        const std::vector<uint32_t>& children;
        const char* name;
    };
    const RowsRef rows[] = {{tables.hierarchy, subfolders, "hierarchy table"},
                            {tables.contents, messages, "contents table"},
                            {tables.assoc, assoc, "FAI contents table"}};
    for (const auto& r : rows) {
        if (!r.table)
            continue;
        const std::set<uint32_t> want(r.children.begin(), r.children.end());
        const std::set<uint32_t> have(r.table->row_ids.begin(), r.table->row_ids.end());
        for (uint32_t id : want)
            if (!have.count(id))
                m_f.problem(at + ": " + r.name + " has no row for child " + hex(id));
        for (uint32_t id : have)
            if (!want.count(id))
                m_f.problem(at + ": " + r.name + " has a row for " + hex(id) + ", which is not a child");
    }
    if (tables.hierarchy) {
        const auto by_id = rows_by_id(*tables.hierarchy);
        for (uint32_t child : subfolders) {
            auto row = by_id.find(child);
            const NodeEntry* c = m_f.find_node(child);
            if (row == by_id.end() || !c)
                continue;
            if (auto cpc = pc_of(m_f, c->bid_data, c->bid_sub, "folder " + hex(child)))
                compare_row(m_f, at + " hierarchy row " + hex(child), tables.hierarchy->columns, *row->second, *cpc);
        }
    }
    if (tables.contents) {
        m_contents_rows[nid] = rows_by_id(*tables.contents);
        m_contents_columns[nid] = &tables.contents->columns;
    }
}

void Messaging::messages()
{
    for (const auto& n : m_f.nodes) {
        const unsigned t = type_of(n.nid);
        if (t != kMessage && t != kAssocMessage)
            continue;
        const std::string at = "message " + hex(n.nid);
        auto pc = pc_of(m_f, n.bid_data, n.bid_sub, at);
        if (!pc)
            continue;
        ++m_f.summary.messages;
        if (const auto flags = int_prop(*pc, 0x0E07); flags && !(*flags & 1))
            m_unread.insert(uint32_t(n.nid));
        if (pc->find(0x001A) == pc->end())
            m_f.problem(at + ": PidTagMessageClass is missing");
        const Subnodes subs = read_subnodes(m_f, n.bid_sub);
        auto recipients = subs.find(kNidRecipients);
        // Outlook's own contacts and distribution lists carry no recipient table; parse one if present.
        if (recipients != subs.end())
            tc_of(m_f, recipients->second.bid_data, recipients->second.bid_sub, at + " recipient table");
        std::set<uint32_t> attachments;
        std::map<uint32_t, PropMap> objects;
        for (const auto& [sub, s] : subs)
            if (type_of(sub) == kAttachment) {
                attachments.insert(sub);
                const std::string where = at + " attachment " + hex(sub);
                if (auto object = pc_of(m_f, s.bid_data, s.bid_sub, where)) {
                    ++m_f.summary.attachments;
                    attachment(where, *object);
                    objects[sub] = std::move(*object);
                }
            }
        auto table = subs.find(kNidAttachments);
        if (table != subs.end()) {
            if (auto tc = tc_of(m_f, table->second.bid_data, table->second.bid_sub, at + " attachment table")) {
                const std::set<uint32_t> rows(tc->row_ids.begin(), tc->row_ids.end());
                if (rows != attachments)
                    m_f.problem(at + ": attachment table rows do not match its " + std::to_string(attachments.size()) +
                                " attachment subnodes");
                for (const auto& [id, row] : rows_by_id(*tc))
                    if (auto object = objects.find(id); object != objects.end())
                        compare_row(m_f, at + " attachment row " + hex(id), tc->columns, *row, object->second);
            }
        } else if (!attachments.empty()) {
            m_f.problem(at + ": attachments without an attachment table");
        }
        has_attachments(at, *pc, attachments.size());
        if (t != kMessage)
            continue;
        auto folder = m_contents_rows.find(n.parent);
        if (folder == m_contents_rows.end())
            continue;
        auto row = folder->second.find(uint32_t(n.nid));
        if (row != folder->second.end())
            compare_row(m_f, "folder " + hex(n.parent) + " contents row " + hex(n.nid), *m_contents_columns[n.parent],
                        *row->second, *pc);
    }
}

void Messaging::attachment(const std::string& where, const PropMap& object)
{
    for (const AttachmentProp& p : kAttachmentProps) {
        auto it = object.find(p.id);
        if (it == object.end()) {
            if (p.required)
                m_f.problem(where + ": " + p.name + " is missing");
        } else if (it->second.type != p.type) {
            m_f.problem(where + ": " + p.name + " has type " + hex(it->second.type) + ", not " + hex(p.type));
        }
    }
    // A contact photo is data of its own: the attachment carries its bytes.
    auto photo = object.find(0x7FFF);
    if (photo != object.end() && !photo->second.bytes.empty() && photo->second.bytes[0] != 0 &&
        !binary_prop(object, 0x3701))
        m_f.problem(where + ": a contact photo without PidTagAttachDataBinary");
}

// MSGFLAG_HASATTACH and PidTagHasAttachments agree with the attachment objects the message has.
void Messaging::has_attachments(const std::string& where, const PropMap& message, size_t count)
{
    const std::string have = "the message has " + std::to_string(count) + " attachments";
    if (const auto flags = int_prop(message, 0x0E07); flags && ((*flags & kMsgFlagHasAttach) != 0) != (count > 0))
        m_f.problem(where + ": MSGFLAG_HASATTACH is " + ((*flags & kMsgFlagHasAttach) ? "set" : "clear") + ", " + have);
    if (const auto has = int_prop(message, 0x0E1B); has && (*has != 0) != (count > 0))
        m_f.problem(where + ": PidTagHasAttachments is " + std::to_string(*has) + ", " + have);
}

void Messaging::store()
{
    const NodeEntry* n = m_f.find_node(kNidStore);
    if (!n)
        return;
    const std::string at = "message store " + hex(kNidStore);
    auto pc = pc_of(m_f, n->bid_data, n->bid_sub, at);
    if (!pc)
        return;
    const auto record_key = binary_prop(*pc, 0x0FF9);
    if (!record_key || record_key->size() != 16)
        m_f.problem(at + ": PidTagRecordKey is missing or not 16 bytes");
    if (pc->find(0x3001) == pc->end())
        m_f.problem(at + ": PidTagDisplayName is missing");
    struct EntryIdProp
    {
        uint16_t id;
        const char* name;
    };
    const EntryIdProp ids[] = {
        {0x35E0, "PidTagIpmSubTreeEntryId"}, {0x35E3, "PidTagIpmWastebasketEntryId"}, {0x35E7, "PidTagFinderEntryId"}};
    for (const auto& e : ids) {
        const auto v = binary_prop(*pc, e.id);
        if (!v || v->size() != 24) {
            m_f.problem(at + ": " + e.name + " is missing or not a 24-byte entry id");
            continue;
        }
        const Bytes b(*v);
        if (record_key && record_key->size() == 16 && !std::equal(v->begin() + 4, v->begin() + 20, record_key->begin()))
            m_f.problem(at + ": " + e.name + " does not carry the store's record key");
        if (!m_f.find_node(b.u32(20)))
            m_f.problem(at + ": " + e.name + " names node " + hex(b.u32(20)) + ", which does not exist");
    }
}

void Messaging::name_map()
{
    const NodeEntry* n = m_f.find_node(kNidNameMap);
    if (!n)
        return;
    const std::string at = "name-to-id map " + hex(kNidNameMap);
    auto pc = pc_of(m_f, n->bid_data, n->bid_sub, at);
    if (!pc)
        return;
    const auto buckets = int_prop(*pc, 0x0001);
    const auto guids = binary_prop(*pc, 0x0002), entries = binary_prop(*pc, 0x0003), strings = binary_prop(*pc, 0x0004);
    const std::pair<const std::optional<std::vector<uint8_t>>*, const char*> streams[] = {
        {&guids, "GUID stream"}, {&entries, "entry stream"}, {&strings, "string stream"}};
    bool usable = true;
    for (const auto& [s, name] : streams)
        if (!*s || (*s)->empty()) {
            m_f.problem(at + ": " + name + " is missing or empty");
            usable = false;
        }
    if (auto count = pc->find(0x0001); count != pc->end() && count->second.type != 0x0003)
        m_f.problem(at + ": bucket count has type " + hex(count->second.type) + ", not PtypInteger32");
    for (const auto& [id, v] : *pc)
        if (id >= 0x1000 && buckets && id < 0x1000 + *buckets && v.type != 0x0102)
            m_f.problem(at + ": bucket " + hex(id) + " has type " + hex(v.type) + ", not PtypBinary");
    if (!buckets || *buckets <= 0) {
        m_f.problem(at + ": bucket count is missing");
        return;
    }
    if (!usable)
        return;
    if (guids->size() % 16)
        m_f.problem(at + ": GUID stream of " + std::to_string(guids->size()) + " bytes");
    if (entries->size() % 8)
        m_f.problem(at + ": entry stream of " + std::to_string(entries->size()) + " bytes");
    const Bytes e(*entries), s(*strings);
    m_f.summary.named_properties = e.size() / 8;
    const uint64_t guid_count = guids->size() / 16;

    // Expected bucket contents: (key, guid/kind, index) per bucket.
    using Item = std::tuple<uint32_t, uint16_t, uint16_t>;
    std::map<uint32_t, std::multiset<Item>> expected;
    std::set<uint16_t> indexes;
    for (uint64_t off = 0; off + 8 <= e.size(); off += 8) {
        const std::string entry = at + " entry " + std::to_string(off / 8);
        uint32_t key = e.u32(off);
        const uint16_t guid_kind = e.u16(off + 4), index = e.u16(off + 6);
        const uint16_t guid = guid_kind >> 1;
        if (guid == 0 || (guid >= 3 && uint64_t(guid - 3) >= guid_count))
            m_f.problem(entry + ": GUID index " + std::to_string(guid) + " names no GUID");
        if (!indexes.insert(index).second)
            m_f.problem(entry + ": property index " + std::to_string(index) + " used twice");
        if (guid_kind & 1) {
            if (!s.has(key, 4) || !s.has(key + 4, s.u32(key))) {
                m_f.problem(entry + ": string offset " + std::to_string(key) + " outside the string stream");
                continue;
            }
            key = crc32(s.sub(key + 4, s.u32(key)));
        }
        expected[uint32_t((key ^ guid_kind) % uint64_t(*buckets))].insert({key, guid_kind, index});
    }
    for (int64_t b = 0; b < *buckets && b < 0x7000; ++b) {
        const auto stream = binary_prop(*pc, uint16_t(0x1000 + b));
        std::multiset<Item> have;
        if (stream)
            for (uint64_t off = 0; off + 8 <= stream->size(); off += 8) {
                const Bytes x(stream->data() + off, 8);
                have.insert({x.u32(0), x.u16(4), x.u16(6)});
            }
        if (have != expected[uint32_t(b)]) {
            std::string line = at + ": bucket " + std::to_string(b) + " holds";
            for (const auto& [key, kind, index] : have)
                line += " " + hex(key) + "/" + std::to_string(kind) + "/" + std::to_string(index);
            line += "; expected";
            for (const auto& [key, kind, index] : expected[uint32_t(b)])
                line += " " + hex(key) + "/" + std::to_string(kind) + "/" + std::to_string(index);
            m_f.problem(line);
        }
    }
}

void Messaging::run()
{
    required_nodes();
    parents();
    for (const auto& n : m_f.nodes) {
        // Nodes without a dedicated pass are parsed for structure only: tables that belong to no
        // folder (templates, search results) and search folder PCs.
        const unsigned t = type_of(n.nid);
        const bool folder_table = (t == kHierarchyTable || t == kContentsTable || t == kAssocContentsTable) &&
                                  m_f.find_node(sibling(n.nid, kFolder));
        if (t == kSearchContentsTable) {
            // Outlook keeps some search results in a heap of an undocumented kind (0xac):
            // only a TC-signed heap is read as a table.
            if (auto heap = heap_of(m_f, n.bid_data, "table " + hex(n.nid)); heap && heap->client_sig() == 0x7C)
                tc_of(m_f, n.bid_data, n.bid_sub, "table " + hex(n.nid));
        } else if (is_tc_node(n.nid) && !folder_table) {
            tc_of(m_f, n.bid_data, n.bid_sub, "table " + hex(n.nid));
        } else if (t == kSearchFolder) {
            pc_of(m_f, n.bid_data, n.bid_sub, "search folder " + hex(n.nid));
        }
    }
    folders();
    messages();
    unread_counts();
    store();
    name_map();
}

} // namespace

void check_messaging(File& f)
{
    Messaging(f).run();
}

} // namespace pstcheck::detail
