// OutputFiles that keep everything in memory and fail like a full disk once a byte budget is
// spent, for every format (the PST writer through a failing pst::Sink).
#pragma once

#include <contacts/output_writers.h>
#include <pst/writer.h>

#include <map>
#include <memory>
#include <string>

namespace output_test {

class FailingFiles : public contacts::OutputFiles
{
public:
    // `budget`: bytes accepted over all files before writes fail; `files_allowed`: files that
    // can be created before creating one fails ("File name too long").
    FailingFiles(std::size_t budget, std::size_t files_allowed = SIZE_MAX)
        : m_budget(std::make_shared<std::size_t>(budget)), m_files_allowed(files_allowed)
    {
    }

    std::unique_ptr<contacts::ByteSink> create(const std::string& name, pst::Status* why) override;
    std::unique_ptr<pst::Writer> create_pst(const std::string& name, pst::Status* why) override;

    std::size_t files_created() const { return m_created; }

private:
    std::shared_ptr<std::size_t> m_budget;
    std::size_t m_files_allowed;
    std::size_t m_created = 0;
};

} // namespace output_test
