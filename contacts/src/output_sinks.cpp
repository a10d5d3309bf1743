// Format table lookups, byte sinks and the directory the files of a conversion go to.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

#include "contacts/output_writers.h"
#include "pst/writer.h"
#include "staging/staged_file.h"

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

// A staged file written through a buffer of 64 KiB. Write errors (a full disk) surface at the
// write that flushes, or at close(), which closes the file whole under its temporary name and
// hands that name to `closed`.
class FileSink : public ByteSink
{
public:
    FileSink(std::unique_ptr<staging::StagedFile> file, std::function<void(std::filesystem::path)> closed)
        : m_file(std::move(file)), m_closed(std::move(closed))
    {
        m_buffer.reserve(kBufferSize);
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
        if (m_file->fd() < 0) {
            return m_status;
        }
        flush();
        if (const int error = m_file->close(); error != 0 && m_status) {
            m_status = errno_failure(m_file->target(), error);
        }
        if (m_status) {
            m_closed(m_file->release());
        }
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
        if (const int error = m_status ? m_file->write(bytes) : 0; error != 0) {
            m_status = errno_failure(m_file->target(), error);
        }
    }

    std::unique_ptr<staging::StagedFile> m_file; // removes the temporary file unless it was closed whole
    std::function<void(std::filesystem::path)> m_closed;
    std::string m_buffer;
    pst::Status m_status;
};

} // namespace

DirectoryOutput::~DirectoryOutput()
{
    for_each_closed([](const std::filesystem::path& temporary) { ::unlink(temporary.c_str()); });
}

std::unique_ptr<ByteSink> DirectoryOutput::create(const std::string& name, pst::Status* why)
{
    const std::filesystem::path path = m_directory / name;
    int error = 0;
    auto file = staging::StagedFile::create(path, staging::Existing::keep, &error);
    if (!file) {
        *why = errno_failure(path, error);
        return nullptr;
    }
    return std::make_unique<FileSink>(std::move(file), [this](const std::filesystem::path& temporary) {
        // Kept as names within the folder, one after another: a conversion to one file per
        // contact closes as many files as it has contacts.
        m_closed += temporary.filename().string();
        m_closed.push_back('\0');
    });
}

pst::Status DirectoryOutput::commit()
{
    pst::Status status;
    for_each_closed([&](const std::filesystem::path& temporary) {
        std::string target = temporary.string();
        target.resize(target.size() - staging::kTemporarySuffixLength);
        if (!status) {
            ::unlink(temporary.c_str());
        } else if (const int error = staging::publish(temporary, target, staging::Existing::keep); error != 0) {
            status = errno_failure(target, error);
            ::unlink(temporary.c_str());
        }
    });
    m_closed.clear();
    return status;
}

template <typename Visit> void DirectoryOutput::for_each_closed(Visit visit) const
{
    for (std::size_t at = 0; at < m_closed.size();) {
        const std::size_t end = m_closed.find('\0', at);
        visit(m_directory / m_closed.substr(at, end - at));
        at = end + 1;
    }
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
