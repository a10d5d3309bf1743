// The program's pictures, drawn in code: folder icons, the application icon, the banners and the
// status-page images.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace controls {

// The 16 x 16 picture of icon resource `resource` (133 to 148, the folder icons); a blank
// picture for an unknown number.
QPixmap folderIconPicture(int resource);

// The application icon (resource 128), drawn at 16, 32 and 48 pixels.
QIcon applicationIcon();

// A banner picture of `size` pixels: 161 right banner, 162 left banner, 163 About banner.
QPixmap bannerPicture(int resource, QSize size);

// The status-page images by file name: "loading.gif", "done.gif", "stop.gif", 100 x 100 pixels
// on white. A null image for any other name.
QImage statusPicture(const QString& fileName);

} // namespace controls
