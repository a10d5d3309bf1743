#include "controls/control_resizer.h"

#include "controls/dialogs.h"

#include <QSizeGrip>
#include <QStyle>
#include <QWidget>

namespace controls {
namespace {

// One axis: `keep` and `follow` select the behaviour, `low`/`high` are the two edges.
bool stepAxis(bool keep, bool follow, double& low, double& high, int delta)
{
    const double extent = high - low;
    if (keep && !follow)
        return false;
    if (keep && follow) {
        high += delta;
    } else {
        low += follow ? delta : delta / 2.0;
        high = low + extent;
    }
    return true;
}

} // namespace

bool applySizeChange(ControlRecord& record, unsigned edges, int dx, int dy)
{
    bool changed = false;
    if ((edges & (kLeftMoved | kRightMoved)) != 0 && dx != 0)
        changed |= stepAxis(record.flags & RSZ_KEEPLEFT, record.flags & RSZ_FOLLOWRIGHT, record.left, record.right, dx);
    if ((edges & (kTopMoved | kBottomMoved)) != 0 && dy != 0)
        changed |= stepAxis(record.flags & RSZ_KEEPTOP, record.flags & RSZ_FOLLOWBOTTOM, record.top, record.bottom, dy);
    return changed;
}

QRect placement(const ControlRecord& record)
{
    return QRect(static_cast<int>(record.left), static_cast<int>(record.top),
                 static_cast<int>(record.right - record.left), static_cast<int>(record.bottom - record.top));
}

bool CControlResizer::AddControl(int id, unsigned flags)
{
    if (m_count >= kCapacity)
        return false;
    m_records[static_cast<size_t>(m_count++)] = ControlRecord{id, flags, 0, 0, 0, 0, nullptr};
    return true;
}

QRect CControlResizer::windowRect(const QWidget* dialog)
{
    return QRect(dialog->mapToGlobal(QPoint(0, 0)), dialog->size());
}

void CControlResizer::Setup(QWidget* dialog, int options)
{
    m_dialog = dialog;
    m_recorded = windowRect(dialog);
    m_client = dialog->rect();
    for (int i = 0; i < m_count; ++i) {
        ControlRecord& r = m_records[static_cast<size_t>(i)];
        r.window = findControl(dialog, r.id);
        if (r.window == nullptr)
            continue;
        const QRect g = r.window->geometry();
        const QPoint topLeft = r.window->parentWidget()->mapTo(dialog, g.topLeft());
        r.left = topLeft.x();
        r.top = topLeft.y();
        r.right = topLeft.x() + g.width();
        r.bottom = topLeft.y() + g.height();
    }
    if ((options & RSZ_OPT_SIZEGRIP) != 0) {
        auto* grip = new QSizeGrip(dialog);
        const int width = dialog->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
        const int height = width;
        grip->setGeometry(m_client.width() - width, m_client.height() - height, width, height);
        grip->raise();
        grip->show();
        m_sizeGrip = grip;
        if (m_count < kCapacity) {
            m_records[static_cast<size_t>(m_count++)] = ControlRecord{-2,
                                                                      RSZ_FOLLOWRIGHT | RSZ_FOLLOWBOTTOM,
                                                                      double(m_client.height() - height),
                                                                      double(m_client.width() - width),
                                                                      double(m_client.width()),
                                                                      double(m_client.height()),
                                                                      grip};
        }
    }
    m_setupDone = true;
}

void CControlResizer::Resize()
{
    if (m_dialog != nullptr)
        Resize(windowRect(m_dialog));
}

void CControlResizer::Resize(const QRect& r)
{
    m_newest = r;
    m_edges = (r.top() != m_recorded.top() ? kTopMoved : 0u) | (r.bottom() != m_recorded.bottom() ? kBottomMoved : 0u) |
              (r.left() != m_recorded.left() ? kLeftMoved : 0u) | (r.right() != m_recorded.right() ? kRightMoved : 0u);
    m_dx = r.width() - m_recorded.width();
    m_dy = r.height() - m_recorded.height();
    m_client.setRight(m_client.right() + m_dx);
    m_client.setBottom(m_client.bottom() + m_dy);

    if (m_sizeGrip != nullptr) {
        const bool maximised = m_dialog->window()->isMaximized();
        if (maximised && !m_sizeGrip->isHidden())
            m_sizeGrip->hide();
        else if (!maximised && m_sizeGrip->isHidden())
            m_sizeGrip->show();
    }

    if (m_dialog != nullptr)
        m_dialog->setUpdatesEnabled(false);
    for (int i = 0; i < m_count; ++i) {
        ControlRecord& rec = m_records[static_cast<size_t>(i)];
        if (rec.window == nullptr)
            continue;
        if (applySizeChange(rec, m_edges, m_dx, m_dy)) {
            QRect place = placement(rec);
            if (rec.window->parentWidget() != m_dialog)
                place.moveTopLeft(rec.window->parentWidget()->mapFrom(m_dialog, place.topLeft()));
            rec.window->setGeometry(place);
        }
    }
    if (m_dialog != nullptr)
        m_dialog->setUpdatesEnabled(true);
    m_recorded = m_newest;
}

} // namespace controls
