// The scan's use of the reader, bounded: the root folder and its tree through the hierarchy and
// contents tables, every node of the node B-tree, every property context, table cell, data
// stream and subnode met on the way, and the name-to-id map.
#include "exercise.h"

#include <algorithm>
#include <functional>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>

namespace fuzzpst {

namespace {

namespace read = pst::read;

constexpr uint32_t kRootFolderNid = 0x122;
constexpr uint32_t kHierarchyOffset = 11;   // a folder's sub folders
constexpr uint32_t kContentsOffset = 12;    // its messages
constexpr uint32_t kAssociatedOffset = 13;  // its associated contents
constexpr uint32_t kAttachmentsNid = 0x671; // subnodes of a message
constexpr uint32_t kRecipientsNid = 0x692;
constexpr unsigned kMaxAttachmentDepth = 3; // messages attached to messages
constexpr size_t kBlocksPerStream = 64;     // blocks of one stream looked at one by one
constexpr size_t kReadWindow = 4096;        // bytes read at each end of a stream

// Node types of tables: hierarchy, contents, associated contents, search contents, attachment
// and recipient tables. Every other node is read as a property context.
bool is_table(uint32_t nid)
{
    const uint32_t type = nid & 0x1F;
    return type >= 0x0D && type <= 0x12;
}

class Run
{
public:
    Run(read::File& file, const Limits& limits, Reached& reached)
        : m_file(file), m_limits(limits), m_out(reached), m_stream_bytes(limits.stream_bytes)
    {
    }

    void all()
    {
        name_map();
        read::Node root;
        if (m_file.find_node(kRootFolderNid, &root).found()) {
            folder(root, 0);
        }
        std::vector<read::Node> nodes;
        (void)m_file.for_each_node([&](const read::Node& n) {
            nodes.push_back(n);
            return nodes.size() < m_limits.nodes;
        });
        m_out.nodes = nodes.size();
        for (const read::Node& n : nodes) {
            if (n.nid == n.parent) {
                folder(n, 0); // a root folder found by its parent link
            }
            if (is_table(n.nid)) {
                table(n, [](uint32_t) {});
            } else {
                item(n, 0);
            }
        }
        read::Node none;
        (void)m_file.find_node(0, &none);
        (void)m_file.find_node(UINT32_MAX, &none);
    }

private:
    // A node's data and subnode tree: what a second visit would read again.
    static std::pair<uint64_t, uint64_t> key(const read::Node& n) { return {n.bid_data, n.bid_sub}; }
    struct KeyHash
    {
        size_t operator()(const std::pair<uint64_t, uint64_t>& k) const
        {
            return std::hash<uint64_t>()(k.first * 0x9E3779B97F4A7C15ull ^ k.second);
        }
    };

    void touch(const uint8_t* p, size_t n)
    {
        uint64_t d = m_out.digest;
        for (size_t i = 0; i < n; ++i) {
            d = d * 31 + p[i];
        }
        m_out.digest = d;
    }
    void touch(const std::vector<uint8_t>& v) { touch(v.data(), v.size()); }

    void name_map()
    {
        read::NameMap names;
        if (!names.open(m_file).found()) {
            return;
        }
        for (uint32_t id = 0x8000; id <= 0xFFFF; ++id) {
            if (const read::NamedId* n = names.find(static_cast<uint16_t>(id))) {
                touch(n->guid.data(), n->guid.size());
                touch(reinterpret_cast<const uint8_t*>(n->name.data()), n->name.size() * sizeof(char16_t));
                m_out.digest += n->lid + n->numeric;
            }
        }
    }

    // A data tree: opened, its blocks and both ends read, assembled while the byte budget lasts.
    void stream(uint64_t bid)
    {
        if (bid == 0 || m_out.streams >= m_limits.streams || !m_streams.insert(bid).second) {
            return;
        }
        ++m_out.streams;
        read::DataStream s;
        if (!s.open(m_file, bid).found()) {
            return;
        }
        const size_t blocks = s.block_count();
        for (size_t k = 0; k < blocks; ++k) {
            if (k == kBlocksPerStream / 2 && blocks > kBlocksPerStream) {
                k = blocks - kBlocksPerStream / 2; // the first and the last blocks
            }
            m_out.digest += s.block_size(k) + s.block_offset(k);
            const uint8_t* data = nullptr;
            size_t size = 0;
            if (s.block(k, &data, &size).found()) {
                touch(data, size);
            }
        }
        const uint64_t total = s.size();
        const size_t window = static_cast<size_t>(std::min<uint64_t>(total, kReadWindow));
        m_buf.resize(window + 1);
        if (s.read(0, window, m_buf.data()).found() && s.read(total - window, window, m_buf.data()).found()) {
            touch(m_buf.data(), window);
        }
        (void)s.read(total, 1, m_buf.data()); // past the end: refused
        if (total <= m_stream_bytes) {
            m_stream_bytes -= total;
            if (m_file.read_stream(bid, &m_buf).found()) {
                touch(m_buf);
            }
        }
    }

    void properties(const read::Node& n)
    {
        if (m_out.contexts >= m_limits.contexts) {
            return;
        }
        ++m_out.contexts;
        if (!m_pc.open(m_file, n).found()) {
            return;
        }
        for (size_t i = 0; i < m_pc.size(); ++i) {
            const read::PropertyRef& p = m_pc.at(i);
            touch(p.data, p.size);
            m_out.digest += p.id + p.type;
        }
        m_out.properties += m_pc.size();
        m_out.digest += m_pc.skipped() + m_pc.skip_reason().size() + (m_pc.find(0x001A) != nullptr);
    }

    // The cell of column `i` read by its index gives what cell() gave by its tag (for the first
    // column of a tag, the one cell() takes), unless the second read ran out of the table's block
    // budget; anything else is a fault of the reader.
    void same_cell_at(read::Table& t, size_t r, const std::vector<read::Table::Column>& columns, size_t i,
                      const pst::Status& by_tag)
    {
        const auto first = columns.begin() + static_cast<std::ptrdiff_t>(i);
        if (std::any_of(columns.begin(), first, [&](const read::Table::Column& c) { return c.tag == first->tag; })) {
            return;
        }
        std::span<const uint8_t> view;
        const pst::Status at = t.cell_at(r, i, &view, &m_spill);
        const bool differ = at.found() != by_tag.found() ||
                            (at.found() && !std::equal(view.begin(), view.end(), m_cell.begin(), m_cell.end()));
        if (at.ok && by_tag.ok && differ) {
            __builtin_trap();
        }
    }

    // Every row and cell of the table held by `n`; `row_node` gets each row's id.
    template <typename RowNode> void table(const read::Node& n, RowNode&& row_node)
    {
        if (!m_tables.insert(key(n)).second) {
            return;
        }
        stream(n.bid_data);
        stream(n.bid_sub);
        read::Table t;
        if (!t.open(m_file, n).found()) {
            return;
        }
        const std::vector<read::Table::Column> columns = t.columns();
        for (size_t r = 0; r < t.row_count() && m_out.rows < m_limits.rows; ++r) {
            ++m_out.rows;
            m_out.digest += t.row_id(r) + t.row_number(r);
            if (t.read_row(r).found()) {
                for (size_t i = 0; i < columns.size(); ++i) {
                    const pst::Status by_tag = t.cell(r, columns[i].tag, &m_cell);
                    if (by_tag.found()) {
                        touch(m_cell);
                    }
                    same_cell_at(t, r, columns, i, by_tag);
                }
                (void)t.cell(r, 0xFFFF0000u, &m_cell); // no such column
                std::span<const uint8_t> view;
                if (t.cell_at(r, columns.size(), &view, &m_spill).found()) {
                    __builtin_trap(); // past the columns: absent
                }
            }
            row_node(t.row_id(r));
        }
        (void)t.read_row(t.row_count()); // past the index: refused
    }

    // A node's properties, data, subnode tree, recipients and attachments (attached messages
    // down to a few levels).
    void item(const read::Node& n, unsigned depth)
    {
        if (!m_items.insert(key(n)).second) {
            return;
        }
        properties(n);
        stream(n.bid_data);
        stream(n.bid_sub);
        if (n.bid_sub == 0) {
            return;
        }
        read::Node sub;
        if (m_file.find_subnode(n.bid_sub, kRecipientsNid, &sub).found()) {
            ++m_out.subnodes;
            table(sub, [](uint32_t) {});
        }
        if (m_file.find_subnode(n.bid_sub, kAttachmentsNid, &sub).found()) {
            ++m_out.subnodes;
            table(sub, [&](uint32_t id) {
                read::Node attachment;
                if (m_file.find_subnode(n.bid_sub, id, &attachment).found()) {
                    ++m_out.subnodes;
                    if (depth < kMaxAttachmentDepth) {
                        item(attachment, depth + 1);
                    }
                }
            });
        }
    }

    // A folder as the walk reads it: its sub folders (depth first), then its messages.
    void folder(const read::Node& n, unsigned depth)
    {
        if (depth >= m_limits.depth || m_out.folders >= m_limits.folders || !m_folders.insert(n.nid).second) {
            return;
        }
        ++m_out.folders;
        item(n, 0);
        read::Node t;
        if (m_file.find_node(n.nid + kHierarchyOffset, &t).found()) {
            table(t, [&](uint32_t id) {
                read::Node child;
                if (id != n.nid && m_file.find_node(id, &child).found()) {
                    folder(child, depth + 1);
                }
            });
        }
        for (uint32_t offset : {kContentsOffset, kAssociatedOffset}) {
            if (m_file.find_node(n.nid + offset, &t).found()) {
                table(t, [&](uint32_t id) {
                    read::Node message;
                    if (m_file.find_node(id, &message).found()) {
                        item(message, 0);
                    }
                });
            }
        }
    }

    read::File& m_file;
    const Limits& m_limits;
    Reached& m_out;
    uint64_t m_stream_bytes; // what read_stream may still assemble
    read::PropertyContext m_pc;
    std::vector<uint8_t> m_buf, m_cell, m_spill;
    std::unordered_set<uint32_t> m_folders;
    std::unordered_set<uint64_t> m_streams;
    std::unordered_set<std::pair<uint64_t, uint64_t>, KeyHash> m_items, m_tables;
};

} // namespace

Reached exercise(std::vector<uint8_t> image, const Limits& limits)
{
    Reached reached;
    pst::Status why;
    std::unique_ptr<read::File> file = read::File::open_memory(std::move(image), &why);
    if (!file) {
        reached.digest = why.message.size();
        return reached;
    }
    reached.opened = true;
    reached.digest = file->size() + static_cast<uint64_t>(file->format()) + static_cast<uint64_t>(file->crypt());
    Run run(*file, limits, reached);
    run.all();
    return reached;
}

} // namespace fuzzpst
