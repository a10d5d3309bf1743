#include "multistatus.h"

#include <QXmlStreamReader>

#include "carddav/server.h"

namespace carddav {

namespace {

const QString kDav = QStringLiteral("DAV:");
const QString kCardDav = QStringLiteral("urn:ietf:params:xml:ns:carddav");

bool is(const QXmlStreamReader& xml, const QString& ns, QLatin1String name)
{
    return xml.namespaceUri() == ns && xml.name() == name;
}

// Reads the hrefs inside the current element up to its end.
QList<QUrl> read_hrefs(QXmlStreamReader& xml, const QUrl& base)
{
    QList<QUrl> hrefs;
    const int depth_end = 1;
    int depth = depth_end;
    while (depth > 0 && !xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (is(xml, kDav, QLatin1String("href"))) {
                hrefs << base.resolved(QUrl(xml.readElementText().trimmed()));
            } else {
                ++depth;
            }
        } else if (xml.isEndElement()) {
            --depth;
        }
    }
    return hrefs;
}

// One DAV:prop element's children into `r`.
void read_prop(QXmlStreamReader& xml, const QUrl& base, DavResource& r)
{
    while (xml.readNextStartElement()) {
        if (is(xml, kDav, QLatin1String("resourcetype"))) {
            while (xml.readNextStartElement()) {
                r.collection |= is(xml, kDav, QLatin1String("collection"));
                r.addressbook |= is(xml, kCardDav, QLatin1String("addressbook"));
                xml.skipCurrentElement();
            }
        } else if (is(xml, kDav, QLatin1String("displayname"))) {
            r.display_name = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (is(xml, kCardDav, QLatin1String("addressbook-description"))) {
            r.description = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (is(xml, kDav, QLatin1String("current-user-principal"))) {
            const QList<QUrl> hrefs = read_hrefs(xml, base);
            if (!hrefs.isEmpty()) {
                r.principal = hrefs.first();
            }
        } else if (is(xml, kCardDav, QLatin1String("addressbook-home-set"))) {
            r.homes = read_hrefs(xml, base);
        } else if (is(xml, kCardDav, QLatin1String("supported-address-data"))) {
            while (xml.readNextStartElement()) {
                if (is(xml, kCardDav, QLatin1String("address-data-type"))) {
                    const auto attributes = xml.attributes();
                    const QString type = attributes.value(QLatin1String("content-type")).toString();
                    const QString version = attributes.value(QLatin1String("version")).toString();
                    if (type.isEmpty() || type.compare(QLatin1String("text/vcard"), Qt::CaseInsensitive) == 0) {
                        r.versions |= version == QLatin1String("4.0")   ? kVcard40
                                      : version == QLatin1String("3.0") ? kVcard30
                                                                        : 0u;
                    }
                }
                xml.skipCurrentElement();
            }
        } else if (is(xml, kCardDav, QLatin1String("max-resource-size"))) {
            bool ok = false;
            const qlonglong size = xml.readElementText().trimmed().toLongLong(&ok);
            r.max_resource_size = ok && size > 0 ? size : -1;
        } else if (is(xml, kDav, QLatin1String("current-user-privilege-set"))) {
            r.privileges_given = true;
            while (xml.readNextStartElement()) {
                if (is(xml, kDav, QLatin1String("privilege"))) {
                    while (xml.readNextStartElement()) {
                        r.writable |=
                            xml.namespaceUri() == kDav &&
                            (xml.name() == QLatin1String("write") || xml.name() == QLatin1String("write-content") ||
                             xml.name() == QLatin1String("bind") || xml.name() == QLatin1String("all"));
                        xml.skipCurrentElement();
                    }
                } else {
                    xml.skipCurrentElement();
                }
            }
        } else {
            xml.skipCurrentElement();
        }
    }
}

// One DAV:propstat: its prop read into `r` only when its status is 200.
void read_propstat(QXmlStreamReader& xml, const QUrl& base, DavResource& r)
{
    DavResource found = r;
    bool ok = false;
    while (xml.readNextStartElement()) {
        if (is(xml, kDav, QLatin1String("prop"))) {
            read_prop(xml, base, found);
        } else if (is(xml, kDav, QLatin1String("status"))) {
            ok = xml.readElementText().contains(QLatin1String(" 200"));
        } else {
            xml.skipCurrentElement();
        }
    }
    if (ok) {
        r = found;
    }
}

} // namespace

QUrl as_collection(QUrl url)
{
    if (!url.path().endsWith(QLatin1Char('/'))) {
        url.setPath(url.path() + QLatin1Char('/'));
    }
    return url;
}

std::vector<DavResource> read_multistatus(const QByteArray& body, const QUrl& base)
{
    std::vector<DavResource> resources;
    QXmlStreamReader xml(body);
    if (!xml.readNextStartElement() || !is(xml, kDav, QLatin1String("multistatus"))) {
        return {};
    }
    while (xml.readNextStartElement()) {
        if (!is(xml, kDav, QLatin1String("response"))) {
            xml.skipCurrentElement();
            continue;
        }
        DavResource r;
        while (xml.readNextStartElement()) {
            if (is(xml, kDav, QLatin1String("href"))) {
                r.url = base.resolved(QUrl(xml.readElementText().trimmed()));
            } else if (is(xml, kDav, QLatin1String("propstat"))) {
                read_propstat(xml, base, r);
            } else {
                xml.skipCurrentElement();
            }
        }
        resources.push_back(std::move(r));
    }
    if (xml.hasError()) {
        return {};
    }
    return resources;
}

AddressBook book_of(const DavResource& r)
{
    AddressBook book;
    book.url = as_collection(r.url);
    book.display_name = r.display_name;
    if (book.display_name.isEmpty()) {
        const QStringList segments = book.url.path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
        book.display_name = segments.isEmpty() ? book.url.host() : QUrl::fromPercentEncoding(segments.last().toUtf8());
    }
    book.description = r.description;
    book.versions = r.versions != 0 ? r.versions : kVcard30;
    book.max_resource_size = r.max_resource_size;
    book.writable = !r.privileges_given || r.writable;
    return book;
}

} // namespace carddav
