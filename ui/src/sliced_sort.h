#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ui {

// A merge sort that can stop after any element and go on later: runs of kRun sorted at
// once, then merged pairwise, a pass at a time.
class SlicedSort
{
public:
    // Items sorted at once before the sorted runs are merged.
    static constexpr std::size_t kRun = 512;

    explicit SlicedSort(std::vector<std::uint32_t> items) : m_items(std::move(items)), m_spare(m_items.size()) {}

    // Goes on while `more()` says so (asked once per element or run); true once sorted.
    template <typename Less, typename More> bool run(Less less, More more)
    {
        const std::size_t n = m_items.size();
        while (m_runsSorted < n) {
            if (!more())
                return false;
            const std::size_t end = std::min(n, m_runsSorted + kRun);
            std::sort(m_items.begin() + static_cast<std::ptrdiff_t>(m_runsSorted),
                      m_items.begin() + static_cast<std::ptrdiff_t>(end), less);
            m_runsSorted = end;
        }
        for (; m_width < n; m_width *= 2) {
            for (; m_low < n; m_low += 2 * m_width) {
                const std::size_t mid = std::min(n, m_low + m_width);
                const std::size_t high = std::min(n, m_low + 2 * m_width);
                if (!m_started) {
                    m_left = m_out = m_low;
                    m_right = mid;
                    m_started = true;
                }
                while (m_out < high) {
                    if (!more())
                        return false;
                    const bool right = m_left == mid || (m_right < high && less(m_items[m_right], m_items[m_left]));
                    m_spare[m_out++] = right ? m_items[m_right++] : m_items[m_left++];
                }
                m_started = false;
            }
            m_items.swap(m_spare);
            m_low = 0;
        }
        return true;
    }
    const std::vector<std::uint32_t>& items() const { return m_items; }

private:
    std::vector<std::uint32_t> m_items;
    std::vector<std::uint32_t> m_spare;
    std::size_t m_runsSorted = 0;
    std::size_t m_width = kRun;
    std::size_t m_low = 0; // start of the pair being merged
    // Where the merge of that pair stands.
    std::size_t m_out = 0;
    std::size_t m_left = 0;
    std::size_t m_right = 0;
    bool m_started = false;
};

} // namespace ui
