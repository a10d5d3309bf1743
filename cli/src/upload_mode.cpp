#include "upload_mode.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <termios.h>
#include <unistd.h>

#include "carddav/cards.h"
#include "carddav/discovery.h"
#include "carddav/upload.h"
#include "carddav/upload_report.h"
#include "contacts/contact_store.h"
#include "engine/exchange_map.h"
#include "merge/merge.h"
#include "merge_step.h"
#include "progress_line.h"
#include "scan_inputs.h"

namespace cli {

namespace {

int usage(std::ostream& err, const std::string& what)
{
    err << "pelimoor-convert: " << what << "\nTry 'pelimoor-convert --help'.\n";
    return kExitUsage;
}

struct UploadArguments
{
    std::string url;
    std::string user;
    bool update = false;
    bool insecure = false;
    std::string out = ".";
    std::vector<std::string> files;
};

// "--upload URL [--user U] [--update] [--insecure] [--out DIR] FILE...", the options anywhere
// after the URL. Returns 0 or the usage error's status.
int parse(const std::vector<std::string>& args, UploadArguments& parsed, std::ostream& err)
{
    if (args.size() < 2 || args[1].starts_with("--")) {
        return usage(err, "--upload needs the address of a CardDAV server or address book");
    }
    parsed.url = args[1];
    bool have_user = false;
    bool have_out = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--user" || a == "--out") {
            bool& seen = a == "--user" ? have_user : have_out;
            if (seen) {
                return usage(err, a + " given twice");
            }
            if (i + 1 == args.size()) {
                return usage(err, a == "--user" ? "--user needs a user name" : "--out needs a directory");
            }
            (a == "--user" ? parsed.user : parsed.out) = args[++i];
            seen = true;
        } else if (a == "--update") {
            parsed.update = true;
        } else if (a == "--insecure") {
            parsed.insecure = true;
        } else if (a == "--password") {
            return usage(err, "the password is never given on the command line: set PELIMOOR_PASSWORD or "
                              "type it when asked");
        } else {
            parsed.files.push_back(a);
        }
    }
    if (parsed.files.empty()) {
        return usage(err, "--upload needs a FILE.pst");
    }
    return 0;
}

// The password from PELIMOOR_PASSWORD, else asked on the terminal without echo. False when there
// is neither.
bool read_password(const std::string& user, const std::string& host, std::string* password)
{
    if (const char* given = std::getenv("PELIMOOR_PASSWORD"); given != nullptr) {
        *password = given;
        return true;
    }
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        return false;
    }
    const std::string prompt = "Password for " + user + " at " + host + ": ";
    (void)!::write(tty, prompt.data(), prompt.size());
    termios old{};
    const bool is_terminal = tcgetattr(tty, &old) == 0;
    if (is_terminal) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    std::string line;
    char c = 0;
    while (::read(tty, &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    if (is_terminal) {
        tcsetattr(tty, TCSAFLUSH, &old);
    }
    (void)!::write(tty, "\n", 1);
    ::close(tty);
    *password = std::move(line);
    return is_terminal;
}

std::atomic<bool> g_stop_asked{false};

extern "C" void ask_stop(int)
{
    g_stop_asked.store(true);
}

// SIGINT asks the upload to stop while it lives; the handler before it is restored after.
class StopOnInterrupt
{
public:
    StopOnInterrupt()
    {
        g_stop_asked.store(false);
        struct sigaction action
        {
        };
        action.sa_handler = ask_stop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_before);
    }
    ~StopOnInterrupt() { sigaction(SIGINT, &m_before, nullptr); }
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

private:
    struct sigaction m_before
    {
    };
};

// A Qt application object for the network's event loop, made here when the program has none.
class EventLoopHost
{
public:
    EventLoopHost()
    {
        if (QCoreApplication::instance() == nullptr) {
            m_app = std::make_unique<QCoreApplication>(m_argc, m_argv);
        }
    }

private:
    int m_argc = 1;
    char m_name[17] = "pelimoor-convert";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QCoreApplication> m_app;
};

// Runs the event loop until `done` is called, asking `stop` when SIGINT comes.
template <typename Stop> void run_until(QEventLoop& loop, Stop stop)
{
    QTimer poll;
    poll.setInterval(100);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (g_stop_asked.exchange(false)) {
            stop();
        }
    });
    poll.start();
    loop.exec();
}

// Why `dir` cannot take the report ("" when it is a folder).
std::string folder_problem(const std::string& dir)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(dir, ec);
    if (ec) {
        return ec.message();
    }
    return std::filesystem::is_directory(status) ? std::string() : std::strerror(ENOTDIR);
}

} // namespace

int run_upload(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const RunOptions& options)
{
    UploadArguments parsed;
    if (const int status = parse(args, parsed, err); status != 0) {
        return status;
    }
    EventLoopHost host;
    carddav::Account account;
    account.url = QUrl::fromUserInput(QString::fromStdString(parsed.url));
    account.user = QString::fromStdString(parsed.user);
    account.insecure = parsed.insecure;
    account.extra_ca = carddav::ca_from_environment();
    if (const char* seconds = std::getenv("PELIMOOR_UPLOAD_TIMEOUT"); seconds != nullptr && std::atof(seconds) > 0) {
        account.timeout = std::chrono::milliseconds(static_cast<int64_t>(std::atof(seconds) * 1000));
    }
    if (const QString problem = carddav::account_problem(account); !problem.isEmpty()) {
        return usage(err, problem.toStdString());
    }
    // The report's folder is checked before anything is sent: a wrong --out is told now, not after
    // the cards are on the server.
    if (const std::string problem = folder_problem(parsed.out); !problem.empty()) {
        err << "pelimoor-convert: writing failed: " << parsed.out << ": " << problem << '\n';
        return kExitWriteFailed;
    }
    if (!parsed.user.empty()) {
        std::string password;
        if (!read_password(parsed.user, account.url.host().toStdString(), &password)) {
            return usage(err, "no password for " + parsed.user +
                                  ": set PELIMOOR_PASSWORD or run pelimoor-convert on a terminal");
        }
        account.password = QString::fromStdString(password);
    }
    StopOnInterrupt interrupt;

    // The address book first: a wrong password or address is told before a long scan.
    carddav::DiscoveryResult found;
    {
        QEventLoop loop;
        carddav::Discovery discovery(account);
        QObject::connect(&discovery, &carddav::Discovery::finished, &loop, [&](const carddav::DiscoveryResult& r) {
            found = r;
            loop.quit();
        });
        discovery.start();
        run_until(loop, [&] { discovery.stop(); });
    }
    if (!found.ok()) {
        err << "pelimoor-convert: " << found.error.toStdString() << '\n';
        return kExitServerFailed;
    }
    if (found.books.size() != 1) {
        if (found.books.empty()) {
            err << "pelimoor-convert: " << account.url.toString().toStdString()
                << " holds no address book; make one in the server's own pages or in Pelimoor's window\n";
            return kExitServerFailed;
        }
        err << "pelimoor-convert: " << account.url.toString().toStdString()
            << " holds several address books; give one's address to --upload:\n";
        for (const carddav::AddressBook& book : found.books) {
            err << "  " << book.url.toString().toStdString() << "  " << book.display_name.toStdString() << '\n';
        }
        return kExitUsage;
    }
    const carddav::AddressBook book = found.books.front();
    const contacts::VcardVersion version =
        book.takes_vcard40() ? contacts::VcardVersion::v40 : contacts::VcardVersion::v30;

    std::vector<std::string> files = parsed.files;
    if (options.merge) {
        merge::sort_for_merge(files);
    }
    contacts::ContactStore store;
    const ScannedInputs scanned = scan_inputs(files, store, err, options);
    if (scanned.read.empty()) {
        return kExitScanFailed;
    }
    carddav::CardSource source;
    source.store = &store;
    source.groups = scanned.groups.get();
    std::unique_ptr<merge::StoreMerge> merged;
    if (options.merge) {
        merged = merge_and_say(store, scanned.groups.get(), options, err);
        source.selection = merged->result.records;
        source.groups = &merged->groups;
    }
    source.exchange_map = [&] { return engine::exchange_address_map(scanned.read, options.source, nullptr); };
    std::vector<carddav::Card> cards;
    if (const pst::Status made = carddav::make_cards(source, version, &cards); !made) {
        err << "pelimoor-convert: " << made.message << '\n';
        return kExitWriteFailed;
    }
    err << "pelimoor-convert: uploading " << cards.size() << " card(s) as vCard "
        << (version == contacts::VcardVersion::v40 ? "4.0" : "3.0") << " to " << book.url.toString().toStdString()
        << '\n';

    carddav::UploadOptions upload_options;
    upload_options.update = parsed.update;
    carddav::UploadJob job(account, book, std::move(cards), upload_options);
    ProgressLine progress(err, options.show_progress, "Uploading", "cards");
    carddav::UploadSummary summary;
    {
        QEventLoop loop;
        QObject::connect(&job, &carddav::UploadJob::progress,
                         [&](qint64 done, qint64 total) { progress.report(done, total); });
        QObject::connect(&job, &carddav::UploadJob::finished, &loop, [&](const carddav::UploadSummary& s) {
            summary = s;
            loop.quit();
        });
        job.start();
        run_until(loop, [&] {
            err << "\npelimoor-convert: stopping: the cards under way are finished, no more are sent\n";
            job.stop();
        });
    }
    if (options.verbose) {
        for (std::size_t i = 0; i < job.cards().size(); ++i) {
            const carddav::CardResult& r = job.results()[i];
            err << "  " << job.cards()[i].name << ": " << carddav::outcome_name(r.outcome)
                << (r.message.isEmpty() ? "" : " (" + r.message.toStdString() + ")") << '\n';
        }
    }
    err << "pelimoor-convert: " << carddav::summary_text(summary).toStdString();
    if (summary.photos_scaled > 0) {
        err << "; " << summary.photos_scaled << " photo(s) made smaller to fit the server's limit";
    }
    err << '\n';
    if (summary.stopped) {
        err << "pelimoor-convert: stopped; the "
            << summary.count(carddav::Outcome::added) + summary.count(carddav::Outcome::updated)
            << " card(s) uploaded stay on the server\n";
    }
    if (!summary.error.isEmpty()) {
        err << "pelimoor-convert: " << summary.error.toStdString() << '\n';
    }
    const int64_t not_added = static_cast<int64_t>(job.cards().size()) - summary.count(carddav::Outcome::added);
    if (const pst::Status wrote = carddav::write_upload_report(parsed.out, job.cards(), job.results()); !wrote) {
        err << "pelimoor-convert: writing failed: " << wrote.message << '\n';
        return kExitWriteFailed;
    }
    err << "pelimoor-convert: " << (std::filesystem::path(parsed.out) / carddav::kUploadReportName).string()
        << " lists the " << not_added << " card(s) not added\n";
    out << book.url.toString().toStdString() << '\n';
    out.flush();
    if (!summary.error.isEmpty() && summary.count(carddav::Outcome::added) == 0 &&
        summary.count(carddav::Outcome::updated) == 0 && summary.count(carddav::Outcome::already_there) == 0) {
        return kExitServerFailed;
    }
    if (!summary.complete()) {
        return kExitUploadIncomplete;
    }
    return scan_status(scanned);
}

void write_upload_help(std::ostream& out)
{
    out << "  --upload URL [--user NAME] [--update] [--insecure] [--out DIR] FILE.pst...\n"
           "      uploads every contact straight into an address book on a CardDAV server (Nextcloud,\n"
           "      Radicale, Baikal, ...). URL is the address book's address or the server's: the\n"
           "      server's one address book is found as RFC 6764, 5397 and 6352 say (when it holds\n"
           "      several, they are listed and one must be given). One card per contact (and per\n"
           "      distribution list), named from its UID, as vCard 4.0 where the server takes it,\n"
           "      else 3.0; a card the server already holds is left as it is, so a second run adds\n"
           "      nothing. Photos are made smaller until a card fits the server's limit (1 MB when it\n"
           "      names none). Standard error gives the count of cards added, already there, updated,\n"
           "      refused and not sent; upload-report.csv in DIR (default: the current directory)\n"
           "      lists every card not added with the server's status and words. Ctrl-C stops: the\n"
           "      cards uploaded stay. Prints the address book's address\n"
           "  --user NAME (with --upload)\n"
           "      the user name on the server; the password comes from the environment variable\n"
           "      PELIMOOR_PASSWORD, else it is asked for on the terminal (never on the command line)\n"
           "  --update (with --upload)\n"
           "      a card the server holds that differs from the contact's is replaced (If-Match)\n"
           "  --insecure (with --upload)\n"
           "      allows plain http:// to a server that is not this computer: the contacts and the\n"
           "      password cross the network unencrypted. https:// certificates are always checked\n";
}

} // namespace cli
