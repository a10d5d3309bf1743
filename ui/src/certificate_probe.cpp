#include "certificate_probe.h"

#include <QSslConfiguration>
#include <QSslError>

namespace ui {

CertificateProbe::CertificateProbe(const QUrl& url, const QList<QSslCertificate>& extra, QObject* parent)
    : QObject(parent), m_url(url)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!extra.isEmpty())
        tls.addCaCertificates(extra);
    m_socket.setSslConfiguration(tls);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CertificateProbe::finish);
    connect(&m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
        m_findings.certificate = m_socket.peerCertificate();
        for (const QSslError& e : errors)
            if (!m_findings.problems.contains(e.errorString()))
                m_findings.problems.append(e.errorString());
        finish(); // nothing is sent over a connection that does not verify
    });
    connect(&m_socket, &QSslSocket::encrypted, this, [this] {
        m_findings.certificate = m_socket.peerCertificate();
        finish();
    });
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, &CertificateProbe::finish);
}

void CertificateProbe::start(int timeoutMs)
{
    m_timer.start(timeoutMs);
    m_socket.connectToHostEncrypted(m_url.host(), quint16(m_url.port(443)));
}

void CertificateProbe::finish()
{
    if (m_done)
        return;
    m_done = true;
    m_timer.stop();
    m_socket.abort();
    emit finished(m_findings);
}

} // namespace ui
