// Contacts beyond the live folders and contact photos in the real window: a generated file with
// deleted and orphan contacts and photos, scanned on the real scan thread; the list's Origin
// column, the preview's heading and photo, the done page's extra line, a header layout saved
// before the Origin column, and a scan with recovery off.
#include "support.h"

#include "contacts/contact_record.h"
#include "contacts/messages.h"
#include "engine/pst_source.h"
#include "fixture/fixture.h"
#include "ui/contact_find.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/preview.h"
#include "ui/status_page.h"

#include <QBuffer>
#include <QHeaderView>
#include <QImage>
#include <QSettings>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <algorithm>
#include <cstdint>
#include <map>
#include <span>

using testing_ui::Window;
using namespace ui;

namespace {

constexpr int kLive = 6;
constexpr int kDeleted = 2;
constexpr int kOrphans = 2;

// Six live contacts (two with photos), two deleted and two orphan ones; the first orphan and the
// first deleted contact get photos of their own.
std::string writeSample(const Window& w)
{
    fixture::ContactsOptions options = fixture::ContactsOptions::of(kLive, 1, 0, 11);
    options.deleted = kDeleted;
    options.orphans = kOrphans;
    options.photos = 2;
    fixture::Plan plan = fixture::plan_contacts(options);
    uint64_t seed = 40;
    for (fixture::Fate fate : {fixture::Fate::Orphan, fixture::Fate::Deleted}) {
        for (fixture::PlannedMessage& m : plan.messages) {
            if (m.fate == fate) {
                fixture::add_contact_photo(m.message, fixture::PhotoFormat::Png,
                                           fixture::photo_bytes(fixture::PhotoFormat::Png, ++seed, 0));
                break;
            }
        }
    }
    const std::string path = w.path("beyond.pst");
    const pst::Status status = fixture::write_plan(path, plan);
    if (!status.ok)
        qFatal("cannot write the sample file: %s", status.message.c_str());
    return path;
}

void scan(Window& w, const std::string& path)
{
    w.choose(path);
    w.dialog->OnScan();
    QVERIFY(w.dialog->waitForWorkers(30000));
}

void fill(CPelimoorDlg& d, const char* key)
{
    d.StartListFill(QString::fromLatin1(key));
    QVERIFY(d.waitForWorkers(10000));
}

QStringList column(const QAbstractItemModel& model, int col)
{
    QStringList cells;
    for (int row = 0; row < model.rowCount(); ++row)
        cells << model.data(model.index(row, col)).toString();
    return cells;
}

QStringList repeated(int live, int orphans, int recovered)
{
    QStringList cells;
    for (auto [count, text] : {std::pair{live, ""}, {orphans, "Orphan"}, {recovered, "Recovered"}})
        for (int i = 0; i < count; ++i)
            cells << QString::fromLatin1(text);
    return cells;
}

void clickRow(CPelimoorDlg& d, int row)
{
    QTableView* list = d.contactList();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(row, 2)).center());
}

QString firstName(const contacts::ContactRecord& r)
{
    return QString::fromStdU16String(std::u16string(r.text_or_empty(contacts::Field::first_name)));
}

// How many pixels of `shot` have the colour of the photo's middle (one 8x8 block of it when the
// photo is shown unscaled).
int photoPixels(const QImage& shot, const contacts::ContactRecord& record)
{
    const contacts::PhotoView photo = record.photo();
    const QImage image = QImage::fromData(photo.bytes.data(), static_cast<int>(photo.bytes.size()));
    const QRgb middle = image.pixel(image.width() / 2, image.height() / 2);
    const QImage pixels = shot.convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < pixels.height(); ++y)
        for (int x = 0; x < pixels.width(); ++x)
            count += (pixels.pixel(x, y) & 0xFFFFFF) == (middle & 0xFFFFFF);
    return count;
}

// Settings of an earlier version: the header layouts of the nine scan and eleven fill columns,
// with one width changed in each.
void writeOldHeaders()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("pelimoor"),
                       QStringLiteral("pelimoor"));
    settings.remove(QStringLiteral("list"));
    for (auto [columns, section, width] : {std::tuple{9, 4, 199}, std::tuple{11, 3, 222}}) {
        QStandardItemModel model(0, columns);
        QTableView view;
        view.setModel(&model);
        view.horizontalHeader()->resizeSection(section, width);
        settings.setValue(QStringLiteral("list/header%1").arg(columns), view.horizontalHeader()->saveState());
    }
}

} // namespace

class RecoveryTest : public QObject
{
    Q_OBJECT
private slots:
    void originColumnPreviewAndDoneLine()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        d.setGeometry(0, 0, 1280, 1000);
        scan(w, writeSample(w));

        // The store: the live contacts, then the orphans, then the deleted ones.
        std::map<contacts::Origin, int> photos;
        QStringList origins;
        for (const contacts::ContactRecord* r = w.store.first(); r != nullptr; r = r->next()) {
            origins << QString::fromStdU16String(std::u16string(originLabel(r->origin())));
            photos[r->origin()] += r->photo().empty() ? 0 : 1;
        }
        QCOMPARE(origins, repeated(kLive, kOrphans, kDeleted));
        // Photos of live and orphan contacts are read; a deleted contact's attachments are not.
        QCOMPARE(photos[contacts::Origin::live], 2);
        QCOMPARE(photos[contacts::Origin::orphan], 1);

        // The done page: its text as always, then the one line; the message box as always.
        const QString line = QStringLiteral("Also found 4 contacts outside the live folders: 2 deleted, 2 orphaned.");
        QCOMPARE(QString::fromStdU16String(contacts::recovered_line(kOrphans, kDeleted)), line);
        QCOMPARE(Window::readBytes(w.pageFile()),
                 testing_ui::utf16le(statusPageText(StatusPage::Done, kLive) + u"<div align=\"center\"><h3>" +
                                     line.toStdU16String() + u"</h3></div>"));
        const QStringList pageLines = d.browserPane()->visibleText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        // The picture, the count of live contacts, the completion, then the line.
        QCOMPARE(
            pageLines.mid(1),
            (QStringList{QStringLiteral("Recover No of Contact :%1 ").arg(kLive),
                         QString::fromStdU16String(std::u16string(contacts::kMessageCompleted)).chopped(1), line}));
        QCOMPARE(w.env->messages.size(), size_t(1));
        QCOMPARE(w.env->messages[0].text, QString::fromStdU16String(std::u16string(contacts::kMessageCompleted)));

        // Scan rows, newest first, with the origin last of the ten columns.
        ContactListModel& model = *d.contactModel();
        QCOMPARE(model.columnCount(), 10);
        QCOMPARE(model.headerData(9, Qt::Horizontal).toString(), QStringLiteral("Origin"));
        QStringList newestFirst = repeated(kLive, kOrphans, kDeleted);
        std::reverse(newestFirst.begin(), newestFirst.end());
        QCOMPARE(column(model, 9), newestFirst);
        QVERIFY(d.contactList()->horizontalHeader()->sectionSize(9) > 0);

        // "All" lists them in store order, the origin last of the twelve columns; each initial
        // lists those of its initial whatever their origin.
        fill(d, "All");
        QCOMPARE(model.columnCount(), 12);
        QCOMPARE(model.headerData(11, Qt::Horizontal).toString(), QStringLiteral("Origin"));
        QCOMPARE(column(model, 11), repeated(kLive, kOrphans, kDeleted));
        QVERIFY(!d.contactList()->horizontalHeader()->isSectionHidden(11));
        QCOMPARE(d.contactList()->horizontalHeader()->sectionSize(11), 80);
        for (const char* key : {"O", "D"}) {
            fill(d, key);
            QStringList names;
            for (int row = 0; row < model.rowCount(); ++row)
                if (model.record(row)->origin() != contacts::Origin::live)
                    names << firstName(*model.record(row));
            QCOMPARE(names.size(), 2);
            for (const QString& name : names)
                QVERIFY2(name.startsWith(QLatin1String(key[0] == 'O' ? "Orphan " : "Deleted ")), qPrintable(name));
        }

        // Sorted by origin: live, orphans, recovered; the other way round, recovered first.
        fill(d, "All");
        ContactFindModel& shown = *d.findModel();
        d.contactList()->sortByColumn(11, Qt::AscendingOrder);
        QCOMPARE(column(shown, 11), repeated(kLive, kOrphans, kDeleted));
        d.contactList()->sortByColumn(11, Qt::DescendingOrder);
        QStringList descending = repeated(kLive, kOrphans, kDeleted);
        std::reverse(descending.begin(), descending.end());
        QCOMPARE(column(shown, 11), descending);
        d.contactList()->sortByColumn(-1, Qt::AscendingOrder);

        // The preview of every row: the heading of its origin, the photo when it has one (shown
        // in the pane, the previous contact's photo gone).
        const std::filesystem::path tmp = w.root / "tmp";
        const std::map<contacts::Origin, std::u16string> headings{
            {contacts::Origin::live, u""},
            {contacts::Origin::orphan, u"<h3>Orphan</h3><i>Found in no folder of the file.</i><br><br>"},
            {contacts::Origin::recovered,
             u"<h3>Recovered</h3><i>A deleted contact, read back from free space in the file.</i><br><br>"}};
        int shownPhotos = 0;
        for (int row = 0; row < shown.rowCount(); ++row) {
            const contacts::ContactRecord& r = *shown.record(row);
            clickRow(d, row);
            const bool photo = !r.photo().empty();
            const std::u16string head =
                headings.at(r.origin()) + (photo ? u"<img src=\"temp3.png\" alt=\"Photo\"><br>" : u"");
            QCOMPARE(Window::readBytes(tmp / kPreviewFieldsFile), testing_ui::utf16le(head + previewFieldsText(r)));
            QCOMPARE(std::filesystem::exists(tmp / kPreviewPhotoFile), photo);
            QTextBrowser& fields = *d.browserPane()->frames().at(0);
            if (r.origin() != contacts::Origin::live)
                QCOMPARE(fields.toPlainText().section(QLatin1Char('\n'), 0, 0),
                         QString::fromStdU16String(std::u16string(originLabel(r.origin()))));
            if (!photo)
                continue;
            ++shownPhotos;
            const QImage written(QString::fromStdString((tmp / kPreviewPhotoFile).string()));
            QCOMPARE(written.size(), QSize(96, 96)); // small photos are shown as they are
            QCoreApplication::processEvents();
            QVERIFY2(photoPixels(fields.viewport()->grab().toImage(), r) >= 64, qPrintable(firstName(r)));
        }
        QCOMPARE(shownPhotos, photos[contacts::Origin::live] + photos[contacts::Origin::orphan] +
                                  photos[contacts::Origin::recovered]);
    }

    void recoveredLineCounts()
    {
        struct Case
        {
            int32_t orphans;
            int32_t recovered;
            const char16_t* line;
        };
        const Case cases[] = {
            {0, 0, u""},
            {-1, -5, u""},
            {1, 0, u"Also found 1 contact outside the live folders: 1 orphaned."},
            {0, 1, u"Also found 1 contact outside the live folders: 1 deleted."},
            {1, 1, u"Also found 2 contacts outside the live folders: 1 deleted, 1 orphaned."},
            {-1, 10, u"Also found 10 contacts outside the live folders: 10 deleted."},
            {INT32_MAX, INT32_MAX,
             u"Also found 4294967294 contacts outside the live folders: 2147483647 deleted, 2147483647 orphaned."},
        };
        for (const Case& c : cases) {
            QCOMPARE(contacts::recovered_line(c.orphans, c.recovered), std::u16string(c.line));
            QCOMPARE(statusPageLine(contacts::recovered_line(c.orphans, c.recovered)).empty(), *c.line == u'\0');
        }
    }

    void photoScaledAndDamagedPhotoLeftOut()
    {
        Window w;
        const std::filesystem::path file = w.root / "tmp" / kPreviewPhotoFile;
        struct Case
        {
            const char* name;
            QSize size;    // of the picture stored; empty: bytes that are no picture
            QSize written; // in the preview; empty: no file
        };
        const Case cases[] = {
            {"fits", QSize(128, 128), QSize(128, 128)}, {"just over", QSize(129, 129), QSize(128, 128)},
            {"wide", QSize(640, 320), QSize(128, 64)},  {"tall", QSize(129, 500), QSize(33, 128)},
            {"line", QSize(4000, 1), QSize(128, 1)},    {"broken", QSize(), QSize()},
        };
        for (const Case& c : cases) {
            QByteArray bytes("\x89PNG\r\n\x1A\nnot really");
            if (!c.size.isEmpty()) {
                QImage image(c.size, QImage::Format_RGB32);
                image.fill(Qt::darkCyan);
                bytes.clear();
                QBuffer buffer(&bytes);
                buffer.open(QIODevice::WriteOnly);
                image.save(&buffer, "PNG");
            }
            contacts::ContactDraft draft;
            draft.set_number(1);
            draft.set_photo(std::span(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())),
                            contacts::PhotoType::png);
            const contacts::ContactRecordPtr record = contacts::contact_record_build(w.store, draft);
            QVERIFY(record);
            QCOMPARE(writePreviewPhoto(*record, file), !c.written.isEmpty());
            QCOMPARE(std::filesystem::exists(file), !c.written.isEmpty());
            if (!c.written.isEmpty())
                QCOMPARE(QImage(QString::fromStdString(file.string())).size(), c.written);
        }
    }

    void headerSavedBeforeTheOriginColumn()
    {
        Window w;
        w.dialog.reset();
        writeOldHeaders();
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QHeaderView* header = w.dialog->contactList()->horizontalHeader();
        // The scan's columns: the old width kept, the origin column shown at its own width.
        QCOMPARE(header->count(), 10);
        QCOMPARE(header->sectionSize(4), 199);
        QVERIFY(!header->isSectionHidden(9));
        QCOMPARE(header->sectionSize(9), 80);
        scan(w, writeSample(w));
        fill(*w.dialog, "All");
        QCOMPARE(header->count(), 12);
        QCOMPARE(header->sectionSize(3), 222);
        QVERIFY(!header->isSectionHidden(11));
        QCOMPARE(header->sectionSize(11), 80);
        QCOMPARE(header->visualIndex(11), 11);
        // A layout saved with the origin column is taken as it is.
        header->resizeSection(11, 50);
        w.dialog.reset();
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        scan(w, w.path("beyond.pst"));
        fill(*w.dialog, "All");
        QCOMPARE(w.dialog->contactList()->horizontalHeader()->sectionSize(11), 50);
        QCOMPARE(w.dialog->contactList()->horizontalHeader()->sectionSize(3), 222);
    }

    void recoveryOffShowsNothingExtra()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        // As the program takes it from its environment.
        qputenv("PELIMOOR_RECOVERY", "0");
        std::string problem;
        const engine::SourceOptions options = engine::source_options_from_environment(&problem);
        qunsetenv("PELIMOOR_RECOVERY");
        QVERIFY(problem.empty());
        d.setSourceOptions(options);
        scan(w, writeSample(w));
        QCOMPARE(Window::readBytes(w.pageFile()), testing_ui::utf16le(statusPageText(StatusPage::Done, kLive)));
        QVERIFY(!d.browserPane()->visibleText().contains(QStringLiteral("Also found")));
        QCOMPARE(column(*d.contactModel(), 9), repeated(kLive, 0, 0));
        fill(d, "All");
        QCOMPARE(column(*d.contactModel(), 11), repeated(kLive, 0, 0));
        for (int row = 0; row < d.contactModel()->rowCount(); ++row) {
            const contacts::ContactRecord& r = *d.contactModel()->record(row);
            QCOMPARE(r.origin(), contacts::Origin::live);
            clickRow(d, row);
            QVERIFY(!Window::readBytes(w.root / "tmp" / kPreviewFieldsFile).contains(testing_ui::utf16le(u"<h3>")));
        }
    }
};

QTEST_MAIN(RecoveryTest)
#include "recovery_test.moc"
