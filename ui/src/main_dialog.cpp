#include "ui/main_dialog.h"

#include "contacts/contact_store.h"
#include "contacts/conversion.h"
#include "controls/app.h"
#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "controls/pictures.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/preview.h"
#include "ui/status_page.h"
#include "window_observer.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <array>
#include <utility>

// The start page lives in this static library's resources, which must be registered by hand.
static void registerUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace ui {
namespace {

using controls::dialogUnitsToPixels;
using controls::setControlId;

CPelimoorDlg* g_dialog = nullptr;

const QColor kBackground(255, 193, 26);
constexpr auto kWebAddress = "www.tressoly.example";

struct ButtonSpec
{
    int id;
    const char* text;
    QRect dlu;
    void (CPelimoorDlg::*handler)();
};

// Template positions in dialog units.
constexpr std::array<ButtonSpec, 4> kButtons{{
    {engine::kBrowseButton, "Browse...", QRect(326, 67, 55, 19), &CPelimoorDlg::OnBrowse},
    {engine::kScanButton, "Scan", QRect(387, 67, 55, 19), &CPelimoorDlg::OnScan},
    {engine::kStopButton, "Stop", QRect(447, 67, 55, 19), &CPelimoorDlg::OnStop},
    {engine::kConvertButton, "Convert", QRect(507, 67, 55, 19), &CPelimoorDlg::OnConvert},
}};

struct MenuSpec
{
    const char* menu;
    int id;
    const char* text;
    void (CPelimoorDlg::*handler)();
};

constexpr std::array<MenuSpec, 6> kMenuItems{{
    {"&File", kMenuOpen, "&Open", &CPelimoorDlg::OnBrowse},
    {"&File", kMenuScan, "&Scan", &CPelimoorDlg::OnScan},
    {"&File", kMenuConvert, "&Convert", &CPelimoorDlg::OnConvert},
    {"&File", kMenuExit, "E&xit", &CPelimoorDlg::OnExit},
    {"&Help", kMenuContent, "&Content", &CPelimoorDlg::OnHelpContent},
    {"&Help", kMenuAbout, "About Tressoly Pelimoor ", &CPelimoorDlg::OnAbout},
}};

struct ColumnWidth
{
    int scan;
    int fill;
};
constexpr std::array<ColumnWidth, 11> kColumnWidths{
    {{0, 0}, {0, 0}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {0, 80}, {0, 80}}};

// Anchors of the managed controls, in registration order.
struct Anchor
{
    int id;
    unsigned flags;
};
constexpr std::array<Anchor, 11> kAnchors{{
    {kContactList, 0x00D0},
    {engine::kProgressBar, 0x00E0},
    {kPathEdit, 0x00D0},
    {kPathFrame, 0x00D0},
    {-1, 0x00D0},
    {kRightBanner, 0x00D0},
    {engine::kBrowseButton, 0x0090},
    {engine::kFolderTree, 0x0070},
    {engine::kStopButton, 0x0090},
    {engine::kScanButton, 0x0090},
    {engine::kConvertButton, 0x0090},
}};

template <typename W> W* place(W* widget, int id, QRect dlu)
{
    if (id != 0)
        setControlId(widget, id);
    widget->setGeometry(dialogUnitsToPixels(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
    return widget;
}

// Shrinks a fixed-size label's font until its text fits (the template sizes assume a small font).
void fitText(QLabel* label)
{
    QFont font = label->font();
    while (font.pointSizeF() > 6 && QFontMetrics(font).horizontalAdvance(label->text()) > label->width())
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
}

// Whether a fill for `key` lists `record`: "All" (the group name) every record, a letter the
// records whose index key is that letter (case-sensitive), "123" those whose first name starts
// with a digit.
bool fillMatches(const contacts::ContactRecord& record, const std::u16string& key)
{
    if (record.text(contacts::Field::group_name) == key)
        return true;
    const std::optional<std::u16string_view> initial = record.text(contacts::Field::index_key);
    if (!initial)
        return false;
    if (key == u"123")
        return initial->size() == 1 && (*initial)[0] >= u'0' && (*initial)[0] <= u'9';
    return *initial == key;
}

platform::MessageRequest question(const char* text)
{
    return {QString::fromLatin1(text), QString::fromLatin1(kCaption), QMessageBox::Question,
            QMessageBox::Yes | QMessageBox::No};
}

// A banner drawn at whatever size the layout gives it, so stretching never distorts it.
class Banner : public QLabel
{
public:
    Banner(int resource, QWidget* parent) : QLabel(parent), m_resource(resource) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (m_cache.size() != size())
            m_cache = controls::bannerPicture(m_resource, size());
        QPainter(this).drawPixmap(0, 0, m_cache);
    }

private:
    int m_resource;
    QPixmap m_cache;
};

// The client area: paints the dialog background and reports its size changes.
class ClientArea : public QWidget
{
public:
    ClientArea(QWidget* parent, std::function<void(int, int)> onResize)
        : QWidget(parent), m_onResize(std::move(onResize))
    {
        setAutoFillBackground(true);
        QPalette pal = palette();
        pal.setColor(QPalette::Window, kBackground);
        pal.setColor(QPalette::WindowText, Qt::black);
        setPalette(pal);
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QWidget::resizeEvent(event);
        m_onResize(width(), height());
    }

private:
    std::function<void(int, int)> m_onResize;
};

} // namespace

CPelimoorDlg* CPelimoorDlg::instance()
{
    return g_dialog;
}

CPelimoorDlg::CPelimoorDlg(contacts::ContactStore& store, QWidget* parent)
    : QDialog(parent), m_store(store), m_icon(controls::applicationIcon()),
      m_observer(std::make_unique<WindowObserver>(this))
{
    g_dialog = this;
    registerUiResources();
    setWindowTitle(QString::fromLatin1(kCaption));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(m_icon);
    setSizeGripEnabled(false);
    m_flushTimer = new QTimer(this);
    m_flushTimer->setSingleShot(true);
    m_flushTimer->setInterval(kFlushIntervalMs);
    connect(m_flushTimer, &QTimer::timeout, this, &CPelimoorDlg::flushScanRows);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_client = new ClientArea(this, [this](int cx, int cy) { onClientResized(cx, cy); });
    buildMenu();
    layout->setMenuBar(m_menuBar);
    layout->addWidget(m_client);
    buildControls();
    m_client->setFixedSize(dialogUnitsToPixels(0, 0, 589, 402).size());

    // Initial enables: Stop, Scan and Convert off; File > Scan and File > Convert grayed.
    for (int id : {int(engine::kStopButton), int(engine::kScanButton), int(engine::kConvertButton), int(kMenuScan),
                   int(kMenuConvert)})
        setControlEnabled(id, false);
    m_startupDirectory = QDir::currentPath();
    registerLayout();
    buildStatusBar();
    m_browser->Navigate(QStringLiteral("http://") + QString::fromLatin1(kWebAddress) + QStringLiteral("/start"));
    qApp->installEventFilter(this);
}

CPelimoorDlg::~CPelimoorDlg()
{
    qApp->removeEventFilter(this);
    endWorkers();
    if (g_dialog == this)
        g_dialog = nullptr;
}

void CPelimoorDlg::buildMenu()
{
    m_menuBar = new QMenuBar(this);
    std::map<QString, QMenu*> menus;
    for (const MenuSpec& item : kMenuItems) {
        const QString title = QString::fromLatin1(item.menu);
        QMenu*& menu = menus[title];
        if (menu == nullptr)
            menu = m_menuBar->addMenu(title);
        QAction* action = menu->addAction(QString::fromLatin1(item.text));
        action->setProperty("controlId", item.id);
        action->setObjectName(QStringLiteral("id%1").arg(item.id));
        connect(action, &QAction::triggered, this, [this, handler = item.handler] { (this->*handler)(); });
        m_actions[item.id] = action;
    }
}

void CPelimoorDlg::buildControls()
{
    QWidget* c = m_client;
    // Template positions are in units of an 8-point dialog font.
    QFont font = c->font();
    font.setPointSize(8);
    c->setFont(font);
    place(new Banner(162, c), kLeftBanner, QRect(0, 0, 395, 63));
    place(new Banner(161, c), kRightBanner, QRect(394, 0, 195, 63));

    place(new QGroupBox(c), kPathFrame, QRect(6, 62, 576, 25));
    auto* label = place(new QLabel(QStringLiteral("Select PST File"), c), 0, QRect(11, 71, 49, 10));
    fitText(label);
    m_pathEdit = place(new QLineEdit(c), kPathEdit, QRect(63, 68, 256, 17));
    m_pathEdit->setAccessibleName(QStringLiteral("Select PST File"));
    label->setBuddy(m_pathEdit);
    std::array<QPushButton**, 4> members{&m_browse, &m_scan, &m_stop, &m_convert};
    for (size_t i = 0; i < kButtons.size(); ++i) {
        const ButtonSpec& button_def = kButtons[i];
        auto* button = place(new QPushButton(QString::fromLatin1(button_def.text), c), button_def.id, button_def.dlu);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, handler = button_def.handler] { (this->*handler)(); });
        *members[i] = button;
    }

    m_tree = place(new controls::CFolderTreeCtrl1(c), engine::kFolderTree, QRect(4, 90, 151, 265));
    m_tree->setAccessibleName(QStringLiteral("Folders"));
    connect(m_tree, &controls::CFolderTreeCtrl1::listFillRequested, this, &CPelimoorDlg::StartListFill);

    m_list = place(new QTableView(c), kContactList, QRect(156, 91, 426, 92));
    m_list->setAccessibleName(QStringLiteral("Contacts"));
    m_model = new ContactListModel(this);
    m_list->setModel(m_model);
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectItems);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setWordWrap(false);
    m_list->verticalHeader()->hide();
    m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 4);
    m_list->horizontalHeader()->setMinimumSectionSize(0);
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->horizontalHeader()->setHighlightSections(false);
    auto applyWidths = [this](bool fill) {
        for (int i = 0; i < m_model->columnCount(); ++i)
            m_list->horizontalHeader()->resizeSection(i, fill ? kColumnWidths[size_t(i)].fill
                                                              : kColumnWidths[size_t(i)].scan);
    };
    applyWidths(false);
    connect(m_model, &ContactListModel::columnsRebuilt, this, [applyWidths] { applyWidths(true); });
    connect(m_list, &QTableView::clicked, this, &CPelimoorDlg::OnListClick);

    m_browser = place(new CExplorer1(c), kBrowserPane, QRect(156, 184, 426, 160));
    m_progress = place(new QProgressBar(c), engine::kProgressBar, QRect(7, 369, 579, 14));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    m_progress->setAccessibleName(QStringLiteral("Scan progress"));

    // The template's hidden OK and Cancel buttons and its hidden frame.
    for (auto [id, text, x] : {std::tuple{1, "OK", 544}, std::tuple{2, "Cancel", 550}}) {
        auto* hidden = place(new QPushButton(QString::fromLatin1(text), c), id, QRect(x, 372, 6, 6));
        hidden->setAutoDefault(false);
        hidden->hide();
    }
    place(new QGroupBox(c), -1, QRect(560, 369, 8, 9))->hide();

    // Keyboard order: path row, then tree, list and pane.
    QWidget::setTabOrder(m_pathEdit, m_browse);
    QWidget::setTabOrder(m_browse, m_scan);
    QWidget::setTabOrder(m_scan, m_stop);
    QWidget::setTabOrder(m_stop, m_convert);
    QWidget::setTabOrder(m_convert, m_tree);
    QWidget::setTabOrder(m_tree, m_list);
    QWidget::setTabOrder(m_list, m_browser);
}

void CPelimoorDlg::buildStatusBar()
{
    m_statusBar = new QStatusBar(m_client);
    m_statusBar->setObjectName(QStringLiteral("statusBar"));
    m_statusBar->setSizeGripEnabled(false);
    auto* product = new QLabel(QStringLiteral("Tressoly Systems Pelimoor"), m_statusBar);
    product->setFixedWidth(300);
    auto* web = new QLabel(QString::fromLatin1(kWebAddress), m_statusBar);
    web->setFixedWidth(299);
    m_statusBar->addWidget(product);
    m_statusBar->addWidget(web);
    const int h = m_statusBar->sizeHint().height();
    m_statusBar->setGeometry(0, m_client->height() - h, m_client->width(), h);
    m_statusBar->show();
}

void CPelimoorDlg::registerLayout()
{
    for (const Anchor& anchor : kAnchors)
        m_resizer.AddControl(anchor.id, anchor.flags);
    m_resizer.Setup(m_client, controls::RSZ_OPT_SIZEGRIP);
}

void CPelimoorDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_firstShow) {
        m_firstShow = false;
        m_client->setMinimumSize(0, 0);
        m_client->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        m_resizer.Resize();
        setWindowState(windowState() | Qt::WindowMaximized);
    }
}

void CPelimoorDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        m_resizer.Resize();
}

void CPelimoorDlg::onClientResized(int cx, int cy)
{
    if (m_browser != nullptr) {
        m_browser->setGeometry(243, 325, qMax(0, cx - 250), qMax(0, cy - 400));
        m_browser->update();
    }
    if (m_statusBar != nullptr) {
        const int h = m_statusBar->height();
        m_statusBar->setGeometry(0, cy - h, cx, h);
    }
    m_resizer.Resize();
    m_client->update();
}

QAction* CPelimoorDlg::menuAction(int id) const
{
    auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

void CPelimoorDlg::setControlEnabled(int id, bool enabled)
{
    if (QAction* action = menuAction(id)) {
        action->setEnabled(enabled);
        return;
    }
    if (id == engine::kProgressBar)
        return;
    if (QWidget* control = controls::findControl(m_client, id))
        control->setEnabled(enabled);
}

bool CPelimoorDlg::isControlEnabled(int id) const
{
    if (QAction* action = menuAction(id))
        return action->isEnabled();
    QWidget* control = controls::findControl(m_client, id);
    return control != nullptr && control->isEnabled();
}

bool CPelimoorDlg::eventFilter(QObject* watched, QEvent* event)
{
    // Enter moves the focus like Tab inside this window and never presses a button.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        auto* widget = qobject_cast<QWidget*>(watched);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && widget != nullptr &&
            widget->window() == this) {
            focusNextChild();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CPelimoorDlg::closeEvent(QCloseEvent* event)
{
    // Yes ends the process; the close request is consumed either way.
    controls::confirmExit(this);
    event->ignore();
}

void CPelimoorDlg::reject()
{
    // Escape: the workers are ended and joined before the dialog ends.
    endWorkers();
    QDialog::reject();
}

void CPelimoorDlg::OnExit()
{
    controls::confirmExit(this);
}

void CPelimoorDlg::OnHelpContent()
{
    controls::openHelpContent(m_startupDirectory);
}

void CPelimoorDlg::OnAbout()
{
    controls::CAboutDlg about(this);
    about.exec();
}

void CPelimoorDlg::deleteScratchDirectory()
{
    platform::removeDirectoryTree(platform::environment().tempDirectory() / kScratchDirectory);
}

void CPelimoorDlg::clearStore()
{
    // Nothing may read the store while it is cleared: no fill, no conversion, no scan.
    joinFillThread();
    if (m_saveThread.joinable()) {
        m_saveGate.abort();
        m_saveThread.join();
        m_saveActive = false;
    }
    m_model->clear();
    contacts::contact_store_clear(m_store);
}

void CPelimoorDlg::OnBrowse()
{
    ChooseFile();
}

void CPelimoorDlg::ChooseFile()
{
    deleteScratchDirectory();
    platform::FileDialogRequest request{QString::fromLatin1(kFileDialogTitle), QString::fromLatin1(kFileDialogFilter),
                                        false};
    const QStringList files = platform::environment().chooseFiles(this, request);
    if (files.isEmpty()) {
        setControlEnabled(engine::kBrowseButton, true);
        setControlEnabled(engine::kStopButton, false);
        setControlEnabled(kMenuConvert, true);
        return;
    }
    deleteScratchDirectory();
    joinScanThread();
    m_tree->Clear();
    m_model->clear();
    clearStore();
    setControlEnabled(engine::kConvertButton, false);
    m_selectedFile = QDir::toNativeSeparators(files.first());
    m_pathEdit->setText(m_selectedFile);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tree->BuildForFile(m_selectedFile);
    setControlEnabled(engine::kScanButton, true);
    setControlEnabled(kMenuScan, true);
}

void CPelimoorDlg::OnScan()
{
    if (m_scanActive.load())
        return;
    setControlEnabled(engine::kStopButton, true);
    setControlEnabled(engine::kBrowseButton, false);
    // The scan disables Scan as its first act; doing it here as well refuses a second click
    // that arrives before the thread got that far.
    setControlEnabled(engine::kScanButton, false);
    joinScanThread();
    clearStore();
    setControlEnabled(kMenuOpen, false);
    setControlEnabled(kMenuScan, false);
    // A conversion started now would read a store the scan is filling.
    setControlEnabled(kMenuConvert, false);

    m_observer->newEpoch();
    m_observer->rearm();
    const std::uint64_t epoch = m_observer->epoch();
    const std::string path = m_selectedFile.toStdString();
    m_scanActive = true;
    m_scanGate.begin_run();
    if (std::exchange(m_holdNextScan, false))
        m_scanGate.request_pause();
    m_scanThread = std::thread([this, path, epoch] {
        engine::scan_run(m_session, path, m_store, *m_observer, &m_scanGate);
        m_scanActive = false;
        m_observer->post([this, epoch] { scanThreadEnded(epoch); });
    });
}

void CPelimoorDlg::scanThreadEnded(std::uint64_t epoch)
{
    if (epoch == m_observer->epoch())
        joinScanThread();
}

void CPelimoorDlg::joinScanThread()
{
    if (!m_scanThread.joinable())
        return;
    // A scan still walking here is ended; one waiting for a message box is let go.
    if (m_scanActive.load() && !m_observer->waitingOnWindow())
        m_scanGate.abort();
    m_observer->release();
    m_scanThread.join();
    m_scanActive = false;
}

void CPelimoorDlg::scheduleScanFlush()
{
    if (!m_flushTimer->isActive())
        m_flushTimer->start();
}

void CPelimoorDlg::flushScanRows()
{
    m_flushTimer->stop();
    int progress = 0;
    std::vector<const contacts::ContactRecord*> rows = m_observer->takeRows(progress);
    std::erase_if(rows, [this](const contacts::ContactRecord* r) { return r->number() <= m_fillCutoff; });
    if (!rows.empty())
        m_lastShownNumber = rows.back()->number();
    m_model->addScanRows(rows);
    m_progress->setValue(progress);
}

void CPelimoorDlg::showScanPage(engine::StatusPage page, int count)
{
    if (page == engine::StatusPage::Done)
        flushScanRows();
    ShowStatusPage(*m_browser, statusPageText(page, count));
    if (page == engine::StatusPage::Done)
        m_progress->setValue(0);
}

bool CPelimoorDlg::pauseScanForQuestion()
{
    // Parks the scan at a checkpoint. A scan that has left its walk (it waits for a message box
    // or is returning) cannot be parked and counts as not running.
    while (m_scanActive.load()) {
        if (m_scanGate.pause_and_wait_for(std::chrono::milliseconds(20)))
            return true;
        if (m_observer->waitingOnWindow() || !m_scanGate.running()) {
            m_scanGate.resume();
            return false;
        }
        // The scan may still be opening its file: keep painting, take no input meanwhile.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    }
    m_scanGate.resume();
    return false;
}

void CPelimoorDlg::endScanForGood()
{
    m_scanGate.abort();
    m_observer->release();
    if (m_scanThread.joinable())
        m_scanThread.join();
    m_scanActive = false;
    m_observer->newEpoch();
    deleteScratchDirectory();
    m_tree->Clear();
    m_model->clear();
    clearStore();
    m_progress->setValue(0);
    setControlEnabled(engine::kStopButton, false);
    setControlEnabled(engine::kBrowseButton, true);
    setControlEnabled(kMenuOpen, true);
    ShowStatusPage(*m_browser, kStoppedPage);
}

void CPelimoorDlg::OnStop()
{
    bool continues = false;
    if (m_scanActive.load() && pauseScanForQuestion()) {
        if (platform::environment().showMessage(this, question(kStopScanQuestion)) == QMessageBox::Yes) {
            endScanForGood();
        } else {
            m_scanGate.resume();
            continues = true;
        }
    }
    if (m_saveActive.load() && m_saveGate.pause_and_wait()) {
        if (platform::environment().showMessage(this, question(kStopSaveQuestion)) == QMessageBox::Yes) {
            m_saveGate.abort();
            m_saveThread.join();
            m_saveActive = false;
        } else {
            m_saveGate.resume();
            continues = true;
        }
    }
    if (!continues)
        setControlEnabled(engine::kBrowseButton, true);
}

void CPelimoorDlg::OnConvert()
{
    if (m_saveActive.load())
        return;
    // Only a format picked in this opening counts: OK without one, or Cancel, does nothing.
    controls::SaveOption options(this);
    if (options.exec() != QDialog::Accepted || !options.formatPicked())
        return;
    const int format = controls::chosenFormat();
    const QString destination = platform::environment().chooseDirectory(this, QString::fromLatin1(kDestinationTitle));
    if (destination.isEmpty())
        return;
    startConversion(format, destination);
}

void CPelimoorDlg::startConversion(int format, const QString& destination)
{
    // While the conversion reads the store nothing may clear or refill it.
    constexpr std::array<int, 6> kHeld{
        engine::kBrowseButton, engine::kScanButton, engine::kConvertButton, kMenuOpen, kMenuScan, kMenuConvert};
    m_enablesBeforeSave.clear();
    for (int id : kHeld) {
        m_enablesBeforeSave[id] = isControlEnabled(id);
        setControlEnabled(id, false);
    }
    setControlEnabled(engine::kStopButton, true);
    if (m_saveThread.joinable())
        m_saveThread.join();
    m_saveActive = true;
    m_saveGate.begin_run();
    QPointer<QProgressBar> progress = m_progress;
    m_saveThread = std::thread([this, format, dest = destination.toStdString(), progress] {
        contacts::ConversionOptions options;
        options.checkpoint = [this] { return m_saveGate.checkpoint(); };
        std::atomic<int> shown{-1};
        options.progress = [this, &shown, progress](int64_t done, int64_t total) {
            const int percent = total > 0 ? int(done * 100 / total) : 100;
            if (shown.exchange(percent) != percent)
                QMetaObject::invokeMethod(
                    this,
                    [progress, percent] {
                        if (progress)
                            progress->setValue(percent);
                    },
                    Qt::QueuedConnection);
        };
        const contacts::ConversionResult result =
            contacts::convert_contacts(m_store, static_cast<contacts::Format>(format), dest, options);
        m_saveGate.end_run();
        const int outcome = static_cast<int>(result.outcome);
        const QString reason = QString::fromStdString(result.reason);
        QMetaObject::invokeMethod(
            this, [this, outcome, reason] { conversionEnded(outcome, reason); }, Qt::QueuedConnection);
        m_saveActive = false;
    });
}

void CPelimoorDlg::conversionEnded(int outcome, const QString& reason)
{
    if (m_saveThread.joinable())
        m_saveThread.join();
    m_saveActive = false;
    m_progress->setValue(0);
    for (auto [id, enabled] : m_enablesBeforeSave)
        setControlEnabled(id, enabled);
    m_enablesBeforeSave.clear();
    const auto result = static_cast<contacts::ConversionOutcome>(outcome);
    if (result == contacts::ConversionOutcome::Stopped)
        return;
    const QString text = result == contacts::ConversionOutcome::Completed
                             ? QString::fromStdU16String(std::u16string(contacts::kSaveCompletedText))
                             : reason;
    platform::environment().showMessage(
        this, {text, QString::fromLatin1(kCaption),
               result == contacts::ConversionOutcome::Completed ? QMessageBox::Information : QMessageBox::Critical,
               QMessageBox::Ok});
}

void CPelimoorDlg::StartListFill(const QString& key)
{
    joinFillThread();
    const std::uint64_t generation = ++m_fillGeneration;
    m_fillActive = true;
    m_fillThread = std::thread([this, key = key.toStdU16String(), generation] {
        std::vector<const contacts::ContactRecord*> rows;
        const contacts::ContactRecord* last = nullptr;
        for (const contacts::ContactRecord* r = m_store.first(); r != nullptr; r = r->next()) {
            if (m_fillGeneration.load() != generation) {
                m_fillActive = false;
                return;
            }
            if (fillMatches(*r, key))
                rows.push_back(r);
            last = r;
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, last, rows = std::move(rows)]() mutable {
                deliverFill(generation, std::move(rows), last);
            },
            Qt::QueuedConnection);
        m_fillActive = false;
    });
}

void CPelimoorDlg::deliverFill(std::uint64_t generation, std::vector<const contacts::ContactRecord*> rows,
                               const contacts::ContactRecord* last)
{
    if (generation != m_fillGeneration.load())
        return;
    m_model->setFillRows(std::move(rows));
    // The fill saw the store up to `last`. Scan rows already shown for later records go back on
    // top; rows still pending for records the fill has seen are not shown twice.
    std::vector<const contacts::ContactRecord*> later;
    for (const contacts::ContactRecord* r = last != nullptr ? last->next() : m_store.first();
         r != nullptr && r->number() <= m_lastShownNumber; r = r->next())
        later.push_back(r);
    m_model->addScanRows(later);
    m_fillCutoff = last != nullptr ? last->number() : m_fillCutoff;
}

void CPelimoorDlg::joinFillThread()
{
    ++m_fillGeneration;
    if (m_fillThread.joinable())
        m_fillThread.join();
    m_fillActive = false;
}

void CPelimoorDlg::OnListClick(const QModelIndex&)
{
    // The upper selected row, whichever was clicked last; its number cell names the record.
    const QModelIndexList selected = m_list->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    int row = selected.first().row();
    for (const QModelIndex& index : selected)
        row = std::min(row, index.row());
    const std::u16string cell = m_model->data(m_model->index(row, 0)).toString().toStdU16String();
    const contacts::ContactRecord* record = contacts::contact_store_find(m_store, leadingInteger(cell));
    if (record == nullptr)
        return;
    ShowContactPreview(*m_browser, *record, platform::environment().tempDirectory());
}

void CPelimoorDlg::endWorkers()
{
    joinFillThread();
    if (m_scanThread.joinable()) {
        m_scanGate.abort();
        m_observer->release();
        m_scanThread.join();
        m_scanActive = false;
    }
    if (m_saveThread.joinable()) {
        m_saveGate.abort();
        m_saveThread.join();
        m_saveActive = false;
    }
    m_observer->newEpoch();
}

bool CPelimoorDlg::waitForWorkers(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_scanActive.load() || m_saveActive.load() || m_fillActive.load()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    return true;
}

} // namespace ui
