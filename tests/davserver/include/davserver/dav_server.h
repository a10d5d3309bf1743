// A real CardDAV server for tests: radicale (with an htpasswd user, plain HTTP or TLS with a
// certificate authority of the test's own) or xandikos (no authentication), started on
// 127.0.0.1 on a free port with its storage in a folder of the test, and stopped by it.
//
//   davserver::DavServer server(davserver::Kind::radicale, dir);
//   if (!server.ok()) GTEST_SKIP() << server.why();   // or QSKIP
//   ... server.url() ...                               // "http://127.0.0.1:PORT/"
//
// No Qt and no test framework: any test can use it.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace davserver {

enum class Kind
{
    radicale,
    xandikos,
};

struct Options
{
    // Radicale's one user (htpasswd, plain); xandikos takes any.
    std::string user = "alice";
    std::string password = "s3cret pass";
    // Radicale over TLS: a CA and a certificate for 127.0.0.1 made with openssl; ca_file() names
    // the CA's PEM file (PELIMOOR_CA_FILE for the client).
    bool tls = false;
};

class DavServer
{
public:
    // Starts the server with its files under `folder` (made when missing) and waits, at most
    // 30 seconds, until it accepts connections. ok() tells whether it runs; why() says why not
    // (the program missing, a failed start with the server's own words).
    DavServer(Kind kind, const std::filesystem::path& folder, Options options = {});
    // Stops the server (SIGTERM, SIGKILL after 5 seconds) and waits for it.
    ~DavServer();
    DavServer(const DavServer&) = delete;
    DavServer& operator=(const DavServer&) = delete;

    bool ok() const { return m_pid > 0; }
    const std::string& why() const { return m_why; }
    // "http://127.0.0.1:PORT/" (https:// with TLS).
    std::string url() const;
    int port() const { return m_port; }
    const Options& options() const { return m_options; }
    // The PEM file of the test's certificate authority (TLS only; empty otherwise).
    std::filesystem::path ca_file() const { return m_ca; }
    // Where the server keeps its collections.
    std::filesystem::path storage() const { return m_folder / "storage"; }

    // Whether the server's program is installed.
    static bool available(Kind kind);

private:
    void stop();

    Kind m_kind;
    std::filesystem::path m_folder;
    Options m_options;
    std::filesystem::path m_ca;
    int m_port = 0;
    pid_t m_pid = -1;
    std::string m_why;
};

} // namespace davserver
