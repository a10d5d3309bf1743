#include "carddav/discovery.h"

#include <QTimer>

namespace carddav {

struct Discovery::State
{
    Account account;
    bool done = false;
};

Discovery::Discovery(Account account, QObject* parent) : QObject(parent), m(std::make_unique<State>())
{
    m->account = std::move(account);
}

Discovery::~Discovery() = default;

void Discovery::start()
{
    QTimer::singleShot(0, this, [this] {
        DiscoveryResult result;
        result.error = QStringLiteral("Not available yet.");
        emit finished(result);
    });
}

void Discovery::stop() {}

} // namespace carddav
