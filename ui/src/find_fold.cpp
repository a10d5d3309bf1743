#include "ui/find_fold.h"

#include "contacts/text.h"

#include <QList>
#include <algorithm>
#include <array>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ui {
namespace {

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

} // namespace

QString foldForFind(QStringView text)
{
    QString out;
    out.reserve(text.size());
    foldInto(out, text);
    return out;
}

void appendFoldForFind(std::string& out, QStringView text)
{
    foldWith(Utf8Out{out}, text);
}

std::string utf8ForFind(QStringView folded)
{
    return utf8(folded);
}

} // namespace ui
