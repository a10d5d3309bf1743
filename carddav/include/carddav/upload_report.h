// upload-report.csv: every card of an upload that was not added, and why.
//
// UTF-8 with a byte-order mark, CRLF, values quoted as the CSV output quotes them. Header:
//   UID,Name,Outcome,Status,Message
// Outcome is outcome_name(); Status the HTTP status (empty when there was no answer); Message the
// server's text or what went wrong. One row per card not added, in the cards' order; the header
// alone when every card was added. Written as a staged file (staging/): the file is complete or
// absent, an older report is replaced.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "carddav/upload.h"
#include "pst/status.h"

namespace carddav {

inline constexpr const char* kUploadReportName = "upload-report.csv";

// The report's text.
std::string upload_report_text(const std::vector<Card>& cards, const std::vector<CardResult>& results);

// Writes the report as `folder`/upload-report.csv; the failure names the path and the reason.
pst::Status write_upload_report(const std::filesystem::path& folder, const std::vector<Card>& cards,
                                const std::vector<CardResult>& results);

} // namespace carddav
