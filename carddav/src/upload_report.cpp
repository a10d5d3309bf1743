#include "carddav/upload_report.h"

#include <cstring>

#include "contacts/output_writers.h"
#include "contacts/text.h"
#include "staging/staged_file.h"

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
    int error = 0;
    // An older report is replaced: it told of an earlier run.
    auto file = staging::StagedFile::create(target, staging::Existing::replace, &error);
    if (file && (error = file->write(upload_report_text(cards, results))) == 0) {
        error = file->publish();
    }
    if (error != 0) {
        return pst::Status::failure(target.string() + ": " + std::strerror(error));
    }
    return pst::Status::success();
}

} // namespace carddav
