// What a scan reports: facts only (a contact was added, an item was skipped, how the run ended).
// How to show them is the caller's business: the window turns them into its list, pages,
// message boxes and enables, the converter into its output, standard-error lines and exit status.
//
// The engine calls a ScanListener on the thread that runs the scan. A run that was stopped
// through its PauseGate reports nothing more once it has seen the stop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "contacts/contact_groups.h"

namespace contacts {
class ContactRecord;
}

namespace engine {

// How a scan ended.
enum class ScanOutcome : uint8_t
{
    Done,       // the walk went through; the store holds what it found
    NotPst,     // the file has the signature but another content type (an offline folder file, ...)
    OpenFailed, // the file cannot be read, has no signature, or the reader refused it
    WalkFailed, // the file opened but its folder tree could not be walked
    Stopped,    // ended through the pause gate
    Protected,  // version 37: written by an Outlook that protects data (Windows Information Protection)
};

// A short English name of the outcome ("done", "not a PST file", ...), for logs and tests.
std::string_view outcome_name(ScanOutcome outcome);

// An item the walk met but could not take.
struct SkippedItem
{
    std::u16string folder; // the folder's path below the file's root, names joined by '\'
    int index = 0;         // the item's position among the folder's sub folders or messages
    std::string reason;    // why, in the engine's words ("the contact's values cannot be read")
    std::string detail;    // what the reader found, when it gave an account (the failed call's status); else empty
};

struct ScanResult
{
    ScanOutcome outcome = ScanOutcome::OpenFailed;
    int32_t contacts = 0; // contact items met by the walk (whether or not each could be read)
    int64_t skipped = 0;  // items reported through item_skipped
    // Contacts found beyond the live folders and added after the live ones (0 with recovery
    // off): in message nodes no folder reaches, and deleted ones left in free space.
    int32_t orphans = 0;
    int32_t recovered = 0;
    bool recovery_failed = false; // the search beyond the live folders could not be completed
    // UTF-8, for OpenFailed: why the file could not be opened, as the header check or the reader
    // found it ("/x/a.pst: No such file or directory", "the file header is damaged (its partial
    // CRC does not match)"); empty otherwise.
    std::string reason;
    // Cards of the autocomplete list, added after the contacts; an .nk2 file's cards count here.
    int32_t autocomplete = 0;
    // Cards of the recipient cache (IPM.AbchPerson items) and of the correspondents of the mail.
    int32_t recipient_cache = 0;
    int32_t correspondents = 0;
    // The distribution lists of the live folders with their members (never null after a walk).
    std::shared_ptr<const contacts::ContactGroups> groups;
};

class ScanListener
{
public:
    virtual ~ScanListener() = default;

    // The run has begun (before the file is opened).
    virtual void scan_started() {}
    // Position 0 to 100 of the walk within the current folder. Called once per message and
    // twice per sub folder: an implementation should only store the value.
    virtual void progress(int /*position*/) {}
    // A contact was read. Called right before the record is appended to the store (no pause
    // lies between the two); the record stays alive until the store is cleared.
    virtual void contact_added(const contacts::ContactRecord& /*record*/) {}
    // An item (or a whole folder level) was met but could not be read.
    virtual void item_skipped(const SkippedItem& /*item*/) {}
    // The walk entered a folder; `target_path` is ".export\<names>" (nothing is created there).
    virtual void folder_entered(std::u16string_view /*target_path*/) {}
};

} // namespace engine
