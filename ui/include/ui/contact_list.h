// The contact list's model: rows that point at store records (no copies of their texts).
#pragma once

#include <QAbstractTableModel>
#include <deque>
#include <vector>

#include "contacts/contact_record.h"

namespace ui {

class ContactListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    // Nine columns at start; eleven after the first fill.
    static constexpr int kScanColumns = 1 + static_cast<int>(contacts::kScanListColumns);
    static constexpr int kFillColumns = 1 + static_cast<int>(contacts::kListColumns.size());

    explicit ContactListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Puts scan rows at the top, `oldestFirst` in the order the scan found them, so the newest
    // ends up as row 0. One row insertion for the whole batch. The records must stay alive
    // until clear().
    void addScanRows(const std::vector<const contacts::ContactRecord*>& oldestFirst);
    // Replaces all rows with fill rows in `storeOrder` and switches to the eleven columns; an empty
    // set only removes the rows and keeps the columns.
    void setFillRows(std::vector<const contacts::ContactRecord*> storeOrder);
    // Removes every row (the columns stay).
    void clear();

    // The record shown in `row`, or null.
    const contacts::ContactRecord* record(int row) const;
    bool elevenColumns() const { return m_columns == kFillColumns; }

signals:
    // The column set changed from nine to eleven columns (the view sets the widths).
    void columnsRebuilt();

private:
    struct Row
    {
        const contacts::ContactRecord* record;
        bool fromFill;
    };
    std::deque<Row> m_rows;
    int m_columns = kScanColumns;
};

} // namespace ui
