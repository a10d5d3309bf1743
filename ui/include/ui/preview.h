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
inline constexpr auto kPreviewPhotoFile = "temp3.png";
// The longest side of the photo in the preview, in pixels.
inline constexpr int kPreviewPhotoPixels = 128;

// `text` with <, >, &, " and ' replaced by character references.
std::u16string escapeHtml(std::u16string_view text);

// The field lines of `record`: for each of the 57 preview lines whose field is present and not
// empty, the bold label, the escaped value and "<br>".
std::u16string previewFieldsText(const contacts::ContactRecord& record);

// What the fields page shows above the field lines: for a contact found beyond the live folders
// its origin as a heading ("Orphan", "Recovered") and a line that says what it means, then, when
// `photo` is set, the image of that name (beside the page) and "<br>". "" for a live contact
// without a photo. With a `source` (a contact of one of several files scanned together) the page
// begins with the file's path and the folder: "<b>File :</b> path<br><b>Folder :</b> folder<br><br>".
struct PreviewSource
{
    std::u16string_view file;
    std::u16string_view folder;
};
std::u16string previewHeadText(const contacts::ContactRecord& record, std::u16string_view photo,
                               const PreviewSource* source = nullptr);

// Writes the record's photo, scaled to fit kPreviewPhotoPixels, to `file` as PNG. False, leaving
// no file, when the record has no photo, its bytes are no picture that can be read or the file
// cannot be written. The picture is decoded here once, at most at the size shown, so a large
// or damaged photo costs the pane nothing.
bool writePreviewPhoto(const contacts::ContactRecord& record, const std::filesystem::path& file);

// The frameset page: the fields page on the left, the notes file (or an empty source) on the
// right. Paths are escaped for the attribute.
std::u16string previewFramesetText(const std::filesystem::path& fieldsPage, const std::filesystem::path& notes);

// Writes the preview of `record` into `directory` and navigates `pane` to the frameset page. The
// photo file of the contact shown before goes, whether or not this one has a photo.
// Returns false, leaving no new file and the pane alone, when the fields page cannot be
// written; a notes file or frameset page that cannot be written is skipped.
bool ShowContactPreview(CExplorer1& pane, const contacts::ContactRecord& record, const std::filesystem::path& directory,
                        const PreviewSource* source = nullptr);

} // namespace ui
