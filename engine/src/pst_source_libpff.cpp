// The libpff reader behind the seam: libpff's own items, folders and record sets.
#include <array>
#include <climits>
#include <new>
#include <vector>

#include "contacts/text.h"
#include "engine/pst_source.h"
#include "open_source.h"
#include "pff.h"

namespace engine {

namespace {

constexpr uint32_t kTagDisplayName = 0x3001;

class LibpffItem : public PstItem
{
public:
    explicit LibpffItem(libpff_item_t* handle) : m_item(handle) {}

    int type(uint8_t* out) override
    {
        pff::ErrorSlot error;
        return libpff_item_get_type(m_item.get(), out, error.out()) == 1 ? 1 : -1;
    }
    int sub_item_count(int* count) override { return counted(libpff_item_get_number_of_sub_items, count); }
    int sub_item(int index, std::unique_ptr<PstItem>* out) override
    {
        return child(libpff_item_get_sub_item, index, out);
    }
    int sub_folder_count(int* count) override { return counted(libpff_folder_get_number_of_sub_folders, count); }
    int sub_folder(int index, std::unique_ptr<PstItem>* out) override
    {
        return child(libpff_folder_get_sub_folder, index, out);
    }
    int sub_message_count(int* count) override { return counted(libpff_folder_get_number_of_sub_messages, count); }
    int sub_message(int index, std::unique_ptr<PstItem>* out) override
    {
        return child(libpff_folder_get_sub_message, index, out);
    }

    int display_name(std::string* out) override
    {
        size_t size = 0;
        if (pff::item_entry_utf8_string_size(m_item.get(), kTagDisplayName, &size) != 1) {
            return 0;
        }
        if (size == 0 || size > static_cast<size_t>(INT_MAX)) {
            return -1;
        }
        std::vector<uint8_t> buffer(size, 0);
        if (pff::item_entry_utf8_string(m_item.get(), kTagDisplayName, buffer.data(), buffer.size()) != 1) {
            return -1;
        }
        out->assign(reinterpret_cast<const char*>(buffer.data()));
        return 1;
    }

    int properties(const PropertyList** out) override
    {
        if (!m_read && read_properties() != 1) {
            return -1;
        }
        *out = &m_properties;
        return 1;
    }

private:
    template <typename CountFn> int counted(CountFn fn, int* count)
    {
        pff::ErrorSlot error;
        return fn(m_item.get(), count, error.out()) == 1 ? 1 : -1;
    }
    template <typename GetFn> int child(GetFn fn, int index, std::unique_ptr<PstItem>* out)
    {
        pff::ErrorSlot error;
        pff::Item handle;
        if (fn(m_item.get(), index, handle.out(), error.out()) != 1 || !handle) {
            return -1;
        }
        out->reset(new (std::nothrow) LibpffItem(handle.take()));
        return *out ? 1 : -1;
    }

    int read_properties()
    {
        m_properties.clear();
        pff::ErrorSlot error;
        pff::RecordSet set;
        if (libpff_item_get_record_set_by_index(m_item.get(), 0, set.out(), error.out()) != 1) {
            return -1;
        }
        int count = 0;
        if (libpff_record_set_get_number_of_entries(set.get(), &count, error.out()) != 1) {
            return -1;
        }
        for (int i = 0; i < count; ++i) {
            pff::RecordEntry entry;
            uint32_t id = 0;
            uint32_t type = 0;
            size_t size = 0;
            if (libpff_record_set_get_entry_by_index(set.get(), i, entry.out(), error.out()) != 1 ||
                libpff_record_entry_get_entry_type(entry.get(), &id, error.out()) != 1 ||
                libpff_record_entry_get_value_type(entry.get(), &type, error.out()) != 1) {
                continue;
            }
            if (libpff_record_entry_get_data_size(entry.get(), &size, error.out()) != 1) {
                size = 0;
            }
            if (size > m_scratch.size()) {
                m_scratch.resize(size);
            }
            if (size > 0 && libpff_record_entry_get_data(entry.get(), m_scratch.data(), size, error.out()) != 1) {
                continue;
            }
            add_entry(entry.get(), id, static_cast<uint16_t>(type), size);
        }
        m_read = true;
        return 1;
    }

    // Adds one entry with what the name-to-id map says of it.
    void add_entry(libpff_record_entry_t* entry, uint32_t id, uint16_t type, size_t size)
    {
        pff::ErrorSlot error;
        libpff_name_to_id_map_entry_t* name = nullptr; // owned by the record entry
        uint8_t kind = 0;
        if (libpff_record_entry_get_name_to_id_map_entry(entry, &name, error.out()) != 1 || name == nullptr ||
            libpff_name_to_id_map_entry_get_type(name, &kind, error.out()) != 1) {
            m_properties.add(id, type, m_scratch.data(), size);
            return;
        }
        if (kind == LIBPFF_NAME_TO_ID_MAP_ENTRY_TYPE_NUMERIC) {
            uint32_t lid = 0;
            if (libpff_name_to_id_map_entry_get_number(name, &lid, error.out()) == 1) {
                m_properties.add(id, type, m_scratch.data(), size, lid);
                return;
            }
            m_properties.add(id, type, m_scratch.data(), size);
            return;
        }
        Guid guid{};
        size_t name_size = 0;
        std::string utf8;
        if (libpff_name_to_id_map_entry_get_guid(name, guid.data(), guid.size(), error.out()) == 1 &&
            libpff_name_to_id_map_entry_get_utf8_string_size(name, &name_size, error.out()) == 1 && name_size > 0) {
            std::vector<uint8_t> buffer(name_size, 0);
            if (libpff_name_to_id_map_entry_get_utf8_string(name, buffer.data(), buffer.size(), error.out()) == 1) {
                utf8.assign(reinterpret_cast<const char*>(buffer.data()));
            }
        }
        std::u16string name16;
        contacts::utf8_to_utf16(utf8, name16);
        m_properties.add(id, type, m_scratch.data(), size, std::nullopt, &guid, name16);
    }

    pff::Item m_item;
    PropertyList m_properties;
    std::vector<uint8_t> m_scratch;
    bool m_read = false;
};

class LibpffSource : public PstSource
{
public:
    explicit LibpffSource(const SourceOptions& options) : PstSource(options) {}
    ~LibpffSource() override
    {
        if (m_file) {
            pff::ErrorSlot error;
            libpff_file_close(m_file.get(), error.out());
        }
    }

    bool open(const std::string& path, std::string* why)
    {
        pff::ErrorSlot error;
        if (libpff_file_initialize(m_file.out(), error.out()) != 1) {
            return fail(why, "libpff could not start");
        }
        const int codepage = options().fallback_codepage;
        if (libpff_file_set_ascii_codepage(m_file.get(), codepage, error.out()) != 1 &&
            libpff_file_set_ascii_codepage(m_file.get(), 1252, error.out()) != 1) {
            return fail(why, "libpff refused the code page");
        }
        if (libpff_file_open(m_file.get(), path.c_str(), LIBPFF_OPEN_READ, error.out()) != 1) {
            m_file.release();
            return fail(why, "libpff could not open the file");
        }
        return true;
    }

    int root_folder(std::unique_ptr<PstItem>* out) override
    {
        pff::ErrorSlot error;
        pff::Item root;
        if (libpff_file_get_root_folder(m_file.get(), root.out(), error.out()) != 1 || !root) {
            return -1;
        }
        out->reset(new (std::nothrow) LibpffItem(root.take()));
        return *out ? 1 : -1;
    }

private:
    static bool fail(std::string* why, const char* what)
    {
        if (why != nullptr) {
            *why = what;
        }
        return false;
    }

    pff::File m_file;
};

} // namespace

std::unique_ptr<PstSource> open_libpff_source(const std::string& path_utf8, const SourceOptions& options,
                                              std::string* why)
{
    return open_source<LibpffSource>(path_utf8, options, why);
}

} // namespace engine
