#include "failing_files.h"

namespace output_test {

namespace {

constexpr const char* kDiskFull = "No space left on device";

class FailingSink : public contacts::ByteSink
{
public:
    FailingSink(std::string name, std::shared_ptr<std::size_t> budget) : m_name(std::move(name)), m_budget(budget) {}
    pst::Status write(std::string_view bytes) override
    {
        if (bytes.size() > *m_budget) {
            *m_budget = 0;
            return pst::Status::failure(m_name + ": " + kDiskFull);
        }
        *m_budget -= bytes.size();
        return pst::Status::success();
    }
    pst::Status close() override { return pst::Status::success(); }

private:
    std::string m_name;
    std::shared_ptr<std::size_t> m_budget;
};

class FailingPstSink : public pst::Sink
{
public:
    explicit FailingPstSink(std::shared_ptr<std::size_t> budget) : m_budget(budget) {}
    pst::Status write_at(uint64_t, const void*, size_t size) override
    {
        if (size > *m_budget) {
            *m_budget = 0;
            return pst::Status::failure(std::string("contacts.pst: ") + kDiskFull);
        }
        *m_budget -= size;
        return pst::Status::success();
    }
    pst::Status flush() override { return pst::Status::success(); }

private:
    std::shared_ptr<std::size_t> m_budget;
};

} // namespace

std::unique_ptr<contacts::ByteSink> FailingFiles::create(const std::string& name, pst::Status* why)
{
    if (m_created >= m_files_allowed) {
        *why = pst::Status::failure(name + ": File name too long");
        return nullptr;
    }
    ++m_created;
    return std::make_unique<FailingSink>(name, m_budget);
}

std::unique_ptr<pst::Writer> FailingFiles::create_pst(const std::string&, pst::Status*)
{
    ++m_created;
    return pst::Writer::create(std::make_unique<FailingPstSink>(m_budget), pst::WriterOptions{});
}

} // namespace output_test
