#include "scan_inputs.h"

#include <chrono>
#include <map>
#include <ostream>

#include "contacts/contact_groups.h"
#include "contacts/contact_store.h"
#include "contacts/messages.h"
#include "contacts/text.h"
#include "engine/scan_events.h"
#include "engine/scan_run.h"
#include "merge_step.h"

namespace cli {

namespace {

// What a scan reports, on standard error. `file` is the file's name as the lines give it: empty
// when the run reads one file.
class ConsoleListener : public engine::ScanListener
{
public:
    ConsoleListener(std::ostream& err, const RunOptions& options, std::string file)
        : m_err(err), m_options(options), m_file(std::move(file))
    {
    }

    void scan_started() override
    {
        if (m_options.show_progress) {
            m_err << "\rScanning" << label() << ": opening the file" << std::flush;
            m_progress_shown = true;
        }
    }
    void contact_added(const contacts::ContactRecord&) override
    {
        ++m_found;
        if (!m_options.show_progress) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - m_last_shown >= std::chrono::milliseconds(100)) {
            m_last_shown = now;
            m_err << "\rScanning" << label() << ": " << m_found << " contacts found   " << std::flush;
            m_progress_shown = true;
        }
    }
    void item_skipped(const engine::SkippedItem& item) override
    {
        ++m_reasons[item.reason];
        if (m_options.verbose) {
            end_progress_line();
            m_err << "skipped: " << prefix()
                  << (item.folder.empty() ? std::string("(root)") : contacts::utf16_to_utf8(item.folder)) << ", item "
                  << item.index + 1 << ": " << item.reason
                  << (item.detail.empty() ? std::string() : " (" + item.detail + ")") << '\n';
        }
    }

    void end_progress_line()
    {
        if (m_progress_shown) {
            m_err << "\rScanning" << label() << ": " << m_found << " contacts found   \n" << std::flush;
            m_progress_shown = false;
        }
    }
    // One line per reason: how many items were skipped for it.
    void write_skipped_summary()
    {
        for (const auto& [reason, count] : m_reasons) {
            m_err << "pelimoor-convert: " << prefix() << count << (count == 1 ? " item" : " items")
                  << " skipped: " << reason << (m_options.verbose ? "\n" : " (--verbose lists them)\n");
        }
    }

    // "a.pst: " before a line about the file, when the run reads several.
    std::string prefix() const { return m_file.empty() ? std::string() : m_file + ": "; }

private:
    std::string label() const { return m_file.empty() ? std::string() : " " + m_file; }

    std::ostream& m_err;
    const RunOptions& m_options;
    const std::string m_file;
    bool m_progress_shown = false;
    long m_found = 0;
    std::map<std::string, long> m_reasons;
    std::chrono::steady_clock::time_point m_last_shown{};
};

// The standard-error line of a scan that did not end well.
std::u16string_view outcome_text(engine::ScanOutcome outcome)
{
    switch (outcome) {
    case engine::ScanOutcome::NotPst:
        return contacts::kMessageNotPst;
    case engine::ScanOutcome::OpenFailed:
        return contacts::kMessageOpenFailed;
    case engine::ScanOutcome::WalkFailed:
        return contacts::kMessageScanFailed;
    case engine::ScanOutcome::Protected:
        return contacts::kMessageProtected;
    case engine::ScanOutcome::Done:
    case engine::ScanOutcome::Stopped:
        break;
    }
    return {};
}

std::string cards(int32_t n)
{
    return std::to_string(n) + (n == 1 ? " card" : " cards");
}

// Scans one file; false (and its reason on `err`) when it could not be read.
bool scan_one(const std::string& file, bool several, contacts::ContactStore& store, std::ostream& err,
              const RunOptions& options, std::shared_ptr<const contacts::ContactGroups>* groups)
{
    engine::ScanSession session;
    session.options = options.source;
    ConsoleListener listener(err, options, several ? file : std::string());
    const engine::ScanResult result = engine::scan_run(session, file, store, listener, nullptr);
    listener.end_progress_line();
    if (result.outcome != engine::ScanOutcome::Done) {
        err << (several ? "pelimoor-convert: " + listener.prefix() : std::string())
            << contacts::utf16_to_utf8(outcome_text(result.outcome)) << '\n';
        if (!result.reason.empty()) {
            err << "pelimoor-convert: " << listener.prefix() << result.reason << '\n';
        }
        return false;
    }
    listener.write_skipped_summary();
    *groups = result.groups;
    if (const std::u16string extra = contacts::recovered_line(result.orphans, result.recovered); !extra.empty()) {
        err << "pelimoor-convert: " << listener.prefix() << contacts::utf16_to_utf8(extra) << '\n';
    }
    // The cards of each source beyond the contact items that was asked for (an .nk2 file's too).
    const engine::Sources& sources = options.source.sources;
    if (sources.has(engine::Source::autocomplete) || result.autocomplete > 0) {
        err << "pelimoor-convert: " << listener.prefix() << cards(result.autocomplete)
            << " from the autocomplete list\n";
    }
    if (sources.has(engine::Source::recipients)) {
        err << "pelimoor-convert: " << listener.prefix() << cards(result.recipient_cache)
            << " from the recipient cache\n";
    }
    if (sources.has(engine::Source::correspondents)) {
        err << "pelimoor-convert: " << listener.prefix() << cards(result.correspondents)
            << " of correspondents in the mail\n";
    }
    if (result.recovery_failed) {
        err << "pelimoor-convert: " << listener.prefix() << contacts::utf16_to_utf8(contacts::kRecoveryIncompleteText)
            << '\n';
    }
    return true;
}

} // namespace

ScannedInputs scan_inputs(const std::vector<std::string>& files, contacts::ContactStore& store, std::ostream& err,
                          const RunOptions& options)
{
    ScannedInputs scanned;
    const bool several = files.size() > 1;
    contacts::ContactGroups all;
    for (const std::string& file : files) {
        if (options.merge && is_dump(file)) {
            contacts::ContactGroups lists;
            if (!read_dump(file, store, lists, err)) {
                ++scanned.refused;
                continue;
            }
            scanned.read.push_back(file);
            if (!several) {
                scanned.groups = std::make_shared<const contacts::ContactGroups>(std::move(lists));
            } else {
                contacts::append_groups(all, lists);
            }
            continue;
        }
        std::shared_ptr<const contacts::ContactGroups> groups;
        if (!scan_one(file, several, store, err, options, &groups)) {
            ++scanned.refused;
            continue;
        }
        scanned.read.push_back(file);
        if (!several) {
            scanned.groups = std::move(groups);
        } else if (groups) {
            contacts::append_groups(all, *groups);
        }
    }
    if (several) {
        scanned.groups = std::make_shared<const contacts::ContactGroups>(std::move(all));
    }
    return scanned;
}

int scan_status(const ScannedInputs& scanned)
{
    if (scanned.read.empty()) {
        return kExitScanFailed;
    }
    return scanned.refused > 0 ? kExitSomeRefused : kExitSuccess;
}

} // namespace cli
