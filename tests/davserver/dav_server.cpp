#include "davserver/dav_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace davserver {
namespace {

using namespace std::chrono_literals;

const char* programName(Kind kind)
{
    return kind == Kind::radicale ? "radicale" : "xandikos";
}

std::filesystem::path findProgram(const char* name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// A port nobody listens on now (the kernel's choice for a socket bound to port 0).
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool run(const std::string& command, const std::filesystem::path& log)
{
    return std::system((command + " >>'" + log.string() + "' 2>&1").c_str()) == 0;
}

// A certificate authority and a certificate for 127.0.0.1 and localhost signed by it.
bool makeCertificates(const std::filesystem::path& dir, std::string* why)
{
    const std::filesystem::path log = dir / "openssl.log";
    std::ofstream(dir / "server.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                         "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
    const std::string d = "'" + dir.string() + "/";
    const bool ok =
        run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Pelimoor test authority' -keyout " + d +
                "ca.key' -out " + d +
                "ca.pem' -addext 'basicConstraints=critical,CA:TRUE' -addext "
                "'keyUsage=critical,keyCertSign,cRLSign'",
            log) &&
        run("openssl req -newkey rsa:2048 -nodes -subj '/CN=127.0.0.1' -keyout " + d + "server.key' -out " + d +
                "server.csr'",
            log) &&
        run("openssl x509 -req -days 2 -in " + d + "server.csr' -CA " + d + "ca.pem' -CAkey " + d +
                "ca.key' -CAcreateserial -out " + d + "server.pem' -extfile " + d + "server.ext'",
            log);
    if (!ok)
        *why = "openssl could not make the test's certificates: " + readFile(log);
    return ok;
}

} // namespace

bool DavServer::available(Kind kind)
{
    return !findProgram(programName(kind)).empty();
}

DavServer::DavServer(Kind kind, const std::filesystem::path& folder, Options options)
    : m_kind(kind), m_folder(folder), m_options(std::move(options))
{
    const std::filesystem::path program = findProgram(programName(kind));
    if (program.empty()) {
        m_why = std::string(programName(kind)) + " is not installed";
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(storage(), ec);
    m_port = freePort();
    std::vector<std::string> args{program.string()};
    if (kind == Kind::radicale) {
        std::ofstream(m_folder / "users") << m_options.user << ':' << m_options.password << '\n';
        std::ofstream config(m_folder / "config");
        config << "[server]\nhosts = 127.0.0.1:" << m_port << '\n';
        if (m_options.tls) {
            if (!makeCertificates(m_folder, &m_why))
                return;
            m_ca = m_folder / "ca.pem";
            config << "ssl = True\ncertificate = " << (m_folder / "server.pem").string()
                   << "\nkey = " << (m_folder / "server.key").string() << '\n';
        }
        config << "[auth]\ntype = htpasswd\nhtpasswd_filename = " << (m_folder / "users").string()
               << "\nhtpasswd_encryption = plain\ndelay = 0\n"
               << "[rights]\ntype = owner_only\n[storage]\nfilesystem_folder = " << storage().string()
               << "\n[logging]\nlevel = warning\n";
        config.close();
        args.insert(args.end(), {"--config", (m_folder / "config").string()});
    } else {
        args.insert(args.end(), {"-d", storage().string(), "-l", "127.0.0.1", "-p", std::to_string(m_port),
                                 "--defaults", "--current-user-principal", "/" + m_options.user + "/"});
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = (m_folder / "server.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_why = std::string("could not start ") + argv[0];
        return;
    }
    m_pid = pid;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!accepts(m_port)) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_why = std::string(programName(kind)) + " ended at its start: " + readFile(log);
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            m_why = std::string(programName(kind)) + " did not listen within 30 seconds: " + readFile(log);
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
}

DavServer::~DavServer()
{
    stop();
}

void DavServer::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    m_pid = -1;
}

std::string DavServer::url() const
{
    return std::string(m_options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + "/";
}

} // namespace davserver
