// window-bench FILE.pst [--shots DIR] [--fill KEY]... [--size WxH] [--merge]
//
// Runs the real main window over FILE: chooses it, scans it and reports on standard output
//   convert_list_ms  time of `pelimoor-convert --list FILE` (same file, same run, before the window)
//   scan_ms        time from Scan to the completion box
//   scan_ratio     scan_ms / convert_list_ms
//   max_stall_ms   the largest gap between ticks of a 1 ms timer during the scan
//   rows           rows in the list at the end
//   fill_<KEY>_ms  time from a tree click on KEY until its rows are in the list
//   with --merge ("Merge duplicates" on: the list's merge starts as the scan ends):
//   merge_stop_ms  time of Stop on that merge half-way (the thread joined, the unmerged list back)
//   review_merge_ms, merge_max_stall_ms  Possible duplicates' merge on its thread, until the view
//                  opens, and the largest gap between ticks meanwhile
//   merged_rows    rows of the list's merge run through
//   list_bytes_per_row  growth of the process's heap per list row beyond the store
//   find_prepare_ms, order_prepare_ms, prepare_max_stall_ms  idle work after the fill (--find, --sort)
//   prepared_bytes_per_row  growth of the heap per row by that work
//   sorted_bytes_per_row    the same after the sorts (what sorting keeps)
//   find_keystroke_ms, sort_ms, find_keystroke_sorted_ms, find_clear_ms, sort_all_ms  median and
//                  worst of 20 steps through the event loop; *_steps_ms each step in order
// With --shots it saves the window at start, during the scan and at the end as PNG files.
#include "contacts/contact_store.h"
#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "platform/environment.h"
#include "ui/contact_find.h"
#include "ui/contact_list.h"
#include "ui/duplicates_view.h"
#include "ui/main_dialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <vector>

namespace {

// The real system, except that the file dialog answers FILE and boxes answer at once.
class BenchEnvironment : public platform::FakeEnvironment
{
public:
    using FakeEnvironment::FakeEnvironment;
};

void shot(QWidget& window, const QString& dir, const char* name)
{
    if (dir.isEmpty())
        return;
    QCoreApplication::processEvents();
    QPixmap pixmap = window.grab();
    pixmap.save(QDir(dir).filePath(QString::fromLatin1(name)));
}

size_t heapInUse()
{
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: window-bench FILE.pst [--also FILE.pst]... [--shots DIR] [--fill KEY]... [--find TEXT] "
                     "[--sort COLUMN] [--merge]\n");
        return 2;
    }
    const QString file = QFileInfo(args[1]).absoluteFilePath();
    QString shots;
    QStringList fills;
    QSize size; // --size WxH: the window's size when no window manager maximises it
    QString find;
    int sortColumn = -1;
    QStringList files{file}; // --also: more files, chosen with the first and scanned after it
    bool merging = false;    // --merge
    for (int i = 2; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--merge")) {
            merging = true;
            continue;
        }
        if (i + 1 >= args.size())
            break;
        if (args[i] == QLatin1String("--also"))
            files << QFileInfo(args[i + 1]).absoluteFilePath();
        else if (args[i] == QLatin1String("--shots"))
            shots = args[i + 1];
        else if (args[i] == QLatin1String("--fill"))
            fills << args[i + 1];
        else if (args[i] == QLatin1String("--find"))
            find = args[i + 1];
        else if (args[i] == QLatin1String("--sort"))
            sortColumn = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--size"))
            size = QSize(args[i + 1].section(QLatin1Char('x'), 0, 0).toInt(),
                         args[i + 1].section(QLatin1Char('x'), 1, 1).toInt());
        ++i;
    }

    // The converter's listing of the same file, as the floor the window's scan is measured by.
    qint64 convertMs = -1;
    const QString converter = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("pelimoor-convert"));
    if (QFileInfo::exists(converter)) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        process.start(converter, QStringList{QStringLiteral("--list")} + files);
        process.waitForFinished(-1);
        convertMs = timer.elapsed();
    }

    QTemporaryDir scratch;
    // Settings of its own: a sort column left by an earlier run would otherwise be sorted during
    // the fill, and the first sort of a column would go unmeasured.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, scratch.path());
    BenchEnvironment env(scratch.path().toStdString());
    const std::filesystem::path bin = std::filesystem::path(QCoreApplication::applicationDirPath().toStdString());
    env.m_dataDirectories = {bin};
    platform::installEnvironment(&env);

    contacts::ContactStore& store = contacts::contact_store_instance();
    auto dialog = std::make_unique<ui::CPelimoorDlg>(store);
    controls::mergeDuplicates() = merging; // after the settings are read
    dialog->show();
    if (size.isValid())
        dialog->setGeometry(QRect(QPoint(0, 0), size));
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    shot(*dialog, shots, "1-start.png");

    env.nextFiles.push_back(files);
    dialog->OnBrowse();

    // Ticks of a 1 ms timer; the largest gap is the longest the window could not react.
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 maxGap = 0;
    bool measuring = false;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    // 1 ms ticks while the scan runs; the stall measure starts at Scan.
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (measuring)
            maxGap = std::max(maxGap, now - lastTick);
        lastTick = now;
    });
    clock.start();
    ticker.start(1);

    QElapsedTimer scan;
    scan.start();
    measuring = true;
    lastTick = clock.elapsed();
    dialog->OnScan();
    bool midShot = shots.isEmpty();
    while (dialog->scanRunning()) {
        // Sleeps until an event (the ticker at the latest): no busy loop stealing the scan's CPU.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!midShot && store.size() > 20000) {
            shot(*dialog, shots, "2-scanning.png");
            midShot = true;
        }
    }
    const qint64 scanMs = scan.elapsed();
    measuring = false;
    const qint64 scanGap = maxGap;
    if (merging) {
        // Stop on the list's merge half-way, timed; the rows are the store's again.
        const QProgressBar* bar = dialog->findChild<QProgressBar*>();
        QElapsedTimer wait;
        wait.start();
        while (!dialog->mergeRunning() && wait.elapsed() < 600000) // the scan's end, then the merge
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        while (dialog->mergeRunning() && bar->value() < 50 && wait.elapsed() < 600000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const int at = bar->value();
        shot(*dialog, shots, "3-merging.png");
        QElapsedTimer stop;
        stop.start();
        dialog->OnStop();
        std::printf("merge_stop_ms %.1f at_percent %d rows %d\n", stop.nsecsElapsed() / 1e6, at,
                    dialog->contactModel()->rowCount());
        // Possible duplicates: its merge on the thread until the view opens, the window's stalls meanwhile.
        QElapsedTimer review;
        qint64 reviewMs = -1;
        int pairs = 0;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (ui::DuplicatesView* view = dialog->duplicatesView()) {
                reviewMs = review.elapsed();
                measuring = false;
                pairs = view->pairCount();
                view->accept();
            }
        });
        poll.start(5);
        maxGap = 0;
        lastTick = clock.elapsed();
        measuring = true;
        review.start();
        dialog->OnDuplicates();
        while (dialog->mergeRunning())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        measuring = false;
        poll.stop();
        std::printf("review_merge_ms %lld pairs %d\nmerge_max_stall_ms %lld\n",
                    static_cast<long long>(reviewMs < 0 ? review.elapsed() : reviewMs), pairs,
                    static_cast<long long>(maxGap));
        dialog->waitForWorkers(600000); // the list's merge, started as the view closed
        std::printf("merged_rows %d shown %d\n", dialog->contactModel()->rowCount(), dialog->findModel()->rowCount());
    }
    dialog->waitForWorkers(60000);
    shot(*dialog, shots, "3-done.png");
    const int rows = dialog->contactModel()->rowCount();
    std::printf("convert_list_ms %lld\nscan_ms %lld\nscan_ratio %.2f\nmax_stall_ms %lld\nrows %d\ncontacts %lld\n",
                static_cast<long long>(convertMs), static_cast<long long>(scanMs),
                convertMs > 0 ? double(scanMs) / double(convertMs) : 0.0, static_cast<long long>(scanGap), rows,
                static_cast<long long>(store.size()));

    // What the list costs per row: the heap with the list emptied, then filled with every record.
    dialog->contactModel()->clear();
    QCoreApplication::processEvents();
    malloc_trim(0);
    const size_t emptyList = heapInUse();
    dialog->StartListFill(QStringLiteral("All"));
    dialog->waitForWorkers(60000);
    malloc_trim(0);
    const int listed = dialog->contactModel()->rowCount();
    const size_t filledList = heapInUse();
    std::printf("list_bytes_per_row %.1f\n", listed > 0 ? (double(filledList) - double(emptyList)) / listed : 0.0);

    int index = 4;
    for (const QString& key : fills) {
        QElapsedTimer fill;
        fill.start();
        dialog->StartListFill(key);
        dialog->waitForWorkers(60000);
        std::printf("fill_%s_ms %lld rows %d\n", qPrintable(key), static_cast<long long>(fill.elapsed()),
                    dialog->contactModel()->rowCount());
        shot(*dialog, shots, qPrintable(QStringLiteral("%1-fill-%2.png").arg(index++).arg(key)));
    }
    if (!fills.isEmpty() && dialog->contactModel()->rowCount() > 0) {
        // Preview the row with the longest note among the first rows shown.
        ui::ContactListModel& model = *dialog->contactModel();
        int best = 0;
        size_t longest = 0;
        for (int row = 0; row < std::min(model.rowCount(), 500); ++row) {
            const std::u16string_view body = model.record(row)->text_or_empty(contacts::Field::body);
            if (body.size() > longest) {
                longest = body.size();
                best = row;
            }
        }
        const QModelIndex index = dialog->findModel()->mapFromSource(model.index(best, 2));
        dialog->contactList()->scrollTo(index);
        dialog->contactList()->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect |
                                                                   QItemSelectionModel::Rows);
        emit dialog->contactList()->clicked(index);
        std::printf("preview_row %d body_units %zu\n", best, longest);
        shot(*dialog, shots, "9-preview.png");
    }
    // Typing into Find and sorting by a header, as the user does: each step timed through the
    // event loop (median and worst of 20), then the pictures.
    const auto timed = [&](const char* what, const std::function<void(int)>& step) {
        std::vector<qint64> us;
        for (int k = 0; k < 20; ++k) {
            QElapsedTimer t;
            t.start();
            step(k);
            QCoreApplication::processEvents();
            us.push_back(t.nsecsElapsed() / 1000);
        }
        std::printf("%s_steps_ms", what);
        for (const qint64 step : us)
            std::printf(" %.1f", step / 1000.0);
        std::sort(us.begin(), us.end());
        std::printf("\n%s_ms median %.1f worst %.1f\n", what, us[us.size() / 2] / 1000.0, us.back() / 1000.0);
    };
    if (!find.isEmpty() || sortColumn >= 0) {
        // The find texts and the sort ranks are built while the window is idle after a fill; a
        // user types later. The window must answer meanwhile: the largest gap is measured.
        ui::ContactFindModel& model = *dialog->findModel();
        QElapsedTimer prepare;
        prepare.start();
        qint64 findMs = -1;
        maxGap = 0;
        lastTick = clock.elapsed();
        measuring = true;
        // Bounded: a preparation that never ends is reported, not waited for.
        while ((model.rowsToPrepare() > 0 || model.columnsToPrepare() > 0) && prepare.elapsed() < 600000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (findMs < 0 && model.rowsToPrepare() == 0)
                findMs = prepare.elapsed();
        }
        measuring = false;
        if (model.rowsToPrepare() > 0 || model.columnsToPrepare() > 0)
            std::printf("prepare_unfinished rows %d columns %d\n", model.rowsToPrepare(), model.columnsToPrepare());
        std::printf("find_prepare_ms %lld\norder_prepare_ms %lld\nprepare_max_stall_ms %lld\n",
                    static_cast<long long>(findMs), static_cast<long long>(prepare.elapsed()),
                    static_cast<long long>(maxGap));
        // What the prepared texts and ranks keep per row (the rows are those of the last fill).
        malloc_trim(0);
        const int rows = dialog->contactModel()->rowCount();
        std::printf("prepared_bytes_per_row %.1f\n",
                    rows > 0 ? (double(heapInUse()) - double(filledList)) / rows : 0.0);
    }
    if (!find.isEmpty()) {
        timed("find_keystroke", [&](int k) {
            const int n = k % (find.size() + 1);
            dialog->findField()->setText(find.left(n == 0 ? find.size() : n));
        });
        dialog->findField()->setText(find);
        std::printf("find_rows %d\n", dialog->findModel()->rowCount());
        shot(*dialog, shots, "10-find.png");
    }
    if (sortColumn >= 0) {
        timed("sort", [&](int k) {
            dialog->contactList()->sortByColumn(sortColumn, k % 2 == 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
        });
        // Typing into Find over the sorted list; then the sort over every row: Find emptied (itself
        // timed), then the sort again.
        if (!find.isEmpty()) {
            timed("find_keystroke_sorted", [&](int k) {
                const int n = k % (find.size() + 1);
                dialog->findField()->setText(find.left(n == 0 ? find.size() : n));
            });
            dialog->findField()->setText(find);
            QElapsedTimer clear;
            clear.start();
            dialog->findField()->clear();
            QCoreApplication::processEvents();
            std::printf("find_clear_ms %.1f rows %d\n", clear.nsecsElapsed() / 1e6, dialog->findModel()->rowCount());
            timed("sort_all", [&](int k) {
                dialog->contactList()->sortByColumn(sortColumn, k % 2 == 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
            });
        }
        dialog->contactList()->sortByColumn(sortColumn, Qt::AscendingOrder);
        QCoreApplication::processEvents();
        malloc_trim(0);
        const int rows = dialog->contactModel()->rowCount();
        std::printf("sorted_bytes_per_row %.1f\n", rows > 0 ? (double(heapInUse()) - double(filledList)) / rows : 0.0);
        shot(*dialog, shots, "11-sorted.png");
        if (!shots.isEmpty() && dialog->findModel()->rowCount() > 1) {
            // The context menu over two selected rows, grabbed from the screen (it is a window of its own).
            QItemSelectionModel* selection = dialog->contactList()->selectionModel();
            selection->select(dialog->findModel()->index(0, 2),
                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            selection->select(dialog->findModel()->index(1, 2),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
            QTimer::singleShot(400, [&] {
                const QRect area = dialog->frameGeometry();
                QGuiApplication::primaryScreen()
                    ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                    .save(QDir(shots).filePath(QStringLiteral("12-menu.png")));
                if (QWidget* popup = QApplication::activePopupWidget())
                    popup->close();
            });
            const QRect row = dialog->contactList()->visualRect(dialog->findModel()->index(1, 3));
            emit dialog->contactList()->customContextMenuRequested(row.center());
        }
    }
    std::fflush(stdout);
    dialog.reset();
    platform::installEnvironment(nullptr);
    return 0;
}
