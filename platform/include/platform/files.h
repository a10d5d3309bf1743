// File-system helpers of the window: private temporary directory, own path, UTF-16 page files,
// the scratch-directory delete and process termination. Plain C++, no Qt.
#pragma once

#include <filesystem>
#include <string_view>

namespace platform {

// The per-user private temporary directory: "$XDG_RUNTIME_DIR/pelimoor" when that runtime
// directory exists, otherwise "/tmp/pelimoor-<uid>". It is created with mode 0700 when missing
// and accepted only if it is a real directory (not a symbolic link) owned by the user with no
// group or other access; otherwise a fresh directory is made with mkdtemp under /tmp. The result
// is computed once per process and never empty. On failure to make any directory at all it
// returns the system temporary directory.
std::filesystem::path privateTempDirectory();

// The absolute path of the running program (from /proc/self/exe); empty on failure.
std::filesystem::path ownExecutablePath();

// Gives the owner write permission on `path` if it exists. Returns true when the file is now
// writable by its owner (or does not exist), false when the permission could not be changed.
bool makeWritable(const std::filesystem::path& path);

// Writes `text` as UTF-16 little-endian code units, without byte-order mark or terminator, to
// `path`: an existing file is made writable first, then truncated. Symbolic links at `path` are
// not followed. Returns true when every byte was written and the file was closed, false on any
// failure (the file may then be partly written). This is the one writer of UTF-16 files.
bool writeUtf16File(const std::filesystem::path& path, std::u16string_view text);

// Deletes the directory `dir` with everything below it. Returns 1 when `dir` is gone, 0 when it
// did not exist or an entry could not be removed (the walk then stops at once, as the scratch
// directory's delete requires). Symbolic links are removed as links and never followed, also when
// `dir` itself is one, so nothing outside `dir` is ever touched.
int removeDirectoryTree(const std::filesystem::path& dir);

// Ends the process at once with `code`: no destructors, no atexit handlers, no flushing.
[[noreturn]] void terminateProcess(int code);

} // namespace platform
