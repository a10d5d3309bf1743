#include "carddav/create_book.h"

#include <QRandomGenerator>
#include <QTimer>

#include "multistatus.h"
#include "transport.h"

namespace carddav {

namespace {

constexpr int kMaxNameTries = 3;

// The path segment of a new book: letters and digits of the name in lower case, '-' for the rest.
QString segment_of(const QString& name)
{
    QString segment;
    for (const QChar c : name.toLower()) {
        const bool keep = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c.isDigit();
        if (keep) {
            segment += c;
        } else if (!segment.endsWith(QLatin1Char('-'))) {
            segment += QLatin1Char('-');
        }
    }
    while (segment.startsWith(QLatin1Char('-'))) {
        segment.remove(0, 1);
    }
    while (segment.endsWith(QLatin1Char('-'))) {
        segment.chop(1);
    }
    return segment.isEmpty() ? QStringLiteral("contacts") : segment.left(60);
}

QByteArray mkcol_body(const QString& name)
{
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                             "<d:mkcol xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:carddav\"><d:set><d:prop>"
                             "<d:resourcetype><d:collection/><c:addressbook/></d:resourcetype><d:displayname>") +
           name.toHtmlEscaped().toUtf8() + QByteArrayLiteral("</d:displayname></d:prop></d:set></d:mkcol>\n");
}

} // namespace

struct BookCreation::State
{
    explicit State(const Account& account) : transport(account) {}
    Transport transport;
    QUrl home;
    QString name;
    int tries = 0;
    bool done = false;
    std::function<void()> attempt;
};

BookCreation::BookCreation(Account account, QUrl home, QString display_name, QObject* parent)
    : QObject(parent), m(std::make_unique<State>(account))
{
    m->home = as_collection(std::move(home));
    m->name = std::move(display_name);
}

BookCreation::~BookCreation() = default;

void BookCreation::start()
{
    auto finish = [this](CreationResult result) {
        if (!m->done) {
            m->done = true;
            emit finished(result);
        }
    };
    auto fail = [finish](const QString& error, int status) {
        CreationResult result;
        result.error = error;
        result.http_status = status;
        finish(result);
    };
    if (const QString problem = account_problem(m->transport.account()); !problem.isEmpty()) {
        QTimer::singleShot(0, this, [fail, problem] { fail(problem, 0); });
        return;
    }
    m->attempt = [this, finish, fail] {
        QString segment = segment_of(m->name);
        if (m->tries > 0) {
            segment += QLatin1Char('-') + QString::number(QRandomGenerator::global()->bounded(10000, 99999));
        }
        ++m->tries;
        const QUrl url = m->home.resolved(QUrl(segment + QLatin1Char('/')));
        m->transport.send(
            "MKCOL", url, {{"Content-Type", "application/xml; charset=utf-8"}}, mkcol_body(m->name),
            [this, finish, fail, url](const Answer& answer) {
                // 405: something of that name is there already.
                if (answer.status == 405 && m->tries < kMaxNameTries) {
                    m->attempt();
                    return;
                }
                if (!answer.is_success()) {
                    fail(failure_text(answer, QStringLiteral("The new address book")), answer.status);
                    return;
                }
                m->transport.send(
                    "PROPFIND", url, {{"Depth", "0"}, {"Content-Type", "application/xml; charset=utf-8"}},
                    propfind_body("<d:resourcetype/><d:displayname/><c:addressbook-description/>"
                                  "<c:supported-address-data/><c:max-resource-size/><d:current-user-privilege-set/>"),
                    [finish, url, this](const Answer& read) {
                        const auto resources =
                            read.status == 207 ? read_multistatus(read.body, read.url) : std::vector<DavResource>{};
                        CreationResult result;
                        if (!resources.empty() && resources.front().addressbook) {
                            result.book = book_of(resources.front());
                        } else {
                            // Made, but not read back: the book as it was asked for.
                            result.book.url = url;
                            result.book.display_name = m->name;
                        }
                        finish(result);
                    });
            });
    };
    m->attempt();
}

void BookCreation::stop()
{
    m->transport.abort_all();
}

} // namespace carddav
