#include "ui/list_filler.h"

#include <QMetaObject>

#include "contacts/contact_store.h"

namespace ui {

bool fillMatches(const contacts::ContactRecord& record, std::u16string_view key)
{
    if (record.text(contacts::Field::group_name) == key)
        return true;
    const std::optional<std::u16string_view> initial = record.text(contacts::Field::index_key);
    if (!initial)
        return false;
    if (key == u"123")
        return initial->size() == 1 && (*initial)[0] >= u'0' && (*initial)[0] <= u'9';
    return *initial == key;
}

ListFiller::ListFiller(const contacts::ContactStore& store, QObject* parent) : QObject(parent), m_store(store) {}

ListFiller::~ListFiller()
{
    end();
}

void ListFiller::fill(const std::u16string& key)
{
    end();
    const std::uint64_t generation = m_generation.load();
    m_running = true;
    m_thread = std::thread([this, key, generation] {
        std::vector<const contacts::ContactRecord*> rows;
        const contacts::ContactRecord* last = nullptr;
        for (const contacts::ContactRecord* r = m_store.first(); r != nullptr; r = r->next()) {
            if (m_generation.load() != generation) {
                m_running = false;
                return;
            }
            if (fillMatches(*r, key))
                rows.push_back(r);
            last = r;
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, last, rows = std::move(rows)] {
                if (generation == m_generation.load())
                    emit filled(rows, last);
            },
            Qt::QueuedConnection);
        m_running = false;
    });
}

void ListFiller::end()
{
    ++m_generation;
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
}

} // namespace ui
