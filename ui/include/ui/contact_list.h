// The contact list's model: rows that point at store records (no copies of their texts).
#pragma once

#include <QAbstractTableModel>
#include <deque>
#include <string_view>
#include <vector>

#include "contacts/contact_record.h"

namespace contacts {
class ContactStore;
}

namespace ui {

// How the list and the preview name where a contact was found: "" for a live contact, "Orphan",
// "Recovered".
std::u16string_view originLabel(contacts::Origin origin);
// What the preview says under that name ("" for a live contact).
std::u16string_view originNote(contacts::Origin origin);

class ContactListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    // The number, the list columns of a scan or of a fill, and last the origin: ten columns at
    // start, twelve after the first fill.
    static constexpr int kScanColumns = 2 + static_cast<int>(contacts::kScanListColumns);
    static constexpr int kFillColumns = 2 + static_cast<int>(contacts::kListColumns.size());

    explicit ContactListModel(QObject* parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Puts scan rows at the top, `oldestFirst` in the order the scan found them, so the newest
    // ends up as row 0. One row insertion for the whole batch. The records must stay alive
    // until clear().
    void addScanRows(const std::vector<const contacts::ContactRecord*>& oldestFirst);
    // Replaces all rows with fill rows in `storeOrder` and switches to the fill's columns; an empty
    // set only removes the rows and keeps the columns.
    void setFillRows(std::vector<const contacts::ContactRecord*> storeOrder);
    // Removes every row (the columns stay).
    void clear();

    // The text that text column `column` (1 and up, the number column excepted) shows in `row`;
    // it lives as long as the row's record.
    std::u16string_view cellText(int row, int column) const;

    // With a store (the window has several files to scan), a last column "Source" names the file
    // each contact came from; null (one file) leaves the columns as they are. The store must
    // outlive the rows.
    void setSources(const contacts::ContactStore* store);
    // The Source column, or -1 when it is not shown.
    int sourceColumn() const { return m_sources != nullptr ? m_columns : -1; }

    // The record shown in `row`, or null.
    const contacts::ContactRecord* record(int row) const;
    bool fillColumns() const { return m_columns == kFillColumns; }
    // The column "Origin", blank for live contacts: the last but for Source.
    int originColumn() const { return m_columns - 1; }

signals:
    // The column set changed from the scan's to the fill's (the view sets the widths).
    void columnsRebuilt();

private:
    struct Row
    {
        const contacts::ContactRecord* record;
        bool fromFill;
    };
    std::deque<Row> m_rows;
    int m_columns = kScanColumns; // without Source
    const contacts::ContactStore* m_sources = nullptr;
};

} // namespace ui
