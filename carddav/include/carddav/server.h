// Where an upload goes and how the client talks to it: the server's address, the account, the
// transport rules, and the address books a server holds.
//
// Every request of this library goes through these rules:
//   - TLS certificates are verified against the system's trust store (plus `extra_ca`, which only
//     tests set); a certificate that does not verify ends the request, never a silent accept.
//   - Plain http:// is used only to a loopback address (127.0.0.0/8, ::1, "localhost") or with
//     `insecure`; otherwise the request is refused before anything is sent.
//   - The user name and password go only to the scheme, host and port of `url`: a redirect to
//     another origin is not followed (it ends as a failure that names where it pointed).
//   - The password lives only in memory; nothing of this library writes it anywhere or logs it.
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <chrono>
#include <cstdint>

namespace carddav {

struct Account
{
    QUrl url;         // the server's address or an address book's (https://dav.example.org/)
    QString user;     // empty: no authentication
    QString password; // with `user`: HTTP authentication as the server asks (Basic, Digest)
    // Plain http:// to a host that is not a loopback address (the window asks first, in words).
    bool insecure = false;
    // Certificate authorities trusted beside the system's (tests' own CA; see ca_from_environment).
    QList<QSslCertificate> extra_ca;
    // A server certificate that does not verify but that the user chose to go on with (the window
    // shows what is wrong with it and asks first): a connection presenting exactly this
    // certificate is accepted despite its errors; any other certificate must still verify. Null:
    // every certificate must verify.
    QSslCertificate accepted_certificate;
    // A request without an answer for this long fails (and counts as one failed attempt).
    std::chrono::milliseconds timeout{30000};
};

// The certificates of the PEM file named by PELIMOOR_CA_FILE (a test's own authority), else
// none. For tests only: a real user's system trust store is what verifies servers.
QList<QSslCertificate> ca_from_environment();

// Why `account` cannot be used as it is ("Plain http:// to dav.example.org: ..." for a non-loopback
// http:// without `insecure`, an URL that is not http(s)); empty when it can.
QString account_problem(const Account& account);

// Whether `url` names a loopback host (127.0.0.0/8, ::1 or "localhost").
bool is_loopback(const QUrl& url);

// The vCard versions an address book takes (CARDDAV:supported-address-data).
enum VcardSupport : unsigned
{
    kVcard30 = 1u,
    kVcard40 = 2u,
};

// One address book of the server (a collection with resourcetype CARDDAV:addressbook).
struct AddressBook
{
    QUrl url;                       // absolute, ending in '/'
    QString display_name;           // DAV:displayname; the last path segment when it has none
    QString description;            // CARDDAV:addressbook-description, often empty
    unsigned versions = kVcard30;   // VcardSupport bits; 3.0 alone when the server does not say
    int64_t max_resource_size = -1; // CARDDAV:max-resource-size in bytes; -1: not given
    bool writable = true;           // false when DAV:current-user-privilege-set lacks write

    // The vCard 4.0 the book takes, else 3.0 (never 2.1).
    bool takes_vcard40() const { return (versions & kVcard40) != 0; }
    // The size a card must fit: max_resource_size when given, else kDefaultMaxCardBytes.
    int64_t card_limit() const;
};

// A card's size limit when the server gives none (Baikal refuses cards over 1 MB, Nextcloud photos
// over 1 MB).
inline constexpr int64_t kDefaultMaxCardBytes = 1000 * 1000;

} // namespace carddav
