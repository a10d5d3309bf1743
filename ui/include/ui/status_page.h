// The status pages of a scan: their texts, the page file and ShowStatusPage.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace ui {

class CExplorer1;

enum class StatusPage
{
    Started,
    Done,
    Stopped,
};

inline constexpr std::u16string_view kStartedPage =
    u"<div align=\"center\"><p><img src=\"loading.gif\" width=\"100\" height=\"100\" /></p><h1 >Recovery Started! "
    u"Please wait for completion...</h1></div>";
inline constexpr std::u16string_view kDonePageHead =
    u"<div align=\"center\"><p><img src=\"done.gif\" /></p><h1 >  Recover No of Contact :";
inline constexpr std::u16string_view kDonePageTail =
    u" </h1><br><h3>Pelimoor Analysis Completed! Now click on Convert button to Export PST Contacts.</h3></div>";
inline constexpr std::u16string_view kStoppedPage =
    u"<div align=\"center\"><p><img src=\"stop.gif\" /></p><h1 > Recovery Process Stopped by User...</h1></div>";

// The text of `page`; `count` is used by the done page only.
std::u16string statusPageText(ui::StatusPage page, int count);

// A line added below a page's text, centred as the page is (`line` escaped); "" for an empty line.
std::u16string statusPageLine(std::u16string_view line);

// The page file beside the program: `executable` with every ".exe" removed, then "temp.html".
std::filesystem::path statusPagePath(const std::filesystem::path& executable);

// Writes `text` (UTF-16LE, no byte-order mark) to the page file and shows it in `pane`. When the
// program's directory is not writable the page goes to the private temporary directory under
// the same name. Write and navigation errors are swallowed. Returns the file written, or an
// empty path when neither place could be written (the pane then keeps what it showed).
std::filesystem::path ShowStatusPage(CExplorer1& pane, std::u16string_view text);

} // namespace ui
