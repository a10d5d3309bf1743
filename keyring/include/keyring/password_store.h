// The desktop's secret store (the Secret Service through libsecret, or KWallet), for the
// passwords a user asked to be remembered.
//
// The contract:
// - A password goes to the desktop's store and nowhere else: never to a settings file, never to
//   a plain-text fallback. When the desktop has no store, write() answers `unavailable` and the
//   password stays in the caller's memory only.
// - Every call answers exactly once through `done`, later, on the calling thread's event loop
//   (never inside the call itself), so a store that asks the user to unlock it never freezes a
//   window.
// - `key` names the entry within the program's own service ("pelimoor"); keyFor() builds the
//   key of a server account.
#pragma once

#include <QString>
#include <functional>
#include <map>

namespace keyring {

enum class StoreResult
{
    ok,          // read: found; write and remove: done
    not_found,   // read and remove: nothing kept under the key
    unavailable, // the desktop has no secret store (or none that answers)
    failed,      // the store answered with an error (locked and not unlocked, refused, ...)
};

struct StoreReply
{
    StoreResult result = StoreResult::failed;
    QString password; // read, when ok
    QString error;    // the store's own words, when failed or unavailable
};

using StoreDone = std::function<void(const StoreReply&)>;

class PasswordStore
{
public:
    virtual ~PasswordStore() = default;
    virtual void read(const QString& key, StoreDone done) = 0;
    virtual void write(const QString& key, const QString& password, StoreDone done) = 0;
    virtual void remove(const QString& key, StoreDone done) = 0;
};

// The key of the password of `user` at the server `url`.
QString keyFor(const QString& url, const QString& user);

// The store in use: the desktop's unless a test installed another.
PasswordStore& passwordStore();
// Installs `store` (not owned; must outlive its use); null restores the desktop's.
void installPasswordStore(PasswordStore* store);

// A test double: entries in memory; `available` false answers every call `unavailable`.
class MemoryPasswordStore : public PasswordStore
{
public:
    void read(const QString& key, StoreDone done) override;
    void write(const QString& key, const QString& password, StoreDone done) override;
    void remove(const QString& key, StoreDone done) override;

    bool available = true;
    std::map<QString, QString> entries;
};

} // namespace keyring
