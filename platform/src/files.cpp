#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

// A directory we may keep private files in: a real directory, ours, closed to everyone else.
bool isPrivateDirectory(const std::string& dir)
{
    struct stat st
    {
    };
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        return false;
    return true;
}

bool ensurePrivateDirectory(const std::string& dir)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return isPrivateDirectory(dir);
}

std::filesystem::path makePrivateTempDirectory()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        std::string dir = std::string(runtime) + "/pelimoor";
        if (ensurePrivateDirectory(dir))
            return dir;
    }
    std::string dir = "/tmp/pelimoor-" + std::to_string(::getuid());
    if (ensurePrivateDirectory(dir))
        return dir;
    // Someone else holds the usual name: take a fresh, unguessable one.
    std::string pattern = dir + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr)
        return pattern;
    return std::filesystem::temp_directory_path();
}

// Removes every entry of the open directory `fd`, then closes it. Returns false at the first
// entry that cannot be removed.
bool removeEntries(int fd)
{
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        dirent* entry = ::readdir(d);
        if (entry == nullptr) {
            ok = errno == 0;
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat st
        {
        };
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
        } else if (S_ISDIR(st.st_mode)) {
            int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = child >= 0 && removeEntries(child) && ::unlinkat(fd, name, AT_REMOVEDIR) == 0;
        } else {
            // Files, symbolic links and everything else: the entry itself goes, never its target.
            ok = ::unlinkat(fd, name, 0) == 0;
        }
    }
    ::closedir(d);
    return ok;
}

} // namespace

std::filesystem::path privateTempDirectory()
{
    static const std::filesystem::path dir = makePrivateTempDirectory();
    return dir;
}

std::filesystem::path ownExecutablePath()
{
    std::error_code ec;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

bool makeWritable(const std::filesystem::path& path)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR) != 0)
        return true;
    return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool writeUtf16File(const std::filesystem::path& path, std::u16string_view text)
{
    makeWritable(path);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 && ok;
}

int removeDirectoryTree(const std::filesystem::path& dir)
{
    struct stat st
    {
    };
    if (::lstat(dir.c_str(), &st) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode))
        return S_ISLNK(st.st_mode) && ::unlink(dir.c_str()) == 0 ? 1 : 0;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || !removeEntries(fd))
        return 0;
    return ::rmdir(dir.c_str()) == 0 ? 1 : 0;
}

void terminateProcess(int code)
{
    ::_exit(code);
}

} // namespace platform
