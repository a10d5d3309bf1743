// The small dialogs: About, the format choice and its coloured descriptions, plus the dialog-unit
// conversion that places every templated control.
#pragma once

#include <QColor>
#include <QDialog>
#include <QLabel>
#include <QRect>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "contacts/output_writers.h"

class QCheckBox;
class QComboBox;
class QRadioButton;

namespace controls {

// Dialog units of the 8-point dialog font to pixels: x * 6 / 4, y * 13 / 8.
QRect dialogUnitsToPixels(int x, int y, int width, int height);

// Gives `widget` the control id `id` (object name "id<id>" and property "controlId").
void setControlId(QWidget* widget, int id);
// The control id given by setControlId, or -1.
int controlId(const QWidget* widget);
// The first descendant of `parent`, in creation order, carrying `id`; null if none.
QWidget* findControl(const QWidget* parent, int id);

// The caption of the program's message boxes and dialogs.
QString caption();
// A UTF-16 text of the engine and contact layers as a QString.
QString qstring(std::u16string_view text);

// The five format flags, PST to HTML; all 0 at start-up. At most one is non-zero and it holds its
// format's code (contacts::Format). Written on the window's thread by SaveOption.
std::array<std::atomic<std::int16_t>, 5>& formatFlags();
// The code of the chosen format, or 0 when none is chosen.
int chosenFormat();
// The chosen format, if any.
std::optional<contacts::Format> chosenFormatValue();

// The vCard version and CSV layout chosen beside ".VCF" and ".CSV" in the format dialog; the
// defaults until the user picks others. The window keeps them in its settings. Window thread only.
contacts::OutputChoices& outputChoices();
// Control ids of the two choices.
inline constexpr int kVcardVersionId = 1027;
inline constexpr int kCsvLayoutId = 1028;
// Whether a conversion makes the cards of one person one ("Merge duplicates" in the format
// dialog); off until the user checks it. The window keeps it in its settings. Window thread only.
bool& mergeDuplicates();
inline constexpr int kMergeDuplicatesId = 1029;

// A static text that paints itself in its own text and background colours.
class CColorStatic : public QLabel
{
    Q_OBJECT
public:
    explicit CColorStatic(QWidget* parent = nullptr);
    void setColors(const QColor& text, const QColor& background);
    QColor textColor() const { return m_textColor; }
    QColor backgroundColor() const { return m_backgroundColor; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QBrush m_brush;
    QColor m_textColor;
    QColor m_backgroundColor;
};

// About box: the banner and "Ok".
class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// Format choice: five radio rows; a click sets its format flag and clears the other four.
// No row is checked when the dialog opens; the flags keep their values across openings.
// Beside ".VCF" a vCard version, beside ".CSV" a CSV layout, each opening on outputChoices(),
// and below the rows "Merge duplicates", opening on mergeDuplicates(); OK keeps them there.
class SaveOption : public QDialog
{
    Q_OBJECT
public:
    explicit SaveOption(QWidget* parent = nullptr);
    // True once the user has picked a format in this opening. The flags themselves keep the
    // last pick across openings, so they alone cannot tell "OK without a choice".
    bool formatPicked() const { return m_picked; }

private:
    std::array<CColorStatic*, 5> m_descriptions{};
    QComboBox* m_vcardVersion = nullptr;
    QComboBox* m_csvLayout = nullptr;
    QCheckBox* m_merge = nullptr;
    bool m_picked = false;
};

} // namespace controls
