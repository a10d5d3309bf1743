#include "controls/dialogs.h"

#include "contacts/messages.h"
#include "controls/pictures.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>

namespace controls {
namespace {

struct FormatRow
{
    int radioId;
    const char* radioText;
    int descriptionId;
    const char* descriptionText;
    contacts::Format format;
};

constexpr std::array<FormatRow, 5> kFormatRows{{
    {1017, "  Save as .PST               ", 1022, "( Microsoft Outlook File Format) ", contacts::Format::Pst},
    {1018, "  Save as .VCF              ", 1023, " (*.VCF File Format)", contacts::Format::Vcf},
    {1019, "  Save as .CSV               ", 1024, "(Microsoft Excel CSV File Format)               ",
     contacts::Format::Csv},
    {1020, "  Save as .TXT               ", 1025, " (Text File Format) ", contacts::Format::Txt},
    {1021, "  Save as .html              ", 1026, " ( HTML File Format)", contacts::Format::Html},
}};

// A combo box of `choices` at `dlu`, showing `current`.
template <typename Choice, std::size_t N>
QComboBox* addChoiceBox(QDialog* dialog, int id, const std::array<contacts::ChoiceInfo<Choice>, N>& choices,
                        Choice current, QRect dlu)
{
    auto* box = new QComboBox(dialog);
    setControlId(box, id);
    for (const auto& choice : choices) {
        box->addItem(QString::fromUtf8(choice.caption), QString::fromLatin1(choice.name));
        if (choice.choice == current)
            box->setCurrentIndex(box->count() - 1);
    }
    box->setGeometry(dialogUnitsToPixels(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
    return box;
}

QPushButton* addButton(QDialog* dialog, int id, const QString& text, QRect dlu)
{
    auto* button = new QPushButton(text, dialog);
    setControlId(button, id);
    button->setGeometry(dialogUnitsToPixels(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
    return button;
}

} // namespace

QRect dialogUnitsToPixels(int x, int y, int width, int height)
{
    return QRect(x * 6 / 4, y * 13 / 8, width * 6 / 4, height * 13 / 8);
}

void setControlId(QWidget* widget, int id)
{
    widget->setObjectName(QStringLiteral("id%1").arg(id));
    widget->setProperty("controlId", id);
}

int controlId(const QWidget* widget)
{
    QVariant id = widget->property("controlId");
    return id.isValid() ? id.toInt() : -1;
}

QWidget* findControl(const QWidget* parent, int id)
{
    for (QWidget* child : parent->findChildren<QWidget*>())
        if (controlId(child) == id)
            return child;
    return nullptr;
}

std::array<std::atomic<std::int16_t>, 5>& formatFlags()
{
    static std::array<std::atomic<std::int16_t>, 5> flags{};
    return flags;
}

int chosenFormat()
{
    for (const auto& flag : formatFlags())
        if (flag.load() != 0)
            return flag.load();
    return 0;
}

contacts::OutputChoices& outputChoices()
{
    static contacts::OutputChoices choices;
    return choices;
}

bool& mergeDuplicates()
{
    static bool merge = false;
    return merge;
}

std::optional<contacts::Format> chosenFormatValue()
{
    const int code = chosenFormat();
    for (const FormatRow& row : kFormatRows)
        if (static_cast<int>(row.format) == code)
            return row.format;
    return std::nullopt;
}

QString caption()
{
    return qstring(contacts::kCaption);
}

QString qstring(std::u16string_view text)
{
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

CColorStatic::CColorStatic(QWidget* parent)
    : QLabel(parent), m_brush(QColor(255, 248, 220)), m_textColor(QColor(20, 40, 120)),
      m_backgroundColor(QColor(255, 248, 220))
{
}

void CColorStatic::setColors(const QColor& text, const QColor& background)
{
    m_textColor = text;
    m_backgroundColor = background;
    m_brush = QBrush(background);
    update();
}

void CColorStatic::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), m_brush);
    p.setPen(m_textColor);
    p.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(caption());
    setFixedSize(dialogUnitsToPixels(0, 0, 398, 195).size());
    auto* banner = new QLabel(this);
    setControlId(banner, 163);
    const QRect bannerRect = dialogUnitsToPixels(0, 0, 395, 63);
    banner->setGeometry(bannerRect);
    banner->setPixmap(bannerPicture(163, bannerRect.size()));
    auto* line = new QLabel(QStringLiteral("Tressoly Pelimoor: contacts from personal folder files."), this);
    line->setGeometry(dialogUnitsToPixels(20, 90, 360, 14));
    QPushButton* ok = addButton(this, 1006, QStringLiteral("Ok"), QRect(202, 162, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

SaveOption::SaveOption(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Saving Option"));
    // Wider than the five rows need: the version and layout choices sit right of their rows.
    setFixedSize(dialogUnitsToPixels(0, 0, 436, 180).size());
    auto* group = new QGroupBox(QStringLiteral("Select the format in which you want to convert PST Contacts"), this);
    group->setGeometry(dialogUnitsToPixels(10, 8, 416, 136));
    for (size_t i = 0; i < kFormatRows.size(); ++i) {
        const FormatRow& row = kFormatRows[i];
        const int y = 24 + static_cast<int>(i) * 22;
        auto* radio = new QRadioButton(QString::fromLatin1(row.radioText), this);
        setControlId(radio, row.radioId);
        radio->setGeometry(dialogUnitsToPixels(22, y, 110, 14));
        radio->setAutoExclusive(true);
        connect(radio, &QRadioButton::clicked, this, [this, i] {
            m_picked = true;
            for (size_t k = 0; k < kFormatRows.size(); ++k)
                formatFlags()[k].store(k == i ? static_cast<std::int16_t>(kFormatRows[k].format) : std::int16_t{0});
        });
        auto* description = new CColorStatic(this);
        setControlId(description, row.descriptionId);
        description->setText(QString::fromLatin1(row.descriptionText));
        description->setGeometry(dialogUnitsToPixels(136, y, 160, 14));
        m_descriptions[i] = description;
    }
    const contacts::OutputChoices& chosen = outputChoices();
    m_vcardVersion =
        addChoiceBox(this, kVcardVersionId, contacts::kVcardVersions, chosen.vcard, QRect(300, 46, 118, 14));
    m_csvLayout = addChoiceBox(this, kCsvLayoutId, contacts::kCsvLayouts, chosen.csv, QRect(300, 68, 118, 14));
    m_merge = new QCheckBox(QStringLiteral("Merge duplicates"), this);
    setControlId(m_merge, kMergeDuplicatesId);
    m_merge->setGeometry(dialogUnitsToPixels(22, 136, 200, 14));
    m_merge->setChecked(mergeDuplicates());
    QPushButton* ok = addButton(this, 1, QStringLiteral("OK"), QRect(310, 154, 50, 16));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] {
        contacts::OutputChoices& choices = outputChoices();
        choices.vcard = contacts::kVcardVersions[std::size_t(m_vcardVersion->currentIndex())].choice;
        choices.csv = contacts::kCsvLayouts[std::size_t(m_csvLayout->currentIndex())].choice;
        mergeDuplicates() = m_merge->isChecked();
        accept();
    });
    QPushButton* cancel = addButton(this, 2, QStringLiteral("Cancel"), QRect(370, 154, 50, 16));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

} // namespace controls
