#include "controls/folder_tree.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <array>

namespace controls {
namespace {

constexpr int kImageRole = Qt::UserRole + 1;

struct KindRule
{
    const char* name;
    char hint;
    int kind;
};

// First match wins; names are compared with the upper-cased folder name.
constexpr std::array<KindRule, 12> kKindRules{{
    {"CALENDAR", 'a', 3},
    {"CONTACTS", 'c', 4},
    {"DELETED ITEMS", 0, 5},
    {"DRAFTS", 0, 6},
    {"INBOX", 0, 7},
    {"JOURNAL", 0, 8},
    {"JUNK E-MAILS", 0, 9},
    {"NOTES", 0, 10},
    {"OUTBOX", 0, 11},
    {"SENT ITEMS", 0, 12},
    {"TASKS", 0, 13},
    {"SYNC ISSUES", 0, 14},
}};

QString upperAsciiLetters(const QString& name)
{
    QString upper = name;
    for (QChar& c : upper)
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    return upper;
}

} // namespace

int folderKind(const QString& name, char hint)
{
    const QString upper = upperAsciiLetters(name);
    for (const KindRule& rule : kKindRules)
        if (upper == QLatin1String(rule.name) || (rule.hint != 0 && hint == rule.hint))
            return rule.kind;
    return 0;
}

QStringList indexEntryLabels()
{
    QStringList labels{QStringLiteral("All"), QStringLiteral("123")};
    for (char c = 'A'; c <= 'Z'; ++c)
        labels << QString(QLatin1Char(c));
    return labels;
}

CFolderTreeCtrl1::CFolderTreeCtrl1(QWidget* parent) : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(16, 16));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

CFolderTreeCtrl1::~CFolderTreeCtrl1() = default;

int CFolderTreeCtrl1::imageIndex(const QTreeWidgetItem* item)
{
    return item->data(0, kImageRole).toInt();
}

void CFolderTreeCtrl1::Clear()
{
    clear();
    m_rootItem = nullptr;
}

QTreeWidgetItem* CFolderTreeCtrl1::BuildForFile(const QString& path)
{
    QTreeWidgetItem* root = InsertFolder(this, nullptr, path);
    for (const QString& label : indexEntryLabels())
        InsertFolder(this, root, label);
    return root;
}

void CFolderTreeCtrl1::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        // Any part of a row counts, also the space right of the label past the column's end.
        QPoint at = event->position().toPoint();
        const int left = columnViewportPosition(0);
        at.setX(qBound(left, at.x(), left + qMax(0, columnWidth(0) - 1)));
        QTreeWidgetItem* item = itemAt(at);
        if (item == nullptr) {
            event->accept();
            return;
        }
        setCurrentItem(item);
        setFocus(Qt::MouseFocusReason);
        emit listFillRequested(item->text(0));
    }
    QTreeWidget::mousePressEvent(event);
}

void CFolderTreeCtrl1::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Select) {
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

QTreeWidgetItem* InsertFolder(CFolderTreeCtrl1* tree, QTreeWidgetItem* parent, const QString& name, char hint)
{
    const int image = parent == nullptr ? 0 : folderKind(name, hint);
    auto* item = new QTreeWidgetItem(QStringList{name});
    item->setIcon(0, folderImageList().at(image));
    item->setData(0, kImageRole, image);
    if (parent == nullptr) {
        tree->addTopLevelItem(item);
        tree->setRootItem(item);
    } else {
        parent->addChild(item);
    }
    if (tree->rootItem() != nullptr)
        tree->rootItem()->setExpanded(true);
    if (parent != nullptr)
        parent->setExpanded(true);
    return item;
}

} // namespace controls
