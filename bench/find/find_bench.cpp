// find-bench [--contacts N] [--no-view]
//
// The contact list's find and sort at scale: N contacts (100,000 by default) built in memory
// with names, companies, e-mail addresses and phone numbers in several languages, shown through
// a ContactListModel and a ContactFindModel in a table view (offscreen unless a platform is
// set). Prints one line per step, with the time in milliseconds:
//   fill                       the rows as one list fill (a model reset)
//   key "<query>"              setQuery for each keystroke of "müller" (the first one folds
//                              every record's text), then of "+49 30" and "schroder anna"
//   clear                      setQuery("")
//   sort <column> asc|desc     sort; the first sort of a column builds its collation keys
//   sorted key / sorted clear  keystrokes and clearing with the sort active
//   memory                     heap grown since the fill began: list rows, find texts, ranks, keys
//   scan batches ...           N rows in batches of 500 (rowsInserted at the top), with a query
//                              active, then with a query and a sort; total and largest batch
// Targets: a keystroke within 100 ms, a sort within 300 ms at 100,000 contacts.
#include "contacts/contact_store.h"
#include "ui/contact_find.h"
#include "ui/contact_list.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QTableView>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <random>
#include <string>
#include <time.h>
#include <vector>

namespace {

using contacts::Field;

constexpr std::array<const char16_t*, 24> kFirstNames = {
    u"Anna",  u"Hans",  u"Jürgen",  u"Zoë",    u"José",  u"Søren",  u"Łukasz", u"Ingrid",
    u"Chloé", u"Björn", u"María",   u"Émile",  u"Olga",  u"Ольга",  u"Dmitri", u"Αλέξης",
    u"Yuki",  u"太郎",  u"Siobhán", u"Mehmet", u"İlkay", u"Nguyễn", u"Paul",   u"Sarah",
};
constexpr std::array<const char16_t*, 28> kLastNames = {
    u"Müller",    u"Mueller",      u"Müllner", u"Schröder", u"Straße",   u"Weiß",     u"García",
    u"Øster",     u"O’Brien",      u"Nowak",   u"Dvořák",   u"Lefèvre",  u"Smith",    u"Johnson",
    u"Иванов",    u"Παπαδόπουλος", u"山田",    u"Yılmaz",   u"Nguyen",   u"Kowalski", u"Fischer",
    u"Schneider", u"Meyer",        u"Wagner",  u"Becker",   u"Hoffmann", u"Schulz",   u"Koch",
};
constexpr std::array<const char16_t*, 12> kCompanies = {
    u"Müller & Söhne GmbH",
    u"ACME Corp.",
    u"Café Zürich AG",
    u"Ｎｉｐｐｏｎ Trading",
    u"Straßenbau Nord",
    u"Øresund Logistics",
    u"Globex",
    u"Initech",
    u"Łódź Software",
    u"",
    u"",
    u"",
};
constexpr std::array<const char16_t*, 5> kDomains = {u"example.com", u"mail.de", u"firma.at", u"corp.example",
                                                     u"post.ch"};

// An ASCII form of a name for its e-mail address (the domain part of real data is ASCII too).
std::u16string mailbox(const std::u16string& first, const std::u16string& last)
{
    std::u16string out;
    for (char16_t c : first + u"." + last) {
        if ((c >= u'a' && c <= u'z') || c == u'.')
            out += c;
        else if (c >= u'A' && c <= u'Z')
            out += static_cast<char16_t>(c + 0x20);
    }
    return out;
}

std::u16string phone(std::mt19937& rng)
{
    static constexpr std::array<const char*, 4> kFormats = {"+49 30 %04u %03u", "(030) %04u-%03u", "+1-555-%04u-%03u",
                                                            "0%04u/%03u"};
    char text[40];
    std::snprintf(text, sizeof text, kFormats[rng() % kFormats.size()], static_cast<unsigned>(rng() % 10000),
                  static_cast<unsigned>(rng() % 1000));
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

std::vector<const contacts::ContactRecord*> makeContacts(contacts::ContactStore& store, int count)
{
    std::mt19937 rng(20240601);
    contacts::ContactDraft draft;
    std::vector<const contacts::ContactRecord*> records;
    records.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        draft.reset();
        const std::u16string first = kFirstNames[rng() % kFirstNames.size()];
        const std::u16string last = kLastNames[rng() % kLastNames.size()];
        draft.set_text(Field::first_name, first);
        draft.set_text(Field::last_name, last);
        draft.set_text(Field::full_name, last + u", " + first);
        if (const std::u16string company = kCompanies[rng() % kCompanies.size()]; !company.empty())
            draft.set_text(Field::company_name, company);
        draft.set_text(Field::email, mailbox(first, last) + std::u16string(u"@") + kDomains[rng() % kDomains.size()]);
        draft.set_text(Field::business_phone, phone(rng));
        if (rng() % 2 == 0)
            draft.set_text(Field::mobile_phone, phone(rng));
        if (rng() % 4 == 0)
            draft.set_text(Field::home_phone, phone(rng));
        draft.set_number(store.next_number());
        contacts::ContactRecordPtr record = contacts::contact_record_build(store, draft);
        records.push_back(record.get());
        contacts::contact_store_append(store, std::move(record));
    }
    return records;
}

double heapMb()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

// Wall-clock and this thread's processor time of one step, in milliseconds.
struct Timing
{
    double wall;
    double cpu;
};

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

template <typename F> Timing timed(F&& f)
{
    QElapsedTimer timer;
    const double cpu = threadCpuMs();
    timer.start();
    f();
    return Timing{static_cast<double>(timer.nsecsElapsed()) / 1e6, threadCpuMs() - cpu};
}

void report(const char* step, const QString& detail, Timing t, int rows)
{
    std::printf("%-16s %-20s %9.1f ms %9.1f ms cpu %7d rows\n", step, qPrintable(detail), t.wall, t.cpu, rows);
    std::fflush(stdout);
}

struct Bench
{
    ui::ContactListModel list;
    ui::ContactFindModel find;
    std::unique_ptr<QTableView> view;

    void type(const char* step, const QString& text)
    {
        for (qsizetype n = 1; n <= text.size(); ++n) {
            const QString query = text.left(n);
            report(step, QStringLiteral("\"%1\"").arg(query), timed([&] { setQuery(query); }), find.rowCount());
        }
    }
    // The proxy filters and sorts again when next asked for its rows, which a view does at once.
    void setQuery(const QString& query)
    {
        find.setQuery(query);
        find.rowCount();
    }
    void sort(int column, Qt::SortOrder order)
    {
        const QString detail = QStringLiteral("%1 %2").arg(column).arg(order == Qt::AscendingOrder ? "asc" : "desc");
        report("sort", detail, timed([&] {
                   find.sort(column, order);
                   find.rowCount();
               }),
               find.rowCount());
    }
    void scan(const char* step, const std::vector<const contacts::ContactRecord*>& records)
    {
        list.clear();
        Timing worst{0, 0};
        const Timing total = timed([&] {
            for (size_t start = 0; start < records.size(); start += 500) {
                const std::vector<const contacts::ContactRecord*> batch(
                    records.begin() + static_cast<std::ptrdiff_t>(start),
                    records.begin() + static_cast<std::ptrdiff_t>(std::min(records.size(), start + 500)));
                const Timing t = timed([&] { list.addScanRows(batch); });
                worst = t.wall > worst.wall ? t : worst;
            }
        });
        report(step, QStringLiteral("total"), total, find.rowCount());
        report(step, QStringLiteral("largest batch"), worst, find.rowCount());
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int count = 100000;
    bool withView = true;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--contacts") && i + 1 < args.size())
            count = args[++i].toInt();
        else if (args[i] == QLatin1String("--no-view"))
            withView = false;
    }

    contacts::ContactStore store;
    std::vector<const contacts::ContactRecord*> records;
    const Timing built = timed([&] { records = makeContacts(store, count); });
    report("build", QStringLiteral("%1 contacts").arg(count), built, 0);

    // The fold table is built on the first fold; the first keystroke pays it otherwise.
    report("fold table", QString(), timed([] { ui::foldForFind(u"\u00C4"); }), 0);

    Bench bench;
    bench.find.setCollationLocale(QLocale(QLocale::German, QLocale::Germany));
    bench.find.setSourceModel(&bench.list);
    if (withView) {
        bench.view = std::make_unique<QTableView>();
        bench.view->setModel(&bench.find);
        bench.view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        bench.view->resize(1000, 700);
        bench.view->show();
        QCoreApplication::processEvents();
    }

    const double heapBefore = heapMb();
    report("fill", QString(), timed([&] {
               bench.list.setFillRows(records);
               bench.find.rowCount();
           }),
           bench.find.rowCount());
    // Right after the fill, before the event loop has built any find text.
    bench.type("cold key", QStringLiteral("m"));
    bench.setQuery(QString());
    bench.list.setFillRows(records);
    report("prepare", QStringLiteral("idle chunks"), timed([&] {
               while (bench.find.rowsToPrepare() > 0)
                   QCoreApplication::processEvents();
           }),
           bench.find.rowCount());
    bench.type("key", QStringLiteral("müller"));
    report("clear", QString(), timed([&] { bench.setQuery(QString()); }), bench.find.rowCount());
    bench.type("key", QStringLiteral("+49 30"));
    bench.type("key", QStringLiteral("schroder anna"));
    report("clear", QString(), timed([&] { bench.setQuery(QString()); }), bench.find.rowCount());

    bench.sort(2, Qt::AscendingOrder);
    bench.sort(2, Qt::DescendingOrder);
    bench.sort(3, Qt::AscendingOrder);
    bench.sort(2, Qt::AscendingOrder);
    bench.sort(5, Qt::AscendingOrder);
    bench.sort(0, Qt::DescendingOrder);
    bench.sort(2, Qt::AscendingOrder);

    std::printf("%-16s %-20s %9.1f MB (list rows, find texts, ranks of 3 columns, keys of one)\n", "memory",
                "heap growth", heapMb() - heapBefore);
    bench.type("sorted key", QStringLiteral("müller"));
    report("sorted clear", QString(), timed([&] { bench.setQuery(QString()); }), bench.find.rowCount());
    bench.sort(-1, Qt::AscendingOrder);

    bench.find.setQuery(QStringLiteral("müller"));
    bench.scan("scan batches", records);
    bench.sort(2, Qt::AscendingOrder);
    bench.scan("sorted scan", records);
    bench.find.setQuery(QString());
    bench.scan("sorted scan all", records);
    return 0;
}
