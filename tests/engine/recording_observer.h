// Test helper: an observer that records what a scan does.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "engine/scan_observer.h"
#include "temp_dir.h"

namespace enginetest {

inline std::string utf8(std::u16string_view s)
{
    return contacts::utf16_to_utf8(s);
}

// Records each call as one line ("enable 1006 0", "page started", "message TEXT|CAPTION",
// "contact 3 Anna", "file selection"); progress positions and folder paths separately.
class RecordingObserver : public engine::ScanObserver
{
public:
    void set_progress(int position) override
    {
        std::lock_guard lock(m_mutex);
        progress.push_back(position);
    }
    void contact_found(const contacts::ContactRecord& record) override
    {
        std::lock_guard lock(m_mutex);
        events.push_back("contact " + std::to_string(record.number()) + " " +
                         utf8(record.text_or_empty(contacts::Field::first_name)));
        first_names.push_back(utf8(record.text_or_empty(contacts::Field::first_name)));
    }
    void show_status_page(engine::StatusPage page, int count) override
    {
        static const char* const names[] = {"started", "done", "stopped"};
        // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on the chain of
        // operator+ this line used to be.
        std::string line = "page ";
        line += names[static_cast<int>(page)];
        if (page == engine::StatusPage::Done) {
            line += ' ';
            line += std::to_string(count);
        }
        std::lock_guard lock(m_mutex);
        events.push_back(std::move(line));
    }
    void show_message(const std::u16string& text, const std::u16string& caption, engine::MessageIcon) override
    {
        std::lock_guard lock(m_mutex);
        events.push_back("message " + utf8(text) + "|" + utf8(caption));
        messages.push_back(utf8(text) + "|" + utf8(caption));
    }
    void set_enabled(int id, bool enabled) override
    {
        std::lock_guard lock(m_mutex);
        events.push_back("enable " + std::to_string(id) + (enabled ? " 1" : " 0"));
    }
    void run_file_selection() override
    {
        std::lock_guard lock(m_mutex);
        events.push_back("file selection");
    }
    void folder_entered(const char16_t* path, std::size_t size) override
    {
        std::lock_guard lock(m_mutex);
        folders.push_back(utf8(std::u16string_view(path, size - 1)));
    }

    std::vector<std::string> events;
    std::vector<std::string> messages;
    std::vector<std::string> first_names;
    std::vector<std::string> folders;
    std::vector<int> progress;

private:
    std::mutex m_mutex;
};

using testfiles::read_bytes;
using testfiles::TempDir;
using testfiles::write_bytes;

} // namespace enginetest
