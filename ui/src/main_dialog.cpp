// The window itself: construction and end, the enable table, the keys the window takes for itself,
// closing, and the state callers and tests read.
#include "ui/main_dialog.h"

#include "controls/app.h"
#include "controls/dialogs.h"
#include "controls/pictures.h"
#include "merge/merge.h"
#include "ui/explorer.h"
#include "ui/list_filler.h"
#include "ui/merge_controller.h"
#include "ui/save_controller.h"
#include "ui/scan_controller.h"
#include "ui/upload_dialog.h"
#include "window_events.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QThread>
#include <QTimer>
#include <algorithm>

// The start page lives in this static library's resources, which must be registered by hand.
static void registerUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace ui {
namespace {

CPelimoorDlg* g_dialog = nullptr;

} // namespace

CPelimoorDlg* CPelimoorDlg::instance()
{
    return g_dialog;
}

CPelimoorDlg::CPelimoorDlg(contacts::ContactStore& store, QWidget* parent)
    : QDialog(parent), m_store(store), m_icon(controls::applicationIcon()), m_scanner(new ScanController(store, this)),
      m_saver(new SaveController(store, this)), m_filler(new ListFiller(store, this)),
      m_merger(new MergeController(store, this))
{
    g_dialog = this;
    registerUiResources();
    setWindowTitle(controls::caption());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(m_icon);
    setSizeGripEnabled(false);
    m_flushTimer = new QTimer(this);
    m_flushTimer->setSingleShot(true);
    m_flushTimer->setInterval(kFlushIntervalMs);
    connect(m_flushTimer, &QTimer::timeout, this, &CPelimoorDlg::flushScanRows);
    connect(m_scanner, &ScanController::rowsPending, this, &CPelimoorDlg::scheduleScanFlush);
    connect(m_scanner, &ScanController::finished, this, &CPelimoorDlg::scanFinished);
    connect(m_saver, &SaveController::progress, this, [this](int percent) { m_progress->setValue(percent); });
    connect(m_saver, &SaveController::finished, this, &CPelimoorDlg::conversionEnded);
    connect(m_filler, &ListFiller::filled, this, &CPelimoorDlg::deliverFill);
    connect(m_merger, &MergeController::progress, this, [this](int percent) {
        m_count->setText(QStringLiteral("Merging duplicates... %1%").arg(percent));
        m_progress->setValue(percent);
    });
    connect(m_merger, &MergeController::finished, this, &CPelimoorDlg::mergeFinished);

    buildLayout();

    apply(WindowEvent::Initialised);
    m_startupDirectory = QDir::currentPath();
    registerLayout();
    buildStatusBar();
    buildShortcuts();
    buildRecentMenu();
    buildOfflineAction();
    buildSourcesMenu();
    loadSettings();
    setAcceptDrops(true);
    updateContactCount();
    m_browser->Navigate(QStringLiteral("http://") + QString::fromLatin1(kWebAddress) + QStringLiteral("/start"));
    qApp->installEventFilter(this);
}

CPelimoorDlg::~CPelimoorDlg()
{
    qApp->removeEventFilter(this);
    saveSettings();
    stopAll();
    if (g_dialog == this)
        g_dialog = nullptr;
}

void CPelimoorDlg::apply(WindowEvent event)
{
    static_assert(std::tuple_size_v<decltype(m_enables)> == kEnableControls.size());
    for (const EnableRow& row : kEnableTable) {
        if (row.event != event)
            continue;
        for (std::size_t i = 0; i < kEnableControls.size(); ++i)
            if (row.turns[i] != Turn::same)
                m_enables[i] = row.turns[i] == Turn::on;
    }
    showEnables();
}

void CPelimoorDlg::showEnables()
{
    for (std::size_t i = 0; i < kEnableControls.size(); ++i) {
        const int id = kEnableControls[i];
        const bool held =
            (m_converting || m_merging) && std::ranges::find(kHeldWhileWorking, id) != kHeldWhileWorking.end();
        showEnabled(id, m_enables[i] && !held);
    }
}

void CPelimoorDlg::setControlEnabled(int id, bool enabled)
{
    if (const auto* at = std::ranges::find(kEnableControls, id); at != kEnableControls.end()) {
        m_enables[static_cast<std::size_t>(at - kEnableControls.begin())] = enabled;
        showEnables();
        return;
    }
    showEnabled(id, enabled);
}

void CPelimoorDlg::showEnabled(int id, bool enabled)
{
    if (QAction* action = menuAction(id)) {
        action->setEnabled(enabled);
        return;
    }
    if (id == ui::kProgressBar)
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
        // Escape empties a Find field that holds text, stops a running scan, and otherwise
        // ends the window as it always did.
        if (key->key() == Qt::Key_Escape && widget != nullptr && widget->window() == this) {
            if (widget == m_find && !m_find->text().isEmpty()) {
                m_find->clear();
                return true;
            }
            if (m_scanner->running() || m_merging) {
                OnStop();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CPelimoorDlg::closeEvent(QCloseEvent* event)
{
    // Yes ends the process; the close request is consumed either way.
    controls::confirmExit(this, [this] { stopAll(); });
    event->ignore();
}

void CPelimoorDlg::reject()
{
    // Escape: the workers are ended and joined before the dialog ends.
    stopAll();
    QDialog::reject();
}

void CPelimoorDlg::OnExit()
{
    controls::confirmExit(this, [this] { stopAll(); });
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

bool CPelimoorDlg::scanRunning() const
{
    return m_scanner->running();
}

UploadDialog* CPelimoorDlg::uploadDialog() const
{
    return m_upload;
}

bool CPelimoorDlg::saveRunning() const
{
    return m_saver->running();
}

bool CPelimoorDlg::mergeRunning() const
{
    return m_merger->running() || m_merger->busy();
}

void CPelimoorDlg::stopAll()
{
    delete m_upload; // it reads the store too
    m_filler->end();
    m_merger->end();
    m_merging = false;
    m_scanner->end();
    m_saver->end();
}

bool CPelimoorDlg::waitForWorkers(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_scanner->busy() || m_saver->busy() || m_filler->running() || m_merger->busy()) {
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
