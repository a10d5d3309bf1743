// Files that are whole or absent: a file appears under its name only once it is complete.
//
// A staged file is written under a temporary name beside its target, "<target>.tmp-XXXXXX"
// (six random characters), and renamed onto the target once its writer has closed it whole. A
// process that is killed, crashes or fails before then leaves no file under the target's name:
// at most the temporary one, whose name says that it is not finished.
//
//   int error = 0;
//   auto file = staging::StagedFile::create(folder / "contacts.vcf", staging::Existing::keep, &error);
//   if (!file) ... error ...
//   ... file->write(bytes) ...                           // or write(file->fd(), ...)
//   if ((error = file->publish()) != 0) ... error ...   // the file is there under its name
//
// Errors are errno values (0: none) for the caller to word. Not thread-safe: one thread uses a
// staged file at a time.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

namespace staging {

// What publishing does to a file already under the target's name.
enum class Existing
{
    keep,    // leaves it and fails with EEXIST: a writer only ever makes files of its own
    replace, // replaces it
};

class StagedFile
{
public:
    // Creates and opens (write only, close-on-exec, mode 0644 less the umask) a new temporary
    // file beside `target`. With Existing::keep, fails with EEXIST when `target` exists. Returns
    // nullptr and sets *error when the file cannot be made (missing folder, no permission, ...).
    static std::unique_ptr<StagedFile> create(const std::filesystem::path& target, Existing existing, int* error);

    // Removes the temporary file unless it was published or released.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // The open file (-1 once closed).
    int fd() const noexcept { return m_fd; }
    const std::filesystem::path& target() const noexcept { return m_target; }
    const std::filesystem::path& temporary() const noexcept { return m_temporary; }

    // Writes all of `bytes` at the file's position (interrupted writes resumed). 0 or errno
    // (EBADF once closed); on failure the file stays staged, its bytes incomplete.
    int write(std::string_view bytes);
    // Flushes the file's bytes to the disk (fsync); file systems that cannot do it count as done.
    int sync();
    // Closes the file: its bytes are complete, still under the temporary name. 0 or errno (the
    // file stays staged either way).
    int close();
    // Closes the file when it is open, then renames it onto the target. On failure the
    // temporary file is removed and nothing appears under the target's name.
    int publish();
    // Removes the temporary file (closing it first). Publish and discard are each final.
    void discard() noexcept;
    // Gives up the (closed) temporary file without removing it: the caller publishes it later
    // with staging::publish, or removes it. Returns its path.
    std::filesystem::path release();

private:
    StagedFile(std::filesystem::path target, std::filesystem::path temporary, int fd, Existing existing)
        : m_target(std::move(target)), m_temporary(std::move(temporary)), m_fd(fd), m_existing(existing)
    {
    }

    std::filesystem::path m_target;
    std::filesystem::path m_temporary; // empty once published, discarded or released
    int m_fd;
    Existing m_existing;
};

// The suffix of a temporary name: ".tmp-" and six characters ("contacts.vcf.tmp-a1B2c3").
inline constexpr std::size_t kTemporarySuffixLength = 11;

// Renames the complete file `temporary` onto `target`. With Existing::keep never over a file
// already there (EEXIST), even one that appears meanwhile. 0 or errno; on failure `temporary`
// is left as it is.
int publish(const std::filesystem::path& temporary, const std::filesystem::path& target, Existing existing);

} // namespace staging
