// The sink of Writer::create(path): a staged file (staging/staged_file.h), written as
// "<path>.tmp-XXXXXX" beside the target and renamed onto it by commit(); discard() (and the
// destructor, when commit() did not run) removes the temporary file, so that a failure leaves
// nothing behind and the target untouched.
#pragma once

#include "pst/writer.h"
#include "staging/staged_file.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pst::detail {

class FileSink : public Sink
{
public:
    // Creates the temporary file beside `target`. nullptr and *status set when it cannot be
    // created (missing directory, no permission, ...). `sync`: flush() waits for the disk.
    static std::unique_ptr<FileSink> create(const std::string& target, bool sync, Status* status);

    FileSink(std::unique_ptr<staging::StagedFile> file, bool sync);

    Status write_at(uint64_t offset, const void* data, size_t size) override;
    Status flush() override;
    // Closes the temporary file and renames it onto the target.
    Status commit();
    // Removes the temporary file (nothing is left behind after a failure).
    void discard();

private:
    // A file that is synced at the end goes to the disk while it is written, a few MiB at a
    // time, instead of all at once in the final fsync (a wait of seconds for a large file).
    // Only a hint: what it cannot start, the fsync does.
    void start_writeback();
    static constexpr uint64_t kWritebackStep = uint64_t{32} << 20;

    Status failure(int err) const;

    std::unique_ptr<staging::StagedFile> m_file;
    bool m_sync;
    uint64_t m_unstarted = 0; // bytes written since writeback was last started
};

} // namespace pst::detail
