// Keeps the main dialog's controls anchored to its edges when it is resized.
#pragma once

#include <QRect>
#include <array>

class QWidget;

namespace controls {

enum ResizeFlag : unsigned
{
    RSZ_KEEPTOP = 0x0010,
    RSZ_FOLLOWBOTTOM = 0x0020,
    RSZ_KEEPLEFT = 0x0040,
    RSZ_FOLLOWRIGHT = 0x0080,
};
inline constexpr int RSZ_OPT_SIZEGRIP = 2;
// Edge-change flags of a size change.
enum EdgeChange : unsigned
{
    kTopMoved = 0x10,
    kBottomMoved = 0x20,
    kLeftMoved = 0x40,
    kRightMoved = 0x80,
};

// One managed control. The rectangle is kept in doubles so that half steps add up.
struct ControlRecord
{
    int id = 0;
    unsigned flags = 0;
    double top = 0;
    double left = 0;
    double right = 0;
    double bottom = 0;
    QWidget* window = nullptr;
};

// Applies one size change to `record`: `edges` are the EdgeChange bits, `dx` and `dy` the width
// and height changes. Returns true when the rectangle changed.
bool applySizeChange(ControlRecord& record, unsigned edges, int dx, int dy);

// The integer rectangle a record is placed at (each value truncated toward zero).
QRect placement(const ControlRecord& record);

class CControlResizer
{
public:
    static constexpr int kCapacity = 256;

    // Adds a control by id before Setup. Returns false (and manages nothing) when full.
    bool AddControl(int id, unsigned flags);
    // Records `dialog`'s rectangle and each control's rectangle relative to it; controls are
    // looked up among `dialog`'s descendants by control id (controls::findControl). With
    // RSZ_OPT_SIZEGRIP a size grip is added at the bottom-right corner. `dialog` must outlive
    // the resizer's use.
    void Setup(QWidget* dialog, int options);
    // Applies the change from the recorded rectangle to `windowRect` (global coordinates), in
    // one batch, then records `windowRect`.
    void Resize(const QRect& windowRect);
    // As above with the dialog's current rectangle.
    void Resize();

    int count() const { return m_count; }
    const ControlRecord& record(int index) const { return m_records[static_cast<size_t>(index)]; }
    QWidget* sizeGrip() const { return m_sizeGrip; }
    unsigned lastEdges() const { return m_edges; }

    // The dialog's rectangle in global coordinates.
    static QRect windowRect(const QWidget* dialog);

private:
    QRect m_recorded;
    bool m_setupDone = false;
    QRect m_newest;
    QRect m_client;
    unsigned m_edges = 0;
    int m_dx = 0;
    int m_dy = 0;
    QWidget* m_dialog = nullptr;
    int m_count = 0;
    std::array<ControlRecord, kCapacity> m_records{};
    QWidget* m_sizeGrip = nullptr;
};

} // namespace controls
