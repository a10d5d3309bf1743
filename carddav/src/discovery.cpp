#include "carddav/discovery.h"

#include <QTimer>

#include "multistatus.h"
#include "transport.h"

namespace carddav {

namespace {

const char* const kBookProps = "<d:resourcetype/><d:displayname/><c:addressbook-description/>"
                               "<c:supported-address-data/><c:max-resource-size/><d:current-user-privilege-set/>";
const char* const kStartProps =
    "<d:resourcetype/><d:displayname/><c:addressbook-description/><c:supported-address-data/>"
    "<c:max-resource-size/><d:current-user-privilege-set/><d:current-user-principal/><c:addressbook-home-set/>";

} // namespace

struct Discovery::State
{
    explicit State(const Account& account) : transport(account) {}
    Transport transport;
    std::function<void(const QUrl&)> ask; // PROPFIND of a URL the account led to
    bool well_known_tried = false;
    bool done = false;
};

Discovery::Discovery(Account account, QObject* parent) : QObject(parent), m(std::make_unique<State>(account)) {}

Discovery::~Discovery() = default;

void Discovery::start()
{
    auto finish = [this](DiscoveryResult result) {
        if (!m->done) {
            m->done = true;
            emit finished(result);
        }
    };
    auto fail = [finish](const QString& error, int status = 0) {
        DiscoveryResult result;
        result.error = error;
        result.http_status = status;
        finish(result);
    };
    if (const QString problem = account_problem(m->transport.account()); !problem.isEmpty()) {
        QTimer::singleShot(0, this, [fail, problem] { fail(problem); });
        return;
    }
    const Headers depth0 = {{"Depth", "0"}, {"Content-Type", "application/xml; charset=utf-8"}};
    const Headers depth1 = {{"Depth", "1"}, {"Content-Type", "application/xml; charset=utf-8"}};

    // The books of a home: PROPFIND Depth 1.
    auto list_home = [this, finish, fail, depth1](const QUrl& home) {
        m->transport.send("PROPFIND", as_collection(home), depth1, propfind_body(kBookProps),
                          [finish, fail, home](const Answer& answer) {
                              if (answer.status != 207) {
                                  fail(failure_text(answer, QStringLiteral("The address books")), answer.status);
                                  return;
                              }
                              DiscoveryResult result;
                              result.home = as_collection(home);
                              for (const DavResource& r : read_multistatus(answer.body, answer.url)) {
                                  if (r.addressbook) {
                                      result.books.push_back(book_of(r));
                                  }
                              }
                              finish(result);
                          });
    };
    // The principal's address-book home.
    auto ask_principal = [this, fail, list_home, depth0](const QUrl& principal) {
        m->transport.send("PROPFIND", principal, depth0, propfind_body("<c:addressbook-home-set/>"),
                          [fail, list_home](const Answer& answer) {
                              const auto resources = answer.status == 207 ? read_multistatus(answer.body, answer.url)
                                                                          : std::vector<DavResource>{};
                              if (resources.empty() || resources.front().homes.isEmpty()) {
                                  fail(answer.status == 207 || answer.kind != Answer::Kind::answered
                                           ? (answer.kind != Answer::Kind::answered
                                                  ? answer.failure
                                                  : QStringLiteral("The server names no address book home for "
                                                                   "this user (%1).")
                                                        .arg(answer.url.toString()))
                                           : failure_text(answer, QStringLiteral("The user's principal")),
                                       answer.status);
                                  return;
                              }
                              list_home(resources.front().homes.first());
                          });
    };
    // What the given URL is: a book, a principal or home, or a server that names the principal.
    m->ask = [this, fail, finish, list_home, ask_principal, depth0](const QUrl& url) {
        m->transport.send(
            "PROPFIND", url, depth0, propfind_body(kStartProps),
            [this, fail, finish, list_home, ask_principal, url](const Answer& answer) {
                const bool fatal = answer.kind == Answer::Kind::tls || answer.kind == Answer::Kind::unreachable ||
                                   answer.kind == Answer::Kind::timed_out || answer.kind == Answer::Kind::refused ||
                                   answer.kind == Answer::Kind::aborted || answer.status == 401;
                const auto resources =
                    answer.status == 207 ? read_multistatus(answer.body, answer.url) : std::vector<DavResource>{};
                if (!fatal && !resources.empty()) {
                    const DavResource& r = resources.front();
                    if (r.addressbook) {
                        DiscoveryResult result;
                        result.books.push_back(book_of(r));
                        finish(result);
                        return;
                    }
                    if (!r.homes.isEmpty()) {
                        list_home(r.homes.first());
                        return;
                    }
                    if (!r.principal.isEmpty()) {
                        ask_principal(r.principal);
                        return;
                    }
                }
                if (!fatal && !m->well_known_tried) {
                    m->well_known_tried = true;
                    QUrl well_known = url;
                    well_known.setPath(QStringLiteral("/.well-known/carddav"));
                    well_known.setQuery(QString());
                    m->ask(well_known);
                    return;
                }
                fail(answer.status == 207 ? QStringLiteral("%1 is not a CardDAV server or address book: it names "
                                                           "no principal, home or address book.")
                                                .arg(url.toString())
                                          : failure_text(answer, QStringLiteral("The server")),
                     answer.status);
            });
    };
    m->ask(m->transport.account().url);
}

void Discovery::stop()
{
    m->transport.abort_all();
}

} // namespace carddav
