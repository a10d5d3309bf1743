// The texts the program shows in its message boxes and pages, kept in one place for the window,
// the converter and the tests. They stand exactly as the program has always shown them,
// blanks and spelling included.
#pragma once

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
inline constexpr std::u16string_view kMessageCompleted =
    u"Pelimoor Analysis Completed! Now click on Convert button to Export PST Contacts..";

// How a conversion ended, and the questions of Stop.
inline constexpr std::u16string_view kSaveCompletedText = u"Saving sucessfully completed.";
inline constexpr std::u16string_view kStopScanQuestion = u"Do you want to stop scan process ?";
inline constexpr std::u16string_view kStopSaveQuestion = u"Do you want to stop save process ?";

} // namespace contacts
