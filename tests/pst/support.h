// Helpers of the PST writer tests: temporary directories, writing a file through the real
// writer, and checking it with the structural checker.
#pragma once

#include "outcome.h"
#include "pst/writer.h"

#include <functional>
#include <string>
#include <vector>

namespace pst_test {

// A fresh directory under the system's temporary directory, removed with its content.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Names of the entries in the directory.
    std::vector<std::string> entries() const;

private:
    std::string m_path;
};

// Writes `path` with a deterministic writer; `fill` adds folders and messages. Fails the
// calling test (ADD_FAILURE) when any step fails.
void write_pst(const std::string& path, const std::function<void(pst::Writer&)>& fill, pst::WriterOptions options = {});

// Problems that the structural checker finds in the file (empty when it is valid).
std::string check_problems(const std::string& path);

// UTF-8 of a UTF-16 string.
std::string utf8(const std::u16string& s);

// A string of `units` UTF-16 code units made of a repeating pattern.
std::u16string pattern_text(size_t units, char16_t first = u'A');

// `size` bytes of a repeating pattern that depends on `seed`.
std::vector<uint8_t> pattern_bytes(size_t size, uint8_t seed);

std::vector<uint8_t> read_file(const std::string& path);

} // namespace pst_test
