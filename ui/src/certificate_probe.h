// What is wrong with a server's certificate, found by a TLS handshake of our own: the window asks
// the user about it in words before going on with that certificate (carddav::Account::
// accepted_certificate). Lives on the window's thread; never blocks.
#pragma once

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslSocket>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

namespace ui {

struct CertificateFindings
{
    // The server's certificate; null when no handshake took place (no connection, no TLS).
    QSslCertificate certificate;
    // What does not verify, one sentence each (Qt's own descriptions); empty when it verifies.
    QStringList problems;
    bool verifies() const { return problems.isEmpty(); }
};

class CertificateProbe : public QObject
{
    Q_OBJECT
public:
    // Shakes hands with the host and port of `url`, trusting the system's authorities plus `extra`.
    CertificateProbe(const QUrl& url, const QList<QSslCertificate>& extra, QObject* parent = nullptr);
    // finished() follows exactly once, within `timeoutMs`.
    void start(int timeoutMs = 15000);

signals:
    void finished(const ui::CertificateFindings& findings);

private:
    void finish();

    QUrl m_url;
    QSslSocket m_socket;
    QTimer m_timer;
    CertificateFindings m_findings;
    bool m_done = false;
};

} // namespace ui
