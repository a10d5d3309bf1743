#include "support.h"

#include <contacts/text.h>
#include <engine/scan_events.h>
#include <engine/scan_run.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace output_test {

pst::Message unicode_contact(const std::vector<std::pair<uint16_t, std::u16string>>& props)
{
    pst::Message m(u"IPM.Contact");
    for (const auto& [tag, value] : props) {
        if (tag >= 0x8000) {
            m.set_named_unicode(pst::kPsetidAddress, tag, value);
        } else {
            m.set_unicode(tag, value);
        }
    }
    return m;
}

contacts::ContactRecordPtr make_record(const Values& values, int32_t number)
{
    contacts::ContactDraft draft;
    for (const auto& [field, text] : values) {
        draft.set_text(field, text);
    }
    draft.set_number(number);
    return contacts::ContactRecord::make(draft);
}

void append(contacts::ContactStore& store, const Values& values)
{
    contacts::contact_store_append(store, make_record(values, store.next_number()));
}

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "pelimoor-output-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::vector<std::filesystem::path> files_in(const std::filesystem::path& dir)
{
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            out.push_back(e.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string read_bytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void scan(const std::filesystem::path& pst, contacts::ContactStore& store)
{
    engine::ScanSession session;
    engine::ScanListener observer;
    ASSERT_EQ(engine::scan_run(session, pst.string(), store, observer).outcome, engine::ScanOutcome::Done) << pst;
}

std::size_t readpst_vcards(const std::string& readpst, const std::string& pst, int* status, std::string* said)
{
    TempDir out;
    const std::string printed =
        run_program(readpst + " -q -t c -cv -o '" + out.path().string() + "' '" + pst + "' 2>&1", status);
    if (said != nullptr) {
        *said = printed;
    }
    std::string cards = "\n";
    for (const auto& f : files_in(out.path())) {
        cards += read_bytes(f);
    }
    std::size_t count = 0;
    for (std::size_t at = 0; (at = cards.find("\nBEGIN:VCARD", at)) != std::string::npos; ++at) {
        ++count;
    }
    return count;
}

namespace {
std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}
} // namespace

std::string python_readback(const std::string& mode, const std::vector<std::filesystem::path>& paths)
{
    std::string command = std::string(PYTHON3) + " " + quoted(READBACK_SCRIPT) + " " + mode;
    for (const auto& p : paths) {
        // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on " " + string.
        command += ' ';
        command += quoted(p.string());
    }
    int status = 0;
    std::string out = run_program(command, &status);
    EXPECT_EQ(status, 0) << command;
    return out;
}

std::string utf8(std::u16string_view s)
{
    return contacts::utf16_to_utf8(s);
}

std::u16string utf16(std::string_view s)
{
    std::u16string out;
    contacts::utf8_to_utf16(s, out);
    return out;
}

std::vector<std::string> lines_of(const std::string& s)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = s.find("\r\n", start)) != std::string::npos; start = end + 2) {
        out.push_back(s.substr(start, end - start));
    }
    out.push_back(s.substr(start));
    return out;
}

} // namespace output_test
