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
    // The dropped files, a dropped folder's files (by name), then every .pst (or .ost, while
    // offline folder files are read) among them, scanned together; a drop without one is taken
    // as the first file, which the scan then refuses as Browse would.
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
    QStringList chosen;
    for (const QString& f : files) {
        if (f.endsWith(QStringLiteral(".pst"), Qt::CaseInsensitive) ||
            (m_sourceOptions.offline && f.endsWith(QStringLiteral(".ost"), Qt::CaseInsensitive)))
            chosen.append(f);
    }
    if (chosen.isEmpty())
        chosen.append(files.first());
    const bool running = m_scanner->running() || m_saver->running();
    OpenFiles(chosen);
    if (files.size() > chosen.size() && !running)
        m_statusBar->showMessage(
            chosen.size() == 1
                ? QStringLiteral("%1 files dropped: %2 opened")
                      .arg(files.size())
                      .arg(QFileInfo(chosen.first()).fileName())
                : QStringLiteral("%1 files dropped: %2 of them opened").arg(files.size()).arg(chosen.size()),
            8000);
}

} // namespace ui
