// Copy: the selected contacts on the clipboard.
#include "ui/main_dialog.h"

#include "contacts/conversion.h"
#include "controls/app.h"
#include "controls/dialogs.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QStringList>

namespace ui {

using controls::qstring;

void CPelimoorDlg::OnCopy()
{
    const std::vector<const contacts::ContactRecord*> records = selectedRecords();
    if (records.empty())
        return;
    std::string cards;
    QStringList lines;
    for (const contacts::ContactRecord* r : records) {
        contacts::append_vcard(*r, controls::outputChoices().vcard, cards);
        QString name = qstring(r->text_or_empty(contacts::Field::full_name));
        if (name.isEmpty())
            name = QStringList{qstring(r->text_or_empty(contacts::Field::first_name)),
                               qstring(r->text_or_empty(contacts::Field::last_name))}
                       .join(QLatin1Char(' '))
                       .trimmed();
        const QString address = qstring(r->text_or_empty(contacts::Field::email));
        lines.append(address.isEmpty() ? name
                     : name.isEmpty()  ? address
                                       : QStringLiteral("%1 <%2>").arg(name, address));
    }
    auto* data = new QMimeData;
    const QByteArray bytes = QByteArray::fromStdString(cards);
    data->setData(QStringLiteral("text/vcard"), bytes);
    data->setData(QStringLiteral("text/x-vcard"), bytes);
    data->setText(lines.join(QLatin1Char('\n')));
    QGuiApplication::clipboard()->setMimeData(data);
}

} // namespace ui
