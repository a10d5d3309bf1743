#include "ui/duplicates_view.h"

#include <QAbstractListModel>
#include <QBrush>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <string>

#include "contacts/contact_sources.h"
#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "merge/merge.h"

namespace ui {
namespace {

QString qstring(std::u16string_view s)
{
    return QString::fromUtf16(s.data(), qsizetype(s.size()));
}

// What the list calls a card: its full name, else its first and last name, else its address.
QString cardName(const contacts::ContactRecord& r)
{
    using contacts::Field;
    if (!r.text_or_empty(Field::full_name).empty())
        return qstring(r.text_or_empty(Field::full_name));
    QString name = qstring(r.text_or_empty(Field::first_name));
    const QString last = qstring(r.text_or_empty(Field::last_name));
    if (!name.isEmpty() && !last.isEmpty())
        name += QLatin1Char(' ');
    name += last;
    if (name.isEmpty())
        name = qstring(r.text_or_empty(Field::email));
    return name.isEmpty() ? QStringLiteral("(no name)") : name;
}

// A field's name as the view shows it: "job_title" -> "Job title".
QString fieldLabel(const contacts::FieldInfo& info)
{
    QString label = QString::fromLatin1(info.name).replace(QLatin1Char('_'), QLatin1Char(' '));
    if (!label.isEmpty())
        label[0] = label[0].toUpper();
    return label;
}

// "FILE > FOLDER > item N" of a card (N: its place in its file, as the merge report counts).
std::u16string sourceOf(const merge::Card& card, int32_t item)
{
    std::u16string s;
    contacts::utf8_to_utf16(card.source, s);
    const std::size_t slash = s.find_last_of(u"/\\");
    if (slash != std::u16string::npos)
        s.erase(0, slash + 1);
    s += u" > ";
    s += card.folder;
    s += u" > item ";
    for (const char c : std::to_string(item))
        s.push_back(char16_t(c));
    return s;
}

} // namespace

// The list of pairs: each label made when the view asks for it, so a review of thousands of pairs
// opens at once.
class DuplicatesView::PairList : public QAbstractListModel
{
public:
    PairList(const DuplicatesView& view, QObject* parent) : QAbstractListModel(parent), m_view(view) {}

    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : m_view.pairCount(); }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_view.pairCount())
            return {};
        return m_view.pairLabel(index.row());
    }

    void changed(int row) { emit dataChanged(index(row), index(row), {Qt::DisplayRole}); }

private:
    const DuplicatesView& m_view;
};

std::vector<HeldView> held_pairs(const merge::StoreMerge& merged)
{
    std::vector<HeldView> pairs;
    for (const merge::HeldPair& held : merged.result.held) {
        const merge::Card& a = merged.cards[held.first];
        const merge::Card& b = merged.cards[held.second];
        HeldView view;
        view.cards = {a.record, b.record};
        view.first_source = sourceOf(a, merged.result.item[held.first]);
        view.second_source = sourceOf(b, merged.result.item[held.second]);
        view.reason = QString::fromUtf8(merge::held_reason_name(held.reason));
        if (!held.field.empty()) {
            view.reason +=
                QStringLiteral(": %1 (\u201C%2\u201D, \u201C%3\u201D)")
                    .arg(QString::fromStdString(held.field), qstring(held.first_value), qstring(held.second_value));
        }
        pairs.push_back(std::move(view));
    }
    return pairs;
}

DuplicatesView::DuplicatesView(std::vector<HeldView> pairs, ReviewChoices& choices, QWidget* parent)
    : QDialog(parent), m_pairs(std::move(pairs)), m_choices(choices)
{
    setWindowTitle(QStringLiteral("Possible duplicates"));
    m_list = new QListView(this);
    m_list->setUniformItemSizes(true);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pairList = new PairList(*this, this);
    m_list->setModel(m_pairList);
    m_fields = new QTableWidget(0, 3, this);
    m_fields->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_fields->verticalHeader()->hide();
    // The field's name as wide as it needs, the two cards side by side in equal halves.
    m_fields->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_fields->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_fields->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    m_reason = new QLabel(this);
    m_reason->setWordWrap(true);
    m_merge = new QPushButton(QStringLiteral("&Merge"), this);
    m_keep = new QPushButton(QStringLiteral("&Keep both"), this);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    auto* note = new QLabel(QStringLiteral("The pairs you merge are merged when you convert with \u201CMerge "
                                           "duplicates\u201D; the others stay apart and are reported."),
                            this);
    note->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_merge);
    buttons->addWidget(m_keep);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* right = new QVBoxLayout;
    right->addWidget(m_reason);
    right->addWidget(m_fields, 1);
    right->addLayout(buttons);
    auto* top = new QHBoxLayout;
    top->addWidget(m_list, 1);
    top->addLayout(right, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(note);
    resize(900, 520);

    connect(m_list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { showPair(current.isValid() ? current.row() : -1); });
    connect(m_merge, &QPushButton::clicked, this, &DuplicatesView::mergeShown);
    connect(m_keep, &QPushButton::clicked, this, &DuplicatesView::keepShown);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    if (pairCount() > 0)
        showPair(0);
    else
        showPair(-1);
}

QString DuplicatesView::pairLabel(int index) const
{
    const HeldView& pair = m_pairs[std::size_t(index)];
    QString text = cardName(*pair.cards.first) + QStringLiteral(" \u2194 ") + cardName(*pair.cards.second);
    if (std::ranges::find(m_choices.merged, pair.cards) != m_choices.merged.end())
        text += QStringLiteral(" \u2014 merged");
    else if (m_choices.kept.count(pair.cards) != 0)
        text += QStringLiteral(" \u2014 kept apart");
    return text;
}

void DuplicatesView::showPair(int index)
{
    const int shown = index >= 0 && index < pairCount() ? index : -1;
    if (shown >= 0 && m_list->currentIndex().row() != shown) {
        // The list's current row follows, and its signal shows the pair.
        m_list->setCurrentIndex(m_pairList->index(shown));
        return;
    }
    m_current = shown;
    m_merge->setEnabled(m_current >= 0);
    m_keep->setEnabled(m_current >= 0);
    m_fields->setRowCount(0);
    if (m_current < 0) {
        m_reason->setText(QStringLiteral("No pairs are held for review."));
        return;
    }
    const HeldView& pair = m_pairs[std::size_t(m_current)];
    m_reason->setText(QStringLiteral("Held for review: ") + pair.reason);
    // Each card's file over its folder and item.
    const auto header = [](const std::u16string& source) {
        return qstring(source)
            .replace(QStringLiteral(" > "), QStringLiteral("\n"))
            .replace(QStringLiteral("\nitem "), QStringLiteral(" > item "));
    };
    m_fields->setHorizontalHeaderLabels(
        {QStringLiteral("Field"), header(pair.first_source), header(pair.second_source)});
    const contacts::ContactRecord& a = *pair.cards.first;
    const contacts::ContactRecord& b = *pair.cards.second;
    for (const contacts::FieldInfo& info : contacts::kFieldTable) {
        // Texts, but not those made from others for the outputs' sake (the sort key; the
        // mileage read from the mobile number's property).
        if (info.type != contacts::FieldType::Text || info.field == contacts::Field::index_key ||
            info.field == contacts::Field::mileage)
            continue;
        const std::u16string_view va = a.text_or_empty(info.field);
        const std::u16string_view vb = b.text_or_empty(info.field);
        if (va.empty() && vb.empty())
            continue;
        const int row = m_fields->rowCount();
        m_fields->insertRow(row);
        m_fields->setItem(row, 0, new QTableWidgetItem(fieldLabel(info)));
        m_fields->setItem(row, 1, new QTableWidgetItem(qstring(va)));
        m_fields->setItem(row, 2, new QTableWidgetItem(qstring(vb)));
        if (va != vb) { // the values that differ, marked
            for (int c = 0; c < 3; ++c) {
                QFont font = m_fields->item(row, c)->font();
                font.setBold(true);
                m_fields->item(row, c)->setFont(font);
                m_fields->item(row, c)->setBackground(QBrush(QColor(255, 243, 205)));
            }
        }
    }
}

void DuplicatesView::mergeShown()
{
    decide(true);
}

void DuplicatesView::keepShown()
{
    decide(false);
}

void DuplicatesView::decide(bool merge)
{
    if (m_current < 0)
        return;
    const RecordPair cards = m_pairs[std::size_t(m_current)].cards;
    std::erase(m_choices.merged, cards);
    m_choices.kept.erase(cards);
    if (merge)
        m_choices.merged.push_back(cards);
    else
        m_choices.kept.insert(cards);
    m_pairList->changed(m_current);
    // On to the next pair not decided yet, if any.
    for (int step = 1; step <= pairCount(); ++step) {
        const int next = (m_current + step) % pairCount();
        const RecordPair& c = m_pairs[std::size_t(next)].cards;
        if (std::ranges::find(m_choices.merged, c) == m_choices.merged.end() && m_choices.kept.count(c) == 0) {
            showPair(next);
            return;
        }
    }
}

} // namespace ui
