#include "ui/main_dialog.h"

#include "contacts/contact_store.h"
#include "contacts/conversion.h"
#include "contacts/messages.h"
#include "controls/app.h"
#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "controls/pictures.h"
#include "engine/exchange_map.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "ui/contact_find.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/list_filler.h"
#include "ui/preview.h"
#include "ui/save_controller.h"
#include "ui/scan_controller.h"
#include "ui/status_page.h"
#include "window_events.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <optional>
#include <utility>

// The start page lives in this static library's resources, which must be registered by hand.
static void registerUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace ui {
namespace {

using controls::dialogUnitsToPixels;
using controls::qstring;
using controls::setControlId;

CPelimoorDlg* g_dialog = nullptr;

std::unique_ptr<QSettings> openSettings();
QString headerKey(int columns);

const QColor kBackground(255, 193, 26);
constexpr auto kWebAddress = "www.tressoly.example";

struct ButtonRow
{
    int id;
    const char* text;
    QRect dlu;
    void (CPelimoorDlg::*handler)();
};

// Template positions in dialog units.
constexpr std::array<ButtonRow, 4> kButtons{{
    {ui::kBrowseButton, "Browse...", QRect(326, 67, 55, 19), &CPelimoorDlg::OnBrowse},
    {ui::kScanButton, "Scan", QRect(387, 67, 55, 19), &CPelimoorDlg::OnScan},
    {ui::kStopButton, "Stop", QRect(447, 67, 55, 19), &CPelimoorDlg::OnStop},
    {ui::kConvertButton, "Convert", QRect(507, 67, 55, 19), &CPelimoorDlg::OnConvert},
}};

struct MenuRow
{
    const char* menu;
    int id;
    const char* text;
    void (CPelimoorDlg::*handler)();
};

constexpr std::array<MenuRow, 8> kMenuItems{{
    {"&File", kMenuOpen, "&Open", &CPelimoorDlg::OnBrowse},
    {"&File", kMenuScan, "&Scan", &CPelimoorDlg::OnScan},
    {"&File", kMenuConvert, "&Convert", &CPelimoorDlg::OnConvert},
    {"&File", kMenuExit, "E&xit", &CPelimoorDlg::OnExit},
    {"&Edit", kMenuCopy, "&Copy", &CPelimoorDlg::OnCopy},
    {"&Edit", kMenuConvertSelected, "Convert &selected...", &CPelimoorDlg::OnConvertSelected},
    {"&Help", kMenuContent, "&Content", &CPelimoorDlg::OnHelpContent},
    {"&Help", kMenuAbout, "About Tressoly Pelimoor ", &CPelimoorDlg::OnAbout},
}};

struct ColumnWidth
{
    int scan;
    int fill;
};
// The number and the list columns; the origin column, last in both sets, has its own width.
constexpr std::array<ColumnWidth, 11> kColumnWidths{
    {{0, 0}, {0, 0}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {0, 80}, {0, 80}}};
constexpr ColumnWidth kOriginWidth{80, 80};

// The list's place in dialog units; the split between it and the preview adds to its height.
constexpr QRect kListDlu(156, 105, 426, 78);

int defaultListHeight()
{
    return dialogUnitsToPixels(0, 0, 0, kListDlu.height()).height();
}

// Anchors of the managed controls, in registration order.
struct Anchor
{
    int id;
    unsigned flags;
};
constexpr std::array<Anchor, 12> kAnchors{{
    {kContactList, 0x00D0},
    {kFindEdit, 0x00D0},
    {ui::kProgressBar, 0x00E0},
    {kPathEdit, 0x00D0},
    {kPathFrame, 0x00D0},
    {-1, 0x00D0},
    {kRightBanner, 0x00D0},
    {ui::kBrowseButton, 0x0090},
    {ui::kFolderTree, 0x0070},
    {ui::kStopButton, 0x0090},
    {ui::kScanButton, 0x0090},
    {ui::kConvertButton, 0x0090},
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

platform::MessageRequest question(std::u16string_view text)
{
    return {qstring(text), controls::caption(), QMessageBox::Question, QMessageBox::Yes | QMessageBox::No};
}

// The message box that tells how a scan ended, if any.
struct OutcomeMessage
{
    engine::ScanOutcome outcome;
    std::u16string_view text;
    std::u16string_view caption;
};
constexpr std::array<OutcomeMessage, 5> kOutcomeMessages{{
    {engine::ScanOutcome::Done, contacts::kMessageCompleted, contacts::kCaption},
    {engine::ScanOutcome::NotPst, contacts::kMessageNotPst, contacts::kCaptionNotPst},
    {engine::ScanOutcome::OpenFailed, contacts::kMessageOpenFailed, contacts::kCaption},
    {engine::ScanOutcome::WalkFailed, contacts::kMessageScanFailed, contacts::kCaption},
    {engine::ScanOutcome::Protected, contacts::kMessageProtected, contacts::kCaption},
}};

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

// The strip between the list and the preview. A press reports 0, dragging how far the pointer
// moved since the press; a double click asks for the default split.
class SplitHandle : public QWidget
{
public:
    SplitHandle(QWidget* parent, std::function<void(std::optional<int>)> dragged)
        : QWidget(parent), m_dragged(std::move(dragged))
    {
        setObjectName(QStringLiteral("splitHandle"));
        setCursor(Qt::SplitVCursor);
        setToolTip(QStringLiteral("Drag to share the room between the list and the preview"));
    }

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton) {
            m_pressedAt = event->globalPosition().y();
            m_dragged(0);
        }
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (m_pressedAt)
            m_dragged(int(event->globalPosition().y() - *m_pressedAt));
    }
    void mouseReleaseEvent(QMouseEvent*) override { m_pressedAt.reset(); }
    void mouseDoubleClickEvent(QMouseEvent*) override { m_dragged(std::nullopt); }
    // A short grip in the middle shows that the strip can be dragged.
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::Dark));
        const int x = width() / 2, y = height() / 2;
        for (int dy : {-2, 0, 2})
            painter.drawLine(x - 12, y + dy, x + 12, y + dy);
    }

private:
    std::function<void(std::optional<int>)> m_dragged;
    std::optional<qreal> m_pressedAt;
};

} // namespace

CPelimoorDlg* CPelimoorDlg::instance()
{
    return g_dialog;
}

CPelimoorDlg::CPelimoorDlg(contacts::ContactStore& store, QWidget* parent)
    : QDialog(parent), m_store(store), m_icon(controls::applicationIcon()), m_scanner(new ScanController(store, this)),
      m_saver(new SaveController(store, this)), m_filler(new ListFiller(store, this))
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

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_client = new ClientArea(this, [this](int cx, int cy) { onClientResized(cx, cy); });
    buildMenu();
    layout->setMenuBar(m_menuBar);
    layout->addWidget(m_client);
    buildControls();
    m_client->setFixedSize(dialogUnitsToPixels(0, 0, 589, 402).size());

    apply(WindowEvent::Initialised);
    m_startupDirectory = QDir::currentPath();
    registerLayout();
    buildStatusBar();
    buildShortcuts();
    buildRecentMenu();
    buildOfflineAction();
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

void CPelimoorDlg::buildMenu()
{
    m_menuBar = new QMenuBar(this);
    std::map<QString, QMenu*> menus;
    for (const MenuRow& item : kMenuItems) {
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
        const ButtonRow& button_def = kButtons[i];
        auto* button = place(new QPushButton(QString::fromLatin1(button_def.text), c), button_def.id, button_def.dlu);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, handler = button_def.handler] { (this->*handler)(); });
        *members[i] = button;
    }

    m_tree = place(new controls::CFolderTreeCtrl1(c), ui::kFolderTree, QRect(4, 90, 151, 265));
    m_tree->setAccessibleName(QStringLiteral("Folders"));
    connect(m_tree, &controls::CFolderTreeCtrl1::listFillRequested, this, &CPelimoorDlg::StartListFill);

    // The find field takes the top of the list's place.
    m_find = place(new QLineEdit(c), kFindEdit, QRect(156, 91, 426, 13));
    m_find->setPlaceholderText(QStringLiteral("Find"));
    m_find->setAccessibleName(QStringLiteral("Find"));
    m_find->setClearButtonEnabled(true);
    m_list = place(new QTableView(c), kContactList, kListDlu);
    m_list->setAccessibleName(QStringLiteral("Contacts"));
    m_model = new ContactListModel(this);
    m_findModel = new ContactFindModel(this);
    m_findModel->setSourceModel(m_model);
    m_list->setModel(m_findModel);
    connect(m_find, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_findModel->setQuery(text);
        updateContactCount();
    });
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(m_findModel, signal, this, [this] { updateContactCount(); });
    connect(m_findModel, &QAbstractItemModel::layoutChanged, this, [this] { updateContactCount(); });
    connect(m_findModel, &QAbstractItemModel::modelReset, this, [this] { updateContactCount(); });
    // A click on a header sorts by it, again the other way; the list starts in its own order.
    m_list->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_list->horizontalHeader()->setSortIndicatorShown(true);
    m_list->setSortingEnabled(true);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        menu.addAction(menuAction(kMenuCopy));
        menu.addAction(menuAction(kMenuConvertSelected));
        menu.exec(m_list->viewport()->mapToGlobal(at));
    });
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
    applyColumnWidths();
    connect(m_model, &ContactListModel::columnsRebuilt, this, [this] {
        applyColumnWidths();
        restoreHeader();
    });
    connect(m_list, &QTableView::clicked, this, &CPelimoorDlg::OnListClick);
    // The arrow keys move the preview with the current row (a click shows its own choice).
    connect(m_list->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        if (QApplication::mouseButtons() == Qt::NoButton)
            showCurrentRow();
    });

    m_browser = place(new CExplorer1(c), kBrowserPane, QRect(156, 184, 426, 160));
    m_splitHandle = new SplitHandle(c, [this](std::optional<int> moved) {
        if (!moved)
            m_split = 0;
        else if (*moved == 0)
            m_splitAtPress = appliedSplit();
        else
            m_split = m_splitAtPress + *moved;
        // What a drag gives is what the window shows, so the next drag starts from it.
        m_split = appliedSplit();
        placeListAndPreview();
    });
    m_progress = place(new QProgressBar(c), ui::kProgressBar, QRect(7, 369, 579, 14));
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
    QWidget::setTabOrder(m_tree, m_find);
    QWidget::setTabOrder(m_find, m_list);
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
    m_count = new QLabel(m_statusBar);
    controls::setControlId(m_count, kContactCount);
    m_statusBar->addWidget(m_count, 1);
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
        placeListAndPreview();
        // The size the window had when it was last closed, or maximised.
        const QByteArray geometry = openSettings()->value(QStringLiteral("window/geometry")).toByteArray();
        if (geometry.isEmpty() || !restoreGeometry(geometry))
            setWindowState(windowState() | Qt::WindowMaximized);
    }
}

void CPelimoorDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        m_resizer.Resize();
        placeListAndPreview();
    }
}

void CPelimoorDlg::onClientResized(int cx, int cy)
{
    if (m_statusBar != nullptr) {
        const int h = m_statusBar->height();
        m_statusBar->setGeometry(0, cy - h, cx, h);
    }
    m_resizer.Resize();
    placeListAndPreview();
    m_client->update();
}

int CPelimoorDlg::appliedSplit() const
{
    // The list keeps a header and two rows, the preview 60 pixels; when the window is too small
    // for both, the default split.
    const int rows = m_list->horizontalHeader()->height() + 2 * m_list->verticalHeader()->defaultSectionSize();
    const int lowest = qMin(0, rows - defaultListHeight());
    const int highest = qMax(0, m_client->height() - 400 - 60);
    return qBound(lowest, m_split, highest);
}

void CPelimoorDlg::placeListAndPreview()
{
    if (m_browser == nullptr || m_list == nullptr)
        return;
    const int cx = m_client->width(), cy = m_client->height();
    const int split = appliedSplit();
    // The list's top, left and width follow the resizer; its height and the preview's top move
    // with the split.
    QRect list = m_list->geometry();
    list.setHeight(defaultListHeight() + split);
    m_list->setGeometry(list);
    m_browser->setGeometry(243, 325 + split, qMax(0, cx - 250), qMax(0, cy - 400 - split));
    m_browser->update();
    m_splitHandle->setGeometry(list.left(), list.bottom() + 1, list.width(), m_browser->y() - list.bottom() - 1);
}

QAction* CPelimoorDlg::menuAction(int id) const
{
    auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
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
        const bool held = m_converting && std::ranges::find(kHeldWhileConverting, id) != kHeldWhileConverting.end();
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
            if (m_scanner->running()) {
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

bool CPelimoorDlg::saveRunning() const
{
    return m_saver->running();
}

void CPelimoorDlg::setSourceOptions(const engine::SourceOptions& options)
{
    const bool offline = options.offline || m_sourceOptions.offline;
    m_sourceOptions = options;
    setReadOffline(offline);
}

void CPelimoorDlg::setReadOffline(bool on)
{
    m_sourceOptions.offline = on;
    m_scanner->setSourceOptions(m_sourceOptions);
    menuAction(kMenuReadOffline)->setChecked(on);
}

void CPelimoorDlg::buildOfflineAction()
{
    QAction* exit = menuAction(kMenuExit);
    auto* file = qobject_cast<QMenu*>(exit->parent());
    QAction* action = new QAction(QStringLiteral("Read offline folder files (OST)"), file);
    action->setCheckable(true);
    action->setProperty("controlId", int(kMenuReadOffline));
    action->setObjectName(QStringLiteral("id%1").arg(int(kMenuReadOffline)));
    file->insertAction(exit, action);
    file->insertSeparator(exit);
    m_actions[kMenuReadOffline] = action;
    connect(action, &QAction::toggled, this, [this](bool on) {
        if (on != m_sourceOptions.offline)
            setReadOffline(on);
    });
}

void CPelimoorDlg::deleteScratchDirectory()
{
    platform::removeDirectoryTree(platform::environment().tempDirectory() / kScratchDirectory);
}

void CPelimoorDlg::stopAll()
{
    m_filler->end();
    m_scanner->end();
    m_saver->end();
}

void CPelimoorDlg::clearStore()
{
    // Nothing may read the store while it is cleared: no fill, no conversion, no scan.
    stopAll();
    m_model->clear();
    m_lastScan = {}; // its groups name records of the store
    contacts::contact_store_clear(m_store);
}

void CPelimoorDlg::OnBrowse()
{
    ChooseFile();
}

void CPelimoorDlg::ChooseFile()
{
    deleteScratchDirectory();
    platform::FileDialogRequest request{
        QString::fromLatin1(kFileDialogTitle),
        QString::fromLatin1(m_sourceOptions.offline ? kFileDialogFilterOffline : kFileDialogFilter), false,
        m_lastBrowseFolder};
    const QStringList files = platform::environment().chooseFiles(this, request);
    if (files.isEmpty()) {
        apply(WindowEvent::FileDialogCancelled);
        return;
    }
    m_lastBrowseFolder = QFileInfo(files.first()).absolutePath();
    takeChosenFile(files.first());
}

void CPelimoorDlg::takeChosenFile(const QString& path)
{
    deleteScratchDirectory();
    m_tree->Clear();
    clearStore();
    m_selectedFile = QDir::toNativeSeparators(path);
    rememberFile(m_selectedFile);
    m_pathEdit->setText(m_selectedFile);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tree->BuildForFile(m_selectedFile);
    apply(WindowEvent::FileChosen);
}

void CPelimoorDlg::OnScan()
{
    if (m_scanner->running())
        return;
    apply(WindowEvent::ScanPressed);
    clearStore();
    m_flushTimer->stop();
    ShowStatusPage(*m_browser, statusPageText(StatusPage::Started, 0));
    m_scanner->start(m_selectedFile.toStdString(), std::exchange(m_holdNextScan, false));
}

void CPelimoorDlg::scanFinished(const engine::ScanResult& result)
{
    if (result.outcome == engine::ScanOutcome::Stopped)
        return;
    if (result.outcome == engine::ScanOutcome::Done) {
        flushScanRows();
        m_lastScan = result;
        showDonePage({});
        m_progress->setValue(0);
    }
    for (const OutcomeMessage& m : kOutcomeMessages) {
        if (m.outcome == result.outcome)
            platform::environment().showMessage(
                this, {qstring(m.text), qstring(m.caption), QMessageBox::Information, QMessageBox::Ok});
    }
    if (result.outcome == engine::ScanOutcome::Done) {
        apply(WindowEvent::ScanEnded);
    } else {
        ChooseFile();
    }
}

void CPelimoorDlg::showDonePage(std::u16string_view extra)
{
    // The page counts the live contacts; those found beyond the live folders get a line below.
    const engine::ScanResult& result = m_lastScan;
    ShowStatusPage(*m_browser, statusPageText(StatusPage::Done, result.contacts) +
                                   statusPageLine(contacts::recovered_line(result.orphans, result.recovered)) +
                                   statusPageLine(result.recovery_failed ? contacts::kRecoveryIncompleteText
                                                                         : std::u16string_view()) +
                                   statusPageLine(extra));
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
    std::vector<const contacts::ContactRecord*> rows = m_scanner->takeRows(progress);
    std::erase_if(rows, [this](const contacts::ContactRecord* r) { return r->number() <= m_fillCutoff; });
    if (!rows.empty())
        m_lastShownNumber = rows.back()->number();
    m_model->addScanRows(rows);
    m_progress->setValue(progress);
}

void CPelimoorDlg::endScanForGood()
{
    m_scanner->end();
    deleteScratchDirectory();
    m_tree->Clear();
    clearStore();
    m_progress->setValue(0);
    apply(WindowEvent::ScanStopped);
    ShowStatusPage(*m_browser, kStoppedPage);
}

void CPelimoorDlg::OnStop()
{
    bool continues = false;
    if (m_scanner->running() && m_scanner->pause()) {
        if (platform::environment().showMessage(this, question(contacts::kStopScanQuestion)) == QMessageBox::Yes) {
            endScanForGood();
        } else {
            m_scanner->resume();
            continues = true;
        }
    }
    if (m_saver->running() && m_saver->pause()) {
        if (platform::environment().showMessage(this, question(contacts::kStopSaveQuestion)) == QMessageBox::Yes) {
            m_saver->end();
        } else {
            m_saver->resume();
            continues = true;
        }
    }
    if (!continues)
        apply(WindowEvent::NothingContinues);
}

void CPelimoorDlg::OnConvert()
{
    if (m_saver->running())
        return;
    const std::optional<contacts::Format> format = pickFormat();
    if (!format)
        return;
    const QString destination = chooseDestination();
    if (destination.isEmpty())
        return;
    startConversion(*format, destination);
}

std::optional<contacts::Format> CPelimoorDlg::pickFormat()
{
    // Only a format picked in this opening counts: OK without one, or Cancel, does nothing.
    controls::SaveOption options(this);
    const bool accepted = options.exec() == QDialog::Accepted;
    if (accepted)
        saveSettings(); // the version and layout chosen beside the formats
    if (!accepted || !options.formatPicked())
        return std::nullopt;
    return controls::chosenFormatValue();
}

QString CPelimoorDlg::chooseDestination()
{
    const QString destination =
        platform::environment().chooseDirectory(this, QString::fromLatin1(kDestinationTitle), m_lastDestination);
    if (!destination.isEmpty()) {
        m_lastDestination = destination;
        saveSettings();
    }
    return destination;
}

void CPelimoorDlg::startConversion(contacts::Format format, const QString& destination,
                                   std::vector<const contacts::ContactRecord*> selection)
{
    // While the conversion reads the store nothing may clear or refill it.
    m_converting = true;
    apply(WindowEvent::ConversionStarted);
    // The SMTP addresses of Exchange DNs come from the scanned file, read again only when needed.
    auto exchangeMap = [path = m_scanner->path(), options = m_scanner->sourceOptions()] {
        pst::Status why;
        return engine::exchange_address_map(path, options, &why);
    };
    m_saver->start(format, destination.toStdString(), std::move(selection), controls::outputChoices(), exchangeMap,
                   m_lastScan.groups);
}

void CPelimoorDlg::conversionEnded(contacts::ConversionOutcome outcome, const QString& reason)
{
    m_progress->setValue(0);
    m_converting = false;
    showEnables();
    if (outcome == contacts::ConversionOutcome::Stopped)
        return;
    const bool completed = outcome == contacts::ConversionOutcome::Completed;
    if (completed && m_saver->groupsWritten() > 0)
        showDonePage(QStringLiteral("%1 group(s) written.").arg(m_saver->groupsWritten()).toStdU16String());
    platform::environment().showMessage(
        this, {completed ? qstring(contacts::kSaveCompletedText) : reason, controls::caption(),
               completed ? QMessageBox::Information : QMessageBox::Critical, QMessageBox::Ok});
}

void CPelimoorDlg::StartListFill(const QString& key)
{
    m_filler->fill(key.toStdU16String());
}

void CPelimoorDlg::deliverFill(const std::vector<const contacts::ContactRecord*>& rows,
                               const contacts::ContactRecord* last)
{
    m_model->setFillRows(rows);
    // The fill saw the store up to `last`. Scan rows already shown for later records go back on
    // top; rows still pending for records the fill has seen are not shown twice.
    std::vector<const contacts::ContactRecord*> later;
    for (const contacts::ContactRecord* r = last != nullptr ? last->next() : m_store.first();
         r != nullptr && r->number() <= m_lastShownNumber; r = r->next())
        later.push_back(r);
    m_model->addScanRows(later);
    m_fillCutoff = last != nullptr ? last->number() : m_fillCutoff;
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
    previewRow(row);
}

void CPelimoorDlg::previewRow(int row)
{
    const contacts::ContactRecord* record = m_findModel->record(row);
    if (record == nullptr)
        return;
    ShowContactPreview(*m_browser, *record, platform::environment().tempDirectory());
}

bool CPelimoorDlg::waitForWorkers(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_scanner->busy() || m_saver->busy() || m_filler->running()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    return true;
}

namespace {

// The window's settings: an INI file in the user's configuration directory. A damaged or
// unreadable file reads as empty, so every value falls back to its default.
std::unique_ptr<QSettings> openSettings()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("pelimoor"),
                                       QStringLiteral("pelimoor"));
}

QString headerKey(int columns)
{
    return QStringLiteral("list/header%1").arg(columns);
}

struct ShortcutRow
{
    const char* keys;
    int gate; // the control whose enabled state the shortcut follows; 0: always on
    void (CPelimoorDlg::*handler)();
};

} // namespace

void CPelimoorDlg::buildShortcuts()
{
    const std::array<ShortcutRow, 5> kShortcuts{{
        {"Ctrl+O", ui::kBrowseButton, &CPelimoorDlg::OnBrowse},
        {"F5", ui::kScanButton, &CPelimoorDlg::OnScan},
        {"Ctrl+E", ui::kConvertButton, &CPelimoorDlg::OnConvert},
        {"Ctrl+F", 0, &CPelimoorDlg::focusFind},
        {"Ctrl+Q", 0, &CPelimoorDlg::OnExit},
    }};
    for (const ShortcutRow& row : kShortcuts) {
        auto* shortcut = new QShortcut(QKeySequence(QString::fromLatin1(row.keys)), this);
        connect(shortcut, &QShortcut::activated, this, [this, row] {
            if (row.gate == 0 || isControlEnabled(row.gate))
                (this->*row.handler)();
        });
    }
    menuAction(kMenuCopy)->setShortcut(QKeySequence::Copy);
    menuAction(kMenuCopy)->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    m_list->addAction(menuAction(kMenuCopy));
}

void CPelimoorDlg::focusFind()
{
    m_find->setFocus(Qt::ShortcutFocusReason);
    m_find->selectAll();
}

void CPelimoorDlg::buildRecentMenu()
{
    QAction* exit = menuAction(kMenuExit);
    auto* file = qobject_cast<QMenu*>(exit->parent());
    m_recentMenu = new QMenu(QStringLiteral("&Recent"), this);
    QAction* entry = file->insertMenu(exit, m_recentMenu);
    entry->setProperty("controlId", int(kMenuRecent));
    m_actions[kMenuRecent] = entry;
    connect(m_recentMenu, &QMenu::aboutToShow, this, [this] {
        m_recentMenu->clear();
        for (const QString& path : m_recent) {
            QAction* action = m_recentMenu->addAction(path);
            connect(action, &QAction::triggered, this, [this, path] {
                if (!QFileInfo(path).isFile()) {
                    m_recent.removeAll(path);
                    saveSettings();
                    platform::environment().showMessage(
                        this, {QStringLiteral("%1 is no longer there; it is taken off the recent files.").arg(path),
                               controls::caption(), QMessageBox::Information, QMessageBox::Ok});
                    return;
                }
                OpenFile(path);
            });
        }
    });
}

void CPelimoorDlg::loadSettings()
{
    const std::unique_ptr<QSettings> s = openSettings();
    m_recent = s->value(QStringLiteral("files/recent")).toStringList().mid(0, kRecentFiles);
    m_lastBrowseFolder = s->value(QStringLiteral("files/browse")).toString();
    m_lastDestination = s->value(QStringLiteral("files/destination")).toString();
    setReadOffline(s->value(QStringLiteral("files/offline"), false).toBool());
    bool ok = false;
    const int split = s->value(QStringLiteral("window/split")).toInt(&ok);
    m_split = ok ? split : 0;
    // The vCard version and CSV layout of the format dialog, by their command-line names.
    contacts::OutputChoices& choices = controls::outputChoices();
    if (const auto* v =
            contacts::vcard_version_by_name(s->value(QStringLiteral("output/vcard")).toString().toStdString()))
        choices.vcard = v->choice;
    if (const auto* l = contacts::csv_layout_by_name(s->value(QStringLiteral("output/csv")).toString().toStdString()))
        choices.csv = l->choice;
    restoreHeader(*s);
}

void CPelimoorDlg::applyColumnWidths()
{
    const bool fill = m_model->fillColumns();
    for (int i = 0; i < m_model->columnCount(); ++i) {
        const ColumnWidth& width = i == m_model->originColumn() ? kOriginWidth : kColumnWidths[size_t(i)];
        m_list->horizontalHeader()->resizeSection(i, fill ? width.fill : width.scan);
    }
}

void CPelimoorDlg::restoreHeader()
{
    restoreHeader(*openSettings());
}

void CPelimoorDlg::restoreHeader(QSettings& settings)
{
    // Widths, order and sort column the user left this column set in. A layout saved before the
    // list had its origin column (one column fewer) still holds for the columns it knew; the
    // header adds the origin column after them, which is then shown at its own width.
    const int columns = m_model->columnCount();
    QByteArray header = settings.value(headerKey(columns)).toByteArray();
    const bool beforeOrigin = header.isEmpty();
    if (beforeOrigin)
        header = settings.value(headerKey(columns - 1)).toByteArray();
    QHeaderView* view = m_list->horizontalHeader();
    if (header.isEmpty() || !view->restoreState(header) || !beforeOrigin)
        return;
    const int origin = m_model->originColumn();
    view->showSection(origin);
    view->resizeSection(origin, m_model->fillColumns() ? kOriginWidth.fill : kOriginWidth.scan);
}

void CPelimoorDlg::saveSettings() const
{
    const std::unique_ptr<QSettings> s = openSettings();
    s->setValue(QStringLiteral("files/recent"), m_recent);
    s->setValue(QStringLiteral("files/browse"), m_lastBrowseFolder);
    s->setValue(QStringLiteral("files/destination"), m_lastDestination);
    s->setValue(QStringLiteral("files/offline"), m_sourceOptions.offline);
    if (!m_firstShow)
        s->setValue(QStringLiteral("window/geometry"), saveGeometry());
    s->setValue(QStringLiteral("window/split"), appliedSplit());
    s->setValue(headerKey(m_model->columnCount()), m_list->horizontalHeader()->saveState());
    const contacts::OutputChoices& choices = controls::outputChoices();
    s->setValue(QStringLiteral("output/vcard"),
                QString::fromLatin1(contacts::kVcardVersions[std::size_t(choices.vcard)].name));
    s->setValue(QStringLiteral("output/csv"),
                QString::fromLatin1(contacts::kCsvLayouts[std::size_t(choices.csv)].name));
}

void CPelimoorDlg::rememberFile(const QString& path)
{
    m_recent.removeAll(path);
    m_recent.prepend(path);
    while (m_recent.size() > kRecentFiles)
        m_recent.removeLast();
    saveSettings();
}

void CPelimoorDlg::updateContactCount()
{
    const QLocale locale;
    m_count->setText(QStringLiteral("%1 of %2 contacts")
                         .arg(locale.toString(m_findModel->rowCount()), locale.toString(qint64(m_store.size()))));
}

void CPelimoorDlg::OpenFile(const QString& path)
{
    if (m_scanner->running() || m_saver->running()) {
        platform::environment().showMessage(
            this, {QStringLiteral("A scan or conversion is running: stop it before opening another file."),
                   controls::caption(), QMessageBox::Information, QMessageBox::Ok});
        return;
    }
    m_lastBrowseFolder = QFileInfo(path).absolutePath();
    takeChosenFile(QFileInfo(path).absoluteFilePath());
}

void CPelimoorDlg::dragEnterEvent(QDragEnterEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            return;
        }
    }
}

void CPelimoorDlg::dropEvent(QDropEvent* event)
{
    // The dropped files, a dropped folder's files (by name), then the first .pst (or .ost, while
    // offline folder files are read) among them; a drop without one is taken as the first file,
    // which the scan then refuses as Browse would.
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        if (info.isDir()) {
            for (const QFileInfo& inside : QDir(info.absoluteFilePath()).entryInfoList(QDir::Files, QDir::Name))
                files.append(inside.absoluteFilePath());
        } else {
            files.append(info.absoluteFilePath());
        }
    }
    if (files.isEmpty())
        return;
    event->acceptProposedAction();
    QString chosen = files.first();
    for (const QString& f : files) {
        if (f.endsWith(QStringLiteral(".pst"), Qt::CaseInsensitive) ||
            (m_sourceOptions.offline && f.endsWith(QStringLiteral(".ost"), Qt::CaseInsensitive))) {
            chosen = f;
            break;
        }
    }
    const bool running = m_scanner->running() || m_saver->running();
    OpenFile(chosen);
    if (files.size() > 1 && !running)
        m_statusBar->showMessage(
            QStringLiteral("%1 files dropped: %2 opened").arg(files.size()).arg(QFileInfo(chosen).fileName()), 8000);
}

std::vector<const contacts::ContactRecord*> CPelimoorDlg::selectedRecords() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_list->selectionModel()->selectedIndexes())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<const contacts::ContactRecord*> records;
    for (int row : rows)
        if (const contacts::ContactRecord* r = m_findModel->record(row))
            records.push_back(r);
    return records;
}

void CPelimoorDlg::OnCopy()
{
    const std::vector<const contacts::ContactRecord*> records = selectedRecords();
    if (records.empty())
        return;
    std::string cards;
    QStringList lines;
    for (const contacts::ContactRecord* r : records) {
        contacts::append_vcard(*r, controls::outputChoices().vcard, cards);
        QString name = qstring(r->text_or_empty(contacts::Field::full_name));
        if (name.isEmpty())
            name = QStringList{qstring(r->text_or_empty(contacts::Field::first_name)),
                               qstring(r->text_or_empty(contacts::Field::last_name))}
                       .join(QLatin1Char(' '))
                       .trimmed();
        const QString address = qstring(r->text_or_empty(contacts::Field::email));
        lines.append(address.isEmpty() ? name
                     : name.isEmpty()  ? address
                                       : QStringLiteral("%1 <%2>").arg(name, address));
    }
    auto* data = new QMimeData;
    const QByteArray bytes = QByteArray::fromStdString(cards);
    data->setData(QStringLiteral("text/vcard"), bytes);
    data->setData(QStringLiteral("text/x-vcard"), bytes);
    data->setText(lines.join(QLatin1Char('\n')));
    QGuiApplication::clipboard()->setMimeData(data);
}

void CPelimoorDlg::OnConvertSelected()
{
    if (m_saver->running() || !isControlEnabled(ui::kConvertButton))
        return;
    std::vector<const contacts::ContactRecord*> records = selectedRecords();
    if (records.empty()) {
        platform::environment().showMessage(this, {QStringLiteral("Select the contacts to convert in the list first."),
                                                   controls::caption(), QMessageBox::Information, QMessageBox::Ok});
        return;
    }
    const std::optional<contacts::Format> format = pickFormat();
    if (!format)
        return;
    const QString destination = chooseDestination();
    if (destination.isEmpty())
        return;
    startConversion(*format, destination, std::move(records));
}

void CPelimoorDlg::showCurrentRow()
{
    const QModelIndex current = m_list->selectionModel()->currentIndex();
    if (current.isValid())
        previewRow(current.row());
}

} // namespace ui
