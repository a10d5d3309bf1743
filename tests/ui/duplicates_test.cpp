// "Possible duplicates" in the real window: the pairs a merge holds for review shown side by
// side after a scan on the real scan thread (the reason, both cards' fields, the values that
// differ marked), the user's "Merge" and "Keep both", and the conversion that follows them:
// merge-report.csv says the user merged the pair.
#include "support.h"

#include "contacts/messages.h"
#include "controls/dialogs.h"
#include "fixture/fixture.h"
#include "ui/contact_find.h"
#include "ui/duplicates_view.h"
#include "ui/explorer.h"

#include <QAction>
#include <QApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <utility>

using testing_ui::Window;
using namespace ui;

namespace {

// Jürgen Müller twice (one address, two job titles: held for review), Juergen Mueller's number
// on Anna Zeller's card too (a shared number: held), and Carl Adams, held with nobody.
constexpr const char* kTwice = R"({"folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": [
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Jürgen"},
      {"tag": "0x3A11", "type": "unicode", "value": "Müller"},
      {"tag": "0x3A17", "type": "unicode", "value": "Baker"},
      {"lid": "0x8084", "set": "address", "type": "unicode", "value": "jm@example.de"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Carl"},
      {"tag": "0x3A11", "type": "unicode", "value": "Adams"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Juergen"},
      {"tag": "0x3A11", "type": "unicode", "value": "Mueller"},
      {"tag": "0x3A17", "type": "unicode", "value": "Chef"},
      {"tag": "0x3A1C", "type": "unicode", "value": "+49 171 1234567"},
      {"lid": "0x8084", "set": "address", "type": "unicode", "value": "JM@example.de"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Anna"},
      {"tag": "0x3A11", "type": "unicode", "value": "Zeller"},
      {"tag": "0x3A1C", "type": "unicode", "value": "+49 171 1234567"}]}]}]})";

// The rows of the view's field table: "field|first|second", a '*' after the values that differ.
QStringList fieldRows(const DuplicatesView& view)
{
    QStringList rows;
    const QTableWidget* t = view.fieldTable();
    for (int r = 0; r < t->rowCount(); ++r) {
        QString row =
            t->item(r, 0)->text() + QLatin1Char('|') + t->item(r, 1)->text() + QLatin1Char('|') + t->item(r, 2)->text();
        if (t->item(r, 1)->font().bold())
            row += QLatin1Char('*');
        rows << row;
    }
    return rows;
}

// The merge report of the one conversion folder under `out`.
QByteArray reportIn(const std::filesystem::path& out)
{
    for (const auto& folder : std::filesystem::directory_iterator(out))
        return Window::readBytes(folder.path() / "merge-report.csv");
    return {};
}

// Answers the next conversion's dialogs: text files, in `out`, through the real format dialog.
void answerTextConversion(Window& w, const std::filesystem::path& out)
{
    std::filesystem::create_directories(out);
    w.env->nextDirectories.push_back(QString::fromStdString(out.string()));
    QTimer::singleShot(0, [] {
        QWidget* box = QApplication::activeModalWidget();
        QTest::mouseClick(controls::findControl(box, 1020), Qt::LeftButton, {}, QPoint(8, 8)); // text
        QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
    });
}

// Converts every contact to text files in `out`.
void convertTo(Window& w, const std::filesystem::path& out)
{
    answerTextConversion(w, out);
    w.dialog->OnConvert();
}

// Runs `body` once the Possible duplicates view is open (its merge runs on a thread first; the
// view's modal loop runs the body).
void whenReviewOpens(CPelimoorDlg& d, std::function<void()> body)
{
    auto* poll = new QTimer(&d);
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [&d, poll, body = std::move(body)] {
        if (d.duplicatesView() == nullptr)
            return;
        poll->stop();
        poll->deleteLater();
        QDialog* view = d.duplicatesView();
        body();
        // A check that failed in `body` returned early: the view closes all the same, so the test
        // fails at once instead of waiting on a dialog nobody closes.
        if (view->isVisible())
            view->reject();
    });
    poll->start();
}

// A file of `count` cards (JSON for the fixture writer): person i, of address p<i>@example.org,
// up to `from`; from there person q<i>, of an address in `domain` and the job title `job`. Two
// files of other domains and jobs share the first `from` people (copies, merged into one card
// each) and hold each later person's two cards for review (one name, nothing else shared).
std::string manyCards(int count, int from, const std::string& domain, const std::string& job)
{
    std::string json = R"({"folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": [)";
    const auto text = [](const char* tag, const std::string& value) {
        return R"({"tag": ")" + std::string(tag) + R"(", "type": "unicode", "value": ")" + value + R"("})";
    };
    for (int i = 0; i < count; ++i) {
        const bool shared = i < from;
        const std::string who = (shared ? "p" : "q") + std::to_string(i);
        json += i > 0 ? "," : "";
        json += R"({"class": "IPM.Contact", "props": [)" + text("0x3A06", "Person " + who) + "," +
                text("0x3A11", "Family") + (shared ? std::string() : "," + text("0x3A17", job)) +
                R"(, {"lid": "0x8084", "set": "address", "type": "unicode", "value": ")" + who + "@" +
                (shared ? std::string("example.org") : domain) + R"("}]})";
    }
    return json + "]}]}";
}

} // namespace

class DuplicatesTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { controls::mergeDuplicates() = false; }
    void cleanup() { controls::mergeDuplicates() = false; }

    void heldPairsShownSideBySideAndMergedByTheUser()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        QVERIFY(!d.isControlEnabled(kMenuDuplicates)); // nothing scanned yet
        QVERIFY(fixture::write_from_json(w.path("twice.pst"), kTwice).ok);
        d.OpenFile(QString::fromStdString(w.path("twice.pst")));
        d.OnScan();
        QVERIFY(d.waitForWorkers(20000));
        QVERIFY(d.isControlEnabled(kMenuDuplicates));

        QStringList seen;
        bool checked = false;
        whenReviewOpens(d, [&] {
            DuplicatesView* view = d.duplicatesView();
            QVERIFY(view != nullptr);
            checked = true;
            QCOMPARE(view->pairCount(), 2);
            QCOMPARE(view->currentPair(), 0);
            for (int i = 0; i < view->pairCount(); ++i)
                seen << view->pairList()->model()->index(i, 0).data().toString();
            QCOMPARE(view->reasonLabel()->text(), QStringLiteral("Held for review: field clash: job_title "
                                                                 "(\u201C\u0042aker\u201D, \u201C\u0043hef\u201D)"));
            // Each field once, when the view opens and when a choice moves it on to the next pair.
            const auto eachFieldOnce = [&] {
                const QStringList shown = fieldRows(*view);
                return shown.size() == QSet<QString>(shown.begin(), shown.end()).size();
            };
            const QStringList rows = fieldRows(*view);
            QVERIFY2(eachFieldOnce(), qPrintable(rows.join(u'\n')));
            QVERIFY2(rows.contains(QStringLiteral("First name|J\u00FCrgen|Juergen*")), qPrintable(rows.join(u'\n')));
            QVERIFY2(rows.contains(QStringLiteral("Job title|Baker|Chef*")), qPrintable(rows.join(u'\n')));
            QVERIFY2(rows.contains(QStringLiteral("Mobile phone||+49 171 1234567*")), qPrintable(rows.join(u'\n')));
            QCOMPARE(view->fieldTable()->horizontalHeaderItem(1)->text(),
                     QStringLiteral("twice.pst\nTop of Personal Folders\\Contacts > item 1"));
            QCOMPARE(view->fieldTable()->horizontalHeaderItem(2)->text(),
                     QStringLiteral("twice.pst\nTop of Personal Folders\\Contacts > item 3"));
            QVERIFY(!rows.join(u'\n').contains(QStringLiteral("Mileage")));
            if (const QByteArray dir = qgetenv("PELIMOOR_SCREENSHOTS"); !dir.isEmpty())
                view->grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/possible-duplicates.png"));
            // "Merge" on the first pair, then the view shows the next one undecided; "Keep both" on it.
            QTest::mouseClick(view->mergeButton(), Qt::LeftButton);
            QCOMPARE(view->currentPair(), 1);
            QVERIFY2(eachFieldOnce(), qPrintable(fieldRows(*view).join(u'\n')));
            QVERIFY(view->reasonLabel()->text().startsWith(QStringLiteral("Held for review: shared address")));
            QTest::mouseClick(view->keepButton(), Qt::LeftButton);
            QVERIFY(
                view->pairList()->model()->index(0, 0).data().toString().endsWith(QStringLiteral(" \u2014 merged")));
            QVERIFY(view->pairList()->model()->index(1, 0).data().toString().endsWith(
                QStringLiteral(" \u2014 kept apart")));
            view->accept();
        });
        d.OnDuplicates();
        QVERIFY(d.waitForWorkers(30000));
        QVERIFY(checked);
        QCOMPARE(seen, (QStringList{QStringLiteral("J\u00FCrgen M\u00FCller \u2194 Juergen Mueller"),
                                    QStringLiteral("Juergen Mueller \u2194 Anna Zeller")}));
        QCOMPARE(d.duplicatesView(), nullptr);
        QCOMPARE(d.reviewChoices().merged.size(), size_t(1));
        QCOMPARE(d.reviewChoices().kept.size(), size_t(1));
        QVERIFY(controls::mergeDuplicates()); // a pair merged by hand turns the merge on

        // The conversion writes what the user chose: one Jürgen Müller (the first card's job
        // title), Anna apart, and the report says who merged the pair.
        const std::filesystem::path out = w.root / "chosen";
        convertTo(w, out);
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(w.env->messages.back().text, QStringLiteral("Saving sucessfully completed."));
        const QByteArray report = reportIn(out);
        QVERIFY2(report.contains("\"merged by the user\",\"J\xC3\xBC"
                                 "rgen M\xC3\xBCller\",\"2 cards\""),
                 report.constData());
        // "Keep both" is said of the pair the user kept apart.
        QVERIFY2(report.contains("\"kept apart by the user\",\"Juergen Mueller\",\"shared address\",\"name\",\"Juergen "
                                 "Mueller\",\"Anna Zeller\""),
                 report.constData());
        QVERIFY2(!report.contains("\"held\""), report.constData());
        QVERIFY2(d.browserPane()->visibleText().contains(
                     QStringLiteral("4 contacts from 1 file: 3 written, 1 merged, 1 pair held for review.")),
                 qPrintable(d.browserPane()->visibleText()));

        // A new scan clears the choices with the records they name.
        d.OnScan();
        QVERIFY(d.waitForWorkers(20000));
        QVERIFY(d.reviewChoices().empty());
    }

    // With "Merge duplicates" on the list shows the merged cards: the four cards at first (all
    // held), three once the user merged Jürgen's pair; converting that merged row alone writes one
    // card and a report naming both of its cards; the box turned off shows the store's cards again.
    void theListShowsTheMergedCards()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        controls::mergeDuplicates() = true;
        QVERIFY(fixture::write_from_json(w.path("twice.pst"), kTwice).ok);
        d.OpenFile(QString::fromStdString(w.path("twice.pst")));
        d.OnScan();
        QVERIFY(d.waitForWorkers(20000));
        QCOMPARE(d.findModel()->rowCount(), 4);
        whenReviewOpens(d, [&] {
            QTest::mouseClick(d.duplicatesView()->mergeButton(), Qt::LeftButton);
            d.duplicatesView()->accept();
        });
        d.OnDuplicates();
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(d.findModel()->rowCount(), 3);
        int merged = -1;
        for (int row = 0; row < d.findModel()->rowCount(); ++row) {
            const contacts::ContactRecord* r = d.findModel()->record(row);
            if (r->text_or_empty(contacts::Field::job_title) == u"Baker") {
                QVERIFY(merged < 0);
                merged = row;
                QCOMPARE(r->text_or_empty(contacts::Field::mobile_phone), std::u16string_view(u"+49 171 1234567"));
            }
        }
        QVERIFY(merged >= 0);
        d.contactList()->clearSelection();
        d.contactList()->selectionModel()->select(d.findModel()->index(merged, 2),
                                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
        const std::filesystem::path out = w.root / "selected";
        answerTextConversion(w, out);
        d.OnConvertSelected();
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(w.env->messages.back().text, QStringLiteral("Saving sucessfully completed."));
        const QByteArray report = reportIn(out);
        QVERIFY2(report.contains("\"merged by the user\",\"J\xC3\xBC"
                                 "rgen M\xC3\xBCller\",\"2 cards\""),
                 report.constData());
        QVERIFY2(d.browserPane()->visibleText().contains(
                     QStringLiteral("2 contacts from 1 file: 1 written, 1 merged, 0 pairs held for review.")),
                 qPrintable(d.browserPane()->visibleText()));

        // The box turned off in the format dialog (OK without a format converts nothing): the
        // store's four cards again.
        QTimer::singleShot(0, [] {
            QWidget* box = QApplication::activeModalWidget();
            QTest::mouseClick(controls::findControl(box, controls::kMergeDuplicatesId), Qt::LeftButton, {},
                              QPoint(8, 8));
            QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
        });
        d.OnConvert();
        QVERIFY(!controls::mergeDuplicates());
        QCOMPARE(d.findModel()->rowCount(), 4);
    }

    // A store of two files merged on the merge's thread: held, it shows Stop on and holds the
    // controls that would clear the store or read the merge; Stop ends it with no question and
    // leaves the unmerged list. Run through, the progress bar climbs and the merged list follows;
    // Stop on the review's merge opens no view and leaves the merged list as it is.
    void theMergeRunsOnItsThreadAndStops()
    {
        constexpr int kPerFile = 1500; // the first 600 people in both files
        Window w;
        CPelimoorDlg& d = *w.dialog;
        controls::mergeDuplicates() = true;
        QVERIFY(fixture::write_from_json(w.path("a.pst"), manyCards(kPerFile, 600, "a.example", "Engineer")).ok);
        QVERIFY(fixture::write_from_json(w.path("b.pst"), manyCards(kPerFile, 600, "b.example", "Manager")).ok);
        d.OpenFiles({QString::fromStdString(w.path("a.pst")), QString::fromStdString(w.path("b.pst"))});
        d.holdNextMerge();
        d.OnScan();
        QTRY_VERIFY_WITH_TIMEOUT(!d.scanRunning() && d.mergeRunning(), 60000);
        QCOMPARE(d.findModel()->rowCount(), 2 * kPerFile); // the store's cards while it merges
        // Each control while the merge runs, and after Stop (the state the scan's end left).
        struct Control
        {
            int id;
            bool whileMerging;
            bool afterStop;
        };
        constexpr Control kControls[] = {
            {kStopButton, true, true},     {kBrowseButton, false, true},   {kScanButton, false, false},
            {kConvertButton, false, true}, {kMenuOpen, false, false},      {kMenuScan, false, false},
            {kMenuConvert, false, true},   {kMenuDuplicates, false, true}, {kUploadButton, false, true},
            {kMenuUpload, false, true},
        };
        for (const Control& c : kControls)
            QVERIFY2(d.isControlEnabled(c.id) == c.whileMerging, qPrintable(QString::number(c.id)));
        const std::size_t messages = w.env->messages.size();
        d.OnStop();
        QVERIFY(!d.mergeRunning());
        QCOMPARE(w.env->messages.size(), messages); // nothing to ask: nothing is lost
        QCOMPARE(d.findModel()->rowCount(), 2 * kPerFile);
        for (const Control& c : kControls)
            QVERIFY2(d.isControlEnabled(c.id) == c.afterStop, qPrintable(QString::number(c.id)));

        // Stop on the review's merge: no view opens, the list stays as it is.
        d.holdNextMerge();
        d.OnDuplicates();
        QVERIFY(d.mergeRunning());
        QVERIFY(!d.isControlEnabled(kMenuDuplicates));
        d.OnStop();
        QVERIFY(d.waitForWorkers(10000));
        QCOMPARE(d.duplicatesView(), nullptr);
        QCOMPARE(w.env->messages.size(), messages);
        QCOMPARE(d.findModel()->rowCount(), 2 * kPerFile);

        // Run through, under the progress bar: the view shows the pairs held (the later people,
        // in both files under one name); closed, with "Merge duplicates" on, the list shows the
        // merged cards: one for each person of both files.
        QList<int> seen;
        bool shot = false;
        connect(d.findChild<QProgressBar*>(), &QProgressBar::valueChanged, &d, [&](int value) {
            seen << value;
            if (value >= 40 && value < 100 && !std::exchange(shot, true))
                if (const QByteArray dir = qgetenv("PELIMOOR_SCREENSHOTS"); !dir.isEmpty())
                    d.grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/merging.png"));
        });
        int pairs = -1;
        whenReviewOpens(d, [&] {
            pairs = d.duplicatesView()->pairCount();
            d.duplicatesView()->accept();
        });
        d.OnDuplicates();
        QVERIFY(d.waitForWorkers(60000));
        QVERIFY(!d.mergeRunning());
        QVERIFY2(w.env->messages.size() == messages, qPrintable(w.env->messages.back().text));
        QCOMPARE(pairs, kPerFile - 600);
        QCOMPARE(w.env->messages.size(), messages);
        QVERIFY2(std::ranges::any_of(seen, [](int v) { return v > 0 && v < 100; }),
                 qPrintable(QString::number(seen.size())));
        QCOMPARE(d.findModel()->rowCount(), 2 * kPerFile - 600);
        QVERIFY(d.isControlEnabled(kConvertButton));
    }

    // Stop while a conversion merges (parked in its merge step): "Yes" ends it with nothing
    // written, no message and no done page; "No" lets the same kind of conversion finish.
    void stopInTheConversionsMergeWritesNothing()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        controls::mergeDuplicates() = true;
        QVERIFY(fixture::write_from_json(w.path("a.pst"), manyCards(300, 100, "a.example", "Engineer")).ok);
        QVERIFY(fixture::write_from_json(w.path("b.pst"), manyCards(300, 100, "b.example", "Manager")).ok);
        d.OpenFiles({QString::fromStdString(w.path("a.pst")), QString::fromStdString(w.path("b.pst"))});
        d.OnScan();
        QVERIFY(d.waitForWorkers(60000));
        const auto convertHeld = [&](const std::filesystem::path& out) {
            d.holdNextConversion();
            convertTo(w, out);
            QVERIFY(d.isControlEnabled(kStopButton));
            QVERIFY(!d.isControlEnabled(kConvertButton));
        };
        const auto filesUnder = [](const std::filesystem::path& out) {
            int files = 0;
            for (const auto& f : std::filesystem::recursive_directory_iterator(out))
                files += f.is_regular_file() ? 1 : 0;
            return files;
        };
        const std::filesystem::path stopped = w.root / "stopped";
        convertHeld(stopped);
        const std::size_t messages = w.env->messages.size();
        const QString page = d.browserPane()->visibleText();
        w.env->nextAnswers.push_back(QMessageBox::Yes);
        d.OnStop();
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(w.env->messages.size(), messages + 1); // the question, and nothing after it
        QCOMPARE(w.env->messages.back().text, QString::fromStdU16String(std::u16string(contacts::kStopSaveQuestion)));
        QCOMPARE(filesUnder(stopped), 0);
        QCOMPARE(d.browserPane()->visibleText(), page);
        QVERIFY(d.isControlEnabled(kConvertButton));

        const std::filesystem::path finished = w.root / "finished";
        convertHeld(finished);
        w.env->nextAnswers.push_back(QMessageBox::No);
        d.OnStop();
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(w.env->messages.back().text, QStringLiteral("Saving sucessfully completed."));
        QCOMPARE(filesUnder(finished), 500 + 1); // 500 people (100 merged), and merge-report.csv
        controls::mergeDuplicates() = false;
    }

    void noHeldPairsIsSaid()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        constexpr const char* kOne = R"({"folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": [
            {"class": "IPM.Contact", "props": [{"tag": "0x3A06", "type": "unicode", "value": "Solo"}]}]}]})";
        QVERIFY(fixture::write_from_json(w.path("one.pst"), kOne).ok);
        d.OpenFile(QString::fromStdString(w.path("one.pst")));
        d.OnScan();
        QVERIFY(d.waitForWorkers(20000));
        const std::size_t before = w.env->messages.size();
        d.OnDuplicates();
        QVERIFY(d.waitForWorkers(30000));
        QCOMPARE(w.env->messages.size(), before + 1);
        QCOMPARE(w.env->messages.back().text, QStringLiteral("No pairs of contacts are held for review."));
        QVERIFY(!controls::mergeDuplicates());
    }
};

QTEST_MAIN(DuplicatesTest)
#include "duplicates_test.moc"
