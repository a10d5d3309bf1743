// The requests of every CardDAV exchange, under the rules of server.h: TLS verified (with the
// account's extra authorities), plain http only where account_problem() allows it, credentials
// only to the account's origin, redirects followed on that origin only (at most five), a timeout
// on every request. Internal to the library.
#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>
#include <functional>

#include "carddav/server.h"

namespace carddav {

// What came back from one request (after same-origin redirects).
struct Answer
{
    int status = 0; // HTTP status; 0 when no answer came
    QString reason; // the reason phrase ("Precondition Failed")
    QByteArray body;
    QByteArray etag; // the ETag header
    QByteArray retry_after;
    QUrl url; // where the answer came from
    // No answer: why, for a person ("No answer from host within 30 seconds.", a TLS error, ...).
    QString failure;
    enum class Kind
    {
        answered,    // `status` holds the server's answer
        timed_out,   // no answer within the timeout
        lost,        // the connection broke off: worth another try
        unreachable, // the host is not found or refuses connections
        tls,         // the certificate did not verify, or TLS failed
        redirected,  // a redirect to another origin, not followed (`url`: where it pointed)
        refused,     // the account's rules forbid the request (nothing sent)
        aborted,     // abort_all()
    } kind = Kind::answered;
    bool is_success() const { return kind == Kind::answered && status >= 200 && status < 300; }
    // "412 Precondition Failed: <the first line of the server's text>", or `failure`.
    QString describe() const;
};

using Headers = QList<QPair<QByteArray, QByteArray>>;

class Transport : public QObject
{
    Q_OBJECT
public:
    explicit Transport(const Account& account, QObject* parent = nullptr);

    // Sends `method` to `url` and calls `done` once with the answer, on this object's thread.
    void send(const QByteArray& method, const QUrl& url, const Headers& headers, const QByteArray& body,
              std::function<void(const Answer&)> done);
    // Ends every request under way; their `done` get Kind::aborted.
    void abort_all();
    const Account& account() const { return m_account; }

private:
    void issue(const QByteArray& method, const QUrl& url, const Headers& headers, const QByteArray& body,
               std::function<void(const Answer&)> done, int redirects);

    Account m_account;
    QNetworkAccessManager m_network;
};

// A sentence for a failed step `what` ("The address books"): the user name or password for 401,
// the server's answer for another status, the transport's failure otherwise.
QString failure_text(const Answer& answer, const QString& what);

// The body of a PROPFIND asking for `props` ("<d:displayname/>" ...), with the DAV: (d), CardDAV
// (c) and calendarserver (cs) prefixes declared.
QByteArray propfind_body(const char* props);

} // namespace carddav
