// The upload dialog's pages, what it remembers, and the password kept in the desktop's store.
// The steps of an upload itself live in upload_run.cpp.
#include "ui/upload_dialog.h"

#include "carddav/create_book.h"
#include "carddav/discovery.h"
#include "carddav/upload.h"
#include "certificate_probe.h"
#include "controls/dialogs.h"
#include "keyring/password_store.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <array>

namespace ui {
namespace {

// The rows of the done page's counts, in carddav::Outcome order.
constexpr std::array<const char*, carddav::kOutcomeCount> kCountCaptions{{
    "Added:",
    "Already there:",
    "Updated:",
    "Refused:",
    "Not sent:",
}};

QPushButton* button(const char* text, const char* name, QWidget* parent)
{
    auto* b = new QPushButton(QString::fromUtf8(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

QLabel* wrappingLabel(const QString& text, const char* name, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

UploadDialog::UploadDialog(UploadSource source, QWidget* parent) : QDialog(parent), m_source(std::move(source))
{
    setObjectName(QStringLiteral("uploadDialog"));
    setWindowTitle(QStringLiteral("Upload to address book server"));
    setMinimumWidth(520);
    auto* layout = new QVBoxLayout(this);
    m_pages = new QStackedWidget(this);
    layout->addWidget(m_pages);
    buildServerPage();
    buildBooksPage();
    buildProgressPage();
    buildDonePage();
    loadSettings();
    readStoredPassword();
    showPage(Page::server);
}

UploadDialog::~UploadDialog()
{
    // The jobs go first (their requests end unanswered), then the card maker is joined.
    m_job.reset();
    m_creation.reset();
    m_discovery.reset();
    m_probe.reset();
    m_maker.drop();
    m_maker.stop();
}

UploadDialog::Page UploadDialog::page() const
{
    return static_cast<Page>(m_pages->currentIndex());
}

void UploadDialog::showPage(Page page)
{
    m_pages->setCurrentIndex(static_cast<int>(page));
    emit pageChanged(page);
}

void UploadDialog::buildServerPage()
{
    auto* page = new QWidget(m_pages);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(wrappingLabel(QStringLiteral("Put the contacts straight into an address book on your "
                                                   "address book server (CardDAV: Nextcloud, Radicale, Baikal "
                                                   "and others)."),
                                    "uploadIntro", page));
    auto* form = new QFormLayout;
    m_server = new QLineEdit(page);
    m_server->setObjectName(QStringLiteral("uploadServer"));
    m_server->setPlaceholderText(QStringLiteral("https://dav.example.org/"));
    m_user = new QLineEdit(page);
    m_user->setObjectName(QStringLiteral("uploadUser"));
    m_password = new QLineEdit(page);
    m_password->setObjectName(QStringLiteral("uploadPassword"));
    m_password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Server address:"), m_server);
    form->addRow(QStringLiteral("User name:"), m_user);
    form->addRow(QStringLiteral("Password:"), m_password);
    layout->addLayout(form);
    m_remember = new QCheckBox(QStringLiteral("Remember the password in the desktop's password store"), page);
    m_remember->setObjectName(QStringLiteral("uploadRemember"));
    layout->addWidget(m_remember);
    m_serverStatus = wrappingLabel(QString(), "uploadServerStatus", page);
    layout->addWidget(m_serverStatus);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_connect = button("Connect", "uploadConnect", page);
    m_connect->setDefault(true);
    auto* cancel = button("Cancel", "uploadCancel", page);
    buttons->addWidget(m_connect);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(m_connect, &QPushButton::clicked, this, &UploadDialog::connectToServer);
    connect(cancel, &QPushButton::clicked, this, &UploadDialog::reject);
    // Another server or user: the password typed for the last one is not theirs.
    for (QLineEdit* field : {m_server, m_user})
        connect(field, &QLineEdit::editingFinished, this, [this] {
            if (m_password->text().isEmpty())
                readStoredPassword();
        });
    m_pages->addWidget(page);
}

void UploadDialog::buildBooksPage()
{
    auto* page = new QWidget(m_pages);
    auto* layout = new QVBoxLayout(page);
    m_booksTitle = wrappingLabel(QString(), "uploadBooksTitle", page);
    layout->addWidget(m_booksTitle);
    m_existing = new QRadioButton(QStringLiteral("An address book on the server:"), page);
    m_existing->setObjectName(QStringLiteral("uploadExisting"));
    layout->addWidget(m_existing);
    m_bookList = new QListWidget(page);
    m_bookList->setObjectName(QStringLiteral("uploadBooks"));
    layout->addWidget(m_bookList, 1);
    auto* row = new QHBoxLayout;
    m_newBook = new QRadioButton(QStringLiteral("A new address book named:"), page);
    m_newBook->setObjectName(QStringLiteral("uploadNewBook"));
    m_newBookName = new QLineEdit(QStringLiteral("Outlook contacts"), page);
    m_newBookName->setObjectName(QStringLiteral("uploadNewBookName"));
    row->addWidget(m_newBook);
    row->addWidget(m_newBookName, 1);
    layout->addLayout(row);
    m_update = new QCheckBox(QStringLiteral("Update the cards the server already holds when they differ"), page);
    m_update->setObjectName(QStringLiteral("uploadUpdate"));
    layout->addWidget(m_update);
    auto* buttons = new QHBoxLayout;
    auto* back = button("< Back", "uploadBack", page);
    buttons->addWidget(back);
    buttons->addStretch(1);
    m_upload = button("Upload", "uploadStart", page);
    auto* cancel = button("Cancel", "uploadBooksCancel", page);
    buttons->addWidget(m_upload);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(back, &QPushButton::clicked, this, &UploadDialog::back);
    connect(m_upload, &QPushButton::clicked, this, &UploadDialog::startUpload);
    connect(cancel, &QPushButton::clicked, this, &UploadDialog::reject);
    // Choosing in the list chooses the list; typing a name chooses a new book.
    connect(m_bookList, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0)
            m_existing->setChecked(true);
    });
    connect(m_newBookName, &QLineEdit::textEdited, this, [this] { m_newBook->setChecked(true); });
    const auto enableUpload = [this] {
        m_upload->setEnabled(m_newBook->isChecked() ? !m_newBookName->text().trimmed().isEmpty()
                                                    : m_bookList->currentItem() != nullptr &&
                                                          (m_bookList->currentItem()->flags() & Qt::ItemIsEnabled));
    };
    connect(m_existing, &QRadioButton::toggled, this, enableUpload);
    connect(m_newBook, &QRadioButton::toggled, this, enableUpload);
    connect(m_bookList, &QListWidget::currentRowChanged, this, enableUpload);
    connect(m_newBookName, &QLineEdit::textChanged, this, enableUpload);
    m_pages->addWidget(page);
}

void UploadDialog::buildProgressPage()
{
    auto* page = new QWidget(m_pages);
    auto* layout = new QVBoxLayout(page);
    m_progressTitle = wrappingLabel(QString(), "uploadProgressTitle", page);
    layout->addWidget(m_progressTitle);
    m_progress = new QProgressBar(page);
    m_progress->setObjectName(QStringLiteral("uploadProgress"));
    layout->addWidget(m_progress);
    m_progressText = wrappingLabel(QString(), "uploadProgressText", page);
    layout->addWidget(m_progressText);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_stop = button("Stop", "uploadStop", page);
    buttons->addWidget(m_stop);
    layout->addLayout(buttons);
    connect(m_stop, &QPushButton::clicked, this, &UploadDialog::stopUpload);
    m_pages->addWidget(page);
}

void UploadDialog::buildDonePage()
{
    auto* page = new QWidget(m_pages);
    auto* layout = new QVBoxLayout(page);
    m_doneTitle = wrappingLabel(QString(), "uploadDoneTitle", page);
    layout->addWidget(m_doneTitle);
    auto* form = new QFormLayout;
    for (std::size_t i = 0; i < kCountCaptions.size(); ++i) {
        auto* count = new QLabel(page);
        count->setObjectName(QStringLiteral("uploadCount%1").arg(i));
        form->addRow(QString::fromLatin1(kCountCaptions[i]), count);
        m_counts.push_back(count);
    }
    layout->addLayout(form);
    m_doneReport = wrappingLabel(QString(), "uploadReport", page);
    layout->addWidget(m_doneReport);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* close = button("Close", "uploadClose", page);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    m_pages->addWidget(page);
}

void UploadDialog::back()
{
    m_serverStatus->clear();
    showPage(Page::server);
}

void UploadDialog::loadSettings()
{
    if (!m_source.settings)
        return;
    const std::unique_ptr<QSettings> s = m_source.settings();
    m_server->setText(s->value(QStringLiteral("upload/server")).toString());
    m_user->setText(s->value(QStringLiteral("upload/user")).toString());
    m_remember->setChecked(s->value(QStringLiteral("upload/remember"), false).toBool());
}

void UploadDialog::saveSettings() const
{
    if (!m_source.settings)
        return;
    // The password never goes here: only the address, the user and whether to remember.
    const std::unique_ptr<QSettings> s = m_source.settings();
    s->setValue(QStringLiteral("upload/server"), m_server->text().trimmed());
    s->setValue(QStringLiteral("upload/user"), m_user->text().trimmed());
    s->setValue(QStringLiteral("upload/remember"), m_remember->isChecked() && m_storeAvailable);
}

void UploadDialog::readStoredPassword()
{
    const QString key = keyring::keyFor(m_server->text().trimmed(), m_user->text().trimmed());
    const bool fill = m_remember->isChecked() && !m_server->text().trimmed().isEmpty();
    keyring::passwordStore().read(key, [self = QPointer(this), fill](const keyring::StoreReply& reply) {
        if (self == nullptr)
            return;
        if (reply.result == keyring::StoreResult::unavailable) {
            self->m_storeAvailable = false;
            self->m_remember->setChecked(false);
            self->m_remember->setEnabled(false);
            self->m_remember->setToolTip(
                QStringLiteral("This desktop has no password store, so the password is asked for each time."));
        } else if (reply.result == keyring::StoreResult::ok && fill && self->m_password->text().isEmpty()) {
            self->m_password->setText(reply.password);
        }
    });
}

void UploadDialog::keepPassword()
{
    // After a connection that worked: kept when Remember is ticked, forgotten when it is not.
    if (!m_storeAvailable)
        return;
    const QString key = keyring::keyFor(m_server->text().trimmed(), m_user->text().trimmed());
    if (!m_remember->isChecked()) {
        keyring::passwordStore().remove(key, [](const keyring::StoreReply&) {});
        return;
    }
    keyring::passwordStore().write(key, m_account.password, [self = QPointer(this)](const keyring::StoreReply& reply) {
        if (self == nullptr || reply.result == keyring::StoreResult::ok)
            return;
        if (reply.result == keyring::StoreResult::unavailable)
            self->m_storeAvailable = false;
        self->m_booksTitle->setText(self->m_booksTitle->text() +
                                    QStringLiteral("\n\nThe password could not be kept in the desktop's password "
                                                   "store (%1); it will be asked for next time.")
                                        .arg(reply.error));
    });
}

void UploadDialog::setBusy(bool busy, const QString& text)
{
    for (QWidget* w : std::initializer_list<QWidget*>{m_server, m_user, m_password, m_connect})
        w->setEnabled(!busy);
    m_remember->setEnabled(!busy && m_storeAvailable);
    m_serverStatus->setText(text);
}

} // namespace ui
