// "Possible duplicates" in the real window: the pairs a merge holds for review shown side by
// side after a scan on the real scan thread (the reason, both cards' fields, the values that
// differ marked), the user's "Merge" and "Keep both", and the conversion that follows them:
// merge-report.csv says the user merged the pair.
#include "support.h"

#include "controls/dialogs.h"
#include "fixture/fixture.h"
#include "ui/contact_find.h"
#include "ui/duplicates_view.h"
#include "ui/explorer.h"

#include <QAction>
#include <QApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>

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

// Converts every contact to text files in `out`, through the real format dialog.
void convertTo(Window& w, const std::filesystem::path& out)
{
    std::filesystem::create_directories(out);
    w.env->nextDirectories.push_back(QString::fromStdString(out.string()));
    QTimer::singleShot(0, [] {
        QWidget* box = QApplication::activeModalWidget();
        QTest::mouseClick(controls::findControl(box, 1020), Qt::LeftButton, {}, QPoint(8, 8)); // text
        QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
    });
    w.dialog->OnConvert();
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
        QTimer::singleShot(0, [&] {
            DuplicatesView* view = d.duplicatesView();
            QVERIFY(view != nullptr);
            checked = true;
            QCOMPARE(view->pairCount(), 2);
            QCOMPARE(view->currentPair(), 0);
            for (int i = 0; i < view->pairCount(); ++i)
                seen << view->pairList()->item(i)->text();
            QCOMPARE(view->reasonLabel()->text(), QStringLiteral("Held for review: field clash: job_title "
                                                                 "(\u201C\u0042aker\u201D, \u201C\u0043hef\u201D)"));
            const QStringList rows = fieldRows(*view);
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
            QVERIFY(view->reasonLabel()->text().startsWith(QStringLiteral("Held for review: shared address")));
            QTest::mouseClick(view->keepButton(), Qt::LeftButton);
            QVERIFY(view->pairList()->item(0)->text().endsWith(QStringLiteral(" \u2014 merged")));
            QVERIFY(view->pairList()->item(1)->text().endsWith(QStringLiteral(" \u2014 kept apart")));
            view->accept();
        });
        d.OnDuplicates();
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
        QVERIFY2(report.contains("\"held\",\"Juergen Mueller\",\"shared address\"") ||
                     report.contains("\"held\",\"J\xC3\xBCrgen M\xC3\xBCller\",\"shared address\""),
                 report.constData());
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
        QTimer::singleShot(0, [&] {
            QTest::mouseClick(d.duplicatesView()->mergeButton(), Qt::LeftButton);
            d.duplicatesView()->accept();
        });
        d.OnDuplicates();
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
        std::filesystem::create_directories(out);
        w.env->nextDirectories.push_back(QString::fromStdString(out.string()));
        QTimer::singleShot(0, [] {
            QWidget* box = QApplication::activeModalWidget();
            QTest::mouseClick(controls::findControl(box, 1020), Qt::LeftButton, {}, QPoint(8, 8)); // text
            QTest::mouseClick(controls::findControl(box, 1), Qt::LeftButton);
        });
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
        QCOMPARE(w.env->messages.size(), before + 1);
        QCOMPARE(w.env->messages.back().text, QStringLiteral("No pairs of contacts are held for review."));
        QVERIFY(!controls::mergeDuplicates());
    }
};

QTEST_MAIN(DuplicatesTest)
#include "duplicates_test.moc"
