// The contact preview: the fields page, the notes file and the frameset page that shows the
// two side by side, written to the private temporary directory and shown in the pane.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace contacts {
class ContactRecord;
}

namespace ui {

class CExplorer1;

// File names in the temporary directory.
inline constexpr auto kPreviewFieldsFile = "temp.html";
inline constexpr auto kPreviewNotesFile = "temp1.txt";
inline constexpr auto kPreviewFramesetFile = "temp2.html";

// `text` with <, >, &, " and ' replaced by character references.
std::u16string escapeHtml(std::u16string_view text);

// The field lines of `record`: for each of the 57 preview lines whose field is present and not
// empty, the bold label, the escaped value and "<br>".
std::u16string previewFieldsText(const contacts::ContactRecord& record);

// The frameset page: the fields page on the left, the notes file (or an empty source) on the
// right. Paths are escaped for the attribute.
std::u16string previewFramesetText(const std::filesystem::path& fieldsPage, const std::filesystem::path& notes);

// Writes the preview of `record` into `directory` and navigates `pane` to the frameset page.
// Returns false, writing nothing and leaving the pane alone, when the fields page cannot be
// written; a notes file or frameset page that cannot be written is skipped.
bool ShowContactPreview(CExplorer1& pane, const contacts::ContactRecord& record,
                        const std::filesystem::path& directory);

// The integer at the start of `text`, read the way the row's number cell is read: blanks, an
// optional sign, decimal digits; 0 when there are none.
int leadingInteger(std::u16string_view text);

} // namespace ui
