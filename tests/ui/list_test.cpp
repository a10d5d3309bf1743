// The contact list's fills and the contact preview, over a described file scanned in the window.
#include "support.h"

#include "contacts/contact_record.h"
#include "controls/folder_tree.h"
#include "fixture/fixture.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/preview.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>

using testing_ui::Window;
using namespace ui;

namespace {

// Anna (middle name, markup in the company, notes), bob, one without a first name, one whose
// first name starts with a digit, Alice with a first name only. Anna is flagged with two
// categories, bob's flag is completed.
constexpr const char* kDescription = R"({
  "folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": [
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Anna"},
      {"tag": "0x3A44", "type": "unicode", "value": "Maria"},
      {"tag": "0x3A11", "type": "unicode", "value": "Lind"},
      {"tag": "0x3A16", "type": "unicode", "value": "<script>x</script> & 'Co'"},
      {"tag": "0x1000", "type": "unicode", "value": "line one\r\nline two\r\nline three"},
      {"set": "public", "name": "Keywords", "type": "multi_unicode", "value": ["VIP", "Familie"]},
      {"tag": "0x1090", "type": "long", "value": 2}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x1090", "type": "long", "value": 1},
      {"tag": "0x3A06", "type": "unicode", "value": "bob"},
      {"tag": "0x3A11", "type": "unicode", "value": "Stone"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A11", "type": "unicode", "value": "Nofirst"},
      {"tag": "0x3A08", "type": "unicode", "value": "555-0100"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "7eleven"}]},
    {"class": "IPM.Contact", "props": [
      {"tag": "0x3A06", "type": "unicode", "value": "Alice"}]}
  ]}]
})";

QStringList column(const ContactListModel& model, int col)
{
    QStringList cells;
    for (int row = 0; row < model.rowCount(); ++row)
        cells << model.data(model.index(row, col)).toString();
    return cells;
}

} // namespace

class ListTest : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<Window> m_w;

    CPelimoorDlg& dialog() { return *m_w->dialog; }
    void fill(const char* key)
    {
        dialog().StartListFill(QString::fromUtf8(key));
        QVERIFY(dialog().waitForWorkers(10000));
    }
    void clickRow(int row, Qt::KeyboardModifiers modifiers = {})
    {
        QTableView* list = dialog().contactList();
        const QRect cell = list->visualRect(list->model()->index(row, 2));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, cell.center());
    }
    QByteArray tempFile(const char* name) const { return Window::readBytes(m_w->root / "tmp" / name); }

private slots:
    void init()
    {
        m_w = std::make_unique<Window>();
        const pst::Status status = fixture::write_from_json(m_w->path("five.pst"), kDescription);
        QVERIFY2(status.ok, status.message.c_str());
        new QAbstractItemModelTester(dialog().contactModel(), QAbstractItemModelTester::FailureReportingMode::QtTest,
                                     dialog().contactModel());
        m_w->choose(m_w->path("five.pst"));
        dialog().show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog()));
    }
    void cleanup() { m_w.reset(); }

    void clicksBeforeAScanListNothing()
    {
        fill("All");
        QCOMPARE(dialog().contactModel()->rowCount(), 0);
        QCOMPARE(dialog().contactModel()->columnCount(), 10);
    }

    void fillRule()
    {
        dialog().OnScan();
        QVERIFY(dialog().waitForWorkers(20000));
        ContactListModel& model = *dialog().contactModel();
        QCOMPARE(column(model, 2), (QStringList{"Alice", "7eleven", "", "bob", "Anna"}));
        QCOMPARE(column(model, 1).size(), 5);

        struct Case
        {
            const char* key;
            QStringList firstNames;
        };
        const Case cases[] = {
            {"All", {"Anna", "bob", "", "7eleven", "Alice"}},
            {"All", {"Anna", "bob", "", "7eleven", "Alice"}},
            {"A", {"Anna", "Alice"}},
            {"B", {}},
            {"123", {"7eleven"}},
            {"Z", {}},
        };
        for (const Case& c : cases) {
            fill(c.key);
            QCOMPARE(column(model, 2), c.firstNames);
            QCOMPARE(model.columnCount(), 12);
        }
        fill("All");
        const QStringList titles{"S.No",         "Full name",      "First name",   "Last name",
                                 "Company",      "Business Phone", "Business Fax", "Home Phone",
                                 "Mobile Phone", "Flag",           "Categories",   "Origin"};
        for (int i = 0; i < 12; ++i) {
            QCOMPARE(model.headerData(i, Qt::Horizontal).toString(), titles[i]);
            QCOMPARE(dialog().contactList()->horizontalHeader()->sectionSize(i), i < 2 ? 0 : 80);
        }
        QCOMPARE(column(model, 3), (QStringList{"Lind", "Stone", "Nofirst", "", ""}));
        QCOMPARE(column(model, 5), (QStringList{"", "", "555-0100", "", ""}));
        QCOMPARE(column(model, 1), (QStringList{"", "", "", "", ""}));
        QCOMPARE(column(model, 9), (QStringList{"Flagged", "Completed", "", "", ""}));
        QCOMPARE(column(model, 10), (QStringList{"VIP; Familie", "", "", "", ""}));
        QCOMPARE(column(model, 11), (QStringList{"", "", "", "", ""}));
        // The root entry: no match, the list ends up empty.
        fill(qPrintable(dialog().folderTree()->rootItem()->text(0)));
        QCOMPARE(model.rowCount(), 0);
    }

    void previewFilesByteForByte()
    {
        dialog().OnScan();
        QVERIFY(dialog().waitForWorkers(20000));
        fill("All");
        const std::filesystem::path tmp = m_w->root / "tmp";
        // Anna: the middle name without the blank, the escaped company, twice the last name.
        clickRow(0);
        const std::u16string annaFields =
            u"<b>First Name :</b> Anna<br><b>Middle Name :</b>Maria<br>"
            u"<b>Last Name :</b> Lind<br><b>Company Name :</b> &lt;script&gt;x&lt;/script&gt; "
            u"&amp; &#39;Co&#39;<br><b>Surname :</b> Lind<br>";
        QCOMPARE(tempFile("temp.html"), testing_ui::utf16le(annaFields));
        QCOMPARE(tempFile("temp1.txt"), testing_ui::utf16le(u"line one\r\nline two\r\nline three"));
        const std::u16string annaFrames = u"<html><head></head><frameset cols='50%,*' border='0'><frame src='" +
                                          QString::fromStdString((tmp / "temp.html").string()).toStdU16String() +
                                          u"'  scrolling='auto' frameborder='1'><frame src='" +
                                          QString::fromStdString((tmp / "temp1.txt").string()).toStdU16String() +
                                          u"'></frameset></html>";
        QCOMPARE(tempFile("temp2.html"), testing_ui::utf16le(annaFrames));
        CExplorer1& pane = *dialog().browserPane();
        QCOMPARE(pane.currentPath(), QString::fromStdString((tmp / "temp2.html").string()));
        QCOMPARE(pane.frames().size(), size_t(2));
        QVERIFY(pane.frames()[0]->toPlainText().contains(QStringLiteral("<script>x</script> & 'Co'")));
        QVERIFY(pane.frames()[0]->document()->toHtml().contains(QStringLiteral("Company Name :")));
        QCOMPARE(pane.frames()[1]->toPlainText().split(QLatin1Char('\n')).size(), 3);

        // The same row again: the same three files.
        clickRow(0);
        QCOMPARE(tempFile("temp.html"), testing_ui::utf16le(annaFields));
        QCOMPARE(tempFile("temp2.html"), testing_ui::utf16le(annaFrames));

        // Alice: first name only, no notes; the old notes file stays but is not pointed to.
        clickRow(4);
        QCOMPARE(tempFile("temp.html"), testing_ui::utf16le(u"<b>First Name :</b> Alice<br>"));
        QVERIFY(tempFile("temp2.html").endsWith(testing_ui::utf16le(u"<frame src=''></frameset></html>")));
        QCOMPARE(tempFile("temp1.txt"), testing_ui::utf16le(u"line one\r\nline two\r\nline three"));

        // Two rows selected: the upper one is shown, whichever was clicked last.
        clickRow(3);
        clickRow(1, Qt::ControlModifier);
        QCOMPARE(dialog().contactList()->selectionModel()->selectedRows().size(), 2);
        QCOMPARE(tempFile("temp.html"), testing_ui::utf16le(u"<b>First Name :</b> bob<br><b>Last Name :</b> Stone<br>"
                                                            u"<b>Surname :</b> Stone<br>"));
    }
};

QTEST_MAIN(ListTest)
#include "list_test.moc"
