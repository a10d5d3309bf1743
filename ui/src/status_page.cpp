#include "ui/status_page.h"

#include "platform/environment.h"
#include "platform/files.h"
#include "ui/explorer.h"
#include "ui/preview.h"

#include <QString>

namespace ui {

std::u16string statusPageText(ui::StatusPage page, int count)
{
    switch (page) {
    case ui::StatusPage::Started:
        return std::u16string(kStartedPage);
    case ui::StatusPage::Done: {
        std::u16string text(kDonePageHead);
        for (char c : std::to_string(count))
            text.push_back(static_cast<char16_t>(c));
        text += kDonePageTail;
        return text;
    }
    case ui::StatusPage::Stopped:
        break;
    }
    return std::u16string(kStoppedPage);
}

std::u16string statusPageLine(std::u16string_view line)
{
    if (line.empty())
        return {};
    return u"<div align=\"center\"><h3>" + escapeHtml(line) + u"</h3></div>";
}

std::filesystem::path statusPagePath(const std::filesystem::path& executable)
{
    // One pass over the original, as a replace-all does: removals never join into new matches.
    const std::string original = executable.string();
    std::string path;
    size_t from = 0;
    for (size_t at = original.find(".exe"); at != std::string::npos; at = original.find(".exe", from)) {
        path.append(original, from, at - from);
        from = at + 4;
    }
    path.append(original, from, std::string::npos);
    return std::filesystem::path(path + "temp.html");
}

std::filesystem::path ShowStatusPage(CExplorer1& pane, std::u16string_view text)
{
    platform::Environment& env = platform::environment();
    std::filesystem::path page = statusPagePath(env.executablePath());
    if (!platform::writeUtf16File(page, text)) {
        page = env.tempDirectory() / page.filename();
        if (!platform::writeUtf16File(page, text))
            return {};
    }
    pane.Navigate(QString::fromStdString(page.string()));
    return page;
}

} // namespace ui
