// The window's upload to an address book server: the real dialog, driven as a user would, against
// real servers (radicale, xandikos) started by the test on 127.0.0.1; what they hold read back
// from their storage.
#include "support.h"

#include "carddav/cards.h"
#include "carddav/upload.h"
#include "controls/dialogs.h"
#include "davserver/dav_server.h"
#include "fixture/fixture.h"
#include "keyring/password_store.h"
#include "merge/merge.h"
#include "ui/upload_dialog.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>
#include <map>

using testing_ui::Window;
using namespace ui;

namespace {

constexpr int kWait = 60000;

// The window over a scanned file of `contacts` generated contacts, a memory password store in
// place of the desktop's.
struct Scanned
{
    explicit Scanned(int contacts, uint64_t seed = 5)
    {
        keyring::installPasswordStore(&passwords);
        // Before any conversion the report goes to the documents folder: the test's own.
        qputenv("HOME", QByteArray::fromStdString(w.root.string()));
        qunsetenv("XDG_CONFIG_HOME");
        fixture::ContactsOptions options = fixture::ContactsOptions::of(contacts, 1, 0, seed);
        const pst::Status status = fixture::write_contacts(w.path("upload.pst"), options);
        if (!status.ok)
            qFatal("cannot write the sample file: %s", status.message.c_str());
        w.choose(w.path("upload.pst"));
        w.dialog->OnScan();
        if (!w.dialog->waitForWorkers(kWait))
            qFatal("the scan did not end");
    }
    ~Scanned() { keyring::installPasswordStore(nullptr); }

    // Opens the upload dialog through its button.
    UploadDialog* open()
    {
        auto* button = qobject_cast<QPushButton*>(controls::findControl(w.dialog->clientArea(), kUploadButton));
        if (!button->isEnabled())
            return nullptr;
        button->click();
        return w.dialog->uploadDialog();
    }

    // The UIDs of the cards the converter makes of the store as vCard `version`.
    QSet<QString> expectedUids(contacts::VcardVersion version) const
    {
        std::vector<carddav::Card> cards;
        carddav::CardSource source;
        source.store = &w.store;
        if (!carddav::make_cards(source, version, &cards).ok)
            return {};
        QSet<QString> uids;
        for (const carddav::Card& card : cards)
            uids.insert(QString::fromStdString(card.uid));
        return uids;
    }

    Window w;
    keyring::MemoryPasswordStore passwords;
};

template <typename T> T* child(QWidget* dialog, const char* name)
{
    T* widget = dialog->findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr)
        qFatal("no widget %s", name);
    return widget;
}

void fillServerPage(UploadDialog* d, const davserver::DavServer& server, const QString& password)
{
    child<QLineEdit>(d, "uploadServer")->setText(QString::fromStdString(server.url()));
    child<QLineEdit>(d, "uploadUser")->setText(QString::fromStdString(server.options().user));
    child<QLineEdit>(d, "uploadPassword")->setText(password);
}

qint64 count(UploadDialog* d, carddav::Outcome outcome)
{
    return child<QLabel>(d, qPrintable(QStringLiteral("uploadCount%1").arg(int(outcome))))->text().toLongLong();
}

// The UIDs of the cards a server keeps in its storage folder (each card a .vcf file of its own).
QSet<QString> storedUids(const std::filesystem::path& storage)
{
    QSet<QString> uids;
    QDirIterator it(QString::fromStdString(storage.string()), {QStringLiteral("*.vcf")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.startsWith("UID:"))
                uids.insert(QString::fromUtf8(line.mid(4).trimmed()));
    }
    return uids;
}

// What a server answers about one resource of a multistatus.
struct DavEntry
{
    QString href;
    bool addressbook = false; // resourcetype holds CARDDAV:addressbook
    QString displayName;
    QByteArray card; // address-data
};

// A plain WebDAV request of the test's own (not carddav/'s), to read back what the server holds.
std::vector<DavEntry> davRequest(const davserver::DavServer& server, const QUrl& url, const QByteArray& method,
                                 const QByteArray& depth, const QByteArray& body)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    const std::string credentials = server.options().user + ":" + server.options().password;
    request.setRawHeader("Authorization", "Basic " + QByteArray::fromStdString(credentials).toBase64());
    request.setRawHeader("Depth", depth);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/xml; charset=utf-8"));
    QNetworkReply* reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kWait, &loop, &QEventLoop::quit);
    loop.exec();
    std::vector<DavEntry> entries;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 207) {
        qWarning("%s %s: %d", method.constData(), qPrintable(url.toString()), status);
        delete reply;
        return entries;
    }
    QXmlStreamReader xml(reply->readAll());
    delete reply;
    const QString card = QStringLiteral("urn:ietf:params:xml:ns:carddav");
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto name = xml.name();
        if (name == QLatin1String("response") && xml.namespaceUri() == QLatin1String("DAV:"))
            entries.emplace_back();
        else if (entries.empty())
            continue;
        else if (name == QLatin1String("href") && entries.back().href.isEmpty())
            entries.back().href = xml.readElementText();
        else if (name == QLatin1String("addressbook") && xml.namespaceUri() == card)
            entries.back().addressbook = true;
        else if (name == QLatin1String("displayname"))
            entries.back().displayName = xml.readElementText();
        else if (name == QLatin1String("address-data"))
            entries.back().card = xml.readElementText().toUtf8();
    }
    return entries;
}

// A card's unfolded lines, sorted: the same card whatever order and folding a server keeps.
QStringList logicalLines(const QByteArray& card)
{
    QStringList lines;
    for (QString line : QString::fromUtf8(card).split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if ((line.startsWith(QLatin1Char(' ')) || line.startsWith(QLatin1Char('\t'))) && !lines.isEmpty())
            lines.last() += line.mid(1);
        else if (!line.isEmpty())
            lines.append(line);
    }
    lines.sort();
    return lines;
}

// Every card of the book at `url` by UID, read with PROPFIND Depth 1 and REPORT addressbook-multiget.
std::map<QString, QStringList> booksCards(const davserver::DavServer& server, const QUrl& url)
{
    QByteArray hrefs;
    for (const DavEntry& entry : davRequest(server, url, "PROPFIND", "1",
                                            "<d:propfind xmlns:d=\"DAV:\"><d:prop><d:getetag/></d:prop></d:propfind>"))
        if (url.resolved(QUrl(entry.href)) != url)
            hrefs += "<d:href>" + entry.href.toHtmlEscaped().toUtf8() + "</d:href>";
    std::map<QString, QStringList> cards;
    if (hrefs.isEmpty())
        return cards;
    const QByteArray body = "<c:addressbook-multiget xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:carddav\">"
                            "<d:prop><d:getetag/><c:address-data/></d:prop>" +
                            hrefs + "</c:addressbook-multiget>";
    for (const DavEntry& entry : davRequest(server, url, "REPORT", "1", body)) {
        const QStringList lines = logicalLines(entry.card);
        for (const QString& line : lines)
            if (line.startsWith(QStringLiteral("UID:")))
                cards[line.mid(4)] = lines;
    }
    return cards;
}

QByteArray settingsBytes(const Window& w)
{
    QByteArray all;
    QDirIterator it(QString::fromStdString((w.root / "config").string()), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

// With PELIMOOR_SHOTS set to a folder, the widget's picture as <name>.png there (to look at the
// dialog as a user sees it).
void shot(QWidget* widget, const char* name)
{
    const QString folder = qEnvironmentVariable("PELIMOOR_SHOTS");
    if (!folder.isEmpty()) {
        widget->show();
        QCoreApplication::processEvents();
        widget->grab().save(folder + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png"));
    }
}

#define SKIP_WITHOUT(server)                                                                                           \
    if (!(server).ok())                                                                                                \
    QSKIP(("no test server: " + (server).why()).c_str())

} // namespace

class UploadTest : public QObject
{
    Q_OBJECT
private slots:
    void uploadIsOnOnlyWithScannedContacts()
    {
        Window w;
        QVERIFY(!w.dialog->isControlEnabled(kUploadButton));
        QVERIFY(!w.dialog->isControlEnabled(kMenuUpload));
        Scanned s(3);
        QVERIFY(s.w.dialog->isControlEnabled(kUploadButton));
        QVERIFY(s.w.dialog->isControlEnabled(kMenuUpload));
        UploadDialog* d = s.open();
        QVERIFY(d != nullptr);
        QVERIFY(d->isModal());
        QCOMPARE(d->page(), UploadDialog::Page::server);
        QCOMPARE(child<QLineEdit>(d, "uploadPassword")->echoMode(), QLineEdit::Password);
        s.w.dialog->resize(1100, 700);
        shot(s.w.dialog.get(), "window");
        shot(d, "server-page");
        d->reject();
        QTRY_VERIFY_WITH_TIMEOUT(s.w.dialog->uploadDialog() == nullptr, kWait);
    }

    // A new book on radicale: every card added and read back; the second run adds nothing; the
    // settings keep the address and the user, never the password.
    void radicaleNewBookThenAgain()
    {
        Scanned s(25);
        QTemporaryDir dir;
        davserver::DavServer server(davserver::Kind::radicale, dir.path().toStdString());
        SKIP_WITHOUT(server);
        const QString password = QString::fromStdString(server.options().password);
        for (int run = 0; run < 2; ++run) {
            UploadDialog* d = s.open();
            QVERIFY(d != nullptr);
            if (run == 0)
                fillServerPage(d, server, password);
            else // remembered: the address and the user, not the password
                child<QLineEdit>(d, "uploadPassword")->setText(password);
            QCOMPARE(child<QLineEdit>(d, "uploadServer")->text(), QString::fromStdString(server.url()));
            child<QPushButton>(d, "uploadConnect")->click();
            QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::books, kWait);
            if (run == 0) { // radicale starts with no book: a new one is offered
                QCOMPARE(d->books().size(), std::size_t(0));
                QVERIFY(child<QRadioButton>(d, "uploadNewBook")->isChecked());
                child<QLineEdit>(d, "uploadNewBookName")->setText(QStringLiteral("From Outlook"));
            } else {
                QCOMPARE(d->books().size(), std::size_t(1));
                QCOMPARE(d->books()[0].display_name, QStringLiteral("From Outlook"));
                QVERIFY(child<QRadioButton>(d, "uploadExisting")->isChecked());
                shot(d, "books-page");
            }
            child<QPushButton>(d, "uploadStart")->click();
            QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::done, kWait);
            shot(d, run == 0 ? "done-page" : "done-page-again");
            const qint64 cards = 25;
            const QString title = child<QLabel>(d, "uploadDoneTitle")->text();
            QVERIFY2(title.startsWith(run == 0
                                          ? QStringLiteral("The upload to \"From Outlook\" is complete.")
                                          : QStringLiteral("Nothing new: \"From Outlook\" already held every card")),
                     qPrintable(title));
            QCOMPARE(child<QLabel>(d, "uploadReport")->text().startsWith(QStringLiteral("Every card was added")),
                     run == 0);
            QCOMPARE(count(d, carddav::Outcome::added), run == 0 ? cards : 0);
            QCOMPARE(count(d, carddav::Outcome::already_there), run == 0 ? 0 : cards);
            QCOMPARE(count(d, carddav::Outcome::refused), 0);
            QCOMPARE(storedUids(server.storage()),
                     s.expectedUids(d->target().takes_vcard40() ? contacts::VcardVersion::v40
                                                                : contacts::VcardVersion::v30));
            // The report: where the page says, every card not added on a line of its own.
            QVERIFY(!d->reportPath().isEmpty());
            QVERIFY(child<QLabel>(d, "uploadReport")->text().contains(d->reportPath()));
            QFile report(d->reportPath());
            QVERIFY(report.open(QIODevice::ReadOnly));
            QCOMPARE(report.readAll().count('\n'), 1 + (run == 0 ? 0 : cards));
            child<QPushButton>(d, "uploadClose")->click();
            QTRY_VERIFY_WITH_TIMEOUT(s.w.dialog->uploadDialog() == nullptr, kWait);
        }
        const QByteArray settings = settingsBytes(s.w);
        QVERIFY(settings.contains(QByteArray::fromStdString(server.url())));
        QVERIFY(settings.contains("alice"));
        QVERIFY(!settings.contains(password.toUtf8()));
        QVERIFY(!settings.contains(QUrl::toPercentEncoding(password)));
        QVERIFY(s.passwords.entries.empty()); // Remember was not ticked
    }

    // A wrong password stays on the server page with the server's answer.
    void wrongPasswordStaysOnTheServerPage()
    {
        Scanned s(2);
        QTemporaryDir dir;
        davserver::DavServer server(davserver::Kind::radicale, dir.path().toStdString());
        SKIP_WITHOUT(server);
        UploadDialog* d = s.open();
        fillServerPage(d, server, QStringLiteral("not the password"));
        child<QPushButton>(d, "uploadConnect")->click();
        QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(d, "uploadConnect")->isEnabled(), kWait);
        QCOMPARE(d->page(), UploadDialog::Page::server);
        QVERIFY2(child<QLabel>(d, "uploadServerStatus")->text().contains(QStringLiteral("401")),
                 qPrintable(child<QLabel>(d, "uploadServerStatus")->text()));
    }

    // Remember ticked: the password goes to the desktop's store (here the memory one) only, and
    // the next opening fills it in; without a store the box cannot be ticked.
    void rememberKeepsThePasswordInTheStoreOnly()
    {
        Scanned s(2);
        QTemporaryDir dir;
        davserver::DavServer server(davserver::Kind::radicale, dir.path().toStdString());
        SKIP_WITHOUT(server);
        const QString password = QString::fromStdString(server.options().password);
        UploadDialog* d = s.open();
        fillServerPage(d, server, password);
        child<QCheckBox>(d, "uploadRemember")->setChecked(true);
        child<QPushButton>(d, "uploadConnect")->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::books, kWait);
        const QString key = keyring::keyFor(QString::fromStdString(server.url()), QStringLiteral("alice"));
        QTRY_COMPARE_WITH_TIMEOUT(s.passwords.entries[key], password, kWait);
        d->reject();
        QTRY_VERIFY_WITH_TIMEOUT(s.w.dialog->uploadDialog() == nullptr, kWait);
        QVERIFY(!settingsBytes(s.w).contains(password.toUtf8()));

        d = s.open();
        QTRY_COMPARE_WITH_TIMEOUT(child<QLineEdit>(d, "uploadPassword")->text(), password, kWait);
        QVERIFY(child<QCheckBox>(d, "uploadRemember")->isChecked());
        d->reject();
        QTRY_VERIFY_WITH_TIMEOUT(s.w.dialog->uploadDialog() == nullptr, kWait);

        s.passwords.available = false;
        d = s.open();
        QTRY_VERIFY_WITH_TIMEOUT(!child<QCheckBox>(d, "uploadRemember")->isEnabled(), kWait);
        QVERIFY(!child<QCheckBox>(d, "uploadRemember")->isChecked());
        QVERIFY(child<QLineEdit>(d, "uploadPassword")->text().isEmpty());
        d->reject();
    }

    // Plain http:// to a host other than this computer is asked about; No stays, sends nothing.
    void plainHttpElsewhereIsAskedFirst()
    {
        Scanned s(2);
        UploadDialog* d = s.open();
        child<QLineEdit>(d, "uploadServer")->setText(QStringLiteral("http://dav.example.org/"));
        child<QLineEdit>(d, "uploadUser")->setText(QStringLiteral("alice"));
        child<QLineEdit>(d, "uploadPassword")->setText(QStringLiteral("pw"));
        s.w.env->nextAnswers.push_back(QMessageBox::No);
        const std::size_t before = s.w.env->messages.size();
        child<QPushButton>(d, "uploadConnect")->click();
        QCOMPARE(s.w.env->messages.size(), before + 1);
        const platform::MessageRequest& asked = s.w.env->messages.back();
        QVERIFY(asked.text.startsWith(QStringLiteral("The server dav.example.org")));
        QVERIFY(asked.buttons.testFlag(QMessageBox::Yes) && asked.buttons.testFlag(QMessageBox::No));
        QCOMPARE(d->page(), UploadDialog::Page::server);
        QVERIFY(child<QPushButton>(d, "uploadConnect")->isEnabled()); // nothing started
        d->reject();
    }

    // Over TLS: a certificate of the test's own authority verifies once that authority is trusted;
    // untrusted, the dialog asks in words first: No stays on the server page, Yes goes on with
    // exactly that certificate.
    void tlsCertificateIsAskedAboutWhenItDoesNotVerify_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<int>("answer"); // to the question; NoButton: none expected
        QTest::newRow("trusted authority") << true << int(QMessageBox::NoButton);
        QTest::newRow("unknown authority, No") << false << int(QMessageBox::No);
        QTest::newRow("unknown authority, Yes") << false << int(QMessageBox::Yes);
    }
    void tlsCertificateIsAskedAboutWhenItDoesNotVerify()
    {
        QFETCH(bool, trusted);
        QFETCH(int, answer);
        Scanned s(4);
        QTemporaryDir dir;
        davserver::Options options;
        options.tls = true;
        davserver::DavServer server(davserver::Kind::radicale, dir.path().toStdString(), options);
        SKIP_WITHOUT(server);
        if (trusted)
            qputenv("PELIMOOR_CA_FILE", QByteArray::fromStdString(server.ca_file().string()));
        else
            qunsetenv("PELIMOOR_CA_FILE");
        UploadDialog* d = s.open();
        fillServerPage(d, server, QString::fromStdString(server.options().password));
        const std::size_t before = s.w.env->messages.size();
        if (answer != QMessageBox::NoButton)
            s.w.env->nextAnswers.push_back(QMessageBox::StandardButton(answer));
        child<QPushButton>(d, "uploadConnect")->click();
        if (answer == QMessageBox::No) {
            QTRY_COMPARE_WITH_TIMEOUT(s.w.env->messages.size(), before + 1, kWait);
            QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(d, "uploadConnect")->isEnabled(), kWait);
            QCOMPARE(d->page(), UploadDialog::Page::server);
            QVERIFY(child<QLabel>(d, "uploadServerStatus")->text().startsWith(QStringLiteral("Not connected")));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::books, kWait);
            child<QPushButton>(d, "uploadStart")->click();
            QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::done, kWait);
            QCOMPARE(count(d, carddav::Outcome::added), 4);
            QCOMPARE(storedUids(server.storage()).size(), 4);
        }
        QCOMPARE(s.w.env->messages.size(), before + (answer == QMessageBox::NoButton ? 0 : 1));
        if (answer != QMessageBox::NoButton) {
            const QString asked = s.w.env->messages.back().text;
            QVERIFY2(
                asked.startsWith(QStringLiteral("The server 127.0.0.1 shows a certificate that cannot be checked")),
                qPrintable(asked));
            QMessageBox box(QMessageBox::Warning, s.w.env->messages.back().caption, asked,
                            QMessageBox::Yes | QMessageBox::No);
            shot(&box, "certificate-question");
        }
        qunsetenv("PELIMOOR_CA_FILE");
        d->reject();
    }

    // Stop during the upload: the cards finished stay on the server and are counted, the others
    // are not sent; the server holds exactly the cards counted as added.
    void stopKeepsFinishedCards()
    {
        Scanned s(300);
        QTemporaryDir dir;
        davserver::DavServer server(davserver::Kind::radicale, dir.path().toStdString());
        SKIP_WITHOUT(server);
        UploadDialog* d = s.open();
        fillServerPage(d, server, QString::fromStdString(server.options().password));
        child<QPushButton>(d, "uploadConnect")->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::books, kWait);
        auto* bar = child<QProgressBar>(d, "uploadProgress");
        QObject::connect(bar, &QProgressBar::valueChanged, d, [d](int value) {
            if (value == 5)
                shot(d, "progress-page");
            if (value >= 5)
                d->stopUpload();
        });
        child<QPushButton>(d, "uploadStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::done, kWait);
        const qint64 added = count(d, carddav::Outcome::added);
        QVERIFY2(added >= 5 && added < 300, qPrintable(QString::number(added)));
        QCOMPARE(count(d, carddav::Outcome::not_sent), 300 - added);
        QVERIFY(child<QLabel>(d, "uploadDoneTitle")->text().startsWith(QStringLiteral("Stopped.")));
        shot(d, "stopped-page");
        QCOMPARE(qint64(storedUids(server.storage()).size()), added);
        QFile report(d->reportPath());
        QVERIFY(report.open(QIODevice::ReadOnly));
        QCOMPARE(report.readAll().count('\n'), 1 + (300 - added));
    }

    // Several files with "Merge duplicates" on: the merged book is what goes up.
    void mergedBookIsUploaded_data()
    {
        QTest::addColumn<bool>("merge");
        QTest::newRow("merged") << true;
        QTest::newRow("as scanned") << false;
    }
    void mergedBookIsUploaded()
    {
        QFETCH(bool, merge);
        Window w;
        keyring::MemoryPasswordStore passwords;
        keyring::installPasswordStore(&passwords);
        qputenv("HOME", QByteArray::fromStdString(w.root.string()));
        QVERIFY(fixture::write_duplicate_set(w.root.string()).ok);
        w.dialog->OpenFiles({QString::fromStdString(w.path("dup-1.pst")), QString::fromStdString(w.path("dup-2.pst")),
                             QString::fromStdString(w.path("dup-3.pst"))});
        w.dialog->OnScan();
        QVERIFY(w.dialog->waitForWorkers(kWait));
        controls::mergeDuplicates() = merge;
        // What the converter would write: the merged records, or every record.
        carddav::CardSource source;
        source.store = &w.store;
        std::unique_ptr<merge::StoreMerge> merged;
        if (merge) {
            merged = merge::merge_store(w.store, {}, nullptr, {merge::region_of_locale()});
            source.selection = merged->result.records;
            source.groups = &merged->groups;
        }
        std::vector<carddav::Card> expected;
        QTemporaryDir dir;
        davserver::DavServer server(davserver::Kind::xandikos, dir.path().toStdString());
        SKIP_WITHOUT(server);
        w.dialog->findChild<QPushButton*>(QStringLiteral("id%1").arg(kUploadButton))->click();
        UploadDialog* d = w.dialog->uploadDialog();
        QVERIFY(d != nullptr);
        fillServerPage(d, server, QString());
        child<QPushButton>(d, "uploadConnect")->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::books, kWait);
        QVERIFY(carddav::make_cards(
                    source, d->books()[0].takes_vcard40() ? contacts::VcardVersion::v40 : contacts::VcardVersion::v30,
                    &expected)
                    .ok);
        QSet<QString> uids;
        for (const carddav::Card& card : expected)
            uids.insert(QString::fromStdString(card.uid));
        QVERIFY(merge ? qsizetype(uids.size()) < qsizetype(w.store.size())
                      : qsizetype(uids.size()) == qsizetype(w.store.size()));
        child<QPushButton>(d, "uploadStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::done, kWait);
        QCOMPARE(count(d, carddav::Outcome::added), qint64(expected.size()));
        QCOMPARE(storedUids(server.storage()), uids);
        controls::mergeDuplicates() = false;
        d->reject();
        keyring::installPasswordStore(nullptr);
    }

    // A new address book made through the dialog on each real server, twice with the same name:
    // the server lists each as an address book with the name as given, the second beside the
    // first under a URL of its own, and each holds exactly the converter's own cards.
    void newBookIsMadeOnTheServer_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("radicale") << int(davserver::Kind::radicale);
        QTest::newRow("xandikos") << int(davserver::Kind::xandikos);
    }
    void newBookIsMadeOnTheServer()
    {
        QFETCH(int, kind);
        Scanned s(9);
        QTemporaryDir dir;
        davserver::DavServer server(davserver::Kind(kind), dir.path().toStdString());
        SKIP_WITHOUT(server);
        const QString name = QStringLiteral("Kontakte aus Outlook & <Büro> \"2026\"");
        std::vector<QUrl> made;
        for (int run = 0; run < 2; ++run) {
            UploadDialog* d = s.open();
            QVERIFY(d != nullptr);
            fillServerPage(d, server, QString::fromStdString(server.options().password));
            child<QPushButton>(d, "uploadConnect")->click();
            QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::books, kWait);
            auto* newBook = child<QRadioButton>(d, "uploadNewBook");
            QVERIFY(newBook->isEnabled());
            newBook->setChecked(true);
            child<QLineEdit>(d, "uploadNewBookName")->setText(name);
            child<QPushButton>(d, "uploadStart")->click();
            QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::done, kWait);
            QVERIFY2(count(d, carddav::Outcome::added) == 9, qPrintable(child<QLabel>(d, "uploadReport")->text()));
            const carddav::AddressBook book = d->target();
            QCOMPARE(book.display_name, name);
            for (const QUrl& earlier : made)
                QVERIFY2(book.url != earlier, qPrintable(book.url.toString()));
            made.push_back(book.url);

            const std::vector<DavEntry> props = davRequest(
                server, book.url, "PROPFIND", "0",
                "<d:propfind xmlns:d=\"DAV:\"><d:prop><d:resourcetype/><d:displayname/></d:prop></d:propfind>");
            QCOMPARE(props.size(), std::size_t(1));
            QVERIFY(props[0].addressbook);
            QCOMPARE(props[0].displayName, name);

            std::vector<carddav::Card> own;
            carddav::CardSource source;
            source.store = &s.w.store;
            QVERIFY(carddav::make_cards(
                        source, book.takes_vcard40() ? contacts::VcardVersion::v40 : contacts::VcardVersion::v30, &own)
                        .ok);
            const std::map<QString, QStringList> got = booksCards(server, book.url);
            QCOMPARE(got.size(), own.size());
            for (const carddav::Card& card : own) {
                const auto it = got.find(QString::fromStdString(card.uid));
                QVERIFY2(it != got.end(), card.uid.c_str());
                QCOMPARE(it->second, logicalLines(QByteArray::fromStdString(card.text)));
            }
            child<QPushButton>(d, "uploadClose")->click();
            QTRY_VERIFY_WITH_TIMEOUT(s.w.dialog->uploadDialog() == nullptr, kWait);
        }
        // The first book keeps its cards beside the second.
        QCOMPARE(booksCards(server, made[0]).size(), std::size_t(9));
    }

    // Xandikos starts with an address book: it is offered and chosen.
    void xandikosExistingBook()
    {
        Scanned s(12);
        QTemporaryDir dir;
        davserver::DavServer server(davserver::Kind::xandikos, dir.path().toStdString());
        SKIP_WITHOUT(server);
        UploadDialog* d = s.open();
        fillServerPage(d, server, QString());
        child<QPushButton>(d, "uploadConnect")->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::books, kWait);
        QVERIFY(!d->books().empty());
        QVERIFY(child<QRadioButton>(d, "uploadExisting")->isChecked());
        child<QPushButton>(d, "uploadStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->page(), UploadDialog::Page::done, kWait);
        QCOMPARE(count(d, carddav::Outcome::added), 12);
        QCOMPARE(
            storedUids(server.storage()),
            s.expectedUids(d->target().takes_vcard40() ? contacts::VcardVersion::v40 : contacts::VcardVersion::v30));
    }
};

QTEST_MAIN(UploadTest)
#include "upload_test.moc"
