// Scans of generated personal folder files in the real window, on the real scan thread.
#include "support.h"

#include "contacts/contact_record.h"
#include "contacts/messages.h"
#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "fixture/fixture.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/preview.h"
#include "ui/status_page.h"

#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <array>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <utility>

using testing_ui::Window;
using namespace ui;

namespace {

// Writes a generated file once per test run and returns its path and contact count.
struct Sample
{
    std::string path;
    int contacts;
};

Sample sample(const Window& w, const char* name, int contacts, int folders)
{
    Sample s{w.path(name), contacts};
    fixture::ContactsOptions options;
    options.contacts = contacts;
    options.folders = folders;
    options.other = 10;
    options.seed = 7;
    const pst::Status status = fixture::write_contacts(s.path, options);
    if (!status.ok)
        qFatal("cannot write the sample file: %s", status.message.c_str());
    return s;
}

int64_t storeSize(const Window& w)
{
    return w.store.size();
}

} // namespace

class ScanTest : public QObject
{
    Q_OBJECT
private slots:
    void scanFillsTheListNewestFirst()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const Sample s = sample(w, "small.pst", 60, 3);
        w.choose(s.path);
        d.OnScan();
        QVERIFY(!d.isControlEnabled(ui::kBrowseButton));
        QVERIFY(d.isControlEnabled(ui::kStopButton));
        QVERIFY(!d.isControlEnabled(kMenuOpen));
        QVERIFY(d.waitForWorkers(30000));

        QCOMPARE(storeSize(w), int64_t(s.contacts));
        ContactListModel& model = *d.contactModel();
        QCOMPARE(model.rowCount(), s.contacts);
        // Row 0 is the newest: numbers run downward.
        for (int row = 1; row < model.rowCount(); ++row)
            QVERIFY(model.data(model.index(row - 1, 0)).toInt() > model.data(model.index(row, 0)).toInt());
        QCOMPARE(model.data(model.index(0, 0)).toInt(), int(w.store.last_number()));
        const contacts::ContactRecord* newest = model.record(0);
        QCOMPARE(model.data(model.index(0, 2)).toString(),
                 QString::fromStdU16String(std::u16string(newest->text_or_empty(contacts::Field::first_name))));

        // The done page, the completion box, progress 0, then the enables.
        QCOMPARE(Window::readBytes(w.pageFile()),
                 testing_ui::utf16le(statusPageText(ui::StatusPage::Done, s.contacts)));
        QVERIFY(d.browserPane()->visibleText().contains(QStringLiteral("Recover No of Contact :%1").arg(s.contacts)));
        QCOMPARE(w.env->messages.size(), size_t(1));
        QCOMPARE(w.env->messages[0].text,
                 QStringLiteral("Pelimoor Analysis Completed! Now click on Convert button to Export PST Contacts.."));
        QCOMPARE(w.env->messages[0].caption, QStringLiteral("Tressoly Pelimoor"));
        QCOMPARE(static_cast<QProgressBar*>(controls::findControl(d.clientArea(), ui::kProgressBar))->value(), 0);
        QVERIFY(d.isControlEnabled(ui::kConvertButton));
        QVERIFY(d.isControlEnabled(ui::kBrowseButton));
        QVERIFY(d.isControlEnabled(kMenuConvert));
        QVERIFY(!d.isControlEnabled(ui::kScanButton));
        QVERIFY(d.isControlEnabled(ui::kStopButton));

        // Stop after the end asks nothing and only enables Browse.
        d.OnStop();
        QCOMPARE(w.env->messages.size(), size_t(1));

        // "All" lists every contact in store order, in the fill's twelve columns.
        d.StartListFill(QStringLiteral("All"));
        QVERIFY(d.waitForWorkers(10000));
        QCOMPARE(model.rowCount(), s.contacts);
        QCOMPARE(model.columnCount(), 12);
        QCOMPARE(model.record(0), w.store.first());
        QCOMPARE(model.data(model.index(0, 1)).toString(), QString());
        // The root entry matches nothing: the list ends up empty, the columns stay.
        d.StartListFill(d.folderTree()->rootItem()->text(0));
        QVERIFY(d.waitForWorkers(10000));
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.columnCount(), 12);
    }

    void stopAnsweredNoGivesTheSameCount()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const Sample s = sample(w, "stop-no.pst", 1500, 6);
        w.choose(s.path);
        d.holdNextScan();
        d.OnScan();
        w.env->nextAnswers = {QMessageBox::No};
        d.OnStop();
        QCOMPARE(w.env->messages.size(), size_t(1));
        QCOMPARE(w.env->messages[0].text, QStringLiteral("Do you want to stop scan process ?"));
        QCOMPARE(w.env->messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(w.env->messages[0].icon, QMessageBox::Question);
        QVERIFY(d.isControlEnabled(ui::kStopButton));
        QVERIFY(!d.isControlEnabled(ui::kBrowseButton));
        QVERIFY(d.waitForWorkers(60000));
        QCOMPARE(storeSize(w), int64_t(s.contacts));
        QCOMPARE(d.contactModel()->rowCount(), s.contacts);
        QVERIFY(w.env->messages.back().text.startsWith(QStringLiteral("Pelimoor Analysis Completed!")));
    }

    void stopAnsweredYesLeavesEverythingEmpty()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const Sample s = sample(w, "stop-yes.pst", 1500, 6);
        w.choose(s.path);
        std::filesystem::create_directories(w.root / "tmp" / "Attachments" / "sub");
        d.holdNextScan();
        d.OnScan();
        w.env->nextAnswers = {QMessageBox::Yes};
        d.OnStop();
        QVERIFY(!d.scanRunning());
        QCOMPARE(d.folderTree()->topLevelItemCount(), 0);
        QCOMPARE(d.contactModel()->rowCount(), 0);
        QCOMPARE(storeSize(w), int64_t(0));
        QVERIFY(!std::filesystem::exists(w.root / "tmp" / "Attachments"));
        QCOMPARE(Window::readBytes(w.pageFile()), testing_ui::utf16le(kStoppedPage));
        QVERIFY(d.browserPane()->visibleText().contains(QStringLiteral("Recovery Process Stopped by User...")));
        QVERIFY(d.isControlEnabled(ui::kBrowseButton));
        QVERIFY(d.isControlEnabled(kMenuOpen));
        QVERIFY(!d.isControlEnabled(ui::kStopButton));
        QVERIFY(!d.isControlEnabled(ui::kScanButton));
        QVERIFY(!d.isControlEnabled(ui::kConvertButton));
        // Nothing the stopped scan posted earlier comes back.
        QTest::qWait(100);
        QCOMPARE(d.contactModel()->rowCount(), 0);
        QCOMPARE(w.env->messages.size(), size_t(1));
        QCOMPARE(Window::readBytes(w.pageFile()), testing_ui::utf16le(kStoppedPage));
    }

    // Browse chooses several files, a file that is not a PST among them: one scan reads them one
    // after another into one list, a Source column names each contact's file, the preview its
    // file and folder, the refused file is named with its reason and the others go on, and
    // Recent remembers the set.
    void severalFilesScanIntoOneListWithTheirSource()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const Sample a = sample(w, "a.pst", 30, 2);
        const Sample b = sample(w, "b.pst", 20, 3);
        const std::string junk = w.path("junk.pst");
        std::ofstream(junk, std::ios::binary) << std::string(4096, 'j');
        w.env->nextFiles.push_back(
            QStringList{QString::fromStdString(a.path), QString::fromStdString(junk), QString::fromStdString(b.path)});
        d.OnBrowse();
        const QStringList chosen{QString::fromStdString(a.path), QString::fromStdString(junk),
                                 QString::fromStdString(b.path)};
        QVERIFY(w.env->fileDialogs.back().multiple);
        QCOMPARE(d.selectedFiles(), chosen);
        QCOMPARE(d.recentFiles().first(), chosen.join(QLatin1Char('\n')));
        ContactListModel& model = *d.contactModel();
        QCOMPARE(model.columnCount(), ContactListModel::kScanColumns + 1);
        QCOMPARE(model.sourceColumn(), ContactListModel::kScanColumns);
        QCOMPARE(model.headerData(model.sourceColumn(), Qt::Horizontal).toString(), QStringLiteral("Source"));

        d.OnScan();
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(storeSize(w), int64_t(a.contacts + b.contacts));
        QCOMPARE(model.rowCount(), a.contacts + b.contacts);
        QCOMPARE(w.env->messages.size(), size_t(2));
        const QString refused = w.env->messages[0].text;
        QVERIFY2(refused.startsWith(QStringLiteral("These files could not be read")), qPrintable(refused));
        QVERIFY(refused.contains(QString::fromStdString(junk) + QStringLiteral("\nPlease check file use")));
        QVERIFY(!refused.contains(QString::fromStdString(a.path)));
        QVERIFY(w.env->messages[1].text.startsWith(QStringLiteral("Pelimoor Analysis Completed!")));
        std::map<QString, int> perFile;
        for (int row = 0; row < model.rowCount(); ++row)
            ++perFile[model.data(model.index(row, model.sourceColumn())).toString()];
        QCOMPARE(perFile, (std::map<QString, int>{{"a.pst", a.contacts}, {"b.pst", b.contacts}}));
        // Row 0 is the newest: the last file's.
        QCOMPARE(model.data(model.index(0, model.sourceColumn())).toString(), QStringLiteral("b.pst"));
        QVERIFY(model.data(model.index(0, model.sourceColumn()), Qt::ToolTipRole)
                    .toString()
                    .startsWith(QString::fromStdString(b.path) + QStringLiteral("\nTop of Personal Folders\\")));
        d.previewRow(0);
        const QByteArray page = Window::readBytes(w.root / "tmp" / kPreviewFieldsFile);
        QVERIFY(
            page.startsWith(testing_ui::utf16le(u"<b>File :</b> " + QString::fromStdString(b.path).toStdU16String() +
                                                u"<br><b>Folder :</b> Top of Personal Folders\\")));

        // One file again: the columns of old, and the preview names nothing.
        w.choose(a.path);
        QCOMPARE(model.columnCount(), ContactListModel::kScanColumns);
        QCOMPARE(model.sourceColumn(), -1);
        QCOMPARE(d.recentFiles().mid(0, 2), (QStringList{QString::fromStdString(a.path), chosen.join('\n')}));
    }

    // None of several files can be read: one box names them all, then Browse again.
    void severalFilesNoneReadable()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        std::ofstream(w.path("x.pst"), std::ios::binary) << std::string(4096, 'x');
        std::ofstream(w.path("y.pst"), std::ios::binary) << "y";
        w.env->nextFiles.push_back(
            QStringList{QString::fromStdString(w.path("x.pst")), QString::fromStdString(w.path("y.pst"))});
        d.OnBrowse();
        d.OnScan();
        QVERIFY(d.waitForWorkers(10000));
        QTRY_COMPARE(w.env->fileDialogs.size(), size_t(2));
        QCOMPARE(w.env->messages.size(), size_t(1));
        const QString text = w.env->messages[0].text;
        QVERIFY2(text.startsWith(QStringLiteral("None of the files could be read:")), qPrintable(text));
        QVERIFY(text.contains(QString::fromStdString(w.path("x.pst"))));
        QVERIFY(text.contains(QString::fromStdString(w.path("y.pst"))));
        QCOMPARE(storeSize(w), int64_t(0));
    }

    // Stop during a scan of several files ends them all: nothing of the later files is read.
    void stopEndsEveryFileOfTheScan()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const Sample a = sample(w, "a.pst", 1500, 6);
        const Sample b = sample(w, "b.pst", 40, 2);
        d.OpenFiles({QString::fromStdString(a.path), QString::fromStdString(b.path)});
        d.holdNextScan();
        d.OnScan();
        w.env->nextAnswers = {QMessageBox::Yes};
        d.OnStop();
        QVERIFY(!d.scanRunning());
        QCOMPARE(storeSize(w), int64_t(0));
        QTest::qWait(100);
        QCOMPARE(d.contactModel()->rowCount(), 0);
        QCOMPARE(w.env->messages.size(), size_t(1));
    }

    // A file that cannot be opened: the sentence, then on a paragraph of its own the reason the
    // header check or the reader found; then the file dialog again.
    void failedScanShowsItsMessageAndChoosesAgain()
    {
        const struct
        {
            const char* what;
            std::function<void(const Window&, const std::string& path)> make;
            std::string reason;
        } cases[] = {
            {"junk",
             [](const Window&, const std::string& path) {
                 std::ofstream(path, std::ios::binary) << std::string(4096, 'j');
             },
             "not a personal folder file (no !BDN signature)"},
            {"header cut short",
             [](const Window& w, const std::string& path) {
                 const Sample s = sample(w, "whole.pst", 3, 1);
                 std::ofstream(path, std::ios::binary) << Window::readBytes(s.path).left(300).toStdString();
             },
             "not a personal folder file: 300 bytes are too few for a header"},
        };
        for (const auto& c : cases) {
            Window w;
            CPelimoorDlg& d = *w.dialog;
            const std::string path = w.path("file.pst");
            c.make(w, path);
            w.choose(path);
            d.OnScan();
            QVERIFY2(d.waitForWorkers(10000), c.what);
            QTRY_COMPARE(w.env->fileDialogs.size(), size_t(2));
            QCOMPARE(w.env->messages.size(), size_t(1));
            QCOMPARE(w.env->messages[0].text, QString::fromStdU16String(std::u16string(contacts::kMessageOpenFailed)) +
                                                  QStringLiteral("\n\n") + QString::fromStdString(c.reason));
            QCOMPARE(w.env->messages[0].caption, QStringLiteral("Tressoly Pelimoor"));
            // The second file dialog was cancelled: the cancel branch's enables.
            QVERIFY(d.isControlEnabled(ui::kBrowseButton));
            QVERIFY(!d.isControlEnabled(ui::kStopButton));
        }
    }

    void fillsDuringAScanAndQuickClicks()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const Sample s = sample(w, "fills.pst", 800, 4);
        w.choose(s.path);
        d.OnScan();
        for (const char* key : {"A", "All", "B", "123", "C", "All"}) {
            d.StartListFill(QString::fromLatin1(key));
            QTest::qWait(5);
        }
        QVERIFY(d.waitForWorkers(60000));
        QCOMPARE(storeSize(w), int64_t(s.contacts));
        // Whatever the fills saw, every contact shows exactly once.
        ContactListModel& model = *d.contactModel();
        QCOMPARE(model.rowCount(), s.contacts);
        QSet<const contacts::ContactRecord*> seen;
        for (int row = 0; row < model.rowCount(); ++row)
            seen.insert(model.record(row));
        QCOMPARE(seen.size(), s.contacts);
    }

    void convertWritesTheChosenFormat()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const Sample s = sample(w, "convert.pst", 40, 2);
        w.choose(s.path);
        d.OnScan();
        QVERIFY(d.waitForWorkers(30000));
        const std::filesystem::path out = w.root / "out";
        std::filesystem::create_directories(out);
        w.env->nextDirectories.push_back(QString::fromStdString(out.string()));
        // The format dialog: CSV, then OK.
        QTimer::singleShot(0, [] {
            QWidget* box = QApplication::activeModalWidget();
            QTest::mouseClick(controls::findControl(box, 1019), Qt::LeftButton, {}, QPoint(8, 8));
            QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
        });
        w.env->messages.clear();
        d.OnConvert();
        QVERIFY(!d.isControlEnabled(ui::kBrowseButton));
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(w.env->messages.size(), size_t(1));
        QCOMPARE(w.env->messages[0].text, QStringLiteral("Saving sucessfully completed."));
        QVERIFY(d.isControlEnabled(ui::kBrowseButton));
        QVERIFY(d.isControlEnabled(ui::kConvertButton));
        int folders = 0;
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            ++folders;
            QVERIFY(entry.path().filename().string().starts_with("Tressoly-Recovery-"));
        }
        QCOMPARE(folders, 1);
        // OK without a format picked in this opening (CSV is still the last choice), or Cancel
        // after picking one: no message, no destination dialog, nothing written.
        const std::array<std::pair<int, int>, 2> kClicks{{{0, 1}, {1018, 2}}}; // radio (0: none), button
        for (const auto& click : kClicks) {
            const int radio = click.first;
            const int button = click.second;
            QTimer::singleShot(0, [radio, button] {
                QWidget* box = QApplication::activeModalWidget();
                if (radio != 0)
                    QTest::mouseClick(controls::findControl(box, radio), Qt::LeftButton, {}, QPoint(8, 8));
                QTest::mouseClick(controls::findControl(box, button), Qt::LeftButton);
            });
            w.env->messages.clear();
            d.OnConvert();
            QVERIFY(d.isControlEnabled(ui::kBrowseButton));
            QCOMPARE(w.env->messages.size(), size_t(0));
            QCOMPARE(w.env->directoryDialogs.size(), 1);
        }
        // The flags keep the last pick across openings, even a cancelled one.
        QCOMPARE(controls::chosenFormat(), int(contacts::Format::Vcf));
        QCOMPARE(std::distance(std::filesystem::directory_iterator(out), std::filesystem::directory_iterator()),
                 std::ptrdiff_t(1));
    }

    void escapeDuringAScanJoinsTheThread()
    {
        Window w;
        const Sample s = sample(w, "escape.pst", 1500, 6);
        w.choose(s.path);
        w.dialog->holdNextScan();
        w.dialog->OnScan();
        w.dialog->reject();
        QVERIFY(!w.dialog->scanRunning());
        w.dialog.reset();
        QTest::qWait(20);
    }

    // File > "Read offline folder files (OST)": off by default, an OST (4 KiB pages, compressed)
    // is refused as not a PST; on, Browse offers *.ost, a drop takes the .ost and the scan reads
    // every contact; a new window remembers it.
    void offlineFolderFilesOnRequest()
    {
        Window w;
        fixture::ContactsOptions options;
        options.contacts = 25;
        options.folders = 2;
        options.seed = 5;
        options.format = pst::FileFormat::Unicode4k;
        options.compress = true;
        options.offline = true;
        const std::string ost = w.path("cache.ost");
        QVERIFY(fixture::write_contacts(ost, options).ok);
        std::ofstream(w.path("notes.txt")) << "x";

        QAction* item = w.dialog->menuAction(kMenuReadOffline);
        QVERIFY(item != nullptr);
        QVERIFY(item->isCheckable());
        QCOMPARE(item->text(), QStringLiteral("Read offline folder files (OST)"));
        QVERIFY(!item->isChecked());
        w.choose(ost);
        w.dialog->OnScan();
        QVERIFY(w.dialog->waitForWorkers(30000));
        QCOMPARE(storeSize(w), int64_t(0));
        QVERIFY(!w.env->messages.empty());
        QCOMPARE(w.env->messages.back().text, QStringLiteral("This is not a valid PST File"));

        item->trigger();
        QVERIFY(item->isChecked());
        QVERIFY(w.dialog->readOffline());
        w.dialog->OnBrowse();
        QCOMPARE(w.env->fileDialogs.back().filter, QString::fromLatin1(kFileDialogFilterOffline));
        QVERIFY(w.env->fileDialogs.back().filter.contains(QStringLiteral("*.ost")));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(w.path("notes.txt"))),
                      QUrl::fromLocalFile(QString::fromStdString(ost))});
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        static_cast<QObject*>(w.dialog.get())->event(&drop);
        QCOMPARE(w.dialog->selectedFile(), QString::fromStdString(ost));
        w.dialog->OnScan();
        QVERIFY(w.dialog->waitForWorkers(30000));
        QCOMPARE(storeSize(w), int64_t(options.contacts));

        w.dialog.reset();
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QVERIFY(w.dialog->menuAction(kMenuReadOffline)->isChecked());
        QVERIFY(w.dialog->readOffline());
    }
};

QTEST_MAIN(ScanTest)
#include "scan_test.moc"
