#include "ui/list_filler.h"

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
    m_worker.start([this, key](WorkerThread::Epoch epoch) {
        std::vector<const contacts::ContactRecord*> rows;
        const contacts::ContactRecord* last = nullptr;
        for (const contacts::ContactRecord* r = m_store.first(); r != nullptr; r = r->next()) {
            if (!m_worker.current(epoch))
                return;
            if (fillMatches(*r, key))
                rows.push_back(r);
            last = r;
        }
        m_worker.post(epoch, [this, last, rows = std::move(rows)] {
            m_worker.finish();
            emit filled(rows, last);
        });
    });
}

void ListFiller::end()
{
    m_worker.drop();
    m_worker.stop();
}

} // namespace ui
