// Making a new address book in a home (extended MKCOL, RFC 5689, as RFC 6352 6.3.1 asks).
//
//   carddav::BookCreation c(account, result.home, "Outlook contacts");
//   connect(&c, &BookCreation::finished, ...);
//   c.start();
//
// The book's URL is the home plus a segment made from the name (ASCII letters and digits kept in
// lower case, every other run of characters one '-') and a short random suffix when that exists
// already (405 from the server; up to three names are tried). Its DAV:displayname is the name as
// given. On success `book` is read back with the same properties Discovery reads (PROPFIND
// Depth 0).
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <memory>

#include "carddav/server.h"

namespace carddav {

struct CreationResult
{
    QString error; // empty on success; a sentence as DiscoveryResult's, with the server's text
    int http_status = 0;
    AddressBook book; // the new book
    bool ok() const { return error.isEmpty(); }
};

class BookCreation : public QObject
{
    Q_OBJECT
public:
    BookCreation(Account account, QUrl home, QString display_name, QObject* parent = nullptr);
    ~BookCreation() override;
    void start(); // finished() follows exactly once
    void stop();

signals:
    void finished(const carddav::CreationResult& result);

private:
    struct State;
    std::unique_ptr<State> m;
};

} // namespace carddav
