#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace ui {

// The distinct texts of one column: each text once, by the order it was first seen. The texts
// are the records' own, so the records must outlive the set.
class DistinctTexts
{
public:
    // The index of `text`, added when new (`added` tells).
    std::uint32_t add(std::u16string_view text, bool& added)
    {
        if ((m_texts.size() + 1) * 2 > m_table.size())
            rehash(std::max<std::size_t>(1024, m_table.size() * 2));
        const std::size_t mask = m_table.size() - 1;
        const std::size_t hash = std::hash<std::u16string_view>{}(text);
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            const std::uint32_t entry = m_table[at];
            if (entry == 0) {
                m_texts.push_back(text);
                m_table[at] = static_cast<std::uint32_t>(m_texts.size());
                added = true;
                return entry_index(m_table[at]);
            }
            if (m_texts[entry_index(entry)] == text) {
                added = false;
                return entry_index(entry);
            }
        }
    }
    void reserve(std::size_t texts)
    {
        if (texts * 2 > m_table.size()) {
            m_texts.reserve(texts);
            std::size_t size = 1024;
            while (size < texts * 2)
                size *= 2;
            rehash(size);
        }
    }

private:
    static std::uint32_t entry_index(std::uint32_t entry) { return entry - 1; }
    void rehash(std::size_t size)
    {
        std::vector<std::uint32_t> table(size, 0);
        const std::size_t mask = table.size() - 1;
        for (std::uint32_t entry : m_table) {
            if (entry == 0)
                continue;
            std::size_t at = std::hash<std::u16string_view>{}(m_texts[entry_index(entry)]) & mask;
            while (table[at] != 0)
                at = (at + 1) & mask;
            table[at] = entry;
        }
        m_table.swap(table);
    }

    std::vector<std::uint32_t> m_table; // index + 1 of a text; 0 where free
    std::vector<std::u16string_view> m_texts;
};

} // namespace ui
