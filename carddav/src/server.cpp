#include "carddav/server.h"

#include <QFile>
#include <QHostAddress>

namespace carddav {

QList<QSslCertificate> ca_from_environment()
{
    const QString path = qEnvironmentVariable("PELIMOOR_CA_FILE");
    if (path.isEmpty()) {
        return {};
    }
    return QSslCertificate::fromPath(path, QSsl::Pem);
}

bool is_loopback(const QUrl& url)
{
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

QString account_problem(const Account& account)
{
    const QUrl& url = account.url;
    if (!url.isValid() || url.host().isEmpty()) {
        return QStringLiteral("\"%1\" is not the address of a server (https://host/...).").arg(url.toString());
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http")) {
        return QStringLiteral("\"%1\" is not an http:// or https:// address.").arg(url.toString());
    }
    if (scheme == QLatin1String("http") && !account.insecure && !is_loopback(url)) {
        return QStringLiteral("Plain http:// to %1 would send the contacts and the password unencrypted; use "
                              "https://, or allow it expressly (--insecure).")
            .arg(url.host());
    }
    return {};
}

int64_t AddressBook::card_limit() const
{
    return max_resource_size > 0 ? max_resource_size : kDefaultMaxCardBytes;
}

} // namespace carddav
