#include "carddav/create_book.h"

#include <QTimer>

namespace carddav {

struct BookCreation::State
{
    Account account;
    QUrl home;
    QString name;
};

BookCreation::BookCreation(Account account, QUrl home, QString display_name, QObject* parent)
    : QObject(parent), m(std::make_unique<State>())
{
    m->account = std::move(account);
    m->home = std::move(home);
    m->name = std::move(display_name);
}

BookCreation::~BookCreation() = default;

void BookCreation::start()
{
    QTimer::singleShot(0, this, [this] {
        CreationResult result;
        result.error = QStringLiteral("Not available yet.");
        emit finished(result);
    });
}

void BookCreation::stop() {}

} // namespace carddav
