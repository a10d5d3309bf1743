#include "carddav/upload.h"

#include <QDateTime>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <set>

#include "transport.h"

namespace carddav {

namespace {

constexpr std::string_view kOutcomeNames[kOutcomeCount] = {"added", "already there", "updated", "refused", "not sent"};

enum class Phase
{
    create,  // PUT with If-None-Match: *
    fetch,   // GET of the server's copy (--update)
    replace, // PUT with If-Match: the ETag
};

// The wait a 429 or 503 asks for: Retry-After in seconds or as an HTTP date; `fallback` without one.
std::chrono::seconds retry_after(const QByteArray& value, std::chrono::seconds fallback)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty()) {
        return fallback;
    }
    bool ok = false;
    const qlonglong seconds = text.toLongLong(&ok);
    if (ok) {
        return std::chrono::seconds(std::max<qlonglong>(seconds, 0));
    }
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(text), Qt::RFC2822Date);
    if (!when.isValid()) {
        return fallback;
    }
    return std::chrono::seconds(std::max<qint64>(QDateTime::currentDateTimeUtc().secsTo(when), 0));
}

// A card's lines as a set: the same card whatever order, folding or line ends a server keeps.
std::vector<std::string> comparable_lines(std::string_view card)
{
    std::vector<std::string> lines = logical_lines(card);
    std::sort(lines.begin(), lines.end());
    return lines;
}

constexpr std::chrono::seconds kWaitWithoutRetryAfter{5};

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
    State(const Account& account) : transport(account) {}
    Transport transport;
    AddressBook book;
    std::vector<Card> cards;
    std::vector<CardResult> results;
    UploadOptions options;
    // Per card: further tries used after 5xx and lost connections, Retry-After waits used, the ETag.
    std::vector<int> retries;
    std::vector<int> waits;
    std::vector<QByteArray> etags;
    std::deque<std::size_t> queue; // cards not begun
    std::set<QTimer*> timers;      // cards waiting to try again
    int active = 0;                // cards begun and not settled
    int64_t settled = 0;
    bool started = false;
    bool stopping = false;
    bool ended = false;
    QString fatal; // why the job ends early
    UploadSummary summary;
};

UploadJob::UploadJob(Account account, AddressBook book, std::vector<Card> cards, UploadOptions options, QObject* parent)
    : QObject(parent), m(std::make_unique<State>(account))
{
    m->book = std::move(book);
    m->book.url = QUrl(m->book.url.toString(QUrl::StripTrailingSlash) + QLatin1Char('/'));
    m->cards = std::move(cards);
    m->results.resize(m->cards.size());
    m->retries.assign(m->cards.size(), 0);
    m->waits.assign(m->cards.size(), 0);
    m->etags.resize(m->cards.size());
    m->options = options;
    m->options.parallel = std::max(options.parallel, 1);
}

UploadJob::~UploadJob()
{
    m->ended = true; // no signal from the destructor
    m->transport.abort_all();
}

void UploadJob::start()
{
    if (m->started) {
        return;
    }
    m->started = true;
    for (std::size_t i = 0; i < m->cards.size(); ++i) {
        m->queue.push_back(i);
    }
    m->fatal = account_problem(m->transport.account());
    QTimer::singleShot(0, this, [this] { pump(); });
}

void UploadJob::stop()
{
    if (!m->started || m->ended || m->stopping) {
        return;
    }
    m->stopping = true;
    m->summary.stopped = true;
    const std::set<QTimer*> timers = std::exchange(m->timers, {});
    for (QTimer* timer : timers) {
        const std::size_t i = timer->property("card").value<std::size_t>();
        timer->stop();
        timer->deleteLater();
        settle(i, Outcome::not_sent, m->results[i].http_status,
               QStringLiteral("Stopped while waiting to try again (%1).").arg(m->results[i].message));
    }
    pump();
}

const std::vector<Card>& UploadJob::cards() const
{
    return m->cards;
}

const std::vector<CardResult>& UploadJob::results() const
{
    return m->results;
}

void UploadJob::pump()
{
    if (m->ended) {
        return;
    }
    while (!m->stopping && m->fatal.isEmpty() && m->active < m->options.parallel && !m->queue.empty()) {
        const std::size_t i = m->queue.front();
        m->queue.pop_front();
        ++m->active;
        bool scaled = false;
        fit_card(m->cards[i], m->book.card_limit(), &scaled);
        m->results[i].photo_scaled = scaled;
        m->summary.photos_scaled += scaled ? 1 : 0;
        send(i, 0);
    }
    if (m->active > 0 || (!m->queue.empty() && !m->stopping && m->fatal.isEmpty())) {
        return;
    }
    // Every card begun has settled: the rest are not sent.
    const QString why = !m->fatal.isEmpty() ? m->fatal : QStringLiteral("Stopped before it was sent.");
    while (!m->queue.empty()) {
        const std::size_t i = m->queue.front();
        m->queue.pop_front();
        m->results[i] = {Outcome::not_sent, 0, why, m->results[i].photo_scaled};
        ++m->summary.counts[static_cast<std::size_t>(Outcome::not_sent)];
    }
    m->ended = true;
    m->summary.error = m->fatal;
    emit progress(static_cast<qint64>(m->cards.size()), static_cast<qint64>(m->cards.size()));
    emit finished(m->summary);
}

void UploadJob::send(std::size_t i, int phase_code)
{
    const auto phase = static_cast<Phase>(phase_code);
    const Card& card = m->cards[i];
    const QUrl url = m->book.url.resolved(QUrl(QString::fromStdString(card.resource_name())));
    Headers headers;
    QByteArray method = "PUT";
    QByteArray body;
    if (phase == Phase::fetch) {
        method = "GET";
    } else {
        headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/vcard; charset=utf-8")));
        if (phase == Phase::create) {
            headers.append(qMakePair(QByteArray("If-None-Match"), QByteArray("*")));
        } else {
            headers.append(qMakePair(QByteArray("If-Match"), m->etags[i]));
        }
        body = QByteArray::fromStdString(card.text);
    }
    m->transport.send(method, url, headers, body,
                      [this, i, phase_code](const Answer& answer) { answered(i, phase_code, answer); });
}

void UploadJob::answered(std::size_t i, int phase_code, const Answer& answer)
{
    const auto phase = static_cast<Phase>(phase_code);
    using Kind = Answer::Kind;
    switch (answer.kind) {
    case Kind::aborted:
        settle(i, Outcome::not_sent, 0, answer.failure);
        return;
    case Kind::tls:
    case Kind::unreachable:
    case Kind::refused:
        // No other card would fare better.
        if (m->fatal.isEmpty()) {
            m->fatal = answer.failure;
        }
        settle(i, Outcome::not_sent, 0, answer.failure);
        return;
    case Kind::redirected:
        settle(i, Outcome::refused, answer.status, answer.failure);
        return;
    case Kind::timed_out:
    case Kind::lost:
        try_again(i, phase_code, answer, false);
        return;
    case Kind::answered:
        break;
    }
    const int status = answer.status;
    if (answer.is_success()) {
        if (phase == Phase::create) {
            settle(i, Outcome::added, status, {});
        } else if (phase == Phase::replace) {
            settle(i, Outcome::updated, status, {});
        } else if (comparable_lines(answer.body.toStdString()) == comparable_lines(m->cards[i].text)) {
            settle(i, Outcome::already_there, 412, QStringLiteral("Already on the server, the same."));
        } else if (answer.etag.isEmpty()) {
            settle(i, Outcome::refused, status,
                   QStringLiteral("Differs from the server's copy, which the server gives no ETag to replace it by."));
        } else {
            m->etags[i] = answer.etag;
            send(i, static_cast<int>(Phase::replace));
        }
        return;
    }
    if (status == 412 && phase == Phase::create) {
        if (m->options.update && !m->stopping) {
            send(i, static_cast<int>(Phase::fetch));
        } else {
            settle(i, Outcome::already_there, status, QStringLiteral("Already on the server."));
        }
        return;
    }
    if (status == 412 && phase == Phase::replace) {
        settle(i, Outcome::refused, status,
               QStringLiteral("Changed on the server meanwhile (%1); not replaced.").arg(answer.describe()));
        return;
    }
    if (status == 401) {
        if (m->fatal.isEmpty()) {
            m->fatal = failure_text(answer, {});
        }
        settle(i, Outcome::refused, status, answer.describe());
        return;
    }
    if (status == 429 || status == 503) {
        if (!answer.retry_after.trimmed().isEmpty() || status == 429) {
            try_again(i, phase_code, answer, true);
            return;
        }
    }
    if (status >= 500) {
        try_again(i, phase_code, answer, false);
        return;
    }
    settle(i, Outcome::refused, status, answer.describe());
}

void UploadJob::try_again(std::size_t i, int phase_code, const Answer& answer, bool waited_out)
{
    std::chrono::milliseconds delay{0};
    if (waited_out) {
        const std::chrono::seconds wait = retry_after(answer.retry_after, kWaitWithoutRetryAfter);
        if (m->waits[i] >= m->options.max_waits) {
            settle(i, Outcome::refused, answer.status,
                   QStringLiteral("%1 (still after %2 waits)").arg(answer.describe()).arg(m->waits[i]));
            return;
        }
        if (wait > m->options.longest_wait) {
            settle(i, Outcome::refused, answer.status,
                   QStringLiteral("%1 (the server asks to wait %2 s)").arg(answer.describe()).arg(wait.count()));
            return;
        }
        ++m->waits[i];
        delay = wait;
    } else {
        if (m->retries[i] >= m->options.max_retries) {
            settle(i, Outcome::refused, answer.status,
                   m->retries[i] > 0
                       ? QStringLiteral("%1 (after %2 tries)").arg(answer.describe()).arg(m->retries[i] + 1)
                       : answer.describe());
            return;
        }
        delay = std::chrono::seconds(1 << std::min(m->retries[i], 5));
        ++m->retries[i];
    }
    if (m->stopping || !m->fatal.isEmpty()) {
        settle(i, Outcome::not_sent, answer.status,
               m->fatal.isEmpty() ? QStringLiteral("Stopped (%1).").arg(answer.describe()) : m->fatal);
        return;
    }
    m->results[i].http_status = answer.status;
    m->results[i].message = answer.describe();
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer); // never sooner than Retry-After says
    timer->setProperty("card", QVariant::fromValue(i));
    m->timers.insert(timer);
    connect(timer, &QTimer::timeout, this, [this, timer, i, phase_code] {
        m->timers.erase(timer);
        timer->deleteLater();
        send(i, phase_code);
    });
    timer->start(delay);
}

void UploadJob::settle(std::size_t i, Outcome outcome, int status, const QString& message)
{
    CardResult& r = m->results[i];
    r.outcome = outcome;
    r.http_status = status;
    r.message = message;
    ++m->summary.counts[static_cast<std::size_t>(outcome)];
    --m->active;
    ++m->settled;
    emit progress(m->settled, static_cast<qint64>(m->cards.size()));
    pump();
}

} // namespace carddav
