#include "ui/contact_find.h"

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "ui/contact_list.h"

#include <QElapsedTimer>
#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <limits>
#include <numeric>
#include <string_view>
#include <type_traits>

namespace ui {
namespace {

using contacts::Field;

struct Range
{
    char32_t first;
    char32_t last;
};

// Default_Ignorable_Code_Point: invisible, so dropped rather than left to split a word.
constexpr std::array<Range, 17> kIgnorable{{
    {0x00AD, 0x00AD},
    {0x034F, 0x034F},
    {0x061C, 0x061C},
    {0x115F, 0x1160},
    {0x17B4, 0x17B5},
    {0x180B, 0x180F},
    {0x200B, 0x200F},
    {0x202A, 0x202E},
    {0x2060, 0x206F},
    {0x3164, 0x3164},
    {0xFE00, 0xFE0F},
    {0xFEFF, 0xFEFF},
    {0xFFA0, 0xFFA0},
    {0xFFF0, 0xFFF8},
    {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A},
    {0xE0000, 0xE0FFF},
}};

// Case-folded letters without a decomposition that users type as their base letters, and
// typographic punctuation typed as ASCII.
struct Replacement
{
    char32_t from;
    std::u16string_view to;
};
constexpr std::array<Replacement, 22> kReplacements{{
    {U'\u00DF', u"ss"}, // ß (ẞ folds to it)
    {U'\u00E6', u"ae"}, {U'\u0153', u"oe"}, {U'\u00FE', u"th"}, {U'\u00F8', u"o"}, {U'\u0111', u"d"}, {U'\u00F0', u"d"},
    {U'\u0142', u"l"},  {U'\u0127', u"h"},  {U'\u0167', u"t"},  {U'\u0131', u"i"}, {U'\u2018', u"'"}, {U'\u2019', u"'"},
    {U'\u201B', u"'"},  {U'\u02BC', u"'"},  {U'\u2032', u"'"},  {U'\u2010', u"-"}, {U'\u2012', u"-"}, {U'\u2013', u"-"},
    {U'\u2014', u"-"},  {U'\u2015', u"-"},  {U'\u2212', u"-"},
}};

bool isIgnorable(char32_t c)
{
    return std::any_of(kIgnorable.begin(), kIgnorable.end(),
                       [c](const Range& r) { return c >= r.first && c <= r.last; });
}

// Marks of these combining classes change the letter (nukta, kana voicing, virama); class 0
// marks are vowel signs. Every other mark is an accent.
bool isAccent(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Mark_Enclosing:
        return true;
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining: {
        const int cls = QChar::combiningClass(c);
        return cls != 0 && cls != 7 && cls != 8 && cls != 9;
    }
    default:
        return false;
    }
}

void appendCodePoint(QString& out, char32_t c)
{
    if (QChar::requiresSurrogates(c)) {
        out += QChar(QChar::highSurrogate(c));
        out += QChar(QChar::lowSurrogate(c));
    } else {
        out += QChar(static_cast<char16_t>(c));
    }
}

// The fold of one code point of a full decomposition: nothing, or its case-folded form.
void appendFoldedPart(QString& out, char32_t c)
{
    if (isIgnorable(c) || isAccent(c))
        return;
    c = QChar::toCaseFolded(c);
    for (const Replacement& r : kReplacements) {
        if (r.from == c) {
            out.append(QStringView(r.to));
            return;
        }
    }
    if (QChar::category(c) == QChar::Number_DecimalDigit) {
        const int value = QChar::digitValue(c);
        if (value >= 0 && value <= 9) {
            out += QChar(static_cast<char16_t>(u'0' + value));
            return;
        }
    }
    appendCodePoint(out, c);
}

struct Folded
{
    QString text;
    bool combining = false; // holds a mark of a non-zero class: the result may need reordering
};

Folded foldCodePoint(char32_t c)
{
    Folded folded;
    if (c >= 0xD800 && c <= 0xDFFF) {
        folded.text = QString(QChar(QChar::ReplacementCharacter));
        return folded;
    }
    if (QChar::decompositionTag(c) == QChar::NoDecomposition) {
        appendFoldedPart(folded.text, c);
    } else {
        const QString decomposed = QString::fromUcs4(&c, 1).normalized(QString::NormalizationForm_KD);
        for (char32_t part : QStringView(decomposed).toUcs4())
            appendFoldedPart(folded.text, part);
    }
    for (char32_t part : QStringView(folded.text).toUcs4())
        folded.combining = folded.combining || QChar::combiningClass(part) != 0;
    return folded;
}

// Appends UTF-16 as UTF-8.
void appendUtf8(std::string& out, QStringView text)
{
    contacts::utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())),
        out);
}

std::string utf8(QStringView text)
{
    std::string bytes;
    appendUtf8(bytes, text);
    return bytes;
}

// The folds of the Basic Multilingual Plane, built once (about 17,000 code points decompose;
// the rest fold alone), so folding a text is a lookup per code unit; in UTF-16 for
// foldForFind and in UTF-8 for the texts find searches.
class FoldTable
{
public:
    FoldTable() : m_entries(0x10000)
    {
        for (char32_t c = 0; c < 0x10000; ++c) {
            const Folded folded = foldCodePoint(c);
            const std::string bytes = utf8(folded.text);
            m_entries[c] =
                Entry{static_cast<quint32>(m_utf16.size()), static_cast<quint32>(m_utf8.size()),
                      static_cast<quint8>(folded.text.size()), static_cast<quint8>(bytes.size()), folded.combining};
            m_utf16.append(reinterpret_cast<const char16_t*>(folded.text.utf16()),
                           static_cast<size_t>(folded.text.size()));
            m_utf8 += bytes;
        }
    }

    // Append the fold of `unit` (not part of a valid surrogate pair); true when the result may
    // need its marks reordered.
    bool append(QString& out, char16_t unit) const
    {
        const Entry& e = m_entries[unit];
        out.append(QStringView(m_utf16.data() + e.offset16, e.length16));
        return e.combining;
    }
    bool appendUtf8(std::string& out, char16_t unit) const
    {
        const Entry& e = m_entries[unit];
        out.append(m_utf8.data() + e.offset8, e.length8);
        return e.combining;
    }

private:
    struct Entry
    {
        quint32 offset16;
        quint32 offset8;
        quint8 length16; // at most 18 (U+FDFA)
        quint8 length8;
        bool combining;
    };
    std::vector<Entry> m_entries;
    std::u16string m_utf16;
    std::string m_utf8;
};

const FoldTable& foldTable()
{
    static const FoldTable table;
    return table;
}

// Canonical ordering of the kept combining marks of `text` from `from` on: within each run of
// marks of non-zero class, a stable sort by class, as a normalization would, so that the order
// a text was typed in never matters.
void orderMarks(QString& text, qsizetype from)
{
    QList<uint> points = QStringView(text).mid(from).toUcs4();
    auto cls = [](uint c) { return QChar::combiningClass(static_cast<char32_t>(c)); };
    for (auto run = points.begin(); run != points.end();) {
        if (cls(*run) == 0) {
            ++run;
            continue;
        }
        auto end = std::find_if(run, points.end(), [&](uint c) { return cls(c) == 0; });
        std::stable_sort(run, end, [&](uint a, uint b) { return cls(a) < cls(b); });
        run = end;
    }
    text.truncate(from);
    text.append(QString::fromUcs4(reinterpret_cast<const char32_t*>(points.constData()), points.size()));
}

// Where a fold goes: UTF-16 for foldForFind, UTF-8 for the texts find searches.
struct Utf16Out
{
    QString& text;
    qsizetype size() const { return text.size(); }
    void ascii(char16_t unit) { text += QChar(unit); }
    void append(const QString& folded) { text += folded; }
    bool append(const FoldTable& table, char16_t unit) { return table.append(text, unit); }
};
struct Utf8Out
{
    std::string& text;
    size_t size() const { return text.size(); }
    void ascii(char16_t unit) { text += static_cast<char>(unit); }
    void append(const QString& folded) { appendUtf8(text, folded); }
    bool append(const FoldTable& table, char16_t unit) { return table.appendUtf8(text, unit); }
};

void foldInto(QString& out, QStringView text);

// Appends the fold of `text` to `out`.
template <typename Out> void foldWith(Out out, QStringView text)
{
    const FoldTable& table = foldTable();
    const auto from = out.size();
    bool combining = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (unit < 0x80) {
            out.ascii(unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 0x20) : unit);
        } else if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            const Folded folded = foldCodePoint(QChar::surrogateToUcs4(unit, text[i + 1].unicode()));
            out.append(folded.text);
            combining = combining || folded.combining;
            ++i;
        } else {
            combining = out.append(table, unit) || combining;
        }
    }
    if (!combining)
        return;
    // Marks that may need reordering (rare): in UTF-16, then copied.
    if constexpr (std::is_same_v<Out, Utf16Out>) {
        orderMarks(out.text, from);
    } else {
        out.text.resize(from);
        QString folded;
        foldInto(folded, text);
        out.append(folded);
    }
}

void foldInto(QString& out, QStringView text)
{
    foldWith(Utf16Out{out}, text);
}

// What find searches: the names, the company, the e-mail addresses and every phone number.
// `full_name` is the item's "file under" text.
struct FindField
{
    Field field;
    bool phone;
};
constexpr std::array<FindField, 30> kFindFields{{
    {Field::full_name, false},
    {Field::first_name, false},
    {Field::middle_name, false},
    {Field::last_name, false},
    {Field::nickname, false},
    {Field::title, false},
    {Field::suffix, false},
    {Field::company_name, false},
    {Field::email, false},
    {Field::email_2, false},
    {Field::email_3, false},
    {Field::business_phone, true},
    {Field::business_phone_2, true},
    {Field::company_main_phone, true},
    {Field::home_phone, true},
    {Field::home_phone_2, true},
    {Field::mobile_phone, true},
    {Field::car_phone, true},
    {Field::radio_phone, true},
    {Field::primary_phone, true},
    {Field::other_phone, true},
    {Field::assistant_phone, true},
    {Field::callback_phone, true},
    {Field::isdn_phone, true},
    {Field::ttytdd_phone, true},
    {Field::pager, true},
    {Field::telex, true},
    {Field::business_fax, true},
    {Field::home_fax, true},
    {Field::primary_fax, true},
}};

// Folded find texts are kept in chunks of this size (a longer text gets a chunk of its own).
constexpr size_t kTextChunkBytes = size_t(1) << 20;
// Rows whose find texts are built in one go: at most a few milliseconds away from the event loop.
constexpr int kPrepareChunk = 4000;

// Idle slices of ranking work end after this long, so the window answers between them.
constexpr qint64 kOrderSliceNs = 8'000'000;
// Ranks are made once no rows have arrived for this long; a scan adds rows far more often.
constexpr int kQuietMs = 400;
// Distinct texts sorted at once before the sorted runs are merged.
constexpr std::size_t kSortRun = 512;

// The distinct texts of one column: each text once, by the order it was first seen. The texts
// are the records' own, so the records must outlive the set.
class DistinctTexts
{
public:
    // The index of `text`, added when new (`added` tells).
    std::uint32_t add(std::u16string_view text, bool& added)
    {
        if ((m_texts.size() + 1) * 2 > m_table.size())
            rehash(std::max<std::size_t>(1024, m_table.size() * 2));
        const std::size_t mask = m_table.size() - 1;
        const std::size_t hash = std::hash<std::u16string_view>{}(text);
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            const std::uint32_t entry = m_table[at];
            if (entry == 0) {
                m_texts.push_back(text);
                m_table[at] = static_cast<std::uint32_t>(m_texts.size());
                added = true;
                return entry_index(m_table[at]);
            }
            if (m_texts[entry_index(entry)] == text) {
                added = false;
                return entry_index(entry);
            }
        }
    }
    void reserve(std::size_t texts)
    {
        if (texts * 2 > m_table.size()) {
            m_texts.reserve(texts);
            std::size_t size = 1024;
            while (size < texts * 2)
                size *= 2;
            rehash(size);
        }
    }

private:
    static std::uint32_t entry_index(std::uint32_t entry) { return entry - 1; }
    void rehash(std::size_t size)
    {
        std::vector<std::uint32_t> table(size, 0);
        const std::size_t mask = table.size() - 1;
        for (std::uint32_t entry : m_table) {
            if (entry == 0)
                continue;
            std::size_t at = std::hash<std::u16string_view>{}(m_texts[entry_index(entry)]) & mask;
            while (table[at] != 0)
                at = (at + 1) & mask;
            table[at] = entry;
        }
        m_table.swap(table);
    }

    std::vector<std::uint32_t> m_table; // index + 1 of a text; 0 where free
    std::vector<std::u16string_view> m_texts;
};

// A merge sort that can stop after any element and go on later: runs of kSortRun sorted at
// once, then merged pairwise, a pass at a time.
class SlicedSort
{
public:
    explicit SlicedSort(std::vector<std::uint32_t> items) : m_items(std::move(items)), m_spare(m_items.size()) {}

    // Goes on while `more()` says so (asked once per element or run); true once sorted.
    template <typename Less, typename More> bool run(Less less, More more)
    {
        const std::size_t n = m_items.size();
        while (m_runsSorted < n) {
            if (!more())
                return false;
            const std::size_t end = std::min(n, m_runsSorted + kSortRun);
            std::sort(m_items.begin() + static_cast<std::ptrdiff_t>(m_runsSorted),
                      m_items.begin() + static_cast<std::ptrdiff_t>(end), less);
            m_runsSorted = end;
        }
        for (; m_width < n; m_width *= 2) {
            for (; m_low < n; m_low += 2 * m_width) {
                const std::size_t mid = std::min(n, m_low + m_width);
                const std::size_t high = std::min(n, m_low + 2 * m_width);
                if (!m_started) {
                    m_left = m_out = m_low;
                    m_right = mid;
                    m_started = true;
                }
                while (m_out < high) {
                    if (!more())
                        return false;
                    const bool right = m_left == mid || (m_right < high && less(m_items[m_right], m_items[m_left]));
                    m_spare[m_out++] = right ? m_items[m_right++] : m_items[m_left++];
                }
                m_started = false;
            }
            m_items.swap(m_spare);
            m_low = 0;
        }
        return true;
    }
    const std::vector<std::uint32_t>& items() const { return m_items; }

private:
    std::vector<std::uint32_t> m_items;
    std::vector<std::uint32_t> m_spare;
    std::size_t m_runsSorted = 0;
    std::size_t m_width = kSortRun;
    std::size_t m_low = 0; // start of the pair being merged
    // Where the merge of that pair stands.
    std::size_t m_out = 0;
    std::size_t m_left = 0;
    std::size_t m_right = 0;
    bool m_started = false;
};

bool isDigitOrPlus(char c)
{
    return (c >= '0' && c <= '9') || c == '+';
}

// Appends to `out` a line with the digits and plus signs of its part from `from` (a folded
// number), unless that part has no digit or nothing else.
void appendNumberLine(std::string& out, size_t from)
{
    const size_t end = out.size();
    out += '\n';
    bool digit = false;
    for (size_t i = from; i < end; ++i) {
        const char c = out[i];
        if (isDigitOrPlus(c)) {
            out += c;
            digit = digit || c != '+';
        }
    }
    if (!digit || out.size() - end - 1 == end - from)
        out.resize(end);
}

// The digits of a phone term ("030-1234" gives "0301234"); empty for any other term.
std::string phoneDigits(std::string_view term)
{
    constexpr std::string_view kPhoneCharacters = "0123456789+-()./";
    if (term.find_first_not_of(kPhoneCharacters) != std::string_view::npos)
        return {};
    std::string digits(term);
    appendNumberLine(digits, 0);
    return digits.size() == term.size() ? std::string() : digits.substr(term.size() + 1);
}

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

QString foldForFind(QStringView text)
{
    QString out;
    out.reserve(text.size());
    foldInto(out, text);
    return out;
}

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
        std::string text = utf8(word);
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
        // Fields are apart by a line break, which no term holds, so no match spans two.
        std::string& text = m_scratch;
        text.clear();
        for (const FindField& f : kFindFields) {
            const std::u16string_view raw = s.record != nullptr ? s.record->text_or_empty(f.field) : u"";
            if (raw.empty())
                continue;
            text += '\n';
            const size_t from = text.size();
            foldWith(Utf8Out{text}, QStringView(raw.data(), static_cast<qsizetype>(raw.size())));
            if (f.phone)
                appendNumberLine(text, from);
        }
        text.resize(std::min<size_t>(text.size(), UINT32_MAX));
        if (m_textChunks.empty() || m_chunkSize - m_chunkUsed < text.size()) {
            m_chunkSize = std::max(kTextChunkBytes, text.size());
            m_textChunks.push_back(std::make_unique_for_overwrite<char[]>(m_chunkSize));
            m_chunkUsed = 0;
        }
        char* place = m_textChunks.back().get() + m_chunkUsed;
        std::copy(text.begin(), text.end(), place);
        m_chunkUsed += text.size();
        s.text = place;
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

void ContactFindModel::rankRows(int column) const
{
    if (!needsRanks(column))
        return;
    if (m_ranking != nullptr && (m_ranking->column != column || m_ranking->installed))
        abandonRanking();
    Budget all{std::numeric_limits<long>::max()};
    buildRanks(column, all);
}

void ContactFindModel::abandonRanking() const
{
    m_ranking.reset();
}

bool ContactFindModel::buildRanks(int column, Budget& budget) const
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

bool ContactFindModel::releaseRanking(Budget& budget) const
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

void ContactFindModel::orderRows(int column) const
{
    rankRows(column);
    // The same column the other way compares the same values.
    if (m_rowOrderColumn != column || m_rowOrder.empty())
        buildRowOrder(column);
}

void ContactFindModel::forgetRowOrder() const
{
    m_rowOrder.clear();
    m_rowOrderColumn = -1;
}

void ContactFindModel::buildRowOrder(int column) const
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
    m_textChunks.clear();
    m_chunkUsed = m_chunkSize = 0;
}

} // namespace ui
