// The 207 Multi-Status answer of a PROPFIND, read into the properties this library asks for.
// Internal to the library.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <vector>

#include "carddav/server.h"

namespace carddav {

// One DAV:response: its resource and the properties that came with status 200.
struct DavResource
{
    QUrl url; // the href resolved against the request's URL
    bool collection = false;
    bool addressbook = false;
    QString display_name;
    QString description;
    QUrl principal;        // DAV:current-user-principal
    QList<QUrl> homes;     // CARDDAV:addressbook-home-set
    unsigned versions = 0; // VcardSupport bits of CARDDAV:supported-address-data; 0: not given
    int64_t max_resource_size = -1;
    bool privileges_given = false;
    bool writable = false; // DAV:write, DAV:write-content, DAV:bind or DAV:all among the privileges
};

// The resources of `body`, hrefs resolved against `base`. Empty when the body is not XML of
// that form (the caller says what it expected).
std::vector<DavResource> read_multistatus(const QByteArray& body, const QUrl& base);

// `url` with a '/' after its path, as collections are named.
QUrl as_collection(QUrl url);

// The address book that a resource of resourcetype CARDDAV:addressbook describes.
AddressBook book_of(const DavResource& resource);

} // namespace carddav
