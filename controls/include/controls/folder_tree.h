// The folder tree beside the contact list: one root entry (the chosen file's path) and the
// index entries under it, each with a folder-kind icon.
#pragma once

#include <QIcon>
#include <QList>
#include <QString>
#include <QTreeWidget>

namespace controls {

// Number of pictures in the folder image list; the image index of an item is its folder kind.
inline constexpr int kFolderImageCount = 17;

// The folder kind (0 to 14) for a folder `name` and a caller's `hint` ('a' calendar, 'c'
// contacts, anything else none). Only a-z are upper-cased before the exact comparison.
int folderKind(const QString& name, char hint);

// The 17 folder pictures, 16 x 16 pixels, in image-index order. Drawn once, then shared.
const QList<QIcon>& folderImageList();

// The 28 index entries under the root: "All", "123", "A" to "Z".
QStringList indexEntryLabels();

class CFolderTreeCtrl1 : public QTreeWidget
{
    Q_OBJECT
public:
    explicit CFolderTreeCtrl1(QWidget* parent = nullptr);
    ~CFolderTreeCtrl1() override;

    // The root entry, or null while the tree is empty. Owned by the tree.
    QTreeWidgetItem* rootItem() const { return m_rootItem; }
    void setRootItem(QTreeWidgetItem* item) { m_rootItem = item; }
    // The image index an item was inserted with.
    static int imageIndex(const QTreeWidgetItem* item);

    // Deletes every item; the root entry handle becomes null.
    void Clear();
    // The root entry with `path`, then the 28 index entries, fully expanded. Returns the root.
    QTreeWidgetItem* BuildForFile(const QString& path);

signals:
    // A left press landed on an item: fill the contact list for the item's text.
    void listFillRequested(const QString& key);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QTreeWidgetItem* m_rootItem = nullptr;
};

// Inserts `name` as the last child of `parent` (null: the top level) with the icon of its folder
// kind, then expands the root item and the parent. A top-level item always gets image 0 and
// becomes the tree's root item. Returns the new item, owned by the tree.
QTreeWidgetItem* InsertFolder(CFolderTreeCtrl1* tree, QTreeWidgetItem* parent, const QString& name, char hint = 0);

} // namespace controls
