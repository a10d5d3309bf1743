#include "writer_file_sink.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pst::detail {

std::unique_ptr<FileSink> FileSink::create(const std::string& target, bool sync, Status* status)
{
    int err = 0;
    auto file = staging::StagedFile::create(target, staging::Existing::replace, &err);
    if (!file) {
        if (status)
            *status = Status::failure(std::string(std::strerror(err)) + ": " + target);
        return nullptr;
    }
    if (status)
        *status = Status::success();
    return std::make_unique<FileSink>(std::move(file), sync);
}

FileSink::FileSink(std::unique_ptr<staging::StagedFile> file, bool sync) : m_file(std::move(file)), m_sync(sync) {}

Status FileSink::write_at(uint64_t offset, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(m_file->fd(), p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failure(n < 0 ? errno : ENOSPC);
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
        m_unstarted += static_cast<uint64_t>(n);
    }
    start_writeback();
    return Status::success();
}

Status FileSink::flush()
{
    if (const int err = m_sync ? m_file->sync() : 0; err != 0)
        return failure(err);
    return Status::success();
}

Status FileSink::commit()
{
    const int err = m_file->publish();
    return err == 0 ? Status::success() : failure(err);
}

void FileSink::discard()
{
    m_file->discard();
}

void FileSink::start_writeback()
{
    if (!m_sync || m_unstarted < kWritebackStep)
        return;
    m_unstarted = 0;
    ::sync_file_range(m_file->fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

Status FileSink::failure(int err) const
{
    return Status::failure(std::string(std::strerror(err)) + ": " + m_file->target().string());
}

} // namespace pst::detail
