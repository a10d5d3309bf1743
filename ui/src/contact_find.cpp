#include "ui/contact_find.h"

#include "contacts/contact_record.h"
#include "distinct_texts.h"
#include "find_text.h"
#include "phone_match.h"
#include "sliced_sort.h"
#include "ui/contact_list.h"

#include <QElapsedTimer>
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string_view>

namespace ui {
namespace {

// Rows whose find texts are built in one go: at most a few milliseconds away from the event loop.
constexpr int kPrepareChunk = 4000;

// Idle slices of ranking work end after this long, so the window answers between them.
constexpr qint64 kOrderSliceNs = 8'000'000;
// Ranks are made once no rows have arrived for this long; a scan adds rows far more often.
constexpr int kQuietMs = 400;

QList<QStringView> splitOnSpace(QStringView text)
{
    QList<QStringView> words;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i].isSpace()) {
            if (i > start)
                words.push_back(text.mid(start, i - start));
            start = i + 1;
        }
    }
    return words;
}

bool contains(std::string_view text, const std::string& part)
{
    return !part.empty() && text.find(part) != std::string_view::npos;
}

} // namespace

ContactFindModel::ContactFindModel(QObject* parent)
    : QSortFilterProxyModel(parent), m_preparer(new QTimer(this)), m_quiet(new QTimer(this))
{
    m_preparer->setSingleShot(true);
    m_preparer->setInterval(0);
    connect(m_preparer, &QTimer::timeout, this, &ContactFindModel::prepareSome);
    m_quiet->setSingleShot(true);
    m_quiet->setInterval(kQuietMs);
    connect(m_quiet, &QTimer::timeout, this, [this] {
        if (columnsToPrepare() > 0 || m_ranking != nullptr)
            m_preparer->start();
    });
    setCollationLocale(QLocale());
}

ContactFindModel::~ContactFindModel() = default;

void ContactFindModel::setSourceModel(QAbstractItemModel* model)
{
    for (const QMetaObject::Connection& c : m_connections)
        disconnect(c);
    m_connections.clear();
    forgetAll();
    m_list = qobject_cast<ContactListModel*>(model);
    // Connected before the base class connects its own: the caches follow each change of the
    // rows before the base class filters or sorts the rows that changed.
    if (m_list != nullptr) {
        const std::array connections{
            connect(m_list, &QAbstractItemModel::modelReset, this, &ContactFindModel::sourceReset),
            connect(m_list, &QAbstractItemModel::rowsInserted, this,
                    [this](const QModelIndex&, int first, int last) { sourceRowsInserted(first, last); }),
            connect(m_list, &QAbstractItemModel::rowsAboutToBeRemoved, this,
                    [this](const QModelIndex&, int first, int last) { sourceRowsAboutToBeRemoved(first, last); }),
            connect(m_list, &QAbstractItemModel::rowsRemoved, this,
                    [this](const QModelIndex&, int first, int last) { sourceRowsRemoved(first, last); }),
            connect(m_list, &QAbstractItemModel::rowsMoved, this, &ContactFindModel::sourceLayoutChanged),
            connect(m_list, &QAbstractItemModel::layoutChanged, this, &ContactFindModel::sourceLayoutChanged),
            connect(m_list, &QObject::destroyed, this,
                    [this] {
                        m_list = nullptr;
                        forgetAll();
                    }),
        };
        m_connections.assign(connections.begin(), connections.end());
    }
    QSortFilterProxyModel::setSourceModel(model);
}

void ContactFindModel::setQuery(const QString& query)
{
    m_query = query;
    const QString folded = foldForFind(query);
    const QList<QStringView> words = splitOnSpace(folded);
    std::vector<Term> terms;
    for (QStringView word : words) {
        // A term inside another term is found wherever the longer one is.
        const bool covered = std::any_of(words.begin(), words.end(), [&](QStringView other) {
            return other.size() > word.size() && other.contains(word);
        });
        std::string text = utf8ForFind(word);
        const bool repeated = std::any_of(terms.begin(), terms.end(), [&](const Term& t) { return t.text == text; });
        if (!covered && !repeated)
            terms.push_back(Term{text, phoneDigits(text)});
    }
    const bool same = std::equal(terms.begin(), terms.end(), m_terms.begin(), m_terms.end(),
                                 [](const Term& a, const Term& b) { return a.text == b.text; });
    if (same)
        return;
    m_terms = std::move(terms);
    orderRows(sortColumn());
    // One layout change, not a removal or insertion per run of rows: a keystroke may change
    // thousands of scattered rows, and each signal costs the view a pass over its rows.
    invalidate();
}

void ContactFindModel::setCollationLocale(const QLocale& locale)
{
    m_collator.setLocale(locale.language() == QLocale::C ? QLocale(QLocale::English) : locale);
    m_collator.setNumericMode(false);
    m_collator.setCaseSensitivity(Qt::CaseSensitive);
    m_orders.clear();
    forgetRowOrder(); // made from the ranks of the old collation
    abandonRanking();
    m_quiet->start();
    if (sortColumn() > 0) {
        orderRows(sortColumn());
        invalidate();
    }
}

void ContactFindModel::sort(int column, Qt::SortOrder order)
{
    // Keys (about a hundred bytes a row) are kept for the sort column only; the other columns
    // keep their ranks, which serve again until many rows have arrived.
    for (size_t c = 0; c < m_orders.size(); ++c) {
        if (static_cast<int>(c) != column)
            std::vector<std::optional<QCollatorSortKey>>().swap(m_orders[c].keys);
    }
    orderRows(column);
    QSortFilterProxyModel::sort(column, order);
}

const contacts::ContactRecord* ContactFindModel::record(int row) const
{
    if (m_list == nullptr)
        return nullptr;
    const QModelIndex source = mapToSource(index(row, 0));
    return source.isValid() ? m_list->record(source.row()) : nullptr;
}

int ContactFindModel::rowsToPrepare() const
{
    return m_list != nullptr ? std::max(0, m_list->rowCount() - m_prepareRow) : 0;
}

bool ContactFindModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (m_terms.empty() || m_list == nullptr || sourceParent.isValid())
        return true;
    const std::string_view text = textOf(slotAt(sourceRow));
    return std::all_of(m_terms.begin(), m_terms.end(),
                       [text](const Term& term) { return contains(text, term.text) || contains(text, term.digits); });
}

bool ContactFindModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    // The list is flat: its indexes have no parent to ask about.
    const int column = left.column();
    if (column == m_rowOrderColumn && left.model() == m_list &&
        static_cast<size_t>(std::max(left.row(), right.row())) < m_rowOrder.size())
        return m_rowOrder[static_cast<size_t>(left.row())] < m_rowOrder[static_cast<size_t>(right.row())];
    if (m_list == nullptr || left.parent().isValid())
        return QSortFilterProxyModel::lessThan(left, right);
    const int a = slotAt(left.row());
    const int b = slotAt(right.row());
    if (column == 0)
        return m_slots[static_cast<size_t>(a)].number < m_slots[static_cast<size_t>(b)].number;
    const ColumnOrder& order = orderOf(column);
    const auto ranked = [&order](int slot) { return order.ranks.at(static_cast<size_t>(slot)); };
    if (const int rankA = ranked(a), rankB = ranked(b); rankA >= 0 && rankB >= 0)
        return rankA < rankB;
    ensureKey(left.row(), a, column);
    ensureKey(right.row(), b, column);
    return order.keys[static_cast<size_t>(a)]->compare(*order.keys[static_cast<size_t>(b)]) < 0;
}

int ContactFindModel::slotAt(int sourceRow) const
{
    // The mirror follows the source's signals; a size that differs means a change it missed.
    const auto rows = static_cast<size_t>(m_list->rowCount());
    if (m_rowSlots.size() != rows)
        m_rowSlots.assign(rows, -1);
    int& slot = m_rowSlots[static_cast<size_t>(sourceRow)];
    if (slot >= 0)
        return slot;
    // A row that arrived gets a slot of its own: no stale text or key of another record that had
    // the same address before can reach it.
    if (m_slots.empty())
        m_slots.reserve(rows);
    const contacts::ContactRecord* record = m_list->record(sourceRow);
    slot = static_cast<int>(m_slots.size());
    m_slots.push_back(Slot{record, record != nullptr ? record->number() : 0});
    return slot;
}

std::string_view ContactFindModel::textOf(int slot) const
{
    Slot& s = m_slots[static_cast<size_t>(slot)];
    if (s.text == nullptr) {
        const std::string_view text = m_texts.keep([&s](std::string& out) {
            if (s.record != nullptr)
                appendFindText(*s.record, out);
            out.resize(std::min<size_t>(out.size(), UINT32_MAX));
        });
        s.text = text.data();
        s.textLength = static_cast<std::uint32_t>(text.size());
    }
    return std::string_view(s.text, s.textLength);
}

ContactFindModel::ColumnOrder& ContactFindModel::orderOf(int column) const
{
    if (m_orders.size() <= static_cast<size_t>(column))
        m_orders.resize(static_cast<size_t>(column) + 1);
    return m_orders[static_cast<size_t>(column)];
}

void ContactFindModel::ensureKey(int sourceRow, int slot, int column) const
{
    auto& keys = orderOf(column).keys;
    if (keys.size() <= static_cast<size_t>(slot))
        keys.resize(std::max(m_slots.size(), static_cast<size_t>(slot) + 1));
    std::optional<QCollatorSortKey>& key = keys[static_cast<size_t>(slot)];
    if (!key) {
        const std::u16string_view text = m_list->cellText(sourceRow, column);
        key.emplace(m_collator.sortKey(
            QString::fromRawData(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()))));
    }
}

void ContactFindModel::Ranks::assign(const std::vector<int>& ranks, int top)
{
    m_width = top < 0xFF ? 1 : top < 0xFFFF ? 2 : 4;
    m_size = ranks.size();
    m_bytes.assign(m_size * m_width, 0);
    for (std::size_t slot = 0; slot < m_size; ++slot) {
        // -1 becomes all ones: "none".
        const auto rank = static_cast<std::uint32_t>(ranks[slot]);
        for (std::size_t i = 0; i < m_width; ++i)
            m_bytes[slot * m_width + i] = static_cast<std::uint8_t>(rank >> (8 * i));
    }
}

int ContactFindModel::Ranks::at(std::size_t slot) const
{
    if (slot >= m_size)
        return -1;
    std::uint32_t rank = 0;
    for (std::size_t i = 0; i < m_width; ++i)
        rank |= std::uint32_t(m_bytes[slot * m_width + i]) << (8 * i);
    const std::uint32_t none = m_width == 4 ? UINT32_MAX : (std::uint32_t(1) << (8 * m_width)) - 1;
    return rank == none ? -1 : static_cast<int>(rank);
}

// A share of ranking work: texts looked at, comparisons made, ranks set.
struct ContactFindModel::Budget
{
    long items;
    qint64 deadlineNs = -1; // also ends when the clock passes it; -1: no deadline
    QElapsedTimer clock{};
    int sinceLook = 0;

    bool more()
    {
        if (items <= 0)
            return false;
        --items;
        if (deadlineNs >= 0 && ++sinceLook == 64) {
            sinceLook = 0;
            if (clock.nsecsElapsed() > deadlineNs)
                items = 0;
        }
        return true;
    }
};

// A ranking under way: the distinct texts of a column and their collation keys, collected row
// by row; then the distinct texts sorted by key; then the ranks of the distinct texts; then
// the slots given the ranks of their texts.
struct ContactFindModel::RankBuild
{
    int column = -1;
    int nextRow = 0;         // rows above it are collected
    std::size_t skipped = 0; // rows that arrived above nextRow: this ranking leaves them out
    DistinctTexts texts;
    std::vector<QCollatorSortKey> keys; // by distinct text
    std::vector<int> bySlot;            // distinct text of each slot, then its rank; -1: none
    std::optional<SlicedSort> sort;
    std::vector<int> rankOf;     // by distinct text
    std::size_t rankedTexts = 0; // of the sorted distinct texts, those with a rank
    std::size_t slotsDone = 0;   // slots whose distinct text became a rank
    bool installed = false;      // the ranks are the column's; what is left goes
};

bool ContactFindModel::needsRanks(int column) const
{
    if (m_list == nullptr || column <= 0 || column >= m_list->columnCount() || m_list->rowCount() == 0)
        return false;
    if (static_cast<size_t>(column) >= m_orders.size() || m_orders[static_cast<size_t>(column)].ranks.empty())
        return true;
    // Slots made after the last ranking belong to rows without a rank.
    return m_slots.size() - m_orders[static_cast<size_t>(column)].rankedSlots >
           static_cast<size_t>(m_list->rowCount()) / 8;
}

void ContactFindModel::rankRows(int column)
{
    if (!needsRanks(column))
        return;
    if (m_ranking != nullptr && (m_ranking->column != column || m_ranking->installed))
        abandonRanking();
    Budget all{std::numeric_limits<long>::max()};
    buildRanks(column, all);
}

void ContactFindModel::abandonRanking()
{
    m_ranking.reset();
}

bool ContactFindModel::buildRanks(int column, Budget& budget)
{
    if (m_ranking != nullptr && m_ranking->installed && !releaseRanking(budget))
        return false;
    if (m_ranking == nullptr) {
        m_ranking = std::make_unique<RankBuild>();
        m_ranking->column = column;
    }
    RankBuild& b = *m_ranking;
    if (b.nextRow == 0) {
        // Room for every row's text from the start: no pass over a million texts to grow.
        b.texts.reserve(static_cast<size_t>(m_list->rowCount()));
        b.keys.reserve(static_cast<size_t>(m_list->rowCount()));
        b.bySlot.resize(m_slots.size(), -1);
    }
    // Each distinct text gets its key once: names repeat, and a key costs far more than a lookup.
    for (const int rows = m_list->rowCount(); b.nextRow < rows; ++b.nextRow) {
        if (!budget.more())
            return false;
        const auto slot = static_cast<size_t>(slotAt(b.nextRow));
        const std::u16string_view text = m_list->cellText(b.nextRow, column);
        bool added = false;
        const std::uint32_t id = b.texts.add(text, added);
        if (added)
            b.keys.push_back(m_collator.sortKey(QString::fromRawData(reinterpret_cast<const QChar*>(text.data()),
                                                                     static_cast<qsizetype>(text.size()))));
        if (b.bySlot.size() <= slot)
            b.bySlot.resize(std::max(m_slots.size(), slot + 1), -1);
        b.bySlot[slot] = static_cast<int>(id);
    }
    const auto less = [&b](std::uint32_t x, std::uint32_t y) { return b.keys[x].compare(b.keys[y]) < 0; };
    if (!b.sort) {
        std::vector<std::uint32_t> ids(b.keys.size());
        std::iota(ids.begin(), ids.end(), std::uint32_t(0));
        b.sort.emplace(std::move(ids));
    }
    if (!b.sort->run(less, [&budget] { return budget.more(); }))
        return false;
    // Texts whose keys are equal share a rank.
    const std::vector<std::uint32_t>& sorted = b.sort->items();
    b.rankOf.resize(sorted.size());
    for (; b.rankedTexts < sorted.size(); ++b.rankedTexts) {
        if (!budget.more())
            return false;
        const size_t i = b.rankedTexts;
        b.rankOf[sorted[i]] = i == 0 ? 0 : b.rankOf[sorted[i - 1]] + (less(sorted[i - 1], sorted[i]) ? 1 : 0);
    }
    for (; b.slotsDone < b.bySlot.size(); ++b.slotsDone) {
        if (!budget.more())
            return false;
        int& value = b.bySlot[b.slotsDone];
        if (value >= 0)
            value = b.rankOf[static_cast<size_t>(value)];
    }
    ColumnOrder& order = orderOf(column);
    order.ranks.assign(b.bySlot, b.rankOf.empty() ? 0 : b.rankOf[sorted.back()]);
    std::vector<int>().swap(b.bySlot);
    order.rankedSlots = m_slots.size() - b.skipped;
    // The keys are freed in idle slices (a million take a while); the rest goes now.
    b.installed = true;
    b.sort.reset();
    b.texts = DistinctTexts();
    std::vector<int>().swap(b.rankOf);
    if (!m_quiet->isActive())
        m_preparer->start();
    return true;
}

bool ContactFindModel::releaseRanking(Budget& budget)
{
    std::vector<QCollatorSortKey>& keys = m_ranking->keys;
    while (!keys.empty()) {
        if (!budget.more())
            return false;
        keys.pop_back();
    }
    m_ranking.reset();
    return true;
}

void ContactFindModel::orderRows(int column)
{
    rankRows(column);
    // The same column the other way compares the same values.
    if (m_rowOrderColumn != column || m_rowOrder.empty())
        buildRowOrder(column);
}

void ContactFindModel::forgetRowOrder()
{
    m_rowOrder.clear();
    m_rowOrderColumn = -1;
}

void ContactFindModel::buildRowOrder(int column)
{
    forgetRowOrder();
    if (m_list == nullptr || column < 0 || column >= m_list->columnCount())
        return;
    const int rows = m_list->rowCount();
    std::vector<int> values(static_cast<size_t>(rows));
    const ColumnOrder* order = column > 0 ? &orderOf(column) : nullptr;
    for (int row = 0; row < rows; ++row) {
        const auto slot = static_cast<size_t>(slotAt(row));
        if (order == nullptr) {
            values[static_cast<size_t>(row)] = m_slots[slot].number;
            continue;
        }
        // A row without a rank leaves the comparisons to the keys.
        const int rank = order->ranks.at(slot);
        if (rank < 0)
            return;
        values[static_cast<size_t>(row)] = rank;
    }
    m_rowOrder.swap(values);
    m_rowOrderColumn = column;
}

int ContactFindModel::columnsToPrepare() const
{
    int columns = 0;
    for (int column = 1; m_list != nullptr && column < m_list->columnCount(); ++column)
        columns += needsRanks(column) ? 1 : 0;
    return columns;
}

bool ContactFindModel::prepareOrders(long items)
{
    Budget budget{items};
    return prepareOrdersWithin(budget);
}

bool ContactFindModel::prepareOrdersWithin(Budget& budget)
{
    if (m_list == nullptr)
        return false;
    // What the last ranking left goes first; then the ranking under way, else the sort column's,
    // else the first column without ranks.
    if (m_ranking != nullptr && m_ranking->installed && !releaseRanking(budget))
        return true;
    int column = m_ranking != nullptr ? m_ranking->column : -1;
    if (column >= 0 && !needsRanks(column)) {
        abandonRanking();
        column = -1;
    }
    if (column < 0 && needsRanks(sortColumn()))
        column = sortColumn();
    for (int c = 1; column < 0 && c < m_list->columnCount(); ++c) {
        if (needsRanks(c))
            column = c;
    }
    if (column < 0)
        return false;
    if (buildRanks(column, budget) && column == sortColumn() && m_rowOrderColumn != column)
        buildRowOrder(column);
    return columnsToPrepare() > 0 || m_ranking != nullptr;
}

void ContactFindModel::sourceReset()
{
    forgetAll();
    sourceChanged();
    orderRows(sortColumn());
    prepareFrom(0);
}

void ContactFindModel::sourceChanged()
{
    // Rows moved: the order by row is made again when next needed; ranks wait for quiet.
    forgetRowOrder();
    m_quiet->start();
}

void ContactFindModel::sourceRowsInserted(int first, int last)
{
    const int count = last - first + 1;
    sourceChanged();
    if (m_ranking != nullptr && first <= m_ranking->nextRow) {
        m_ranking->nextRow += count;
        m_ranking->skipped += static_cast<size_t>(count);
    }
    if (m_rowSlots.size() + static_cast<size_t>(count) == static_cast<size_t>(m_list->rowCount()))
        m_rowSlots.insert(m_rowSlots.begin() + first, static_cast<size_t>(count), -1);
    // Otherwise out of step already: slotAt starts over.
    if (first > m_prepareRow) {
        prepareFrom(m_prepareRow);
        return;
    }
    m_prepareRow += count;
    // A scan's batch is folded now; a larger insertion goes to the idle chunks.
    if (count <= kPrepareChunk) {
        for (int row = first; row <= last; ++row)
            textOf(slotAt(row));
    } else {
        prepareFrom(first);
    }
}

void ContactFindModel::sourceRowsAboutToBeRemoved(int first, int last)
{
    // A ranking under way holds these rows' texts: it starts again.
    abandonRanking();
    // The slots of these rows stay unused until the list is emptied or refilled.
    if (m_rowSlots.size() != static_cast<size_t>(m_list->rowCount()))
        return;
    for (int row = first; row <= last; ++row) {
        if (const int slot = m_rowSlots[static_cast<size_t>(row)]; slot >= 0)
            m_slots[static_cast<size_t>(slot)].record = nullptr;
    }
}

void ContactFindModel::sourceRowsRemoved(int first, int last)
{
    sourceChanged();
    if (m_list->rowCount() == 0) {
        forgetAll();
        return;
    }
    if (m_rowSlots.size() == static_cast<size_t>(m_list->rowCount() + last - first + 1))
        m_rowSlots.erase(m_rowSlots.begin() + first, m_rowSlots.begin() + last + 1);
    else
        m_rowSlots.clear();
    prepareFrom(first);
}

void ContactFindModel::sourceLayoutChanged()
{
    // Rows moved (the list never moves them): everything is built again for the new rows.
    forgetAll();
    sourceChanged();
    prepareFrom(0);
}

void ContactFindModel::prepareFrom(int row)
{
    m_prepareRow = std::min(m_prepareRow, row);
    if (m_list != nullptr && m_prepareRow < m_list->rowCount() && !m_preparer->isActive())
        m_preparer->start();
}

void ContactFindModel::prepareSome()
{
    if (m_list == nullptr)
        return;
    // Rows already built (by a search meanwhile) cost a look each.
    if (m_prepareRow < m_list->rowCount()) {
        const int end = std::min(m_list->rowCount(), m_prepareRow + kPrepareChunk);
        for (; m_prepareRow < end; ++m_prepareRow)
            textOf(slotAt(m_prepareRow));
        m_preparer->start();
        return;
    }
    // Then the ranks of the text columns, once rows have stopped arriving, a slice at a time.
    if (m_quiet->isActive())
        return;
    Budget slice{std::numeric_limits<long>::max(), kOrderSliceNs};
    slice.clock.start();
    if (prepareOrdersWithin(slice))
        m_preparer->start();
}

void ContactFindModel::forgetAll()
{
    m_preparer->stop();
    abandonRanking();
    forgetRowOrder();
    m_prepareRow = 0;
    m_slots.clear();
    m_rowSlots.clear();
    m_orders.clear();
    m_texts.clear();
}

} // namespace ui
