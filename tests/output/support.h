// Helpers of the output tests: records from value tables, temporary directories, files, the
// scan of a written PST through the engine, and the Python readers.
#pragma once

#include <contacts/contact_record.h>
#include <contacts/contact_store.h>
#include <pst/writer.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "program_run.h"

namespace output_test {

using Values = std::vector<std::pair<contacts::Field, std::u16string>>;

// A record holding `values` (every other text absent) with number `number`.
contacts::ContactRecordPtr make_record(const Values& values, int32_t number = 1);
// Appends such a record to `store`, numbered by the store.
void append(contacts::ContactStore& store, const Values& values);

// An IPM.Contact message of Unicode values: ids from 0x8000 on as PSETID_Address named ones.
pst::Message unicode_contact(const std::vector<std::pair<uint16_t, std::u16string>>& props);

// A fresh directory under the system's temporary directory, removed with its content.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Every regular file below `dir`, sorted by name.
std::vector<std::filesystem::path> files_in(const std::filesystem::path& dir);
std::string read_bytes(const std::filesystem::path& path);

// Scans `pst` into `store` through the engine's scan run; fails the test when the scan fails.
void scan(const std::filesystem::path& pst, contacts::ContactStore& store);

using testcli::run_program; // a program run as a child process, its output kept

// The vCards that readpst (the program at `readpst`) writes of the contacts of `pst` (-t c
// -cv), counted; *status gets its exit status, *said (when given) what it printed.
std::size_t readpst_vcards(const std::string& readpst, const std::string& pst, int* status,
                           std::string* said = nullptr);

// Runs one of the Python readers beside the tests (readback.py MODE PATH...) and returns what
// it prints (JSON). Fails the test when it fails.
std::string python_readback(const std::string& mode, const std::vector<std::filesystem::path>& paths);

// The lines of a text whose lines end in CR LF (the last one may lack it).
std::vector<std::string> lines_of(const std::string& s);

std::string utf8(std::u16string_view s);
std::u16string utf16(std::string_view s);

} // namespace output_test
