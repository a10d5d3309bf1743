#include "carddav/upload_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contacts/output_writers.h"
#include "contacts/text.h"

namespace carddav {

namespace {

void append_value(std::string_view utf8, std::string& out)
{
    std::u16string text;
    contacts::utf8_to_utf16(utf8, text);
    contacts::append_csv_value(text, out);
}

} // namespace

std::string upload_report_text(const std::vector<Card>& cards, const std::vector<CardResult>& results)
{
    std::string out(contacts::kUtf8Bom);
    out += "UID,Name,Outcome,Status,Message\r\n";
    for (std::size_t i = 0; i < cards.size() && i < results.size(); ++i) {
        const CardResult& r = results[i];
        if (r.outcome == Outcome::added) {
            continue;
        }
        append_value(cards[i].uid, out);
        out.push_back(',');
        append_value(cards[i].name, out);
        out.push_back(',');
        append_value(outcome_name(r.outcome), out);
        out.push_back(',');
        if (r.http_status != 0) {
            out += std::to_string(r.http_status);
        }
        out.push_back(',');
        append_value(r.message.toStdString(), out);
        out += "\r\n";
    }
    return out;
}

pst::Status write_upload_report(const std::filesystem::path& folder, const std::vector<Card>& cards,
                                const std::vector<CardResult>& results)
{
    const std::filesystem::path target = folder / kUploadReportName;
    const std::string text = upload_report_text(cards, results);
    std::string temporary = target.string() + ".tmp-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return pst::Status::failure(target.string() + ": " + std::strerror(errno));
    }
    const auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return pst::Status::failure(target.string() + ": " + std::strerror(error));
    };
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errno);
        }
        at += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file 0600; a report is as readable as the other outputs.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0 || ::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return pst::Status::failure(target.string() + ": " + std::strerror(error));
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return pst::Status::failure(target.string() + ": " + std::strerror(error));
    }
    return pst::Status::success();
}

} // namespace carddav
