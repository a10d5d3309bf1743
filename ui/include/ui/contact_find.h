// Find and sort over the contact list: a proxy that keeps the rows whose names (file under,
// first, middle, last, nickname, title, suffix), company, three e-mail addresses (records hold
// no display names of their own) and phone and fax numbers contain every term of a query, in
// the order of a column.
//
// Matching folds both sides with foldForFind (find_fold.h), so case, accents, compatibility
// forms and a few look-alike letters never keep a contact from being found. Each row's folded
// text is built once and kept until the row leaves the list, so a keystroke is one pass of
// substring searches.
// Sorting compares collation keys of the shown texts (the language's rules, digits as text) and
// the number column as integers. Each text column's rows get ranks from the keys of its distinct
// texts; once the list has been quiet for a moment the ranks are made in short idle slices, so
// that a click on a header sorts integers. Whatever is kept goes when its row leaves the list
// or the list is reset, so a record built later where a released one lay starts with nothing.
#pragma once

#include <QCollator>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringView>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/find_fold.h"
#include "ui/text_chunks.h"

namespace contacts {
class ContactRecord;
}

namespace ui {

class ContactListModel;

class ContactFindModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit ContactFindModel(QObject* parent = nullptr);
    ~ContactFindModel() override;

    // The source must be a ContactListModel; any other model is shown unfiltered in its own order.
    void setSourceModel(QAbstractItemModel* model) override;
    ContactListModel* contactModel() const { return m_list; }

    // Keeps the rows that contain every whitespace-separated term of `query` after folding; an
    // empty query keeps every row. A term of digits and phone punctuation ("030-1234") also
    // finds the number written with other separators ("(030) 1234").
    void setQuery(const QString& query);
    QString query() const { return m_query; }

    // The language whose rules order the text columns; the system's by default (the C locale
    // sorts by English rules, so "Äpfel" still sorts with "Apfel").
    void setCollationLocale(const QLocale& locale);
    QLocale collationLocale() const { return m_collator.locale(); }

    // Column 0 (the number) in numeric order, the others by collation of their texts; -1 brings
    // back the list's own order. Rows arriving while sorted go straight to their sorted place.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The record shown in proxy row `row`, or null.
    const contacts::ContactRecord* record(int row) const;

    // Rows whose find text may still be missing. The texts of rows a scan adds are built as the
    // rows arrive; after a fill they are built in chunks while the event loop is idle, so that
    // the first keystroke does not pay for them. A search before that builds what it needs.
    int rowsToPrepare() const;
    // Text columns whose ranks are still to be made (or made again after many rows arrived).
    // They are made in idle slices once no rows have arrived for a moment; a sort before then
    // makes those of its column at once.
    int columnsToPrepare() const;
    // One slice of that work, at most `items` texts or comparisons (the idle slices are bounded
    // by time instead); true while work remains.
    bool prepareOrders(long items);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    struct Term
    {
        std::string text;   // folded, UTF-8
        std::string digits; // the term without phone punctuation; empty when not a phone term
    };
    // What is kept of one row's record; a row gets its slot when first looked at.
    struct Slot
    {
        const contacts::ContactRecord* record; // null once its row has left the list
        int number;
        const char* text = nullptr; // folded find text (UTF-8) in m_texts; null until built
        std::uint32_t textLength = 0;
    };
    // Places among a column's keys by slot, in as few bytes as the column's count of places
    // needs (most columns have few distinct texts).
    class Ranks
    {
    public:
        // `ranks` by slot, -1 where none; `top` the highest.
        void assign(const std::vector<int>& ranks, int top);
        // -1 when the slot has none or lies past the end.
        int at(std::size_t slot) const;
        bool empty() const { return m_size == 0; }

    private:
        std::vector<std::uint8_t> m_bytes;
        std::size_t m_width = 1;
        std::size_t m_size = 0;
    };
    // The order of one text column, by slot.
    struct ColumnOrder
    {
        std::vector<std::optional<QCollatorSortKey>> keys;
        Ranks ranks;
        std::size_t rankedSlots = 0; // slots ranked by the last ranking
    };
    struct RankBuild;
    struct Budget;

    // The caches, from the const lookups of filtering and sorting.
    int slotAt(int sourceRow) const;
    std::string_view textOf(int slot) const;
    ColumnOrder& orderOf(int column) const;
    void ensureKey(int sourceRow, int slot, int column) const;
    // Ranks every row by the collation keys of `column`, so that sorts compare integers. Rows
    // that arrive later have no rank and compare by their keys, which orders them the same way.
    // Ranks again when the column has none or many rows arrived since its last ranking.
    void rankRows(int column);
    bool needsRanks(int column) const;
    // Works on the ranking of `column` (started when none is under way for it) within `budget`;
    // true when it is done.
    bool buildRanks(int column, Budget& budget);
    void abandonRanking();
    // Frees what a finished ranking kept, within `budget`; true when done.
    bool releaseRanking(Budget& budget);
    // The sort column's value by source row (number or rank), when every row has one.
    void buildRowOrder(int column);
    // rankRows(column), then buildRowOrder(column) unless the row order is already column's.
    void orderRows(int column);
    void forgetRowOrder();
    bool prepareOrdersWithin(Budget& budget);
    void sourceReset();
    void sourceRowsInserted(int first, int last);
    void sourceRowsAboutToBeRemoved(int first, int last);
    void sourceRowsRemoved(int first, int last);
    void sourceLayoutChanged();
    void prepareSome();
    void sourceChanged();
    void prepareFrom(int row);
    void forgetAll();

    ContactListModel* m_list = nullptr;
    QString m_query;
    std::vector<Term> m_terms;
    QCollator m_collator;
    // Caches, built on demand from const lookups. A record leaves them when its row leaves the
    // list, as its memory may then hold another record.
    mutable std::vector<Slot> m_slots;
    mutable std::deque<int> m_rowSlots;        // slot of each source row; -1 until looked up
    mutable std::vector<ColumnOrder> m_orders; // by column
    mutable TextChunks m_texts;                // the slots' folded find texts
    std::unique_ptr<RankBuild> m_ranking;      // at most one ranking under way
    std::vector<int> m_rowOrder;               // by source row; empty when not valid
    int m_rowOrderColumn = -1;
    QTimer* m_preparer = nullptr;
    QTimer* m_quiet = nullptr; // runs while rows arrived a moment ago
    int m_prepareRow = 0;      // rows above it have their find texts
    std::vector<QMetaObject::Connection> m_connections;
};

} // namespace ui
