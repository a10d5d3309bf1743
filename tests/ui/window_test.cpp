#include "support.h"

#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "platform/files.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/status_page.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <fstream>
#include <tuple>

using testing_ui::Window;
using namespace ui;

namespace {

// The enables of the four buttons and the three File items, in that order.
struct Enables
{
    bool browse, scan, stop, convert, open, fileScan, fileConvert;
    bool operator==(const Enables&) const = default;
};

Enables enables(const CPelimoorDlg& d)
{
    return {d.isControlEnabled(ui::kBrowseButton), d.isControlEnabled(ui::kScanButton),
            d.isControlEnabled(ui::kStopButton),   d.isControlEnabled(ui::kConvertButton),
            d.isControlEnabled(kMenuOpen),         d.isControlEnabled(kMenuScan),
            d.isControlEnabled(kMenuConvert)};
}

QString describe(const Enables& e)
{
    return QStringLiteral("browse %1 scan %2 stop %3 convert %4 open %5 file-scan %6 file-convert %7")
        .arg(e.browse)
        .arg(e.scan)
        .arg(e.stop)
        .arg(e.convert)
        .arg(e.open)
        .arg(e.fileScan)
        .arg(e.fileConvert);
}

#define COMPARE_ENABLES(actual, expected) QCOMPARE(describe(actual), describe(expected))

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT
private slots:
    void statusPagePathRule_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("page");
        QTest::newRow("linux") << "/opt/pelimoor/bin/pelimoor"
                               << "/opt/pelimoor/bin/pelimoortemp.html";
        QTest::newRow("exe") << "/opt/Pelimoor.exe"
                             << "/opt/Pelimoortemp.html";
        QTest::newRow("twice") << "/a.exe.d/Pelimoor.exe"
                               << "/a.d/Pelimoortemp.html";
        QTest::newRow("case") << "/a/Pelimoor.EXE"
                              << "/a/Pelimoor.EXEtemp.html";
        QTest::newRow("no rejoin") << "/a/x.e.exexe"
                                   << "/a/x.exetemp.html";
    }
    void statusPagePathRule()
    {
        QFETCH(QString, program);
        QFETCH(QString, page);
        QCOMPARE(QString::fromStdString(statusPagePath(program.toStdString()).string()), page);
    }

    void statusPageTexts()
    {
        const std::u16string started = statusPageText(ui::StatusPage::Started, 5);
        QCOMPARE(started,
                 std::u16string(u"<div align=\"center\"><p><img src=\"loading.gif\" width=\"100\" height=\"100\" /></p>"
                                u"<h1 >Recovery Started! Please wait for completion...</h1></div>"));
        QCOMPARE(
            statusPageText(ui::StatusPage::Done, 12),
            std::u16string(u"<div align=\"center\"><p><img src=\"done.gif\" /></p><h1 >  Recover No of Contact :12 "
                           u"</h1><br><h3>Pelimoor Analysis Completed! Now click on Convert button to Export PST "
                           u"Contacts.</h3></div>"));
        QVERIFY(statusPageText(ui::StatusPage::Done, 0).find(u"Contact :0 </h1>") != std::u16string::npos);
        QCOMPARE(statusPageText(ui::StatusPage::Stopped, 0),
                 std::u16string(u"<div align=\"center\"><p><img src=\"stop.gif\" /></p><h1 > Recovery Process Stopped "
                                u"by User...</h1></div>"));
    }

    void statusPageFileBytes()
    {
        Window w;
        CExplorer1& pane = *w.dialog->browserPane();
        const std::u16string done = statusPageText(ui::StatusPage::Done, 7);
        QCOMPARE(ShowStatusPage(pane, done), w.pageFile());
        const QByteArray bytes = Window::readBytes(w.pageFile());
        QCOMPARE(bytes, testing_ui::utf16le(done));
        QCOMPARE(bytes.size(), qsizetype(done.size() * 2));
        QVERIFY(bytes.startsWith(QByteArray("<\0d\0", 4)));
        QCOMPARE(pane.currentPath(), QString::fromStdString(w.pageFile().string()));
        QVERIFY(pane.visibleText().contains(QStringLiteral("Recover No of Contact :7")));

        // A read-only page file from an earlier run is overwritten.
        std::filesystem::permissions(w.pageFile(), std::filesystem::perms::owner_read);
        ShowStatusPage(pane, kStoppedPage);
        QCOMPARE(Window::readBytes(w.pageFile()), testing_ui::utf16le(kStoppedPage));
        QVERIFY(pane.visibleText().contains(QStringLiteral("Recovery Process Stopped by User...")));
    }

    void statusPageInInstalledBuild()
    {
        Window w;
        // The program's directory cannot take the page (here: it does not exist).
        w.env->m_executablePath = w.root / "installed" / "bin" / "pelimoor";
        const std::filesystem::path written = ShowStatusPage(*w.dialog->browserPane(), kStartedPage);
        QCOMPARE(written, w.root / "tmp" / "pelimoortemp.html");
        QCOMPARE(Window::readBytes(written), testing_ui::utf16le(kStartedPage));
        QVERIFY(w.dialog->browserPane()->visibleText().contains(QStringLiteral("Recovery Started!")));
        // Neither place writable: nothing shown changes, nothing is reported.
        w.env->m_tempDirectory = w.root / "no-tmp";
        const QString before = w.dialog->browserPane()->currentPath();
        QVERIFY(ShowStatusPage(*w.dialog->browserPane(), kStoppedPage).empty());
        QCOMPARE(w.dialog->browserPane()->currentPath(), before);
        QVERIFY(w.env->messages.empty());
    }

    void paneDecodesAndShowsFrames()
    {
        QTemporaryDir dir;
        const QString fields = dir.filePath(QStringLiteral("temp2.html"));
        const QString notes = dir.filePath(QStringLiteral("temp1.txt"));
        const QString frameset = dir.filePath(QStringLiteral("temp.html"));
        platform::writeUtf16File(fields.toStdString(), u"<b>First Name :</b> \u00c5sa<br>");
        platform::writeUtf16File(notes.toStdString(), u"line one\nline <two>");
        platform::writeUtf16File(frameset.toStdString(),
                                 u"<html><frameset cols=\"50%,50%\"><frame src=\"temp2.html\"><frame src=\"temp1.txt\">"
                                 u"</frameset></html>");
        CExplorer1 pane;
        QVERIFY(pane.Navigate(frameset));
        QCOMPARE(pane.frames().size(), size_t(2));
        QVERIFY(pane.frames()[0]->toPlainText().contains(QStringLiteral("First Name : \u00c5sa")));
        QCOMPARE(pane.frames()[1]->toPlainText(), QStringLiteral("line one\nline <two>"));
        // Back to a single page; a missing file keeps what is shown.
        QVERIFY(pane.Navigate(fields));
        QCOMPARE(pane.frames().size(), size_t(1));
        QVERIFY(!pane.Navigate(dir.filePath(QStringLiteral("missing.html"))));
        QCOMPARE(pane.currentPath(), fields);
        QCOMPARE(decodePageBytes(QByteArray("\xEF\xBB\xBFh\xC3\xA9")), QStringLiteral("h\u00e9"));
        QCOMPARE(decodePageBytes(QByteArray("\xFF\xFEh\0", 4)), QStringLiteral("h"));
    }

    void initialWindow()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        QCOMPARE(CPelimoorDlg::instance(), &d);
        QCOMPARE(d.windowTitle(), QStringLiteral("Tressoly Pelimoor"));
        COMPARE_ENABLES(enables(d), (Enables{true, false, false, false, true, false, false}));
        for (int id : {1, 2, 1000, 1001, 1002, 1004, 1005, 1006, 1007, 1008, 1009, 1012, 1027, 1028})
            QVERIFY2(controls::findControl(d.clientArea(), id) != nullptr, qPrintable(QString::number(id)));
        QVERIFY(controls::findControl(d.clientArea(), 1)->isHidden());
        QVERIFY(controls::findControl(d.clientArea(), 2)->isHidden());
        QCOMPARE(controls::findControl(d.clientArea(), 1000)->geometry(),
                 controls::dialogUnitsToPixels(4, 90, 151, 265));
        // The path row: Upload beside Convert, the four buttons before it moved left to make room.
        for (auto [id, text, dlu] : {std::tuple{1002, "Browse...", QRect(209, 67, 55, 19)},
                                     {1007, "Convert", QRect(390, 67, 55, 19)},
                                     {1010, "Upload to address book server...", QRect(450, 67, 128, 19)}}) {
            QWidget* button = controls::findControl(d.clientArea(), id);
            QCOMPARE(button->geometry(), controls::dialogUnitsToPixels(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
            QCOMPARE(static_cast<QPushButton*>(button)->text(), QString::fromLatin1(text));
            // The caption fits the button.
            const int needed = button->fontMetrics().horizontalAdvance(QString::fromLatin1(text));
            QVERIFY2(needed < button->width(), qPrintable(QStringLiteral("%1 < %2").arg(needed).arg(button->width())));
        }
        QVERIFY(!d.isControlEnabled(kUploadButton));
        QVERIFY(!d.isControlEnabled(kMenuUpload));
        QCOMPARE(d.menuAction(kMenuUpload)->text(), QStringLiteral("&Upload to address book server..."));
        for (auto [id, text] : {std::pair{kMenuOpen, "&Open"},
                                {kMenuScan, "&Scan"},
                                {kMenuConvert, "&Convert"},
                                {kMenuExit, "E&xit"},
                                {kMenuContent, "&Content"},
                                {kMenuAbout, "About Tressoly Pelimoor "}})
            QCOMPARE(d.menuAction(id)->text(), QString::fromLatin1(text));
        QCOMPARE(d.contactModel()->columnCount(), 10);
        const QStringList titles{"S.No",           "Full name",    "First name", "Last name",    "Company",
                                 "Business Phone", "Business Fax", "Home Phone", "Mobile Phone", "Origin"};
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(d.contactModel()->headerData(i, Qt::Horizontal).toString(), titles[i]);
            QCOMPARE(d.contactList()->horizontalHeader()->sectionSize(i), i < 2 ? 0 : i == 9 ? 80 : 158);
        }
        auto* bar = d.clientArea()->findChild<QStatusBar*>();
        QVERIFY(bar != nullptr);
        const QList<QLabel*> parts = bar->findChildren<QLabel*>();
        QCOMPARE(parts.size(), 3);
        QCOMPARE(parts[0]->text(), QStringLiteral("Tressoly Systems Pelimoor"));
        QCOMPARE(d.folderTree()->accessibleName(), QStringLiteral("Folders"));
        QCOMPARE(d.contactList()->accessibleName(), QStringLiteral("Contacts"));
        QCOMPARE(d.browserPane()->accessibleName(), QStringLiteral("Preview"));
        QCOMPARE(d.clientArea()->palette().color(QPalette::Window), QColor(255, 193, 26));
        QCOMPARE(d.startupDirectory(), QDir::currentPath());
        // The start page is our own local page.
        QVERIFY(d.browserPane()->visibleText().contains(QStringLiteral("Click Browse...")));
    }

    void shownMaximisedWithAnchoredControls()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        QWidget* list = controls::findControl(d.clientArea(), kContactList);
        QWidget* tree = d.folderTree();
        QWidget* browse = controls::findControl(d.clientArea(), ui::kBrowseButton);
        QWidget* progress = controls::findControl(d.clientArea(), ui::kProgressBar);
        const QRect list0 = list->geometry(), tree0 = tree->geometry(), browse0 = browse->geometry(),
                    progress0 = progress->geometry();
        const QSize client0 = d.clientArea()->size();
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QTRY_VERIFY(d.isMaximized());
        QTRY_VERIFY(d.clientArea()->size() != client0);
        const int dx = d.clientArea()->width() - client0.width();
        const int dy = d.clientArea()->height() - client0.height();
        QCOMPARE(list->geometry(), list0.adjusted(0, 0, dx, 0));
        QCOMPARE(tree->geometry(), tree0.adjusted(0, 0, 0, dy));
        QCOMPARE(browse->geometry(), browse0.translated(dx, 0));
        QCOMPARE(progress->geometry(), progress0.adjusted(0, dy, dx, dy));
        QCOMPARE(d.browserPane()->geometry(),
                 QRect(243, 325, d.clientArea()->width() - 250, d.clientArea()->height() - 400));
        QVERIFY(d.resizer().sizeGrip()->isHidden());
        d.showNormal();
        QTRY_VERIFY(!d.resizer().sizeGrip()->isHidden());
    }

    void fileSelectionTable()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        // Cancelled at start-up: Browse on, Stop off, File > Convert on; the tree stays empty.
        d.OnBrowse();
        QCOMPARE(w.env->fileDialogs.size(), size_t(1));
        QCOMPARE(w.env->fileDialogs[0].caption, QStringLiteral("Select File..."));
        QCOMPARE(w.env->fileDialogs[0].filter, QStringLiteral("Microsoft Outlook PST File (*pst) (*.pst *.pst)"));
        COMPARE_ENABLES(enables(d), (Enables{true, false, false, false, true, false, true}));
        QCOMPARE(d.folderTree()->topLevelItemCount(), 0);

        // Chosen twice: one root with 28 entries, path shown, Scan on, Convert off.
        const std::filesystem::path scratch = w.root / "tmp" / "Attachments";
        for (const char* name : {"first.pst", "second.pst"}) {
            std::filesystem::create_directories(scratch / "nested" / "deeper");
            std::ofstream(scratch / "nested" / "deeper" / "x.bin") << "x";
            w.env->nextFiles.push_back(QStringList{QString::fromStdString(w.path(name))});
            d.menuAction(kMenuOpen)->trigger();
            QVERIFY(!std::filesystem::exists(scratch));
            QCOMPARE(d.folderTree()->topLevelItemCount(), 1);
            QCOMPARE(d.folderTree()->rootItem()->text(0), QString::fromStdString(w.path(name)));
            QCOMPARE(d.folderTree()->rootItem()->childCount(), 28);
            QCOMPARE(d.selectedFile(), QString::fromStdString(w.path(name)));
            QCOMPARE(static_cast<QLineEdit*>(controls::findControl(d.clientArea(), kPathEdit))->text(),
                     d.selectedFile());
            COMPARE_ENABLES(enables(d), (Enables{true, true, false, false, true, true, true}));
        }
        QCOMPARE(d.contactList()->selectionBehavior(), QAbstractItemView::SelectRows);

        // Cancelled later: tree and path unchanged.
        d.OnBrowse();
        QCOMPARE(d.folderTree()->rootItem()->text(0), QString::fromStdString(w.path("second.pst")));
        QCOMPARE(d.selectedFile(), QString::fromStdString(w.path("second.pst")));

        // Typing into the path edit changes nothing the scan reads.
        static_cast<QLineEdit*>(controls::findControl(d.clientArea(), kPathEdit))
            ->setText(QStringLiteral("/elsewhere"));
        QCOMPARE(d.selectedFile(), QString::fromStdString(w.path("second.pst")));
    }

    void stopWithNothingRunningOnlyEnablesBrowse()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        d.setControlEnabled(ui::kBrowseButton, false);
        const Enables before = enables(d);
        d.OnStop();
        QVERIFY(w.env->messages.empty());
        Enables after = before;
        after.browse = true;
        COMPARE_ENABLES(enables(d), after);
    }

    void enterMovesFocusAndStartsNothing()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto* browse = static_cast<QPushButton*>(controls::findControl(d.clientArea(), ui::kBrowseButton));
        browse->setFocus();
        QTRY_VERIFY(browse->hasFocus());
        QTest::keyClick(browse, Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
        QVERIFY(w.env->fileDialogs.empty());
        QVERIFY(w.env->messages.empty());
        QVERIFY(!browse->hasFocus());
        QVERIFY(d.isVisible());
    }

    void exitAnsweredNoKeepsTheWindow()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        w.env->nextAnswers = {QMessageBox::No, QMessageBox::No};
        d.menuAction(kMenuExit)->trigger();
        QVERIFY(!d.close());
        QVERIFY(d.isVisible());
        QCOMPARE(w.env->messages.size(), size_t(2));
        QCOMPARE(w.env->messages[1].text, QStringLiteral("Do you want to Exit ?       "));
        QVERIFY(w.env->terminations.empty());
        // Still usable.
        w.choose(w.path("a.pst"));
        QCOMPARE(d.folderTree()->topLevelItemCount(), 1);
        // Yes ends the process with status 0.
        w.env->nextAnswers = {QMessageBox::Yes};
        d.close();
        QCOMPARE(w.env->terminations, std::vector<int>{0});
    }

    void helpOpensTheFileFromTheStartupDirectory()
    {
        Window w;
        w.dialog->menuAction(kMenuContent)->trigger();
        QCOMPARE(w.env->opened, QStringList{QDir::currentPath() + QStringLiteral("/tressoly-pst-contacts.chm")});
    }

    void clickBeforeAScanEmptiesTheList()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        w.choose(w.path("a.pst"));
        d.StartListFill(QStringLiteral("All"));
        QVERIFY(d.waitForWorkers(5000));
        QCOMPARE(d.contactModel()->rowCount(), 0);
        QCOMPARE(d.contactModel()->columnCount(), 10);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
