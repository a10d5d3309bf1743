#include "keyring/password_store.h"

#include <QCoreApplication>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace keyring {
namespace {

const QString kService = QStringLiteral("pelimoor");

StoreReply replyOf(const QKeychain::Job& job)
{
    StoreReply reply;
    switch (job.error()) {
    case QKeychain::NoError:
        reply.result = StoreResult::ok;
        break;
    case QKeychain::EntryNotFound:
        reply.result = StoreResult::not_found;
        break;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        reply.result = StoreResult::unavailable;
        break;
    default:
        reply.result = StoreResult::failed;
        break;
    }
    if (reply.result != StoreResult::ok)
        reply.error = job.errorString();
    return reply;
}

// Runs `job` and answers through `done` once it finished. Never a plain-text fallback: without a
// desktop store the job fails.
void run(QKeychain::Job* job, const QString& key, StoreDone done)
{
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(key);
    QObject::connect(job, &QKeychain::Job::finished, [done = std::move(done)](QKeychain::Job* finished) {
        StoreReply reply = replyOf(*finished);
        if (reply.result == StoreResult::ok)
            if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(finished))
                reply.password = read->textData();
        done(reply);
    });
    job->start();
}

class DesktopPasswordStore : public PasswordStore
{
public:
    void read(const QString& key, StoreDone done) override { run(new QKeychain::ReadPasswordJob(kService), key, done); }
    void write(const QString& key, const QString& password, StoreDone done) override
    {
        auto* job = new QKeychain::WritePasswordJob(kService);
        job->setTextData(password);
        run(job, key, std::move(done));
    }
    void remove(const QString& key, StoreDone done) override
    {
        run(new QKeychain::DeletePasswordJob(kService), key, std::move(done));
    }
};

PasswordStore* g_installed = nullptr;

// The memory store answers on the next turn of the event loop, as the desktop's does.
void later(StoreDone done, StoreReply reply)
{
    QTimer::singleShot(0, QCoreApplication::instance(), [done = std::move(done), reply] { done(reply); });
}

} // namespace

QString keyFor(const QString& url, const QString& user)
{
    return QStringLiteral("carddav %1 at %2").arg(user, url);
}

PasswordStore& passwordStore()
{
    static DesktopPasswordStore desktop;
    return g_installed != nullptr ? *g_installed : desktop;
}

void installPasswordStore(PasswordStore* store)
{
    g_installed = store;
}

void MemoryPasswordStore::read(const QString& key, StoreDone done)
{
    StoreReply reply{StoreResult::unavailable, {}, QStringLiteral("No password store.")};
    if (available) {
        const auto it = entries.find(key);
        reply = it == entries.end() ? StoreReply{StoreResult::not_found, {}, {}}
                                    : StoreReply{StoreResult::ok, it->second, {}};
    }
    later(std::move(done), reply);
}

void MemoryPasswordStore::write(const QString& key, const QString& password, StoreDone done)
{
    StoreReply reply{StoreResult::unavailable, {}, QStringLiteral("No password store.")};
    if (available) {
        entries[key] = password;
        reply = {StoreResult::ok, {}, {}};
    }
    later(std::move(done), reply);
}

void MemoryPasswordStore::remove(const QString& key, StoreDone done)
{
    StoreReply reply{StoreResult::unavailable, {}, QStringLiteral("No password store.")};
    if (available)
        reply = {entries.erase(key) > 0 ? StoreResult::ok : StoreResult::not_found, {}, {}};
    later(std::move(done), reply);
}

} // namespace keyring
