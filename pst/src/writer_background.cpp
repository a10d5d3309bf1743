#include "writer_impl.h"

#include <exception>
#include <mutex>
#include <new>

namespace pst::detail {

void WriterImpl::start_background()
{
    m_ndb_writer = std::make_unique<Worker<NodeJob>>(kBatch, kMaxBatches, [this](NodeJob& job) {
        if (m_async_failed.load(std::memory_order_relaxed))
            return;
        guarded([&] { return write_node(job.nid, job.node, job.parent); });
        job.node = {}; // freed here, not on the caller's thread
    });
    m_builder = std::make_unique<Worker<BuildJob>>(kBatch, kMaxBatches, [this](BuildJob& job) {
        if (m_async_failed.load(std::memory_order_relaxed))
            return;
        guarded([&] { return build_in_background(job); });
        job.message = Message(u"");
    });
}

Status WriterImpl::build_in_background(BuildJob& job)
{
    Folder* f = job.folder;
    if (Status room = room_in(*f); !room)
        return room;
    BuiltMessage built;
    built.nid = make_nid(m_next_message, kTypeMessage);
    Status st = build_message(job.message, built.nid, &built.props, &built.node);
    if (!st)
        return st;
    ++m_next_message;
    add_contents_row(*f, built, job.message.codepage());
    m_ndb_writer->push({built.nid, std::move(built.node), f->nid});
    return Status::success();
}

template <typename Step> void WriterImpl::guarded(Step step)
{
    Status st;
    try {
        st = step();
    } catch (const std::bad_alloc&) {
        st = Status::failure("Not enough memory to write the PST file");
    } catch (const std::exception& e) {
        st = Status::failure(e.what());
    }
    if (!st)
        fail_async(std::move(st));
}

void WriterImpl::fail_async(Status st)
{
    std::lock_guard lock(m_async_mutex);
    if (!m_async_failed.load(std::memory_order_relaxed)) {
        m_async_status = std::move(st);
        m_async_failed.store(true, std::memory_order_release);
    }
}

void WriterImpl::take_async_failure()
{
    if (!m_async_failed.load(std::memory_order_acquire) || !m_status)
        return;
    std::lock_guard lock(m_async_mutex);
    m_status = m_async_status;
}

void WriterImpl::drain()
{
    if (m_builder) {
        m_builder->drain();
        m_ndb_writer->drain();
    }
    take_async_failure();
}

} // namespace pst::detail
