// The window's conveniences around the list: Find, sort, the count, Copy, Convert selected,
// opening by drop and from Recent, remembered settings and the shortcuts.
#include "support.h"

#include "contacts/contact_record.h"
#include "controls/dialogs.h"
#include "fixture/fixture.h"
#include "realfiles/real_files.h"
#include "ui/contact_find.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QSettings>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <fstream>

using testing_ui::Window;
using namespace ui;

namespace {

// Six contacts: accents, a CJK name, e-mail addresses and phone numbers to find them by.
constexpr const char* kDescription = R"({
  "folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": [
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Jürgen"},
      {"tag": "0x3A11", "type": "unicode", "value": "Müller"},
      {"lid": "0x8084", "set": "address", "type": "unicode", "value": "jm@example.de"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Anna"},
      {"tag": "0x3A11", "type": "unicode", "value": "Zeller"},
      {"tag": "0x3A08", "type": "unicode", "value": "+49 30 1234"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Émile"},
      {"tag": "0x3A11", "type": "unicode", "value": "Ångström"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "太郎"},
      {"tag": "0x3A11", "type": "unicode", "value": "山田"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "bob"},
      {"tag": "0x3A11", "type": "unicode", "value": "Baker"},
      {"tag": "0x3A16", "type": "unicode", "value": "Müller GmbH"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Carl"},
      {"tag": "0x3A11", "type": "unicode", "value": "adams"}]}
  ]}]
})";

QStringList shownColumn(const CPelimoorDlg& d, int col)
{
    QStringList cells;
    const QAbstractItemModel& m = *d.findModel();
    for (int row = 0; row < m.rowCount(); ++row)
        cells << m.data(m.index(row, col)).toString();
    return cells;
}

QString countText(const CPelimoorDlg& d)
{
    return static_cast<QLabel*>(controls::findControl(d.clientArea(), kContactCount))->text();
}

// Scans the described file in `w` and lists every contact.
void scanAll(Window& w)
{
    const pst::Status status = fixture::write_from_json(w.path("six.pst"), kDescription);
    QVERIFY2(status.ok, status.message.c_str());
    w.dialog->OpenFile(QString::fromStdString(w.path("six.pst")));
    w.dialog->OnScan();
    QVERIFY(w.dialog->waitForWorkers(20000));
    w.dialog->StartListFill(QStringLiteral("All"));
    QVERIFY(w.dialog->waitForWorkers(10000));
}

void selectRows(CPelimoorDlg& d, std::initializer_list<int> rows)
{
    d.contactList()->clearSelection();
    for (int row : rows)
        d.contactList()->selectionModel()->select(d.findModel()->index(row, 2),
                                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

} // namespace

class ConvenienceTest : public QObject
{
    Q_OBJECT
private slots:
    void findFiltersAndTheCountFollows()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        scanAll(w);
        QCOMPARE(countText(d), QStringLiteral("6 of 6 contacts"));
        struct Case
        {
            QString query;
            QStringList firstNames; // in store order
        };
        const Case cases[] = {
            {QStringLiteral("muller"), {"Jürgen", "bob"}}, // accents, and the company
            {QStringLiteral("MÜLLER jürgen"), {"Jürgen"}}, // every term, any case
            {QStringLiteral("ＡＮＮＡ"), {"Anna"}},        // fullwidth
            {QStringLiteral("jm@example"), {"Jürgen"}},    // e-mail address
            {QStringLiteral("1234"), {"Anna"}},            // phone
            {QStringLiteral("山田"), {"太郎"}},            // CJK
            {QStringLiteral("angstrom"), {"Émile"}},       // Å
            {QStringLiteral("nobody"), {}},                // nothing
            {QString(10000, QLatin1Char('x')), {}},        // long
            {QString(QChar(0xD800)) + QChar(0x0001), {}},  // lone surrogate, control character
            {QString(), {"Jürgen", "Anna", "Émile", "太郎", "bob", "Carl"}},
        };
        for (const Case& c : cases) {
            d.findField()->setText(c.query);
            QCOMPARE(shownColumn(d, 2), c.firstNames);
            QCOMPARE(countText(d), QStringLiteral("%1 of 6 contacts").arg(c.firstNames.size()));
        }
        // Esc in the field empties it; the window stays.
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        d.findField()->setFocus();
        d.findField()->setText(QStringLiteral("anna"));
        QTest::keyClick(d.findField(), Qt::Key_Escape);
        QVERIFY(d.findField()->text().isEmpty());
        QVERIFY(d.isVisible());
    }

    void headerClickSortsAndAgainReverses()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        scanAll(w);
        QHeaderView* header = d.contactList()->horizontalHeader();
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        const int x = header->sectionViewportPosition(3) + header->sectionSize(3) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
        QCOMPARE(header->sortIndicatorSection(), 3);
        const QStringList ascending = shownColumn(d, 3);
        // Letters by collation (case and accents second), the ideographs after the Latin names.
        QCOMPARE(ascending.mid(0, 5), (QStringList{"adams", "Ångström", "Baker", "Müller", "Zeller"}));
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
        QStringList descending = shownColumn(d, 3);
        std::reverse(descending.begin(), descending.end());
        QCOMPARE(descending, ascending);
        // Sort and find compose.
        d.findField()->setText(QStringLiteral("e"));
        QStringList shown = shownColumn(d, 3);
        QVERIFY(std::is_sorted(shown.rbegin(), shown.rend(), [&](const QString& a, const QString& b) {
            return ascending.indexOf(a) < ascending.indexOf(b);
        }));
    }

    void copyPutsVcardsAndNameLines()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        scanAll(w);
        d.findField()->setText(QStringLiteral("muller"));
        selectRows(d, {0, 1});
        QCOMPARE(d.selectedRecords().size(), size_t(2));
        d.OnCopy();
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        QVERIFY(data != nullptr);
        QCOMPARE(data->text(), QStringLiteral("Jürgen Müller <jm@example.de>\nbob Baker"));
        QCOMPARE(data->data(QStringLiteral("text/x-vcard")), data->data(QStringLiteral("text/vcard")));
        // Evolution's own parser reads both cards.
        const QString file = QString::fromStdString(w.path("copied.vcf"));
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(data->data(QStringLiteral("text/vcard")));
        out.close();
        QProcess reader;
        reader.start(QStringLiteral(PYTHON3), {QStringLiteral(READBACK_SCRIPT), QStringLiteral("evolution"), file});
        QVERIFY(reader.waitForFinished(30000));
        QCOMPARE(reader.exitCode(), 0);
        const QString cards = QString::fromUtf8(reader.readAllStandardOutput());
        QVERIFY2(cards.contains(QStringLiteral("Müller;Jürgen")), qPrintable(cards));
        QVERIFY2(cards.contains(QStringLiteral("Baker;bob")), qPrintable(cards));
    }

    // The vCard version and CSV layout: kept in the settings for the next window (a value not
    // understood gives the default), and Copy writes the chosen version.
    void outputChoicesAreRememberedAndCopyFollowsThem()
    {
        Window w;
        const std::filesystem::path ini = w.root / "config" / "pelimoor" / "pelimoor.ini";
        controls::outputChoices() = {contacts::VcardVersion::v40, contacts::CsvLayout::google};
        w.dialog.reset(); // saves the settings
        controls::outputChoices() = {};
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QCOMPARE(int(controls::outputChoices().vcard), int(contacts::VcardVersion::v40));
        QCOMPARE(int(controls::outputChoices().csv), int(contacts::CsvLayout::google));
        QCOMPARE(QSettings(QString::fromStdString(ini.string()), QSettings::IniFormat).value("output/vcard").toString(),
                 QStringLiteral("4.0"));

        scanAll(w);
        selectRows(*w.dialog, {0});
        w.dialog->OnCopy();
        const QByteArray card = QGuiApplication::clipboard()->mimeData()->data(QStringLiteral("text/vcard"));
        QVERIFY2(card.startsWith("BEGIN:VCARD\r\nVERSION:4.0\r\nUID:urn:uuid:"), card.constData());

        w.dialog.reset();
        {
            QSettings s(QString::fromStdString(ini.string()), QSettings::IniFormat);
            s.setValue("output/vcard", "5.0");
            s.setValue("output/csv", "");
        }
        controls::outputChoices() = {};
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QCOMPARE(int(controls::outputChoices().vcard), int(contacts::VcardVersion::v21));
        QCOMPARE(int(controls::outputChoices().csv), int(contacts::CsvLayout::pelimoor));
    }

    // The distribution list of a real file: a vCard 4.0 conversion writes its group card and the
    // done page says so; the 2.1 default writes no group and adds no line.
    void groupsAreWrittenAndCountedOnTheDonePage()
    {
        REAL_FILE_OR_QSKIP(distList, "dist-list.pst");
        Window w;
        CPelimoorDlg& d = *w.dialog;
        d.OpenFile(distList);
        d.OnScan();
        QVERIFY(d.waitForWorkers(20000));
        const QString donePage = d.browserPane()->visibleText();
        QVERIFY(!donePage.contains(QStringLiteral("group")));
        const std::filesystem::path out = w.root / "groups";
        for (const contacts::VcardVersion version : {contacts::VcardVersion::v21, contacts::VcardVersion::v40}) {
            std::filesystem::remove_all(out);
            std::filesystem::create_directories(out);
            controls::outputChoices() = {version, contacts::CsvLayout::pelimoor};
            w.env->nextDirectories.push_back(QString::fromStdString(out.string()));
            QTimer::singleShot(0, [] {
                QWidget* box = QApplication::activeModalWidget();
                QTest::mouseClick(controls::findControl(box, 1018), Qt::LeftButton, {}, QPoint(8, 8));
                QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
            });
            d.OnConvert();
            QVERIFY(d.waitForWorkers(30000));
            QCOMPARE(w.env->messages.back().text, QStringLiteral("Saving sucessfully completed."));
            std::string cards;
            for (const auto& folder : std::filesystem::directory_iterator(out))
                cards = Window::readBytes(folder.path() / "contacts.vcf").toStdString();
            const bool v4 = version == contacts::VcardVersion::v40;
            QCOMPARE(cards.find("KIND:group") != std::string::npos, v4);
            QCOMPARE(d.browserPane()->visibleText().contains(QStringLiteral("1 group(s) written.")), v4);
        }
        controls::outputChoices() = {};
    }

    // "Merge duplicates" in the format dialog: the conversion writes one card of a person whose
    // two cards share an e-mail address, merge-report.csv beside it, and the merge's closing line
    // on the done page; the box is remembered.
    void mergeDuplicatesOnConvert()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        constexpr const char* kTwice = R"({"folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": [
            {"class": "IPM.Contact", "props": [
              {"tag": "0x3A06", "type": "unicode", "value": "Jürgen"},
              {"tag": "0x3A11", "type": "unicode", "value": "Müller"},
              {"lid": "0x8084", "set": "address", "type": "unicode", "value": "jm@example.de"}]},
            {"class": "IPM.Contact", "props": [
              {"tag": "0x3A06", "type": "unicode", "value": "Anna"},
              {"tag": "0x3A11", "type": "unicode", "value": "Zeller"}]},
            {"class": "IPM.Contact", "props": [
              {"tag": "0x3A06", "type": "unicode", "value": "Juergen"},
              {"tag": "0x3A11", "type": "unicode", "value": "Mueller"},
              {"tag": "0x3A17", "type": "unicode", "value": "Baker"},
              {"lid": "0x8084", "set": "address", "type": "unicode", "value": "JM@example.de"}]}]}]})";
        QVERIFY(fixture::write_from_json(w.path("twice.pst"), kTwice).ok);
        d.OpenFile(QString::fromStdString(w.path("twice.pst")));
        d.OnScan();
        QVERIFY(d.waitForWorkers(20000));
        const std::filesystem::path out = w.root / "merged";
        std::filesystem::create_directories(out);
        w.env->nextDirectories.push_back(QString::fromStdString(out.string()));
        controls::mergeDuplicates() = false;
        QTimer::singleShot(0, [] {
            QWidget* box = QApplication::activeModalWidget();
            QTest::mouseClick(controls::findControl(box, 1020), Qt::LeftButton, {}, QPoint(8, 8)); // text
            QTest::mouseClick(controls::findControl(box, controls::kMergeDuplicatesId), Qt::LeftButton, {},
                              QPoint(8, 8));
            QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
        });
        d.OnConvert();
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(w.env->messages.back().text, QStringLiteral("Saving sucessfully completed."));
        QVERIFY(controls::mergeDuplicates());
        QStringList names;
        QByteArray report;
        for (const auto& folder : std::filesystem::directory_iterator(out))
            for (const auto& f : std::filesystem::directory_iterator(folder.path())) {
                names << QString::fromStdString(f.path().filename().string());
                if (f.path().filename() == "merge-report.csv")
                    report = Window::readBytes(f.path());
            }
        QVERIFY2(names.size() == 3, qPrintable(names.join(QLatin1Char(' ')))); // two cards and the report
        QVERIFY2(report.startsWith("\xEF\xBB\xBF\"Outcome\""), report.constData());
        QVERIFY2(report.contains("\"merged\",\"J\xC3\xBCrgen M\xC3\xBCller\",\"2 cards\""), report.constData());
        QVERIFY2(d.browserPane()->visibleText().contains(
                     QStringLiteral("3 contacts from 1 file: 2 written, 1 merged, 0 pairs held for review.")),
                 qPrintable(d.browserPane()->visibleText()));
        w.dialog.reset(); // saves the settings
        controls::mergeDuplicates() = false;
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QVERIFY(controls::mergeDuplicates());
        controls::mergeDuplicates() = false;
    }

    void convertSelectedWritesOnlyThose()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        scanAll(w);
        selectRows(d, {1, 3});
        QCOMPARE(d.selectedRecords().size(), size_t(2));
        const std::filesystem::path out = w.root / "out";
        std::filesystem::create_directories(out);
        w.env->nextDirectories.push_back(QString::fromStdString(out.string()));
        QTimer::singleShot(0, [] {
            QWidget* box = QApplication::activeModalWidget();
            QTest::mouseClick(controls::findControl(box, 1020), Qt::LeftButton, {}, QPoint(8, 8)); // text
            QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
        });
        // While the conversion runs it holds off what would clear or refill the store, and Stop is
        // on; its end shows the state from before again, Stop still on.
        const std::array<int, 7> watched = {ui::kBrowseButton, ui::kScanButton,  ui::kConvertButton, ui::kMenuOpen,
                                            ui::kMenuScan,     ui::kMenuConvert, ui::kFolderTree};
        std::vector<bool> before;
        for (int id : watched)
            before.push_back(d.isControlEnabled(id));
        d.OnConvertSelected();
        for (int id : watched)
            QCOMPARE(d.isControlEnabled(id), id == ui::kFolderTree);
        QVERIFY(d.isControlEnabled(ui::kStopButton));
        QVERIFY(d.waitForWorkers(30000));
        for (std::size_t i = 0; i < watched.size(); ++i)
            QCOMPARE(d.isControlEnabled(watched[i]), bool(before[i]));
        QVERIFY(d.isControlEnabled(ui::kStopButton));
        QCOMPARE(w.env->messages.back().text, QStringLiteral("Saving sucessfully completed."));
        int files = 0;
        for (const auto& folder : std::filesystem::directory_iterator(out))
            for (const auto& f : std::filesystem::directory_iterator(folder.path())) {
                ++files;
                QVERIFY(f.path().filename().string().ends_with(".txt"));
            }
        QCOMPARE(files, 2);
        // The next destination dialog starts where this one ended.
        QCOMPARE(w.env->directoryStarts.back(), QString());
        w.env->nextDirectories.clear();
        QTimer::singleShot(0, [] {
            QWidget* box = QApplication::activeModalWidget();
            QTest::mouseClick(controls::findControl(box, 1018), Qt::LeftButton, {}, QPoint(8, 8));
            QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
        });
        d.OnConvert();
        QCOMPARE(w.env->directoryStarts.back(), QString::fromStdString(out.string()));
    }

    // Dropping several files, or a folder of them, opens every PST among them as one set; File >
    // Recent then opens that set again, and a set with a file gone is taken off.
    void dropOfSeveralFilesOpensThemAll()
    {
        Window w;
        const std::string a = w.path("a.pst");
        const std::string b = w.path("b.PST");
        for (const std::string& p : {a, b})
            QVERIFY(fixture::write_from_json(p, kDescription).ok);
        std::filesystem::create_directories(w.root / "folder");
        std::filesystem::copy_file(a, w.root / "folder" / "y.pst");
        std::filesystem::copy_file(a, w.root / "folder" / "z.pst");
        std::ofstream(w.path("notes.txt")) << "x";
        const auto q = [](const std::string& p) { return QString::fromStdString(p); };
        const std::string y = (w.root / "folder" / "y.pst").string();
        const std::string z = (w.root / "folder" / "z.pst").string();
        const struct
        {
            std::vector<std::string> paths;
            QStringList opened;
        } drops[] = {
            {{a, w.path("notes.txt"), b}, {q(a), q(b)}},
            {{(w.root / "folder").string()}, {q(y), q(z)}},
            {{b, (w.root / "folder").string()}, {q(b), q(y), q(z)}},
        };
        for (const auto& drop : drops) {
            QMimeData data;
            QList<QUrl> urls;
            for (const std::string& p : drop.paths)
                urls << QUrl::fromLocalFile(q(p));
            data.setUrls(urls);
            QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            static_cast<QObject*>(w.dialog.get())->event(&event);
            QCOMPARE(w.dialog->selectedFiles(), drop.opened);
            QCOMPARE(w.dialog->recentFiles().first(), drop.opened.join('\n'));
            QCOMPARE(w.dialog->contactModel()->sourceColumn() >= 0, drop.opened.size() > 1);
        }
        // Recent: the set of the first drop, then one whose file is gone.
        const auto pickRecent = [&](const QString& label) {
            QMenu* recent = nullptr;
            for (QMenu* menu : w.dialog->findChildren<QMenu*>())
                if (menu->title() == QStringLiteral("&Recent"))
                    recent = menu;
            QVERIFY(recent != nullptr);
            emit recent->aboutToShow();
            for (QAction* action : recent->actions())
                if (action->text() == label)
                    action->trigger();
        };
        pickRecent(q(a) + "; " + q(b));
        QCOMPARE(w.dialog->selectedFiles(), (QStringList{q(a), q(b)}));
        std::filesystem::remove(y);
        const qsizetype before = w.dialog->recentFiles().size();
        pickRecent(q(y) + "; " + q(z));
        QCOMPARE(w.dialog->selectedFiles(), (QStringList{q(a), q(b)}));
        QCOMPARE(w.dialog->recentFiles().size(), before - 1);
        QVERIFY(w.env->messages.back().text.startsWith(q(y) + " is no longer there"));
    }

    void dropRecentAndSettingsRoundTrip()
    {
        Window w;
        const std::string a = w.path("a.pst");
        const std::string b = w.path("b.PST");
        for (const std::string& p : {a, b})
            QVERIFY(fixture::write_from_json(p, kDescription).ok);
        std::filesystem::create_directories(w.root / "folder");
        std::filesystem::copy_file(a, w.root / "folder" / "z.pst");
        std::ofstream(w.path("notes.txt")) << "x";
        struct Drop
        {
            std::vector<std::string> paths;
            std::string opened;
        };
        const Drop drops[] = {
            {{a}, a},
            {{w.path("notes.txt"), b}, b}, // the first .pst, whatever its case
            {{(w.root / "folder").string()}, (w.root / "folder" / "z.pst").string()},
            {{w.path("notes.txt")}, w.path("notes.txt")}, // no .pst: taken, the scan refuses it
        };
        for (const Drop& drop : drops) {
            QMimeData data;
            QList<QUrl> urls;
            for (const std::string& p : drop.paths)
                urls << QUrl::fromLocalFile(QString::fromStdString(p));
            data.setUrls(urls);
            QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            // Straight to the window's handler, as the platform's drag and drop would deliver it.
            static_cast<QObject*>(w.dialog.get())->event(&event);
            QCOMPARE(w.dialog->selectedFile(), QString::fromStdString(drop.opened));
        }
        QCOMPARE(w.dialog->recentFiles().first(), QString::fromStdString(w.path("notes.txt")));
        QCOMPARE(w.dialog->recentFiles().size(), 4);
        // A drop during a scan is refused and the scan goes on.
        w.dialog->OpenFile(QString::fromStdString(a));
        w.dialog->holdNextScan();
        w.dialog->OnScan();
        w.dialog->OpenFile(QString::fromStdString(b));
        QCOMPARE(w.dialog->selectedFile(), QString::fromStdString(a));
        QVERIFY(w.env->messages.back().text.startsWith(QStringLiteral("A scan or conversion is running")));
        QVERIFY(w.dialog->scanRunning());
        w.dialog->reject();

        // A new window reads what this one remembered; a damaged settings file gives defaults.
        w.dialog.reset();
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QCOMPARE(w.dialog->recentFiles().first(), QString::fromStdString(a));
        w.dialog.reset();
        const std::filesystem::path ini = w.root / "config" / "pelimoor" / "pelimoor.ini";
        QVERIFY(std::filesystem::exists(ini));
        std::ofstream(ini, std::ios::binary)
            << std::string("\x00\xFF[files]\nrecent=@ByteArray(\\", 27) << "\n[list]\nheader9=@ByteArray(garbage)\n";
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        for (int i = 0; i < 9; ++i)
            QCOMPARE(w.dialog->contactList()->horizontalHeader()->sectionSize(i), i < 2 ? 0 : 158);
        QVERIFY(w.dialog->recentFiles().size() <= kRecentFiles);
    }

    // The strip between the list and the preview: a drag moves both edges, within a header and
    // two rows of list and 60 pixels of preview; a double click gives the default; a new window
    // starts with the split last used, a damaged value with the default.
    void splitBetweenListAndPreview()
    {
        Window w;
        const std::filesystem::path ini = w.root / "config" / "pelimoor" / "pelimoor.ini";
        auto open = [&] {
            w.dialog = std::make_unique<CPelimoorDlg>(w.store);
            w.dialog->show();
            w.dialog->showNormal();
            w.dialog->resize(1000, 800);
            QTRY_COMPARE_WITH_TIMEOUT(w.dialog->clientArea()->height() > 700, true, 2000);
        };
        open();
        QTableView* list = w.dialog->contactList();
        auto* handle = w.dialog->clientArea()->findChild<QWidget*>(QStringLiteral("splitHandle"));
        QVERIFY(handle != nullptr);
        const int listHeight = list->height(), paneTop = w.dialog->browserPane()->y();
        const int cy = w.dialog->clientArea()->height();
        QCOMPARE(paneTop, 325);
        const int fewest = list->horizontalHeader()->height() + 2 * list->verticalHeader()->defaultSectionSize();
        auto drag = [&](int dy) {
            // The handle moves under the pointer: each step is placed from the press's screen point.
            const QPoint from = handle->mapToGlobal(handle->rect().center());
            auto step = [&](int by) { return handle->mapFromGlobal(from + QPoint(0, by)); };
            QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, step(0));
            QTest::mouseMove(handle, step(dy / 2));
            QTest::mouseMove(handle, step(dy));
            QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, step(dy));
        };
        struct Case
        {
            int dy, listHeight;
        };
        const Case cases[] = {
            {40, listHeight + 40}, {-40, listHeight}, {1, listHeight + 1}, {100000, listHeight + (cy - 460)},
            {-100000, fewest},
        };
        for (const Case& c : cases) {
            drag(c.dy);
            QCOMPARE(list->height(), c.listHeight);
            QCOMPARE(w.dialog->browserPane()->y() - paneTop, list->height() - listHeight);
            QCOMPARE(w.dialog->browserPane()->y() + w.dialog->browserPane()->height(), cy - 75);
            QCOMPARE(handle->geometry().top(), list->geometry().bottom() + 1);
            QCOMPARE(handle->geometry().bottom() + 1, w.dialog->browserPane()->y());
        }
        QTest::mouseDClick(handle, Qt::LeftButton);
        QCOMPARE(list->height(), listHeight);
        drag(30);
        w.dialog.reset();
        open();
        list = w.dialog->contactList();
        QCOMPARE(list->height(), listHeight + 30);
        w.dialog.reset();
        {
            QSettings s(QString::fromStdString(ini.string()), QSettings::IniFormat);
            s.setValue(QStringLiteral("window/split"), QStringLiteral("down a bit"));
        }
        open();
        QCOMPARE(w.dialog->contactList()->height(), listHeight);
    }

    void shortcutsFollowTheirButtons()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        d.show();
        d.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&d));
        struct Case
        {
            QKeySequence keys;
            int gate;
            std::function<int()> effect; // a counter the shortcut's handler moves
        };
        const Case cases[] = {
            {QKeySequence(QStringLiteral("Ctrl+O")), kBrowseButton, [&] { return int(w.env->fileDialogs.size()); }},
            {QKeySequence(QStringLiteral("Ctrl+E")), kConvertButton, [&] { return int(w.env->messages.size()); }},
            {QKeySequence(QStringLiteral("Ctrl+Q")), 0, [&] { return int(w.env->messages.size()); }},
        };
        for (const Case& c : cases) {
            for (bool enabled : {false, true}) {
                if (c.gate != 0)
                    d.setControlEnabled(c.gate, enabled);
                else if (!enabled)
                    continue;
                w.env->nextAnswers = {QMessageBox::No};
                const int before = c.effect();
                // The format dialog of Convert: cancelled at once.
                QTimer::singleShot(0, [] {
                    if (QWidget* box = QApplication::activeModalWidget())
                        box->close();
                });
                d.activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(&d));
                QTest::keySequence(&d, c.keys);
                QVERIFY2((c.effect() > before) == (enabled && c.gate != kConvertButton),
                         qPrintable(c.keys.toString() + (enabled ? " enabled" : " disabled")));
            }
        }
        QTest::keySequence(&d, QKeySequence(QStringLiteral("Ctrl+F")));
        QVERIFY(d.findField()->hasFocus());
    }
};

QTEST_MAIN(ConvenienceTest)
#include "convenience_test.moc"
