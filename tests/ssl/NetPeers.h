#pragma once
// Peers for the network tests: a child process with a pipe to its standard
// input, the loopback servers of tests/support with descriptor handlers,
// and TLS servers built on OpenSSL directly (not on the code under test),
// among them servers that misbehave on purpose.
#include "support/ChildProcess.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

using tavir::test::idle;
using tavir::test::Listener;
using tavir::test::nowMs;
using tavir::test::sendAll;

// True when process `pid` holds a socket that listens on the port (any
// address), as the kernel's tables show it. Unlike a test connection this
// leaves the server alone, and another test's listener that happens to
// have the same port is not taken for it.
inline bool listensOn(pid_t pid, int port)
{
    std::vector<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::string text;
        try {
            text = tavir::test::readFile(table);
        } catch (...) {
            continue;
        }
        std::istringstream lines(text);
        std::string line;
        std::getline(lines, line); // the column names
        while (std::getline(lines, line)) {
            // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            const auto colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos
                && std::stoi(local.substr(colon + 1), nullptr, 16) == port)
                inodes.push_back("socket:[" + inode + "]");
        }
    }
    if (inodes.empty())
        return false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(fd.path(), gone).string();
        if (std::find(inodes.begin(), inodes.end(), target) != inodes.end())
            return true;
    }
    return false;
}

// A child process; its standard input is a pipe we write to, its standard
// output and error go to a file.
struct Process : tavir::test::ChildProcess {
    Process(const std::vector<std::string>& argv, const std::string& outFile)
        : ChildProcess(argv, options(outFile))
    {
    }

private:
    static Options options(const std::string& outFile)
    {
        Options options;
        options.outputFile = outFile;
        options.pipeInput = true;
        return options;
    }
};

// A self-signed certificate and key made by the openssl command.
struct CertFiles {
    std::string cert, key;
};
inline CertFiles makeCertificate(const tavir::test::TempDir& dir, const std::string& name = "srv")
{
    CertFiles files{dir.file(name + ".crt"), dir.file(name + ".key")};
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name
        + " -keyout '" + files.key + "' -out '" + files.cert + "' 2>/dev/null";
    if (tavir::test::runShell(command) != 0)
        throw std::runtime_error("openssl req failed");
    return files;
}

// The loopback server with handlers that take the connection's descriptor
// and the server's stop flag.
class Server : public tavir::test::LoopbackServer {
public:
    using Handler = std::function<void(int fd, const std::atomic<bool>& stop)>;
    explicit Server(Handler handler)
        : LoopbackServer(
            [handler](tavir::test::PeerSocket& peer) { handler(peer.fd(), peer.stopFlag()); })
    {
    }
};

// A server-side TLS context over OpenSSL itself.
struct ServerCtx {
    SSL_CTX* ctx;
    ServerCtx(const CertFiles& files, bool legacy = false)
    {
        ctx = SSL_CTX_new(TLS_server_method());
        if (legacy) {
            SSL_CTX_set_security_level(ctx, 0);
            SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(ctx, TLS1_VERSION);
        }
        if (SSL_CTX_use_certificate_file(ctx, files.cert.c_str(), SSL_FILETYPE_PEM) != 1
            || SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("server context");
    }
    ~ServerCtx() { SSL_CTX_free(ctx); }
};

// The server side of one TLS connection on fd: the handshake over ctx, then
// then(ssl) when it succeeded; the session is freed afterwards.
template <class Then> void serveTls(SSL_CTX* ctx, int fd, Then then)
{
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1)
        then(ssl);
    SSL_free(ssl);
}

// Sends every record back until the peer stops sending or a write fails.
// Returns the last SSL_read result (for SSL_get_error when it is not above 0).
inline int echoTls(SSL* ssl)
{
    char buf[4096];
    int n;
    while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
        if (SSL_write(ssl, buf, n) <= 0)
            break;
    return n;
}

// Server handshake on fd whose records are written into a memory BIO, so
// that the test decides which bytes reach the wire. Returns the SSL object
// (null on failure) and leaves `out` as the memory BIO.
inline SSL* acceptIntoMemory(SSL_CTX* ctx, int fd, BIO** out)
{
    SSL* ssl = SSL_new(ctx);
    BIO* in = BIO_new_socket(fd, BIO_NOCLOSE);
    BIO* mem = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, mem);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    long long end = nowMs() + 5000;
    while (nowMs() < end) {
        int rc = SSL_accept(ssl);
        char buf[16384];
        int n;
        while ((n = BIO_read(mem, buf, sizeof buf)) > 0)
            sendAll(fd, buf, size_t(n));
        if (rc == 1) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            *out = mem;
            return ssl;
        }
        int e = SSL_get_error(ssl, rc);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            break;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 50);
    }
    SSL_free(ssl);
    return nullptr;
}

// Bytes of one TLS record carrying `payload`, as the server would send it.
inline std::string recordBytes(SSL* ssl, BIO* mem, const std::string& payload)
{
    SSL_write(ssl, payload.data(), int(payload.size()));
    std::string bytes;
    char buf[16384];
    int n;
    while ((n = BIO_read(mem, buf, sizeof buf)) > 0)
        bytes.append(buf, size_t(n));
    return bytes;
}

} // namespace nettest
