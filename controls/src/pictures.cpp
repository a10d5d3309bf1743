#include "controls/pictures.h"

#include "controls/dialogs.h"
#include "controls/folder_tree.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <array>
#include <cmath>
#include <functional>

namespace controls {
namespace {

const QColor kOutline(60, 60, 60);
const QColor kFolderYellow(240, 200, 80);
const QColor kPaper(250, 250, 245);

void folder(QPainter& p)
{
    p.setPen(QPen(QColor(150, 110, 20), 1));
    p.setBrush(kFolderYellow.darker(110));
    p.drawRect(1, 3, 6, 2);
    p.setBrush(kFolderYellow);
    p.drawRect(1, 4, 13, 10);
}

void envelope(QPainter& p, QRect r, QColor fill = kPaper)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(fill);
    p.drawRect(r);
    p.drawLine(r.topLeft(), QPoint(r.center().x(), r.center().y() + 1));
    p.drawLine(r.topRight(), QPoint(r.center().x() + 1, r.center().y() + 1));
}

void addressCard(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(235, 240, 250));
    p.drawRoundedRect(QRectF(0.5, 2.5, 14, 11), 1.5, 1.5);
    p.setBrush(QColor(200, 120, 70));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(2.5, 4.5, 4, 4));
    p.setBrush(QColor(60, 100, 180));
    p.drawRect(QRectF(2, 9, 5, 3));
    p.setPen(QPen(QColor(120, 120, 140), 1));
    for (int y : {5, 8, 11})
        p.drawLine(9, y, 13, y);
}

void mailboxStart(QPainter& p)
{
    envelope(p, QRect(6, 8, 9, 6));
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(200, 80, 60));
    QPolygon roof{{0, 5}, {4, 1}, {8, 5}};
    p.drawPolygon(roof);
    p.setBrush(QColor(240, 230, 200));
    p.drawRect(1, 5, 6, 6);
    p.setBrush(Qt::white);
    p.drawEllipse(QRect(9, 0, 6, 6));
    p.drawLine(12, 3, 12, 1);
    p.drawLine(12, 3, 14, 3);
}

void calendar(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(Qt::white);
    p.drawRect(1, 2, 13, 12);
    p.setBrush(QColor(200, 40, 40));
    p.drawRect(1, 2, 13, 3);
    p.setPen(QPen(QColor(90, 90, 90), 1));
    for (int y = 7; y <= 12; y += 2)
        for (int x = 3; x <= 12; x += 3)
            p.drawPoint(x, y);
}

void recycleBin(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(170, 190, 210));
    p.drawPolygon(QPolygon{{3, 4}, {12, 4}, {11, 15}, {4, 15}});
    p.drawRect(2, 2, 11, 2);
    p.setPen(QPen(QColor(40, 140, 60), 1.5));
    p.drawLine(6, 6, 6, 13);
    p.drawLine(9, 6, 9, 13);
}

void pencil(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(250, 150, 40));
    p.drawPolygon(QPolygon{{8, 12}, {14, 6}, {15, 7}, {9, 13}});
    p.setBrush(QColor(60, 60, 60));
    p.drawPolygon(QPolygon{{8, 12}, {9, 13}, {7, 14}});
}

void folderWithPencil(QPainter& p)
{
    folder(p);
    pencil(p);
}

void folderWithEnvelope(QPainter& p)
{
    folder(p);
    envelope(p, QRect(5, 8, 10, 7));
}

void journal(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(60, 150, 70));
    p.drawRect(1, 1, 10, 14);
    p.setPen(QPen(QColor(220, 240, 220), 1));
    p.drawLine(3, 1, 3, 15);
    p.setPen(QPen(kOutline, 1));
    p.setBrush(Qt::white);
    p.drawEllipse(QRect(8, 8, 7, 7));
    p.drawLine(11, 11, 11, 9);
    p.drawLine(11, 11, 13, 11);
}

void folderWithNoEntry(QPainter& p)
{
    folderWithEnvelope(p);
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(QColor(210, 30, 30));
    p.drawEllipse(QRect(0, 7, 7, 7));
    p.drawLine(2, 10, 5, 10);
}

void stickyNote(QPainter& p)
{
    p.setPen(QPen(QColor(170, 150, 30), 1));
    p.setBrush(QColor(255, 240, 110));
    p.drawPolygon(QPolygon{{1, 1}, {14, 1}, {14, 10}, {10, 14}, {1, 14}});
    p.setBrush(QColor(230, 210, 80));
    p.drawPolygon(QPolygon{{14, 10}, {10, 10}, {10, 14}});
    p.setPen(QPen(QColor(150, 130, 40), 1));
    for (int y : {4, 7})
        p.drawLine(3, y, 12, y);
}

void folderWithArrow(QPainter& p)
{
    folder(p);
    p.setPen(QPen(QColor(20, 80, 200), 2));
    p.drawLine(4, 11, 11, 11);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 80, 200));
    p.drawPolygon(QPolygon{{10, 7}, {15, 11}, {10, 15}});
}

void folderWithStampedEnvelope(QPainter& p)
{
    folderWithEnvelope(p);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 40, 40));
    p.drawRect(12, 9, 2, 2);
}

void clipboardWithTick(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(190, 140, 80));
    p.drawRect(2, 1, 11, 14);
    p.setBrush(Qt::white);
    p.drawRect(3, 3, 9, 11);
    p.setBrush(QColor(150, 150, 150));
    p.drawRect(5, 0, 5, 2);
    p.setPen(QPen(QColor(210, 30, 30), 2));
    p.drawPolyline(QPolygon{{4, 8}, {7, 11}, {12, 5}});
}

void folderWithMagnifier(QPainter& p)
{
    folder(p);
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(QColor(190, 230, 250));
    p.drawEllipse(QRectF(6.5, 6.5, 6, 6));
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.drawLine(12, 12, 15, 15);
}

void openEnvelope(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(240, 235, 210));
    p.drawPolygon(QPolygon{{1, 7}, {8, 1}, {14, 7}});
    p.setBrush(Qt::white);
    p.drawRect(3, 4, 9, 6);
    p.setBrush(kPaper);
    p.drawPolygon(QPolygon{{1, 7}, {14, 7}, {14, 14}, {1, 14}});
    p.drawLine(1, 14, 7, 10);
    p.drawLine(14, 14, 8, 10);
}

void dataFileTray(QPainter& p)
{
    p.setPen(QPen(kOutline, 1));
    for (int i = 0; i < 3; ++i) {
        p.setBrush(QColor(120 + 30 * i, 150 + 20 * i, 200));
        p.drawRect(1, 10 - 4 * i, 13, 4);
    }
    p.setBrush(QColor(230, 230, 230));
    p.drawRect(5, 11, 5, 1);
}

using Painter = void (*)(QPainter&);

struct IconPicture
{
    int resource;
    Painter paint;
};

constexpr std::array<IconPicture, 15> kIconPictures{{
    {133, mailboxStart},
    {134, recycleBin},
    {135, folderWithPencil},
    {136, folderWithEnvelope},
    {137, folderWithNoEntry},
    {138, folderWithArrow},
    {139, folderWithStampedEnvelope},
    {140, folderWithMagnifier},
    {141, dataFileTray},
    {142, openEnvelope},
    {143, calendar},
    {145, addressCard},
    {146, journal},
    {147, stickyNote},
    {148, clipboardWithTick},
}};

QPixmap paintPicture(QSize size, const std::function<void(QPainter&)>& paint)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    paint(p);
    return pixmap;
}

// Address-card people in a row, the product's mark.
void paintMark(QPainter& p, QRectF r)
{
    const double s = r.height() / 16.0;
    p.save();
    p.translate(r.topLeft());
    p.scale(s, s);
    addressCard(p);
    p.restore();
}

} // namespace

QPixmap folderIconPicture(int resource)
{
    for (const IconPicture& icon : kIconPictures)
        if (icon.resource == resource)
            return paintPicture(QSize(16, 16), icon.paint);
    return paintPicture(QSize(16, 16), [](QPainter&) {});
}

QIcon applicationIcon()
{
    QIcon icon;
    for (int side : {16, 32, 48})
        icon.addPixmap(paintPicture(QSize(side, side), [side](QPainter& p) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 193, 26));
            p.drawRoundedRect(QRectF(0, 0, side, side), side / 6.0, side / 6.0);
            paintMark(p, QRectF(side * 0.1, side * 0.1, side * 0.8, side * 0.8));
        }));
    return icon;
}

QPixmap bannerPicture(int resource, QSize size)
{
    return paintPicture(size, [resource, size](QPainter& p) {
        const QRectF r(QPointF(0, 0), QSizeF(size));
        QLinearGradient sky(r.topLeft(), r.bottomLeft());
        sky.setColorAt(0, QColor(40, 40, 40));
        sky.setColorAt(1, QColor(90, 60, 10));
        p.fillRect(r, sky);
        p.setPen(QPen(QColor(255, 193, 26), 3));
        p.drawLine(QPointF(0, r.bottom() - 2), QPointF(r.right(), r.bottom() - 2));
        if (resource == 161) {
            // Right banner: a row of contact cards.
            for (int i = 0; i < 4; ++i)
                paintMark(p,
                          QRectF(r.width() * (0.12 + 0.2 * i), r.height() * 0.25, r.height() * 0.5, r.height() * 0.5));
            return;
        }
        paintMark(p, QRectF(r.height() * 0.15, r.height() * 0.15, r.height() * 0.7, r.height() * 0.7));
        QFont title(QStringLiteral("Sans"));
        title.setBold(true);
        title.setPixelSize(qMax(8, int(r.height() * 0.36)));
        p.setFont(title);
        p.setPen(QColor(255, 193, 26));
        const QRectF text(r.height() * 1.05, 0, r.width() - r.height() * 1.1, r.height() * 0.7);
        p.drawText(text, Qt::AlignLeft | Qt::AlignBottom, caption());
        QFont sub = title;
        sub.setBold(false);
        sub.setPixelSize(qMax(7, int(r.height() * 0.16)));
        p.setFont(sub);
        p.setPen(Qt::white);
        p.drawText(QRectF(text.left(), r.height() * 0.7, text.width(), r.height() * 0.25), Qt::AlignLeft | Qt::AlignTop,
                   QStringLiteral("Contacts from personal folder files"));
    });
}

QImage statusPicture(const QString& fileName)
{
    QImage image(100, 100, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (fileName == QLatin1String("loading.gif")) {
        // A ring of dots fading round, like a spinner caught mid-turn.
        for (int i = 0; i < 12; ++i) {
            const double a = i * M_PI / 6.0;
            const int shade = 40 + i * 17;
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, shade, shade / 3));
            p.drawEllipse(QPointF(50 + 34 * std::cos(a), 50 + 34 * std::sin(a)), 7, 7);
        }
    } else if (fileName == QLatin1String("done.gif")) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 160, 60));
        p.drawEllipse(QRectF(8, 8, 84, 84));
        p.setPen(QPen(Qt::white, 11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF{{28, 52}, {44, 68}, {73, 35}});
    } else if (fileName == QLatin1String("stop.gif")) {
        QPolygonF octagon;
        for (int i = 0; i < 8; ++i) {
            const double a = M_PI / 8.0 + i * M_PI / 4.0;
            octagon << QPointF(50 + 44 * std::cos(a), 50 + 44 * std::sin(a));
        }
        p.setPen(QPen(Qt::white, 3));
        p.setBrush(QColor(200, 30, 30));
        p.drawPolygon(octagon);
        p.fillRect(QRectF(24, 44, 52, 12), Qt::white);
    } else {
        return {};
    }
    return image;
}

const QList<QIcon>& folderImageList()
{
    static const QList<QIcon> icons = [] {
        constexpr std::array<int, 17> kResources{145, 145, 133, 143, 145, 134, 135, 136, 146,
                                                 137, 147, 138, 139, 148, 140, 142, 141};
        QList<QIcon> list;
        for (int resource : kResources)
            list << QIcon(folderIconPicture(resource));
        return list;
    }();
    return icons;
}

} // namespace controls
