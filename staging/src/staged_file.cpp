#include "staging/staged_file.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <stdio.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace staging {

namespace {

// "<target>.tmp-" and six random letters or digits.
std::string temporary_name(const std::filesystem::path& target)
{
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[6] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // No entropy to be had: the clock and a counter still make a name that O_EXCL checks.
        static unsigned counter = 0;
        const auto seed = static_cast<unsigned>(::time(nullptr)) ^ (++counter * 2654435761u);
        for (std::size_t i = 0; i < sizeof random; ++i) {
            random[i] = static_cast<unsigned char>(seed >> (4 * i));
        }
    }
    std::string name = target.string() + ".tmp-";
    for (const unsigned char r : random) {
        name.push_back(kChars[r % (sizeof kChars - 1)]);
    }
    return name;
}

} // namespace

std::unique_ptr<StagedFile> StagedFile::create(const std::filesystem::path& target, Existing existing, int* error)
{
    struct stat st
    {
    };
    if (existing == Existing::keep && ::lstat(target.c_str(), &st) == 0) {
        *error = EEXIST;
        return nullptr;
    }
    // O_EXCL: a new file of our own, never one that someone put there (a link included); the
    // mode is an ordinary file's, less the umask.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = temporary_name(target);
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            *error = 0;
            return std::unique_ptr<StagedFile>(new StagedFile(target, std::move(temporary), fd, existing));
        }
        if (errno != EEXIST) {
            *error = errno;
            return nullptr;
        }
    }
    *error = EEXIST;
    return nullptr;
}

StagedFile::~StagedFile()
{
    discard();
}

int StagedFile::write(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int StagedFile::sync()
{
    if (m_fd >= 0 && ::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
        return errno;
    }
    return 0;
}

int StagedFile::close()
{
    if (m_fd < 0) {
        return 0;
    }
    const int fd = m_fd;
    m_fd = -1;
    return ::close(fd) == 0 ? 0 : errno;
}

int StagedFile::publish()
{
    int error = close();
    if (error == 0) {
        error = staging::publish(m_temporary, m_target, m_existing);
    }
    if (error != 0) {
        discard();
        return error;
    }
    m_temporary.clear();
    return 0;
}

void StagedFile::discard() noexcept
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
        m_temporary.clear();
    }
}

std::filesystem::path StagedFile::release()
{
    close();
    std::filesystem::path temporary = std::move(m_temporary);
    m_temporary.clear();
    return temporary;
}

int publish(const std::filesystem::path& temporary, const std::filesystem::path& target, Existing existing)
{
    if (existing == Existing::replace) {
        return ::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
    }
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // A file system that cannot rename without replacing: a second name, then the first one
    // goes. link() never replaces either.
    if (::link(temporary.c_str(), target.c_str()) != 0) {
        return errno;
    }
    ::unlink(temporary.c_str());
    return 0;
}

} // namespace staging
