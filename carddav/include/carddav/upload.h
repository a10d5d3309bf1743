// The upload of cards into one address book.
//
//   carddav::UploadJob job(account, book, std::move(cards), options);
//   connect(&job, &UploadJob::progress, ...);   // (done, total) after each card
//   connect(&job, &UploadJob::finished, ...);   // once, with the counts
//   job.start();
//   ... job.stop();                             // Stop: what is finished stays on the server
//
// Each card is fitted to book.card_limit() (fit_card) and PUT as "<book>/<uid>.vcf" with
// Content-Type text/vcard and If-None-Match: *, a few at a time (options.parallel). Outcomes:
//   - 201/204: added.
//   - 412 (the resource exists): already there; with options.update the card is fetched (GET) and,
//     when it differs from ours (line by line, unfolded, in any order), PUT again with If-Match and
//     the ETag: updated (a 412 then: someone changed it meanwhile: refused).
//   - 429 and 503: waited out as Retry-After says (seconds or an HTTP date; 5 s when absent, at
//     most options.longest_wait), at most options.max_waits times per card, then refused.
//   - other 5xx, and a request that times out or loses its connection: tried again after 1, 2,
//     4 ... s, at most options.max_retries more times, then refused.
//   - any other answer (400, 403, 413, a redirect to another origin, ...): refused, with the
//     server's status, reason phrase and the first line of its text.
// Nothing counts as added without a 2xx answer to its PUT.
//
// Failures that no other card would escape end the job: 401 (the user name or password), a
// certificate that does not verify, a host that cannot be reached, an account_problem(). The
// cards not yet finished are then not sent, and the summary's `error` says why.
//
// stop(): no new request is started and waits are cut short; requests under way are answered
// (bounded by the timeout) and counted as they end; the cards never sent are not sent.
//
// Lives on the thread that made it; never blocks. Not reusable: one start() per job.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "carddav/cards.h"
#include "carddav/server.h"

namespace carddav {

enum class Outcome
{
    added,
    already_there,
    updated,
    refused,
    not_sent, // stopped, or the job ended before the card's turn
};
inline constexpr std::size_t kOutcomeCount = 5;

// The names of the outcomes in the report and the counts: "added", "already there", "updated",
// "refused", "not sent".
std::string_view outcome_name(Outcome outcome);

struct CardResult
{
    Outcome outcome = Outcome::not_sent;
    int http_status = 0; // of the last answer; 0: none (timeout, connection, never sent)
    QString message;     // the server's reason phrase and text, or what went wrong; empty when added
    bool photo_scaled = false;
};

struct UploadOptions
{
    bool update = false; // --update: cards the server holds are replaced when they differ
    int parallel = 4;    // requests at a time
    int max_retries = 3; // further tries after a 5xx, a timeout or a lost connection
    int max_waits = 5;   // Retry-After waits per card
    std::chrono::seconds longest_wait{120};
};

struct UploadSummary
{
    std::array<int64_t, kOutcomeCount> counts{}; // by Outcome
    int64_t photos_scaled = 0;
    bool stopped = false; // stop() was called before the last card finished
    QString error;        // set when the job ended early (401, TLS, unreachable); see above
    int64_t count(Outcome o) const { return counts[static_cast<std::size_t>(o)]; }
    // Every card reached the server's copy: added, already there or updated.
    bool complete() const { return count(Outcome::refused) == 0 && count(Outcome::not_sent) == 0; }
};

// "12 added, 3 already there, 1 updated, 2 refused, 0 not sent": the counts in one line, for the
// converter's standard error and the window's done page.
QString summary_text(const UploadSummary& summary);

struct Answer;

class UploadJob : public QObject
{
    Q_OBJECT
public:
    UploadJob(Account account, AddressBook book, std::vector<Card> cards, UploadOptions options = {},
              QObject* parent = nullptr);
    ~UploadJob() override;

    void start();
    void stop();

    const std::vector<Card>& cards() const;
    // One per card, in the cards' order; final once finished() was sent.
    const std::vector<CardResult>& results() const;

signals:
    void progress(qint64 done, qint64 total);
    void finished(const carddav::UploadSummary& summary);

private:
    void pump();
    void send(std::size_t card, int phase);
    void answered(std::size_t card, int phase, const Answer& answer);
    void try_again(std::size_t card, int phase, const Answer& answer, bool waited_out);
    void settle(std::size_t card, Outcome outcome, int status, const QString& message);

    struct State;
    std::unique_ptr<State> m;
};

} // namespace carddav
