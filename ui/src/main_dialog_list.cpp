// The contact list's side of the window: the selection, the preview of the chosen row, the count.
#include "ui/main_dialog.h"

#include "contacts/contact_store.h"
#include "platform/environment.h"
#include "ui/contact_find.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/preview.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QLocale>
#include <QTableView>
#include <algorithm>

namespace ui {

void CPelimoorDlg::OnListClick(const QModelIndex&)
{
    // The upper selected row, whichever was clicked last; its number cell names the record.
    const QModelIndexList selected = m_list->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    int row = selected.first().row();
    for (const QModelIndex& index : selected)
        row = std::min(row, index.row());
    previewRow(row);
}

void CPelimoorDlg::showCurrentRow()
{
    const QModelIndex current = m_list->selectionModel()->currentIndex();
    if (current.isValid())
        previewRow(current.row());
}

void CPelimoorDlg::previewRow(int row)
{
    const contacts::ContactRecord* record = m_findModel->record(row);
    if (record == nullptr)
        return;
    // Of several files scanned together, the preview names the contact's file and folder.
    if (m_model->sourceColumn() < 0) {
        ShowContactPreview(*m_browser, *record, platform::environment().tempDirectory());
        return;
    }
    const contacts::ContactSource from = contacts::contact_source(m_store, *record);
    const std::u16string file = QString::fromStdString(std::string(from.path)).toStdU16String();
    const PreviewSource source{file, from.folder};
    ShowContactPreview(*m_browser, *record, platform::environment().tempDirectory(), &source);
}

std::vector<const contacts::ContactRecord*> CPelimoorDlg::selectedRecords() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_list->selectionModel()->selectedIndexes())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<const contacts::ContactRecord*> records;
    for (int row : rows)
        if (const contacts::ContactRecord* r = m_findModel->record(row))
            records.push_back(r);
    return records;
}

void CPelimoorDlg::updateContactCount()
{
    const QLocale locale;
    m_count->setText(QStringLiteral("%1 of %2 contacts")
                         .arg(locale.toString(m_findModel->rowCount()), locale.toString(qint64(m_store.size()))));
}

} // namespace ui
