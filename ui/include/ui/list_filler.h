// The window's list fill: on a click on a tree entry, the store's records that belong under it
// are collected on a worker thread. One fill at a time; the last click wins.
#pragma once

#include <QObject>
#include <string>
#include <vector>

#include "contacts/contact_record.h"
#include "ui/worker_thread.h"

namespace contacts {
class ContactStore;
} // namespace contacts

namespace ui {

// Whether a fill for `key` lists `record`: "All" (the group name) every record, a letter the
// records whose index key is that letter (case-sensitive), "123" those whose first name starts
// with a digit.
bool fillMatches(const contacts::ContactRecord& record, std::u16string_view key);

class ListFiller : public QObject
{
    Q_OBJECT
public:
    // `store` must outlive the filler.
    explicit ListFiller(const contacts::ContactStore& store, QObject* parent = nullptr);
    ~ListFiller() override;

    // Ends the fill in progress and starts one for `key`.
    void fill(const std::u16string& key);
    // Ends the fill in progress (it delivers nothing) and joins its thread.
    void end();
    bool running() const { return m_worker.running(); }

signals:
    // The records under the key, in store order, and the last record the fill saw (null for an
    // empty store). Only the newest fill delivers.
    void filled(const std::vector<const contacts::ContactRecord*>& rows, const contacts::ContactRecord* last);

private:
    const contacts::ContactStore& m_store;
    WorkerThread m_worker{this};
};

} // namespace ui
