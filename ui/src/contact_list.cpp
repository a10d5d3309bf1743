#include "ui/contact_list.h"

#include "contacts/contact_record.h"
#include "contacts/contact_store.h"
#include "controls/dialogs.h"

#include <array>

namespace ui {
namespace {

using contacts::Field;
using controls::qstring;

// How the list and the preview name where a contact was found, and what the preview says of it.
struct OriginRow
{
    contacts::Origin origin;
    std::u16string_view label;
    std::u16string_view note;
};
constexpr std::array<OriginRow, 6> kOrigins{{
    {contacts::Origin::live, u"", u""},
    {contacts::Origin::orphan, u"Orphan", u"Found in no folder of the file."},
    {contacts::Origin::recovered, u"Recovered", u"A deleted contact, read back from free space in the file."},
    {contacts::Origin::autocomplete, u"Autocomplete",
     u"Never saved: a name Outlook offered while a recipient was typed."},
    {contacts::Origin::recipient_cache, u"Recipient cache",
     u"Never saved: a person Outlook kept in its hidden recipient cache."},
    {contacts::Origin::correspondent, u"Correspondent",
     u"Never saved: a person found among the senders and recipients of the mail."},
}};

const OriginRow* originRow(contacts::Origin origin)
{
    for (const OriginRow& row : kOrigins)
        if (row.origin == origin)
            return &row;
    return nullptr;
}

} // namespace

std::u16string_view originLabel(contacts::Origin origin)
{
    const OriginRow* row = originRow(origin);
    return row == nullptr ? std::u16string_view() : row->label;
}

std::u16string_view originNote(contacts::Origin origin)
{
    const OriginRow* row = originRow(origin);
    return row == nullptr ? std::u16string_view() : row->note;
}

ContactListModel::ContactListModel(QObject* parent) : QAbstractTableModel(parent) {}

int ContactListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ContactListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_columns + (m_sources != nullptr ? 1 : 0);
}

QModelIndex ContactListModel::index(int row, int column, const QModelIndex& parent) const
{
    // Sorting a million rows asks for tens of millions of indexes: no virtual calls here.
    if (parent.isValid() || row < 0 || column < 0 || row >= static_cast<int>(m_rows.size()) ||
        column >= m_columns + (m_sources != nullptr ? 1 : 0))
        return {};
    return createIndex(row, column);
}

QVariant ContactListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    if (role == Qt::ToolTipRole && index.column() == sourceColumn()) {
        // The whole path and the folder, where the cell shows the file's name.
        const contacts::ContactSource source =
            contacts::contact_source(*m_sources, *m_rows[static_cast<size_t>(index.row())].record);
        return QString::fromStdString(std::string(source.path)) + QStringLiteral("\n") + qstring(source.folder);
    }
    if (role != Qt::DisplayRole)
        return {};
    if (index.column() == 0) {
        const Row& row = m_rows[static_cast<size_t>(index.row())];
        if (row.fromFill && row.record->number() == 0)
            return QString();
        return QString::number(row.record->number());
    }
    return qstring(cellText(index.row(), index.column()));
}

std::u16string_view ContactListModel::cellText(int rowIndex, int column) const
{
    if (rowIndex < 0 || rowIndex >= rowCount() || column <= 0 || column >= columnCount())
        return {};
    const Row& row = m_rows[static_cast<size_t>(rowIndex)];
    if (column == sourceColumn()) {
        const uint32_t file = contacts::contact_source(*m_sources, *row.record).file;
        return file == contacts::kUnknownFile ? std::u16string_view() : m_sources->sources().file_name(file);
    }
    if (column == originColumn())
        return originLabel(row.record->origin());
    const contacts::ListColumn& listColumn = contacts::kListColumns[static_cast<size_t>(column - 1)];
    if (row.fromFill && !listColumn.in_fill_rows)
        return {};
    return row.record->text_or_empty(listColumn.field);
}

QVariant ContactListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    if (role != Qt::DisplayRole)
        return {};
    if (section == 0)
        return QStringLiteral("S.No");
    if (section == originColumn())
        return QStringLiteral("Origin");
    if (section == sourceColumn())
        return QStringLiteral("Source");
    return QString::fromUtf16(contacts::kListColumns[static_cast<size_t>(section - 1)].title);
}

void ContactListModel::addScanRows(const std::vector<const contacts::ContactRecord*>& oldestFirst)
{
    if (oldestFirst.empty())
        return;
    beginInsertRows(QModelIndex(), 0, static_cast<int>(oldestFirst.size()) - 1);
    for (const contacts::ContactRecord* record : oldestFirst)
        m_rows.push_front(Row{record, false});
    endInsertRows();
}

void ContactListModel::setFillRows(std::vector<const contacts::ContactRecord*> storeOrder)
{
    if (storeOrder.empty()) {
        clear();
        return;
    }
    beginResetModel();
    m_rows.clear();
    for (const contacts::ContactRecord* record : storeOrder)
        m_rows.push_back(Row{record, true});
    const bool rebuilt = m_columns != kFillColumns;
    m_columns = kFillColumns;
    endResetModel();
    if (rebuilt)
        emit columnsRebuilt();
}

void ContactListModel::clear()
{
    if (m_rows.empty())
        return;
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(m_rows.size()) - 1);
    m_rows.clear();
    endRemoveRows();
}

void ContactListModel::setSources(const contacts::ContactStore* store)
{
    if (store == m_sources)
        return;
    beginResetModel();
    m_sources = store;
    endResetModel();
    emit columnsRebuilt();
}

const contacts::ContactRecord* ContactListModel::record(int row) const
{
    if (row < 0 || row >= rowCount())
        return nullptr;
    return m_rows[static_cast<size_t>(row)].record;
}

} // namespace ui
