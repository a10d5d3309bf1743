// "Upload to address book server...": puts the scanned contacts into an address book of a
// CardDAV server (carddav/), page by page:
//   server:   the server's address and the user name (both remembered in the settings), the
//             password (asked each time; kept only in the desktop's secret store, and only when
//             "Remember" is ticked and the store is there), Connect;
//   books:    the server's address books, or a new one by name; whether cards the server already
//             holds are updated; Upload;
//   progress: the cards done with a bar, and Stop (what is finished stays on the server);
//   done:     the counts (added, already there, updated, refused, not sent) and where
//             upload-report.csv went.
// Plain http:// to a host other than this computer, and a server certificate that does not
// verify, are asked about in words before the dialog goes on without that protection; No stays
// on the server page.
//
// The requests are asynchronous on the window's thread (carddav/ never blocks); the cards are
// made, and merged when `merge` is set, on a worker thread of the dialog: the windows never
// freeze. The store must not be cleared while the dialog lives (it is modal to the window);
// destroying it stops the upload and joins the worker.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "carddav/server.h"
#include "contacts/contact_groups.h"
#include "contacts/contact_store.h"
#include "contacts/output_writers.h"
#include "ui/worker_thread.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSettings;
class QStackedWidget;

namespace carddav {
class BookCreation;
class Discovery;
class UploadJob;
struct Card;
struct CreationResult;
struct DiscoveryResult;
struct UploadSummary;
} // namespace carddav

namespace ui {

// What an upload sends: every contact of `store` (merged first with `merge`), then the
// distribution lists of `groups` (may be null) as group cards.
struct UploadSource
{
    const contacts::ContactStore* store = nullptr;
    std::shared_ptr<const contacts::ContactGroups> groups;
    // The SMTP addresses of Exchange DNs, built on the worker only when a card needs them.
    std::function<contacts::ExchangeMap()> exchange_map;
    bool merge = false;
    // With `merge`: the pairs the user chose to merge after review (Edit > "Possible duplicates").
    std::vector<std::pair<const contacts::ContactRecord*, const contacts::ContactRecord*>> user_merged;
    // Where upload-report.csv is written.
    std::filesystem::path report_folder;
    // The window's settings file (the server's address and the user name go there; never the
    // password).
    std::function<std::unique_ptr<QSettings>()> settings;
};

class CertificateProbe;
struct CertificateFindings;

class UploadDialog : public QDialog
{
    Q_OBJECT
public:
    enum class Page
    {
        server,
        books,
        progress,
        done,
    };

    explicit UploadDialog(UploadSource source, QWidget* parent = nullptr);
    // Stops what runs and joins the card maker.
    ~UploadDialog() override;

    Page page() const;
    // The address books the server offered (books page on).
    const std::vector<carddav::AddressBook>& books() const { return m_books; }
    // The book the last upload went to, and the file its report went to (done page).
    const carddav::AddressBook& target() const { return m_target; }
    QString reportPath() const { return m_reportPath; }

    // The buttons' handlers.
    void connectToServer();
    void startUpload();
    void stopUpload();
    void back();

    // Escape and the close button: during the upload they stop it (the done page follows).
    void reject() override;

signals:
    // The page shown changed (tests wait on it).
    void pageChanged(ui::UploadDialog::Page page);

private:
    void buildServerPage();
    void buildBooksPage();
    void buildProgressPage();
    void buildDonePage();
    void showPage(Page page);
    void loadSettings();
    void saveSettings() const;
    // The stored password of the typed server and user, when Remember was ticked for them; also
    // finds out whether the desktop has a store at all.
    void readStoredPassword();
    void keepPassword();
    carddav::Account account() const;
    void setBusy(bool busy, const QString& text);

    void startDiscovery();
    void discoveryEnded(const carddav::DiscoveryResult& result);
    // After a connection that failed without an answer: what is wrong with the server's
    // certificate, if anything, asked about before going on with it.
    void checkCertificate(const QString& failure);
    void certificateChecked(const ui::CertificateFindings& findings, const QString& failure);
    void creationEnded(const carddav::CreationResult& result);
    // Makes the cards of `book` on the worker, then uploads them.
    void makeCards(const carddav::AddressBook& book);
    void cardsMade(std::vector<carddav::Card> cards, QString error);
    void uploadEnded(const carddav::UploadSummary& summary);
    // The done page for an upload that ended before a card was sent.
    void endedEarly(const QString& headline, const QString& error);

    UploadSource m_source;
    QStackedWidget* m_pages = nullptr;
    // Server page.
    QLineEdit* m_server = nullptr;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    QCheckBox* m_remember = nullptr;
    QLabel* m_serverStatus = nullptr;
    QPushButton* m_connect = nullptr;
    // Books page.
    QLabel* m_booksTitle = nullptr;
    QRadioButton* m_existing = nullptr;
    QListWidget* m_bookList = nullptr;
    QRadioButton* m_newBook = nullptr;
    QLineEdit* m_newBookName = nullptr;
    QCheckBox* m_update = nullptr;
    QPushButton* m_upload = nullptr;
    // Progress page.
    QLabel* m_progressTitle = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_progressText = nullptr;
    QPushButton* m_stop = nullptr;
    // Done page.
    QLabel* m_doneTitle = nullptr;
    std::vector<QLabel*> m_counts;
    QLabel* m_doneReport = nullptr;

    // The account the server page connected with (its password in memory only).
    carddav::Account m_account;
    std::vector<carddav::AddressBook> m_books;
    QUrl m_home; // where a new book is made; empty when the address was a book itself
    carddav::AddressBook m_target;
    QString m_reportPath;
    bool m_storeAvailable = true;
    bool m_stopped = false;
    std::unique_ptr<carddav::Discovery> m_discovery;
    std::unique_ptr<CertificateProbe> m_probe;
    std::unique_ptr<carddav::BookCreation> m_creation;
    std::unique_ptr<carddav::UploadJob> m_job;
    WorkerThread m_maker{this};
};

} // namespace ui
