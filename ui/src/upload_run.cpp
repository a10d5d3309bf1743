// The steps of an upload: connecting (with the questions about an unprotected connection), the
// address books, a new book, the cards made on the worker, the upload with Stop, the done page.
#include "ui/upload_dialog.h"

#include "carddav/cards.h"
#include "carddav/create_book.h"
#include "carddav/discovery.h"
#include "carddav/upload.h"
#include "carddav/upload_report.h"
#include "certificate_probe.h"
#include "controls/dialogs.h"
#include "merge/merge.h"
#include "platform/environment.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

namespace ui {
namespace {

// Ends a job's part in the dialog: no more signals, deleted once back in the event loop (it may
// be the sender of the signal being handled).
template <typename Job> void dispose(std::unique_ptr<Job>& job)
{
    if (job == nullptr)
        return;
    job->disconnect();
    if constexpr (requires { job->stop(); })
        job->stop();
    job.release()->deleteLater();
}

bool ask(QWidget* owner, const QString& text)
{
    return platform::environment().showMessage(owner, {text, controls::caption(), QMessageBox::Warning,
                                                       QMessageBox::Yes | QMessageBox::No}) == QMessageBox::Yes;
}

// The address as typed, https:// when it names no scheme.
QUrl serverUrl(const QString& typed)
{
    const QString text = typed.trimmed();
    return QUrl(text.contains(QStringLiteral("://")) ? text : QStringLiteral("https://") + text);
}

QString bookName(const carddav::AddressBook& book)
{
    return book.display_name.isEmpty() ? book.url.toString() : book.display_name;
}

} // namespace

carddav::Account UploadDialog::account() const
{
    carddav::Account account;
    account.url = serverUrl(m_server->text());
    account.user = m_user->text().trimmed();
    account.password = m_password->text();
    account.extra_ca = carddav::ca_from_environment();
    return account;
}

void UploadDialog::connectToServer()
{
    if (m_server->text().trimmed().isEmpty()) {
        m_serverStatus->setText(QStringLiteral("Type the address of your address book server first."));
        m_server->setFocus();
        return;
    }
    m_account = account();
    const QUrl& url = m_account.url;
    if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 && !carddav::is_loopback(url)) {
        if (!ask(this, QStringLiteral("The server %1 is reached over plain http://, without encryption: your "
                                      "password and every contact would cross the network as readable text, for "
                                      "anyone on the way to see. Use an https:// address if the server has one.\n\n"
                                      "Connect without encryption anyway?")
                           .arg(url.host()))) {
            m_serverStatus->setText(QStringLiteral("Not connected: the address needs https:// to be safe."));
            return;
        }
        m_account.insecure = true;
    }
    if (const QString problem = carddav::account_problem(m_account); !problem.isEmpty()) {
        m_serverStatus->setText(problem);
        return;
    }
    startDiscovery();
}

void UploadDialog::startDiscovery()
{
    setBusy(true, QStringLiteral("Connecting to %1...").arg(m_account.url.host()));
    dispose(m_discovery);
    m_discovery = std::make_unique<carddav::Discovery>(m_account);
    connect(m_discovery.get(), &carddav::Discovery::finished, this, &UploadDialog::discoveryEnded);
    m_discovery->start();
}

void UploadDialog::discoveryEnded(const carddav::DiscoveryResult& result)
{
    dispose(m_discovery);
    setBusy(false, QString());
    if (!result.ok()) {
        const bool https = m_account.url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
        if (https && result.http_status == 0 && m_account.accepted_certificate.isNull())
            checkCertificate(result.error);
        else
            m_serverStatus->setText(result.error);
        return;
    }
    saveSettings();
    keepPassword();
    m_home = result.home;
    m_books = result.books;
    m_bookList->clear();
    for (const carddav::AddressBook& book : m_books) {
        auto* item = new QListWidgetItem(bookName(book), m_bookList);
        item->setToolTip(book.url.toString());
        if (!book.writable) {
            item->setText(item->text() + QStringLiteral(" (read only)"));
            item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
        }
    }
    m_booksTitle->setText(
        m_books.empty()
            ? QStringLiteral("%1 holds no address book yet: a new one is made.").arg(m_account.url.host())
            : QStringLiteral("Which address book of %1 should the contacts go to?").arg(m_account.url.host()));
    // A new book needs the home the books live in; an address that named one book has none.
    m_newBook->setEnabled(!m_home.isEmpty());
    m_newBookName->setEnabled(!m_home.isEmpty());
    m_existing->setEnabled(!m_books.empty());
    int first = -1;
    for (int i = 0; i < int(m_books.size()) && first < 0; ++i)
        if (m_books[std::size_t(i)].writable)
            first = i;
    if (first >= 0) {
        m_bookList->setCurrentRow(first);
        m_existing->setChecked(true);
    } else {
        m_newBook->setChecked(!m_home.isEmpty());
    }
    showPage(Page::books);
}

void UploadDialog::checkCertificate(const QString& failure)
{
    setBusy(true, QStringLiteral("Checking the certificate of %1...").arg(m_account.url.host()));
    dispose(m_probe);
    m_probe = std::make_unique<CertificateProbe>(m_account.url, m_account.extra_ca);
    connect(m_probe.get(), &CertificateProbe::finished, this,
            [this, failure](const CertificateFindings& findings) { certificateChecked(findings, failure); });
    m_probe->start();
}

void UploadDialog::certificateChecked(const CertificateFindings& findings, const QString& failure)
{
    dispose(m_probe);
    setBusy(false, QString());
    // A certificate that verifies, or no handshake at all: the failure was something else.
    if (findings.certificate.isNull() || findings.verifies()) {
        m_serverStatus->setText(failure);
        return;
    }
    QString problems;
    for (const QString& problem : findings.problems)
        problems += QStringLiteral("\n  - ") + problem;
    const QString host = m_account.url.host();
    if (!ask(this, QStringLiteral("The server %1 shows a certificate that cannot be checked:%2\n\nSo there is no "
                                  "telling whether you are talking to your own server or to someone in between, who "
                                  "could read your password and your contacts. Go on only if you know that this "
                                  "server uses a certificate of its own, as home servers often do.\n\nConnect with "
                                  "this certificate anyway?")
                       .arg(host, problems))) {
        m_serverStatus->setText(QStringLiteral("Not connected: the certificate of %1 cannot be checked.").arg(host));
        return;
    }
    m_account.accepted_certificate = findings.certificate;
    startDiscovery();
}

void UploadDialog::startUpload()
{
    m_stopped = false;
    m_stop->setEnabled(true);
    m_progress->setRange(0, 0);
    m_progressText->clear();
    showPage(Page::progress);
    if (m_newBook->isChecked()) {
        const QString name = m_newBookName->text().trimmed();
        m_progressTitle->setText(QStringLiteral("Making the address book \"%1\"...").arg(name));
        dispose(m_creation);
        m_creation = std::make_unique<carddav::BookCreation>(m_account, m_home, name);
        connect(m_creation.get(), &carddav::BookCreation::finished, this, &UploadDialog::creationEnded);
        m_creation->start();
        return;
    }
    makeCards(m_books[std::size_t(m_bookList->currentRow())]);
}

void UploadDialog::creationEnded(const carddav::CreationResult& result)
{
    dispose(m_creation);
    if (m_stopped) {
        endedEarly(QStringLiteral("Stopped: no card was sent."), {});
        return;
    }
    if (!result.ok()) {
        endedEarly(QStringLiteral("The new address book could not be made, so no card was sent."), result.error);
        return;
    }
    makeCards(result.book);
}

void UploadDialog::makeCards(const carddav::AddressBook& book)
{
    m_target = book;
    m_progressTitle->setText(QStringLiteral("Preparing the cards for \"%1\"...").arg(bookName(book)));
    const contacts::VcardVersion version =
        book.takes_vcard40() ? contacts::VcardVersion::v40 : contacts::VcardVersion::v30;
    m_maker.start([this, version, source = m_source](WorkerThread::Epoch epoch) {
        carddav::CardSource cards{source.store, {}, source.groups.get(), source.exchange_map};
        // The merged book is what goes up: its records and the groups that name them.
        std::unique_ptr<merge::StoreMerge> merged;
        if (source.merge) {
            merged = merge::merge_store(*source.store, {}, source.groups.get(),
                                        {merge::region_of_locale(), source.user_merged});
            cards.selection = merged->result.records;
            cards.groups = &merged->groups;
        }
        std::vector<carddav::Card> made;
        const pst::Status status = carddav::make_cards(cards, version, &made);
        m_maker.post(epoch, [this, made = std::move(made), error = QString::fromStdString(status.message),
                             ok = status.ok]() mutable {
            m_maker.finish();
            cardsMade(std::move(made), ok ? QString() : error);
        });
    });
}

void UploadDialog::cardsMade(std::vector<carddav::Card> cards, QString error)
{
    if (m_stopped) {
        endedEarly(QStringLiteral("Stopped: no card was sent."), {});
        return;
    }
    if (!error.isEmpty()) {
        endedEarly(QStringLiteral("The cards could not be made, so no card was sent."), error);
        return;
    }
    const qint64 total = qint64(cards.size());
    m_progressTitle->setText(QStringLiteral("Uploading %1 card(s) to \"%2\"...").arg(total).arg(bookName(m_target)));
    m_progress->setRange(0, int(qMin<qint64>(total, INT_MAX)));
    m_progress->setValue(0);
    m_progressText->setText(QStringLiteral("0 of %1 cards").arg(total));
    carddav::UploadOptions options;
    options.update = m_update->isChecked();
    dispose(m_job);
    m_job = std::make_unique<carddav::UploadJob>(m_account, m_target, std::move(cards), options);
    connect(m_job.get(), &carddav::UploadJob::progress, this, [this](qint64 done, qint64 all) {
        m_progress->setValue(int(qMin<qint64>(done, INT_MAX)));
        m_progressText->setText(QStringLiteral("%1 of %2 cards").arg(done).arg(all));
    });
    connect(m_job.get(), &carddav::UploadJob::finished, this, &UploadDialog::uploadEnded);
    m_job->start();
}

void UploadDialog::uploadEnded(const carddav::UploadSummary& summary)
{
    // The report lists every card that was not added, whatever ended the upload.
    const pst::Status written = carddav::write_upload_report(m_source.report_folder, m_job->cards(), m_job->results());
    m_reportPath = QDir::toNativeSeparators(
        QString::fromStdString((m_source.report_folder / carddav::kUploadReportName).string()));
    dispose(m_job);
    const int64_t finished = summary.count(carddav::Outcome::added) + summary.count(carddav::Outcome::already_there) +
                             summary.count(carddav::Outcome::updated) + summary.count(carddav::Outcome::refused);
    QString title;
    if (!summary.error.isEmpty())
        title = QStringLiteral("The upload ended early: %1").arg(summary.error);
    else if (summary.stopped)
        title = QStringLiteral("Stopped. The %1 card(s) finished before Stop stay on the server; %2 were not sent.")
                    .arg(finished)
                    .arg(summary.count(carddav::Outcome::not_sent));
    else if (summary.complete() && finished > 0 && summary.count(carddav::Outcome::already_there) == finished)
        title =
            QStringLiteral("Nothing new: \"%1\" already held every card, so none was added.").arg(bookName(m_target));
    else if (summary.complete())
        title = QStringLiteral("The upload to \"%1\" is complete.").arg(bookName(m_target));
    else
        title = QStringLiteral("The upload to \"%1\" is done, but the server refused %2 card(s).")
                    .arg(bookName(m_target))
                    .arg(summary.count(carddav::Outcome::refused));
    if (summary.photos_scaled > 0)
        title += QStringLiteral("\n%1 photo(s) were made smaller to fit the server's size limit.")
                     .arg(summary.photos_scaled);
    m_doneTitle->setText(title);
    for (std::size_t i = 0; i < m_counts.size(); ++i)
        m_counts[i]->setText(QString::number(summary.counts[i]));
    if (!written.ok)
        m_doneReport->setText(QStringLiteral("The report of the cards that were not added could not be written: %1")
                                  .arg(QString::fromStdString(written.message)));
    else if (summary.count(carddav::Outcome::added) == finished && summary.count(carddav::Outcome::not_sent) == 0)
        m_doneReport->setText(QStringLiteral("Every card was added; the report %1 lists none.").arg(m_reportPath));
    else
        m_doneReport->setText(
            QStringLiteral("The cards that were not added are listed, each with the reason, in %1.").arg(m_reportPath));
    if (!written.ok)
        m_reportPath.clear();
    showPage(Page::done);
}

void UploadDialog::endedEarly(const QString& headline, const QString& error)
{
    m_doneTitle->setText(error.isEmpty() ? headline : headline + QStringLiteral("\n\n") + error);
    for (QLabel* count : m_counts)
        count->setText(QStringLiteral("0"));
    m_doneReport->clear();
    m_reportPath.clear();
    showPage(Page::done);
}

void UploadDialog::stopUpload()
{
    if (page() != Page::progress || m_stopped)
        return;
    m_stopped = true;
    m_stop->setEnabled(false);
    m_progressText->setText(QStringLiteral("Stopping: the cards under way are finished first..."));
    if (m_job != nullptr)
        m_job->stop();
    else if (m_creation != nullptr)
        m_creation->stop();
}

void UploadDialog::reject()
{
    // During the upload Escape and the close button are Stop; the done page follows.
    if (page() == Page::progress) {
        stopUpload();
        return;
    }
    dispose(m_discovery);
    dispose(m_probe);
    QDialog::reject();
}

} // namespace ui
