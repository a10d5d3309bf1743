// Files dropped on the window.
#include "ui/main_dialog.h"

#include "ui/save_controller.h"
#include "ui/scan_controller.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QStatusBar>
#include <QUrl>

namespace ui {

void CPelimoorDlg::dragEnterEvent(QDragEnterEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            return;
        }
    }
}

void CPelimoorDlg::dropEvent(QDropEvent* event)
{
    // The dropped files, a dropped folder's files (by name), then the first .pst (or .ost, while
    // offline folder files are read) among them; a drop without one is taken as the first file,
    // which the scan then refuses as Browse would.
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        if (info.isDir()) {
            for (const QFileInfo& inside : QDir(info.absoluteFilePath()).entryInfoList(QDir::Files, QDir::Name))
                files.append(inside.absoluteFilePath());
        } else {
            files.append(info.absoluteFilePath());
        }
    }
    if (files.isEmpty())
        return;
    event->acceptProposedAction();
    QString chosen = files.first();
    for (const QString& f : files) {
        if (f.endsWith(QStringLiteral(".pst"), Qt::CaseInsensitive) ||
            (m_sourceOptions.offline && f.endsWith(QStringLiteral(".ost"), Qt::CaseInsensitive))) {
            chosen = f;
            break;
        }
    }
    const bool running = m_scanner->running() || m_saver->running();
    OpenFile(chosen);
    if (files.size() > 1 && !running)
        m_statusBar->showMessage(
            QStringLiteral("%1 files dropped: %2 opened").arg(files.size()).arg(QFileInfo(chosen).fileName()), 8000);
}

} // namespace ui
