// The window's layout: its controls at their template places, the status bar, how they follow
// the window's size, and the split between the list and the preview.
#include "ui/main_dialog.h"

#include "controls/app.h"
#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "controls/pictures.h"
#include "ui/contact_find.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>
#include <array>
#include <functional>
#include <optional>
#include <tuple>
#include <utility>

namespace ui {
namespace {

using controls::dialogUnitsToPixels;
using controls::setControlId;

const QColor kBackground(255, 193, 26);

struct ButtonRow
{
    int id;
    const char* text;
    QRect dlu;
    void (CPelimoorDlg::*handler)();
};

// Template positions in dialog units.
// Upload, beside Convert, takes its room from the path field: the four buttons before it keep
// their spacing, moved left.
constexpr std::array<ButtonRow, 5> kButtons{{
    {ui::kBrowseButton, "Browse...", QRect(209, 67, 55, 19), &CPelimoorDlg::OnBrowse},
    {ui::kScanButton, "Scan", QRect(270, 67, 55, 19), &CPelimoorDlg::OnScan},
    {ui::kStopButton, "Stop", QRect(330, 67, 55, 19), &CPelimoorDlg::OnStop},
    {ui::kConvertButton, "Convert", QRect(390, 67, 55, 19), &CPelimoorDlg::OnConvert},
    {ui::kUploadButton, "Upload to address book server...", QRect(450, 67, 128, 19), &CPelimoorDlg::OnUpload},
}};

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
constexpr std::array<Anchor, 13> kAnchors{{
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
    {ui::kUploadButton, 0x0090},
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

void CPelimoorDlg::buildLayout()
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_client = new ClientArea(this, [this](int cx, int cy) { onClientResized(cx, cy); });
    buildMenu();
    layout->setMenuBar(m_menuBar);
    layout->addWidget(m_client);
    buildControls();
    m_client->setFixedSize(dialogUnitsToPixels(0, 0, 589, 402).size());
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
    m_pathEdit = place(new QLineEdit(c), kPathEdit, QRect(63, 68, 140, 17));
    m_pathEdit->setAccessibleName(QStringLiteral("Select PST File"));
    label->setBuddy(m_pathEdit);
    std::array<QPushButton**, 5> members{&m_browse, &m_scan, &m_stop, &m_convert, &m_uploadButton};
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
    QWidget::setTabOrder(m_convert, m_uploadButton);
    QWidget::setTabOrder(m_uploadButton, m_tree);
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

} // namespace ui
