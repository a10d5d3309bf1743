// fit_card: a card's photo made smaller until the card fits the server's limit.
#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "carddav/cards.h"

namespace carddav {

namespace {

constexpr std::size_t kFoldOctets = 75; // as the vCard writer folds
constexpr int kSmallestSide = 16;       // a photo is not made smaller than this
constexpr int kQuality = 85;
constexpr double kStep = 0.8; // each try's sides, of the last one's

// Where the PHOTO property of `text` starts and ends (after its CRLF); npos when there is none.
std::pair<std::size_t, std::size_t> photo_span(const std::string& text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find("\r\n", at);
        end = end == std::string::npos ? text.size() : end + 2;
        // The logical line goes on while the next physical one starts with a blank.
        while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) {
            const std::size_t next = text.find("\r\n", end);
            end = next == std::string::npos ? text.size() : next + 2;
        }
        const std::string_view line(text.data() + at, end - at);
        if (line.size() > 6 && (line.starts_with("PHOTO:") || line.starts_with("PHOTO;"))) {
            return {at, end};
        }
        at = end;
    }
    return {std::string::npos, std::string::npos};
}

// The photo's bytes from its logical line: the base64 after the data URI's comma (4.0) or the
// value's colon (3.0).
QByteArray photo_bytes(std::string_view logical)
{
    const std::size_t comma = logical.find("base64\\,");
    std::size_t from = comma != std::string_view::npos ? comma + 8 : logical.find(':');
    if (comma == std::string_view::npos && from != std::string_view::npos) {
        ++from;
    }
    if (from == std::string_view::npos) {
        return {};
    }
    return QByteArray::fromBase64(QByteArray(logical.data() + from, static_cast<qsizetype>(logical.size() - from)));
}

// The PHOTO property of a JPEG in the card's version, folded as the writer folds, with its CRLF.
std::string photo_property(bool v4, const QByteArray& jpeg)
{
    std::string line = v4 ? "PHOTO:data:image/jpeg;base64\\," : "PHOTO;ENCODING=b;TYPE=JPEG:";
    line += jpeg.toBase64().toStdString();
    std::string out;
    std::size_t at = 0;
    std::size_t room = kFoldOctets;
    while (line.size() - at > room) {
        out.append(line, at, room);
        out += "\r\n ";
        at += room;
        room = kFoldOctets - 1;
    }
    out.append(line, at, std::string::npos);
    out += "\r\n";
    return out;
}

} // namespace

bool fit_card(Card& card, int64_t limit, bool* scaled)
{
    *scaled = false;
    if (static_cast<int64_t>(card.text.size()) <= limit) {
        return true;
    }
    const auto [begin, end] = photo_span(card.text);
    if (begin == std::string::npos) {
        return false;
    }
    std::string logical;
    for (const std::string& line : logical_lines(std::string_view(card.text).substr(begin, end - begin))) {
        logical += line;
    }
    QByteArray bytes = photo_bytes(logical);
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer);
    QImage image = reader.read();
    if (image.isNull()) {
        return false;
    }
    {
        // Drawn onto a new image: the pixels alone. The text of the old one (comments, which the
        // JPEG writer would write again, however long) stays behind; what was see-through becomes
        // white, as on a page, for JPEG has no transparency.
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter painter(&flat);
        painter.drawImage(0, 0, image);
        painter.end();
        image = flat;
    }
    const bool v4 = card.text.find("VERSION:4.0") != std::string::npos;
    const int64_t rest = static_cast<int64_t>(card.text.size() - (end - begin));
    // A first guess from the room left: base64 makes 4 of 3 bytes, folding 77 of 74.
    const double room = static_cast<double>(limit - rest - 40) * 3 / 4 * 74 / 77;
    double side = 1.0;
    if (room > 0 && bytes.size() > 0) {
        side = std::min(1.0, std::sqrt(room / static_cast<double>(bytes.size())));
    }
    for (;;) {
        const int width = std::max(1, static_cast<int>(image.width() * side));
        const int height = std::max(1, static_cast<int>(image.height() * side));
        const QImage smaller = image.scaled(width, height, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QByteArray jpeg;
        QBuffer out(&jpeg);
        out.open(QIODevice::WriteOnly);
        if (!smaller.save(&out, "JPEG", kQuality)) {
            return false;
        }
        const std::string property = photo_property(v4, jpeg);
        if (rest + static_cast<int64_t>(property.size()) <= limit) {
            card.text.replace(begin, end - begin, property);
            *scaled = true;
            return true;
        }
        if (std::max(width, height) <= kSmallestSide) {
            return false;
        }
        side *= kStep;
    }
}

} // namespace carddav
