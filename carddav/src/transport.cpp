#include "transport.h"

#include <QAuthenticator>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslError>

namespace carddav {

namespace {

constexpr int kMaxRedirects = 5;
// The first characters of the server's text that a message quotes.
constexpr qsizetype kQuotedChars = 200;

int port_of(const QUrl& url)
{
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
}

bool same_origin(const QUrl& a, const QUrl& b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port_of(a) == port_of(b);
}

// The server's text as one short line: tags of an HTML page left out, blanks joined.
QString first_words(const QByteArray& body)
{
    QString text = QString::fromUtf8(body.left(4096));
    if (text.contains(QLatin1Char('<'))) {
        static const QRegularExpression head(QStringLiteral("<head.*</head>|<style.*</style>"),
                                             QRegularExpression::DotMatchesEverythingOption |
                                                 QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
        text.remove(head);
        text.replace(tag, QStringLiteral(" "));
    }
    text = text.simplified();
    if (text.size() > kQuotedChars) {
        text = text.left(kQuotedChars) + QStringLiteral("...");
    }
    return text;
}

} // namespace

QString Answer::describe() const
{
    if (kind != Kind::answered) {
        return failure;
    }
    QString text = QString::number(status);
    if (!reason.isEmpty()) {
        text += QLatin1Char(' ') + reason;
    }
    const QString words = first_words(body);
    if (!words.isEmpty() && words.compare(reason, Qt::CaseInsensitive) != 0) {
        text += QStringLiteral(": ") + words;
    }
    return text;
}

QString failure_text(const Answer& answer, const QString& what)
{
    if (answer.kind == Answer::Kind::answered && answer.status == 401) {
        return QStringLiteral("The server refused the user name or password (%1).").arg(answer.describe());
    }
    if (answer.kind == Answer::Kind::answered) {
        return QStringLiteral("%1 at %2: the server answered %3").arg(what, answer.url.toString(), answer.describe());
    }
    return answer.failure;
}

QByteArray propfind_body(const char* props)
{
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                             "<d:propfind xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:carddav\" "
                             "xmlns:cs=\"http://calendarserver.org/ns/\"><d:prop>") +
           props + QByteArrayLiteral("</d:prop></d:propfind>\n");
}

Transport::Transport(const Account& account, QObject* parent) : QObject(parent), m_account(account)
{
    m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // Nothing of a session is kept on disk or between accounts.
    m_network.setCookieJar(nullptr);
    // The user name and password are given when the server asks for them, in the scheme it asks
    // for (Basic; Digest, which some servers are set up with and which never sends the password
    // itself; NTLM), and only to the account's own origin, so a redirect never carries them away.
    // Given once per request: asked again, the server refused them, and the request ends with 401.
    connect(&m_network, &QNetworkAccessManager::authenticationRequired, this,
            [this](QNetworkReply* reply, QAuthenticator* authenticator) {
                if (m_account.user.isEmpty() || !same_origin(reply->url(), m_account.url) ||
                    reply->property("pelimoor_credentials_given").toBool()) {
                    return;
                }
                reply->setProperty("pelimoor_credentials_given", true);
                authenticator->setUser(m_account.user);
                authenticator->setPassword(m_account.password);
            });
}

void Transport::send(const QByteArray& method, const QUrl& url, const Headers& headers, const QByteArray& body,
                     std::function<void(const Answer&)> done)
{
    issue(method, url, headers, body, std::move(done), 0);
}

void Transport::abort_all()
{
    for (QNetworkReply* reply : m_network.findChildren<QNetworkReply*>()) {
        reply->setProperty("pelimoor_aborted", true);
        reply->abort();
    }
}

void Transport::issue(const QByteArray& method, const QUrl& url, const Headers& headers, const QByteArray& body,
                      std::function<void(const Answer&)> done, int redirects)
{
    Account checked = m_account;
    checked.url = url;
    if (const QString problem = account_problem(checked); !problem.isEmpty() || !same_origin(url, m_account.url)) {
        Answer answer;
        answer.kind = Answer::Kind::refused;
        answer.url = url;
        answer.failure =
            problem.isEmpty()
                ? QStringLiteral("%1 is not on the server given (%2): not asked.").arg(url.host(), m_account.url.host())
                : problem;
        QMetaObject::invokeMethod(
            this, [done = std::move(done), answer] { done(answer); }, Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(static_cast<int>(m_account.timeout.count()));
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("Pelimoor"));
    for (const auto& [name, value] : headers) {
        request.setRawHeader(name, value);
    }
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!m_account.extra_ca.isEmpty()) {
            tls.addCaCertificates(m_account.extra_ca);
        }
        request.setSslConfiguration(tls);
    }
    QNetworkReply* reply = m_network.sendCustomRequest(request, method, body);
    auto tls_errors = std::make_shared<QString>();
    connect(reply, &QNetworkReply::sslErrors, reply, [this, reply, tls_errors](const QList<QSslError>& errors) {
        // The one certificate the user chose to go on with, and no other.
        const QSslCertificate& accepted = m_account.accepted_certificate;
        if (!accepted.isNull() && reply->sslConfiguration().peerCertificate() == accepted) {
            reply->ignoreSslErrors(errors);
            return;
        }
        QStringList texts;
        for (const QSslError& e : errors) {
            texts << e.errorString();
        }
        *tls_errors = texts.join(QStringLiteral("; "));
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, method, url, headers, body, done = std::move(done), redirects, tls_errors]() mutable {
                reply->deleteLater();
                Answer answer;
                answer.url = url;
                answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                answer.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
                answer.body = reply->readAll();
                answer.etag = reply->rawHeader(QByteArrayLiteral("ETag"));
                answer.retry_after = reply->rawHeader(QByteArrayLiteral("Retry-After"));
                const QNetworkReply::NetworkError error = reply->error();
                const QString host = url.host();
                if (answer.status == 0 || error == QNetworkReply::OperationCanceledError) {
                    answer.status = 0;
                    if (reply->property("pelimoor_aborted").toBool()) {
                        answer.kind = Answer::Kind::aborted;
                        answer.failure = QStringLiteral("Stopped.");
                    } else if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
                        answer.kind = Answer::Kind::timed_out;
                        answer.failure = QStringLiteral("No answer from %1 within %2 seconds.")
                                             .arg(host)
                                             .arg(static_cast<double>(m_account.timeout.count()) / 1000.0);
                    } else if (error == QNetworkReply::SslHandshakeFailedError || !tls_errors->isEmpty()) {
                        answer.kind = Answer::Kind::tls;
                        answer.failure = QStringLiteral("The certificate of %1 is not valid: %2")
                                             .arg(host, tls_errors->isEmpty() ? reply->errorString() : *tls_errors);
                    } else if (error == QNetworkReply::HostNotFoundError ||
                               error == QNetworkReply::ConnectionRefusedError) {
                        answer.kind = Answer::Kind::unreachable;
                        answer.failure = QStringLiteral("%1 cannot be reached: %2").arg(host, reply->errorString());
                    } else {
                        answer.kind = Answer::Kind::lost;
                        answer.failure =
                            QStringLiteral("The connection to %1 broke off: %2").arg(host, reply->errorString());
                    }
                    done(answer);
                    return;
                }
                if (answer.status >= 300 && answer.status < 400 && answer.status != 304) {
                    const QUrl target = url.resolved(QUrl(QString::fromUtf8(reply->rawHeader("Location"))));
                    if (target.isValid() && same_origin(target, m_account.url) && redirects < kMaxRedirects) {
                        // 303 asks for a GET; the others repeat the request as it was.
                        const QByteArray next = answer.status == 303 ? QByteArrayLiteral("GET") : method;
                        issue(next, target, headers, answer.status == 303 ? QByteArray() : body, std::move(done),
                              redirects + 1);
                        return;
                    }
                    answer.kind = Answer::Kind::redirected;
                    answer.url = target;
                    answer.failure = redirects >= kMaxRedirects
                                         ? QStringLiteral("%1 %2: too many redirects, last to %3.")
                                               .arg(answer.status)
                                               .arg(answer.reason, target.toString())
                                         : QStringLiteral("%1 %2: redirected to another server (%3), not followed.")
                                               .arg(answer.status)
                                               .arg(answer.reason, target.toString(QUrl::RemoveUserInfo));
                }
                done(answer);
            });
}

} // namespace carddav
