// What the window keeps between runs: the settings file, the recent files, the chosen folders and
// output choices, and the list's column layout (its default widths and the one the user left).
#include "ui/main_dialog.h"

#include "contacts/conversion.h"
#include "controls/dialogs.h"
#include "ui/contact_list.h"

#include <QHeaderView>
#include <QSettings>
#include <QTableView>
#include <array>

namespace ui {
namespace {

struct ColumnWidth
{
    int scan;
    int fill;
};
// The number and the list columns; the origin column, last in both sets, has its own width.
constexpr std::array<ColumnWidth, 11> kColumnWidths{
    {{0, 0}, {0, 0}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {158, 80}, {0, 80}, {0, 80}}};
constexpr ColumnWidth kOriginWidth{80, 80};
constexpr ColumnWidth kSourceWidth{120, 120};

// A column set's saved layout: by its number of columns, and with the Source column of several
// files apart from the sets without it.
QString headerKey(int columns, bool source = false)
{
    return QStringLiteral("list/header%1%2").arg(columns).arg(source ? QStringLiteral("s") : QString());
}

} // namespace

std::unique_ptr<QSettings> CPelimoorDlg::openSettings()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("pelimoor"),
                                       QStringLiteral("pelimoor"));
}

void CPelimoorDlg::loadSettings()
{
    const std::unique_ptr<QSettings> s = openSettings();
    m_recent = s->value(QStringLiteral("files/recent")).toStringList().mid(0, kRecentFiles);
    m_lastBrowseFolder = s->value(QStringLiteral("files/browse")).toString();
    m_lastDestination = s->value(QStringLiteral("files/destination")).toString();
    setReadOffline(s->value(QStringLiteral("files/offline"), false).toBool());
    // The sources by their command-line names; a list that does not read keeps the default.
    engine::Sources sources;
    std::string problem;
    if (const QString list = s->value(QStringLiteral("files/sources")).toString(); !list.isEmpty())
        engine::parse_sources(list.toStdString(), &sources, &problem);
    setSources(sources);
    bool ok = false;
    const int split = s->value(QStringLiteral("window/split")).toInt(&ok);
    m_split = ok ? split : 0;
    // The vCard version and CSV layout of the format dialog, by their command-line names.
    contacts::OutputChoices& choices = controls::outputChoices();
    if (const auto* v =
            contacts::vcard_version_by_name(s->value(QStringLiteral("output/vcard")).toString().toStdString()))
        choices.vcard = v->choice;
    if (const auto* l = contacts::csv_layout_by_name(s->value(QStringLiteral("output/csv")).toString().toStdString()))
        choices.csv = l->choice;
    controls::mergeDuplicates() = s->value(QStringLiteral("output/merge"), false).toBool();
    restoreHeader(*s);
}

void CPelimoorDlg::saveSettings() const
{
    const std::unique_ptr<QSettings> s = openSettings();
    s->setValue(QStringLiteral("files/recent"), m_recent);
    s->setValue(QStringLiteral("files/browse"), m_lastBrowseFolder);
    s->setValue(QStringLiteral("files/destination"), m_lastDestination);
    s->setValue(QStringLiteral("files/offline"), m_sourceOptions.offline);
    s->setValue(QStringLiteral("files/sources"), QString::fromStdString(engine::sources_list(m_sourceOptions.sources)));
    if (!m_firstShow)
        s->setValue(QStringLiteral("window/geometry"), saveGeometry());
    s->setValue(QStringLiteral("window/split"), appliedSplit());
    s->setValue(headerKey(m_model->columnCount(), m_model->sourceColumn() >= 0),
                m_list->horizontalHeader()->saveState());
    const contacts::OutputChoices& choices = controls::outputChoices();
    s->setValue(QStringLiteral("output/vcard"),
                QString::fromLatin1(contacts::kVcardVersions[std::size_t(choices.vcard)].name));
    s->setValue(QStringLiteral("output/csv"),
                QString::fromLatin1(contacts::kCsvLayouts[std::size_t(choices.csv)].name));
    s->setValue(QStringLiteral("output/merge"), controls::mergeDuplicates());
}

void CPelimoorDlg::rememberFile(const QString& path)
{
    m_recent.removeAll(path);
    m_recent.prepend(path);
    while (m_recent.size() > kRecentFiles)
        m_recent.removeLast();
    saveSettings();
}

void CPelimoorDlg::applyColumnWidths()
{
    const bool fill = m_model->fillColumns();
    for (int i = 0; i < m_model->columnCount(); ++i) {
        const ColumnWidth& width = i == m_model->sourceColumn()   ? kSourceWidth
                                   : i == m_model->originColumn() ? kOriginWidth
                                                                  : kColumnWidths[size_t(i)];
        m_list->horizontalHeader()->resizeSection(i, fill ? width.fill : width.scan);
    }
}

void CPelimoorDlg::restoreHeader()
{
    restoreHeader(*openSettings());
}

void CPelimoorDlg::restoreHeader(QSettings& settings)
{
    // Widths, order and sort column the user left this column set in. A layout saved before the
    // list had its origin column (one column fewer) still holds for the columns it knew; the
    // header adds the origin column after them, which is then shown at its own width.
    // The Source column of several files, last, goes the same way: the layout of the same
    // columns without it holds for the others.
    const int columns = m_model->columnCount();
    const bool source = m_model->sourceColumn() >= 0;
    QByteArray header = settings.value(headerKey(columns, source)).toByteArray();
    const bool columnMore = header.isEmpty();
    if (columnMore)
        header = settings.value(headerKey(columns - 1)).toByteArray();
    QHeaderView* view = m_list->horizontalHeader();
    if (header.isEmpty() || !view->restoreState(header) || !columnMore)
        return;
    const int last = columns - 1;
    const ColumnWidth& width = source ? kSourceWidth : kOriginWidth;
    view->showSection(last);
    view->resizeSection(last, m_model->fillColumns() ? width.fill : width.scan);
}

} // namespace ui
