// Test helper: a listener that records what a scan reports.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "engine/pause_gate.h"
#include "engine/scan_events.h"
#include "temp_dir.h"

namespace enginetest {

inline std::string utf8(std::u16string_view s)
{
    return contacts::utf16_to_utf8(s);
}

// Records each report as one line ("started", "contact 3 Anna", "skipped A\B 4 why"); progress
// positions and folder paths separately.
class RecordingObserver : public engine::ScanListener
{
public:
    void scan_started() override
    {
        std::lock_guard lock(m_mutex);
        events.push_back("started");
    }
    void progress(int position) override
    {
        std::lock_guard lock(m_mutex);
        positions.push_back(position);
    }
    void contact_added(const contacts::ContactRecord& record) override
    {
        std::lock_guard lock(m_mutex);
        events.push_back("contact " + std::to_string(record.number()) + " " +
                         utf8(record.text_or_empty(contacts::Field::first_name)));
        first_names.push_back(utf8(record.text_or_empty(contacts::Field::first_name)));
    }
    void item_skipped(const engine::SkippedItem& item) override
    {
        std::lock_guard lock(m_mutex);
        std::string line = "skipped ";
        line += utf8(item.folder);
        line += ' ';
        line += std::to_string(item.index);
        line += ' ';
        line += item.reason;
        events.push_back(line);
        skipped.push_back(std::move(line));
        details.push_back(item.detail);
    }
    void folder_entered(std::u16string_view path) override
    {
        std::lock_guard lock(m_mutex);
        folders.push_back(utf8(path));
    }

    std::vector<std::string> events;
    std::vector<std::string> first_names;
    std::vector<std::string> skipped;
    std::vector<std::string> details; // the reader's account of each skipped item
    std::vector<std::string> folders;
    std::vector<int> positions;

private:
    std::mutex m_mutex;
};

// Records, and at contact number `at` holds the scan there (between two contacts) until the
// gate is asked to pause: the test can then pause, resume or stop it at a known place.
class ParkAtContact : public RecordingObserver
{
public:
    ParkAtContact(engine::PauseGate& gate, int32_t at) : m_gate(gate), m_at(at) {}
    void contact_added(const contacts::ContactRecord& record) override
    {
        RecordingObserver::contact_added(record);
        if (record.number() == m_at) {
            reached.store(true);
            while (!m_gate.pause_requested()) {
                std::this_thread::yield();
            }
        }
    }
    std::atomic<bool> reached{false};

private:
    engine::PauseGate& m_gate;
    const int32_t m_at;
};

using testfiles::read_bytes;
using testfiles::TempDir;
using testfiles::write_bytes;

} // namespace enginetest
