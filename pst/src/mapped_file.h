// A read-only mapping of a file whose reads survive the file shrinking under it.
//
// Reading through a mapping costs no system call per block, but touching a page past the end of
// a file that another program has cut short raises SIGBUS. Every read here copies out of the
// mapping under a guard: a SIGBUS during the copy ends that copy with a failure instead of the
// process. Nothing else may touch the mapped bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pst::read::detail {

class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps `size` bytes of `fd`. False when the system will not (the caller then reads with pread).
    bool map(int fd, uint64_t size);
    bool mapped() const { return m_base != nullptr; }
    // Copies `n` bytes at `offset` (inside the mapped size) into `out`. False when the file no
    // longer holds them (it was truncated after it was mapped).
    bool copy(uint64_t offset, size_t n, uint8_t* out) const;

private:
    const uint8_t* m_base = nullptr;
    uint64_t m_size = 0;
};

} // namespace pst::read::detail
