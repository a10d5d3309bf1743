#include "carddav/upload.h"

#include <QStringList>
#include <QTimer>

namespace carddav {

namespace {

constexpr std::string_view kOutcomeNames[kOutcomeCount] = {"added", "already there", "updated", "refused", "not sent"};

} // namespace

std::string_view outcome_name(Outcome outcome)
{
    return kOutcomeNames[static_cast<std::size_t>(outcome)];
}

QString summary_text(const UploadSummary& summary)
{
    QStringList parts;
    for (std::size_t i = 0; i < kOutcomeCount; ++i) {
        parts << QStringLiteral("%1 %2").arg(summary.counts[i]).arg(QLatin1String(kOutcomeNames[i].data()));
    }
    return parts.join(QLatin1String(", "));
}

struct UploadJob::State
{
    Account account;
    AddressBook book;
    std::vector<Card> cards;
    std::vector<CardResult> results;
    UploadOptions options;
};

UploadJob::UploadJob(Account account, AddressBook book, std::vector<Card> cards, UploadOptions options, QObject* parent)
    : QObject(parent), m(std::make_unique<State>())
{
    m->account = std::move(account);
    m->book = std::move(book);
    m->cards = std::move(cards);
    m->results.resize(m->cards.size());
    m->options = options;
}

UploadJob::~UploadJob() = default;

void UploadJob::start()
{
    QTimer::singleShot(0, this, [this] {
        UploadSummary summary;
        summary.counts[static_cast<std::size_t>(Outcome::not_sent)] = static_cast<int64_t>(m->cards.size());
        summary.error = QStringLiteral("Not available yet.");
        emit finished(summary);
    });
}

void UploadJob::stop() {}

const std::vector<Card>& UploadJob::cards() const
{
    return m->cards;
}

const std::vector<CardResult>& UploadJob::results() const
{
    return m->results;
}

} // namespace carddav
