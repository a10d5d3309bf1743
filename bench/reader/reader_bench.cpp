// Walks every folder of a personal folder file the way a scan does and prints counts and the
// processor time taken:
//   native (default): each folder's property context, hierarchy table (sub folders) and contents
//     table (messages); for each message row the node lookup and its property context;
//   --libpff: the same walk through libpff (sub folders, sub messages, every record entry's value).
//
//   pst-read-bench [--libpff] FILE.pst
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <libpff.h>

#include "pst/reader.h"

namespace {

struct Counts
{
    long folders = 0, messages = 0, properties = 0, errors = 0;
    unsigned long long bytes = 0;
};

double cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

namespace read = pst::read;

constexpr uint32_t kRootFolder = 0x122;

uint32_t sibling(uint32_t nid, uint32_t type)
{
    return (nid & ~0x1Fu) | type;
}

class NativeWalk
{
public:
    NativeWalk(read::File& file, Counts& counts) : m_file(file), m_counts(counts) {}

    void folder(const read::Node& node, int depth)
    {
        ++m_counts.folders;
        properties(node);
        if (depth > 64)
            return;
        read::Table hierarchy, contents;
        read::Node t;
        if (m_file.find_node(sibling(node.nid, 0x0D), &t).found() && hierarchy.open(m_file, t).found()) {
            for (size_t r = 0; r < hierarchy.row_count(); ++r) {
                read::Node child;
                if (m_file.find_node(hierarchy.row_id(r), &child).found())
                    folder(child, depth + 1);
                else
                    ++m_counts.errors;
            }
        }
        if (m_file.find_node(sibling(node.nid, 0x0E), &t).found() && contents.open(m_file, t).found()) {
            for (size_t r = 0; r < contents.row_count(); ++r) {
                read::Node message;
                if (!m_file.find_node(contents.row_id(r), &message).found()) {
                    ++m_counts.errors;
                    continue;
                }
                ++m_counts.messages;
                properties(message);
            }
        }
    }

private:
    void properties(const read::Node& node)
    {
        if (!m_pc.open(m_file, node).found()) {
            ++m_counts.errors;
            return;
        }
        m_counts.properties += long(m_pc.size());
        for (size_t i = 0; i < m_pc.size(); ++i)
            m_counts.bytes += m_pc.at(i).size;
    }

    read::File& m_file;
    Counts& m_counts;
    read::PropertyContext m_pc;
};

void pff_entries(libpff_item_t* item, Counts& c)
{
    libpff_record_set_t* set = nullptr;
    if (libpff_item_get_record_set_by_index(item, 0, &set, nullptr) != 1) {
        ++c.errors;
        return;
    }
    int n = 0;
    libpff_record_set_get_number_of_entries(set, &n, nullptr);
    for (int i = 0; i < n; ++i) {
        libpff_record_entry_t* e = nullptr;
        if (libpff_record_set_get_entry_by_index(set, i, &e, nullptr) != 1)
            continue;
        size_t size = 0;
        if (libpff_record_entry_get_data_size(e, &size, nullptr) == 1 && size > 0) {
            static std::string buf;
            buf.resize(size);
            libpff_record_entry_get_data(e, reinterpret_cast<uint8_t*>(buf.data()), size, nullptr);
        }
        ++c.properties;
        c.bytes += size;
        libpff_record_entry_free(&e, nullptr);
    }
    libpff_record_set_free(&set, nullptr);
}

void pff_folder(libpff_item_t* folder, Counts& c)
{
    ++c.folders;
    pff_entries(folder, c);
    int folders = 0, messages = 0;
    libpff_folder_get_number_of_sub_folders(folder, &folders, nullptr);
    for (int i = 0; i < folders; ++i) {
        libpff_item_t* sub = nullptr;
        if (libpff_folder_get_sub_folder(folder, i, &sub, nullptr) != 1) {
            ++c.errors;
            continue;
        }
        pff_folder(sub, c);
        libpff_item_free(&sub, nullptr);
    }
    libpff_folder_get_number_of_sub_messages(folder, &messages, nullptr);
    for (int i = 0; i < messages; ++i) {
        libpff_item_t* m = nullptr;
        if (libpff_folder_get_sub_message(folder, i, &m, nullptr) != 1) {
            ++c.errors;
            continue;
        }
        ++c.messages;
        pff_entries(m, c);
        libpff_item_free(&m, nullptr);
    }
}

int run_libpff(const char* path, Counts& c)
{
    libpff_file_t* file = nullptr;
    libpff_file_initialize(&file, nullptr);
    if (libpff_file_open(file, path, LIBPFF_OPEN_READ, nullptr) != 1) {
        std::fprintf(stderr, "libpff cannot open %s\n", path);
        return 1;
    }
    libpff_item_t* root = nullptr;
    if (libpff_file_get_root_folder(file, &root, nullptr) == 1) {
        pff_folder(root, c);
        libpff_item_free(&root, nullptr);
    }
    libpff_file_close(file, nullptr);
    libpff_file_free(&file, nullptr);
    return 0;
}

int run_native(const char* path, Counts& c)
{
    pst::Status why;
    auto file = read::File::open(path, &why);
    if (!file) {
        std::fprintf(stderr, "%s\n", why.message.c_str());
        return 1;
    }
    read::Node root;
    if (const pst::Status found = file->find_node(kRootFolder, &root); !found.found()) {
        std::fprintf(stderr, "no root folder: %s\n", found.message.c_str());
        return 1;
    }
    NativeWalk(*file, c).folder(root, 0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool libpff = argc == 3 && std::strcmp(argv[1], "--libpff") == 0;
    if (argc != 2 && !libpff) {
        std::fprintf(stderr, "usage: pst-read-bench [--libpff] FILE.pst\n");
        return 2;
    }
    Counts c;
    const double start = cpu_seconds();
    const int rc = libpff ? run_libpff(argv[2], c) : run_native(argv[1], c);
    const double cpu = cpu_seconds() - start;
    std::printf("%s: %ld folders, %ld messages, %ld properties, %llu value bytes, %ld errors, %.3f s CPU\n",
                libpff ? "libpff" : "native", c.folders, c.messages, c.properties, c.bytes, c.errors, cpu);
    return rc;
}
