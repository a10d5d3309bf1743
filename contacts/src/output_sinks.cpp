// Format table lookups, byte sinks and the directory the files of a conversion go to.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "contacts/output_writers.h"
#include "pst/writer.h"

namespace contacts {

const FormatInfo* format_info(Format format) noexcept
{
    for (const auto& f : kFormats) {
        if (f.format == format) {
            return &f;
        }
    }
    return nullptr;
}

const FormatInfo* format_by_name(std::string_view name) noexcept
{
    for (const auto& f : kFormats) {
        if (name == f.name) {
            return &f;
        }
    }
    return nullptr;
}

pst::Status StringSink::write(std::string_view bytes)
{
    m_out->append(bytes);
    return pst::Status::success();
}

namespace {

pst::Status errno_failure(const std::filesystem::path& path, int error)
{
    return pst::Status::failure(path.string() + ": " + std::strerror(error));
}

// A file written through a buffer of 64 KiB. Write errors (a full disk) surface at the write
// that flushes, or at close().
class FileSink : public ByteSink
{
public:
    FileSink(std::filesystem::path path, int fd) : m_path(std::move(path)), m_fd(fd) { m_buffer.reserve(kBufferSize); }
    ~FileSink() override
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    pst::Status write(std::string_view bytes) override
    {
        if (!m_status) {
            return m_status;
        }
        if (m_buffer.size() + bytes.size() > kBufferSize) {
            if (!flush()) {
                return m_status;
            }
            if (bytes.size() >= kBufferSize) {
                put(bytes);
                return m_status;
            }
        }
        m_buffer.append(bytes);
        return m_status;
    }

    pst::Status close() override
    {
        if (m_fd < 0) {
            return m_status;
        }
        flush();
        if (::close(m_fd) != 0 && m_status) {
            m_status = errno_failure(m_path, errno);
        }
        m_fd = -1;
        return m_status;
    }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    bool flush()
    {
        put(m_buffer);
        m_buffer.clear();
        return m_status.ok;
    }

    void put(std::string_view bytes)
    {
        while (m_status && !bytes.empty()) {
            const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno != EINTR) {
                    m_status = errno_failure(m_path, errno);
                }
                continue;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    std::filesystem::path m_path;
    int m_fd;
    std::string m_buffer;
    pst::Status m_status;
};

} // namespace

std::unique_ptr<ByteSink> open_file_sink(const std::filesystem::path& path, pst::Status* why)
{
    // O_EXCL: a conversion only ever writes files it made itself.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = errno_failure(path, errno);
        return nullptr;
    }
    return std::make_unique<FileSink>(path, fd);
}

std::unique_ptr<ByteSink> DirectoryOutput::create(const std::string& name, pst::Status* why)
{
    return open_file_sink(m_directory / name, why);
}

std::unique_ptr<pst::Writer> DirectoryOutput::create_pst(const std::string& name, pst::Status* why)
{
    const std::filesystem::path path = m_directory / name;
    pst::Status status;
    pst::WriterOptions options;
    options.background = true; // the contacts become messages here while the writer's threads store them
    auto writer = pst::Writer::create(path.string(), options, &status);
    if (!writer) {
        *why = pst::Status::failure(status.message.empty() ? path.string() + ": cannot be created" : status.message);
    }
    return writer;
}

} // namespace contacts
