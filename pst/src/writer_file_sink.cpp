#include "writer_file_sink.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pst::detail {

std::unique_ptr<FileSink> FileSink::create(const std::string& target, bool sync, Status* status)
{
    std::string tmp = target + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        int err = errno;
        if (status)
            *status = Status::failure(std::string(std::strerror(err)) + ": " + target);
        return nullptr;
    }
    ::fchmod(fd, 0644);
    if (status)
        *status = Status::success();
    return std::make_unique<FileSink>(fd, tmp, target, sync);
}

FileSink::FileSink(int fd, std::string tmp, std::string target, bool sync)
    : m_fd(fd), m_tmp(std::move(tmp)), m_target(std::move(target)), m_sync(sync)
{
}

FileSink::~FileSink()
{
    discard();
}

Status FileSink::write_at(uint64_t offset, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(m_fd, p, size, static_cast<off_t>(offset));
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
    if (m_sync && ::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        return failure(errno);
    return Status::success();
}

Status FileSink::commit()
{
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        Status st = failure(errno);
        ::unlink(m_tmp.c_str());
        m_tmp.clear();
        return st;
    }
    if (::rename(m_tmp.c_str(), m_target.c_str()) != 0) {
        Status st = failure(errno);
        ::unlink(m_tmp.c_str());
        m_tmp.clear();
        return st;
    }
    m_tmp.clear();
    return Status::success();
}

void FileSink::discard()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_tmp.empty())
        ::unlink(m_tmp.c_str());
    m_tmp.clear();
}

void FileSink::start_writeback()
{
    if (!m_sync || m_unstarted < kWritebackStep)
        return;
    m_unstarted = 0;
    ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

Status FileSink::failure(int err) const
{
    return Status::failure(std::string(std::strerror(err)) + ": " + m_target);
}

} // namespace pst::detail
