// The texts the program shows in its message boxes and pages, kept in one place for the window,
// the converter and the tests. They stand exactly as the program has always shown them,
// blanks and spelling included.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace contacts {

// The caption of every message box.
inline constexpr std::u16string_view kCaption = u"Tressoly Pelimoor";
// The refusal of a file that is not a personal folder file has a trailing blank in its caption.
inline constexpr std::u16string_view kCaptionNotPst = u"Tressoly Pelimoor ";

// How a scan ended.
inline constexpr std::u16string_view kMessageNotPst = u"This is not a valid PST File";
inline constexpr std::u16string_view kMessageOpenFailed =
    u"Please check file use in another proess or File is highly corrupted! Please select another file OR "
    u"contact support team..";
inline constexpr std::u16string_view kMessageScanFailed =
    u"Scanning process failed! Please select another file OR contact support team..";
inline constexpr std::u16string_view kMessageProtected =
    u"This file comes from an Outlook that protects its data (Windows Information Protection): its data may be "
    u"protected, so it cannot be read. Please open it in that Outlook and export a PST file.";
inline constexpr std::u16string_view kMessageCompleted =
    u"Pelimoor Analysis Completed! Now click on Convert button to Export PST Contacts..";

// How a conversion ended, and the questions of Stop.
inline constexpr std::u16string_view kSaveCompletedText = u"Saving sucessfully completed.";
inline constexpr std::u16string_view kStopScanQuestion = u"Do you want to stop scan process ?";
inline constexpr std::u16string_view kStopSaveQuestion = u"Do you want to stop save process ?";

// Added after a scan whose search beyond the live folders could not be completed (the live
// contacts are all there).
inline constexpr std::u16string_view kRecoveryIncompleteText =
    u"The search for contacts outside the live folders could not be completed; every contact of the live folders is "
    u"listed.";

// The one line added after a scan or a conversion that found contacts outside the live folders,
// e.g. "Also found 12 contacts outside the live folders: 9 deleted, 3 orphaned."; parts that
// count nothing are left out, and the line is empty when both counts are 0.
inline std::u16string recovered_line(int32_t orphans, int32_t recovered)
{
    const auto number = [](int64_t n) {
        std::u16string digits;
        do {
            digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
            n /= 10;
        } while (n > 0);
        return digits;
    };
    const int64_t deleted = recovered > 0 ? recovered : 0;
    const int64_t orphaned = orphans > 0 ? orphans : 0;
    const int64_t total = deleted + orphaned;
    if (total == 0)
        return {};
    std::u16string line =
        u"Also found " + number(total) + (total == 1 ? u" contact" : u" contacts") + u" outside the live folders: ";
    if (deleted > 0)
        line += number(deleted) + u" deleted";
    if (deleted > 0 && orphaned > 0)
        line += u", ";
    if (orphaned > 0)
        line += number(orphaned) + u" orphaned";
    return line + u".";
}

} // namespace contacts
