#include "ui/preview.h"

#include "contacts/contact_record.h"
#include "contacts/output_writers.h"
#include "platform/files.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QString>
#include <array>
#include <system_error>

namespace ui {
namespace {

using contacts::Field;

std::u16string pathText(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string()).toStdU16String();
}

} // namespace

std::u16string previewHeadText(const contacts::ContactRecord& record, std::u16string_view photo,
                               const PreviewSource* source)
{
    std::u16string text;
    if (source != nullptr)
        text += u"<b>File :</b> " + escapeHtml(source->file) + u"<br><b>Folder :</b> " + escapeHtml(source->folder) +
                u"<br><br>";
    if (const std::u16string_view note = originNote(record.origin()); !note.empty())
        text += u"<h3>" + escapeHtml(originLabel(record.origin())) + u"</h3><i>" + escapeHtml(note) + u"</i><br><br>";
    if (!photo.empty())
        text += u"<img src=\"" + escapeHtml(photo) + u"\" alt=\"Photo\"><br>";
    return text;
}

bool writePreviewPhoto(const contacts::ContactRecord& record, const std::filesystem::path& file)
{
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    const contacts::PhotoView photo = record.photo();
    if (photo.empty())
        return false;
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(photo.bytes.data()),
                                               static_cast<qsizetype>(photo.bytes.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize box(kPreviewPhotoPixels, kPreviewPhotoPixels);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > box.width() || size.height() > box.height()))
        reader.setScaledSize(size.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull())
        return false;
    // A reader that cannot scale while decoding, or a size only known after it.
    if (image.width() > box.width() || image.height() > box.height())
        image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (image.save(QString::fromStdString(file.string()), "PNG"))
        return true;
    std::filesystem::remove(file, ignored);
    return false;
}

std::u16string escapeHtml(std::u16string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (const char* entity = contacts::html_entity(c))
            out.append(entity, entity + std::char_traits<char>::length(entity)); // ASCII entities widen 1:1
        else
            out.push_back(c);
    }
    return out;
}

std::u16string previewFieldsText(const contacts::ContactRecord& record)
{
    std::u16string text;
    for (const contacts::OutputLabel& line : contacts::kOutputLabels) {
        const std::u16string_view value = record.text_or_empty(line.field);
        if (!line.in_preview || value.empty())
            continue;
        text += contacts::html_form(line);
        text += escapeHtml(value);
        text += u"<br>";
    }
    return text;
}

std::u16string previewFramesetText(const std::filesystem::path& fieldsPage, const std::filesystem::path& notes)
{
    std::u16string text = u"<html><head></head><frameset cols='50%,*' border='0'><frame src='";
    text += escapeHtml(pathText(fieldsPage));
    text += u"'  scrolling='auto' frameborder='1'><frame src='";
    if (!notes.empty())
        text += escapeHtml(pathText(notes));
    text += u"'></frameset></html>";
    return text;
}

bool ShowContactPreview(CExplorer1& pane, const contacts::ContactRecord& record, const std::filesystem::path& directory,
                        const PreviewSource* source)
{
    const std::filesystem::path fields = directory / kPreviewFieldsFile;
    const std::filesystem::path frameset = directory / kPreviewFramesetFile;
    const std::u16string_view body = record.text_or_empty(Field::body);
    const std::filesystem::path notes = body.empty() ? std::filesystem::path() : directory / kPreviewNotesFile;
    const bool photo = writePreviewPhoto(record, directory / kPreviewPhotoFile);
    const std::u16string head = previewHeadText(record, photo ? pathText(kPreviewPhotoFile) : std::u16string(), source);
    if (!platform::writeUtf16File(fields, head + previewFieldsText(record))) {
        std::error_code ignored;
        std::filesystem::remove(directory / kPreviewPhotoFile, ignored);
        return false;
    }
    if (!notes.empty())
        platform::writeUtf16File(notes, body);
    platform::writeUtf16File(frameset, previewFramesetText(fields, notes));
    pane.Navigate(QString::fromStdString(frameset.string()));
    return true;
}

} // namespace ui
