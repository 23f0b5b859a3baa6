#pragma once
// Peers for the network tests: a child process with a pipe to its standard
// input, the loopback servers of tests/support with descriptor handlers,
// and TLS servers built on OpenSSL directly (not on the code under test),
// among them servers that misbehave on purpose.
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

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

using tavir::test::idle;
using tavir::test::Listener;
using tavir::test::nowMs;
using tavir::test::sendAll;

// True once something accepts connections on 127.0.0.1:port.
inline bool waitForPort(int port, int ms)
{
    long long end = nowMs() + ms;
    while (nowMs() < end) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return true;
        usleep(20000);
    }
    return false;
}

// True once a socket listens on the port (any address), as the kernel's
// tables show it; unlike a test connection this leaves the server alone.
inline bool waitForListen(int port, int ms)
{
    char hex[8];
    snprintf(hex, sizeof hex, ":%04X", port);
    long long end = nowMs() + ms;
    while (nowMs() < end) {
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            std::string text;
            try {
                text = tavir::test::readFile(table);
            } catch (...) {
                continue;
            }
            size_t pos = 0;
            while ((pos = text.find(hex, pos)) != std::string::npos) {
                // local address, then remote address, then the state (0A: LISTEN)
                size_t state = text.find(' ', text.find(' ', pos) + 1);
                if (state != std::string::npos && text.compare(state + 1, 2, "0A") == 0)
                    return true;
                pos += 5;
            }
        }
        usleep(20000);
    }
    return false;
}

// A child process; its standard input is a pipe we write to, its standard
// output and error go to files.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& outFile)
    {
        int in[2];
        if (pipe(in) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork");
        if (pid_ == 0) {
            dup2(in[0], 0);
            int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        ::close(in[0]);
        stdin_ = in[1];
        fcntl(stdin_, F_SETFD, FD_CLOEXEC);
    }
    ~Process()
    {
        closeInput();
        kill(SIGKILL);
    }
    void write(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += size_t(n);
        }
    }
    void closeInput()
    {
        if (stdin_ >= 0)
            ::close(stdin_);
        stdin_ = -1;
    }
    void kill(int sig)
    {
        if (pid_ > 0) {
            ::kill(pid_, sig);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
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
