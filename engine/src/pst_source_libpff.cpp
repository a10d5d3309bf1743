// The libpff reader behind the seam: libpff's own items, folders and record sets.
#include "pst/format.h"
#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "contacts/text.h"
#include "engine/pst_source.h"
#include "open_source.h"
#include "pff.h"
#include "recipient_rows.h"

namespace engine {

namespace {

constexpr uint32_t kTagMessageFlags = 0x0E07;
constexpr uint32_t kMessageFlagHasAttachments = 0x10;
constexpr size_t kMaxAttachmentText = 64u << 10; // MIME tags, extensions and file names

// A text value of an attachment as UTF-8, as our reader gives it: 8-bit texts as stored, Unicode
// ones converted; empty when absent, of another type or implausibly long.
std::string attachment_text(libpff_record_set_t* set, uint32_t id)
{
    pff::RecordEntry entry;
    pff::ErrorSlot error;
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
    if (pff::record_entry_by_type(set, id, 0, &entry) != 1 ||
        libpff_record_entry_get_value_type(entry.get(), &type, error.out()) != 1 ||
        !pff::record_entry_bytes(entry.get(), kMaxAttachmentText, &bytes)) {
        return {};
    }
    if (type == type_code(PropType::String8)) {
        return std::string(bytes.begin(), bytes.end());
    }
    if (type == type_code(PropType::Unicode)) {
        std::u16string units(bytes.size() / 2, u'\0');
        units.resize(contacts::utf16le_to_utf16(bytes.data(), bytes.size(), units.data()));
        return contacts::utf16_to_utf8(units);
    }
    return {};
}

// Whether a boolean entry of the record set is present and true.
bool entry_is_true(libpff_record_set_t* set, uint32_t id)
{
    pff::RecordEntry entry;
    std::vector<uint8_t> bytes;
    return pff::record_entry_by_type(set, id, type_code(PropType::Boolean), &entry) == 1 &&
           pff::record_entry_bytes(entry.get(), 8, &bytes) && !bytes.empty() && bytes[0] != 0;
}

// The attachment's data, when it has PT_BINARY data of 1 to kMaxPhotoBytes bytes.
bool read_attachment_data(libpff_item_t* attachment, libpff_record_set_t* set, std::vector<uint8_t>* out)
{
    pff::RecordEntry entry;
    pff::ErrorSlot error;
    size64_t size = 0;
    if (pff::record_entry_by_type(set, pst::tag::kAttachDataBinary, type_code(PropType::Binary), &entry) != 1 ||
        libpff_attachment_get_data_size(attachment, &size, error.out()) != 1 || size == 0 || size > kMaxPhotoBytes ||
        libpff_attachment_data_seek_offset(attachment, 0, SEEK_SET, error.out()) != 0) {
        return false;
    }
    out->assign(static_cast<size_t>(size), 0);
    size_t done = 0;
    while (done < out->size()) {
        const ssize_t n =
            libpff_attachment_data_read_buffer(attachment, out->data() + done, out->size() - done, error.out());
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Whether an attachment is marked as the contact's photo and holds bytes within the bound; then
// *out gets them with their MIME type and extension (the file name's when none is stored).
bool photo_of_attachment(libpff_item_t* attachment, ContactPhoto* out)
{
    pff::ErrorSlot error;
    pff::RecordSet set;
    if (libpff_item_get_record_set_by_index(attachment, 0, set.out(), error.out()) != 1 ||
        !entry_is_true(set.get(), pst::tag::kAttachmentContactPhoto) ||
        !read_attachment_data(attachment, set.get(), &out->bytes)) {
        out->bytes.clear();
        return false;
    }
    out->mime = attachment_text(set.get(), pst::tag::kAttachMimeTag);
    out->extension = attachment_text(set.get(), pst::tag::kAttachExtension);
    for (const uint32_t name : {pst::tag::kAttachLongFilename, pst::tag::kAttachFilename}) {
        if (out->extension.empty()) {
            const std::string file_name = attachment_text(set.get(), name);
            const size_t dot = file_name.rfind('.');
            if (dot != std::string::npos) {
                out->extension = file_name.substr(dot);
            }
        }
    }
    return true;
}

// A failure as libpff reports it: its texts are never passed on, so without an account.
pst::Status libpff_failed()
{
    return pst::Status::failure("");
}

// Done for libpff's 1, a failure otherwise.
pst::Status libpff_result(int result)
{
    return result == 1 ? pst::Status::success() : libpff_failed();
}

class LibpffItem : public PstItem
{
public:
    explicit LibpffItem(libpff_item_t* handle) : m_item(handle) {}

    pst::Status type(uint8_t* out) override
    {
        pff::ErrorSlot error;
        return libpff_result(libpff_item_get_type(m_item.get(), out, error.out()));
    }
    pst::Status sub_item_count(int* count) override { return counted(libpff_item_get_number_of_sub_items, count); }
    pst::Status sub_item(int index, std::unique_ptr<PstItem>* out) override
    {
        return child(libpff_item_get_sub_item, index, out);
    }
    pst::Status sub_folder_count(int* count) override
    {
        return counted(libpff_folder_get_number_of_sub_folders, count);
    }
    pst::Status sub_folder(int index, std::unique_ptr<PstItem>* out) override
    {
        return child(libpff_folder_get_sub_folder, index, out);
    }
    pst::Status sub_message_count(int* count) override
    {
        return counted(libpff_folder_get_number_of_sub_messages, count);
    }
    pst::Status sub_message(int index, std::unique_ptr<PstItem>* out) override
    {
        return child(libpff_folder_get_sub_message, index, out);
    }
    pst::Status sub_associated_count(int* count) override
    {
        return counted(libpff_folder_get_number_of_sub_associated_contents, count);
    }
    pst::Status sub_associated(int index, std::unique_ptr<PstItem>* out) override
    {
        return child(libpff_folder_get_sub_associated_content, index, out);
    }

    pst::Status display_name(std::string* out) override
    {
        size_t size = 0;
        if (pff::item_entry_utf8_string_size(m_item.get(), pst::tag::kDisplayName, &size) != 1) {
            return pst::Status::none();
        }
        if (size == 0 || size > static_cast<size_t>(INT_MAX)) {
            return libpff_failed();
        }
        std::vector<uint8_t> buffer(size, 0);
        if (pff::item_entry_utf8_string(m_item.get(), pst::tag::kDisplayName, buffer.data(), buffer.size()) != 1) {
            return libpff_failed();
        }
        out->assign(reinterpret_cast<const char*>(buffer.data()));
        return pst::Status::success();
    }

    pst::Status properties(const PropertyList** out) override
    {
        if (!m_read && read_properties() != 1) {
            return libpff_failed();
        }
        *out = &m_properties;
        return pst::Status::success();
    }

    uint32_t node_id() override
    {
        uint32_t id = 0;
        pff::ErrorSlot error;
        return libpff_item_get_identifier(m_item.get(), &id, error.out()) == 1 ? id : 0;
    }

    pst::Status contact_photo(ContactPhoto* out) override
    {
        // Asking libpff for a message's attachments costs a lookup in its subnodes; a message
        // whose PidTagMessageFlags say it has none is taken at its word (Outlook keeps the flag
        // with the attachments).
        const PropertyList* list = nullptr;
        if (properties(&list)) {
            const std::optional<uint32_t> flags = list->long_value(kTagMessageFlags);
            if (flags && (*flags & kMessageFlagHasAttachments) == 0) {
                return pst::Status::none();
            }
        }
        pff::ErrorSlot error;
        int count = 0;
        if (libpff_message_get_number_of_attachments(m_item.get(), &count, error.out()) != 1 || count <= 0) {
            return pst::Status::none();
        }
        for (int i = 0; i < count; ++i) {
            pff::Item attachment;
            if (libpff_message_get_attachment(m_item.get(), i, attachment.out(), error.out()) == 1 && attachment &&
                photo_of_attachment(attachment.get(), out)) {
                return pst::Status::success();
            }
        }
        return pst::Status::none();
    }

    pst::Status recipient_rows(RecipientRows* out) override { return read_recipient_rows(m_item.get(), out); }

private:
    template <typename CountFn> pst::Status counted(CountFn fn, int* count)
    {
        pff::ErrorSlot error;
        return libpff_result(fn(m_item.get(), count, error.out()));
    }
    template <typename GetFn> pst::Status child(GetFn fn, int index, std::unique_ptr<PstItem>* out)
    {
        pff::ErrorSlot error;
        pff::Item handle;
        if (fn(m_item.get(), index, handle.out(), error.out()) != 1 || !handle) {
            return libpff_failed();
        }
        out->reset(new (std::nothrow) LibpffItem(handle.take()));
        return *out ? pst::Status::success() : libpff_failed();
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

    bool open(const std::string& path, pst::Status* why)
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

    pst::Status root_folder(std::unique_ptr<PstItem>* out) override
    {
        pff::ErrorSlot error;
        pff::Item root;
        if (libpff_file_get_root_folder(m_file.get(), root.out(), error.out()) != 1 || !root) {
            return libpff_failed();
        }
        out->reset(new (std::nothrow) LibpffItem(root.take()));
        return *out ? pst::Status::success() : libpff_failed();
    }

    pst::Status for_each_extra_item(const std::function<bool(PstItem&, ExtraOrigin)>& visit,
                                    const std::function<bool()>& go_on) override
    {
        std::vector<Orphan> orphans;
        const int collected = collect_orphans(go_on, &orphans);
        if (collected != 1) {
            return collected == 0 ? pst::Status::none() : libpff_failed();
        }
        for (Orphan& orphan : orphans) {
            LibpffItem item(orphan.item.take());
            if (!visit(item, ExtraOrigin::orphan)) {
                return pst::Status::success();
            }
        }
        if (!go_on()) {
            return pst::Status::success();
        }
        const int recovered = recover(go_on);
        if (recovered != 1) {
            return recovered == 0 ? pst::Status::success() : libpff_failed();
        }
        pff::ErrorSlot error;
        int count = 0;
        if (libpff_file_get_number_of_recovered_items(m_file.get(), &count, error.out()) != 1) {
            return libpff_failed();
        }
        for (int i = 0; i < count; ++i) {
            if (!go_on()) {
                return pst::Status::success();
            }
            pff::Item handle;
            if (libpff_file_get_recovered_item_by_index(m_file.get(), i, handle.out(), error.out()) != 1 || !handle) {
                continue;
            }
            LibpffItem item(handle.take());
            if (!visit(item, ExtraOrigin::recovered)) {
                return pst::Status::success();
            }
        }
        return pst::Status::success();
    }

private:
    struct Orphan
    {
        uint32_t id = 0;
        pff::Item item;
    };

    static bool is_message_id(uint32_t id)
    {
        const uint32_t type = id & 0x1F;
        return type == 0x04 || type == 0x08; // normal and associated message nodes
    }
    static bool is_folder_id(uint32_t id) { return (id & 0x1F) == 0x02; }

    // The message nodes that no folder holds, as our reader finds them (a parent that is no
    // folder node): libpff files every node under its parent item, whatever that is (the
    // message store, another message, the item tree's root for parentless ones), and lists the
    // nodes whose parent it cannot find as orphan items. So: the messages among the orphan
    // items, and every message item below an item that is not a folder, in node-id order.
    // 1 done, 1 with *out empty when stopped through go_on, -1 when the item tree is unreadable.
    int collect_orphans(const std::function<bool()>& go_on, std::vector<Orphan>* out)
    {
        struct Frame
        {
            pff::Item item;
            uint32_t id = 0;
            bool orphan = false; // kept when the frame is done
            int count = 0;
            int next = 0;
        };
        std::vector<Frame> stack;
        size_t visited = 0;
        bool stopped = false;
        // Looks at one item below a parent (folder or not); descends into its sub items later.
        const auto enter = [&](pff::Item item, bool parent_is_folder) {
            pff::ErrorSlot error;
            Frame frame;
            frame.item = std::move(item);
            if (libpff_item_get_identifier(frame.item.get(), &frame.id, error.out()) != 1) {
                return;
            }
            frame.orphan = !parent_is_folder && is_message_id(frame.id);
            if (libpff_item_get_number_of_sub_items(frame.item.get(), &frame.count, error.out()) != 1) {
                frame.count = 0;
            }
            if (++visited % 4096 == 0 && !go_on()) {
                stopped = true;
            }
            if (frame.count > 0) {
                stack.push_back(std::move(frame));
            } else if (frame.orphan) {
                out->push_back({frame.id, std::move(frame.item)});
            }
        };
        const auto walk = [&] {
            while (!stack.empty() && !stopped) {
                Frame& top = stack.back();
                if (top.next >= top.count) {
                    if (top.orphan) {
                        out->push_back({top.id, std::move(top.item)});
                    }
                    stack.pop_back();
                    continue;
                }
                pff::ErrorSlot error;
                pff::Item child;
                const bool folder = is_folder_id(top.id);
                if (libpff_item_get_sub_item(top.item.get(), top.next++, child.out(), error.out()) == 1 && child) {
                    enter(std::move(child), folder); // may grow the stack: `top` is not used after this
                }
            }
        };
        pff::ErrorSlot error;
        pff::Item root;
        if (libpff_file_get_root_item(m_file.get(), root.out(), error.out()) != 1 || !root) {
            return -1;
        }
        enter(std::move(root), true); // the tree's root is no node: only its sub items count
        walk();
        int count = 0;
        if (libpff_file_get_number_of_orphan_items(m_file.get(), &count, error.out()) != 1) {
            count = 0;
        }
        for (int i = 0; i < count && !stopped; ++i) {
            pff::Item orphan;
            if (libpff_file_get_orphan_item_by_index(m_file.get(), i, orphan.out(), error.out()) == 1 && orphan) {
                enter(std::move(orphan), false);
                walk();
            }
        }
        if (stopped) {
            out->clear();
            return 1;
        }
        std::stable_sort(out->begin(), out->end(), [](const Orphan& a, const Orphan& b) { return a.id < b.id; });
        return 1;
    }

    // Has libpff look for deleted items (once per source: libpff keeps what it found). libpff's
    // search takes time that grows with the square of what it finds (22 s for 10,000 deleted
    // items), so it runs on a thread of its own while this one asks go_on(), and is abandoned
    // after kRecoveryBudget. 1 done, 0 stopped through go_on, -1 failed or abandoned.
    int recover(const std::function<bool()>& go_on)
    {
        if (m_recovery == 0) {
            m_recovery = run_recovery(go_on);
        }
        return m_recovery == 1 ? 1 : m_recovery == 2 ? 0 : -1;
    }

    static constexpr std::chrono::seconds kRecoveryBudget{120};

    // 1 done, 2 stopped, -1 failed or over the budget.
    int run_recovery(const std::function<bool()>& go_on)
    {
        libpff_file_t* file = m_file.get();
        const auto recover_items = [file] {
            pff::ErrorSlot error;
            return libpff_file_recover_items(file, 0, error.out()) == 1 ? 1 : -1;
        };
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        int result = -1;
        std::thread worker;
        try {
            worker = std::thread([&] {
                const int r = recover_items();
                const std::lock_guard lock(mutex);
                result = r;
                done = true;
                finished.notify_one();
            });
        } catch (const std::system_error&) {
            return recover_items(); // no thread to be had: search without a way to stop it
        }
        const auto start = std::chrono::steady_clock::now();
        int end = 0; // 0 running, 2 stopped, -1 abandoned
        for (;;) {
            {
                std::unique_lock lock(mutex);
                if (finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
                    break;
                }
            }
            if (!go_on()) {
                end = 2;
            } else if (std::chrono::steady_clock::now() - start > kRecoveryBudget) {
                end = -1;
            }
            if (end != 0) {
                pff::ErrorSlot error;
                libpff_file_signal_abort(file, error.out());
                break;
            }
        }
        worker.join();
        return end != 0 ? end : result;
    }

    static bool fail(pst::Status* why, const char* what)
    {
        if (why != nullptr) {
            *why = pst::Status::failure(what);
        }
        return false;
    }

    pff::File m_file;
    int m_recovery = 0; // of run_recovery; 0 not run yet
};

} // namespace

std::unique_ptr<PstSource> open_libpff_source(const std::string& path_utf8, const SourceOptions& options,
                                              pst::Status* why)
{
    return open_source<LibpffSource>(path_utf8, options, why);
}

} // namespace engine
