// Finding the address books of a server.
//
//   carddav::Discovery d(account);
//   connect(&d, &Discovery::finished, ...);  // once, with the result
//   d.start();
//
// From `account.url` (a server, a principal, a home or an address book): PROPFIND Depth 0 on it;
// when it is an address book, that book alone is the answer. Otherwise the principal is asked of
// it (DAV:current-user-principal, RFC 5397), and where it has none, of /.well-known/carddav
// (RFC 6764, redirects on the same origin followed); then the principal's
// CARDDAV:addressbook-home-set (RFC 6352 7.1.1), then PROPFIND Depth 1 on the home: every child
// whose resourcetype is CARDDAV:addressbook, with its display name, supported vCard versions and
// max-resource-size. The SRV record of RFC 6764 is not looked up.
//
// Lives on the thread that made it (Qt's event loop there drives it); never blocks.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <memory>
#include <vector>

#include "carddav/server.h"

namespace carddav {

struct DiscoveryResult
{
    // Empty on success, else a sentence for a person: "The server refused the user name or
    // password (401 Unauthorized).", "The certificate of dav.example.org is not valid: ...",
    // "No answer from dav.example.org within 30 seconds.", ...
    QString error;
    int http_status = 0;            // the status of the answer that failed; 0: none (network, TLS, refused)
    QUrl home;                      // the address-book home (empty when the account's URL was a book)
    std::vector<AddressBook> books; // may be empty: the home holds none (create one)
    bool ok() const { return error.isEmpty(); }
};

class Discovery : public QObject
{
    Q_OBJECT
public:
    explicit Discovery(Account account, QObject* parent = nullptr);
    ~Discovery() override;

    // Starts the requests; finished() follows exactly once (also for an account_problem(), then
    // without a request). Call once.
    void start();
    // Ends the requests now; finished() follows with the error "Stopped.".
    void stop();

signals:
    void finished(const carddav::DiscoveryResult& result);

private:
    struct State;
    std::unique_ptr<State> m;
};

} // namespace carddav
