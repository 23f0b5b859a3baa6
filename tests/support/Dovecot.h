#pragma once
// A throw-away Dovecot IMAP server for integration tests: its own
// configuration, users and mail folders in a temporary folder, listening on
// free loopback ports (plain and implicit TLS). It is a real peer, the kind of
// source server a migration meets; the tests seed it over plain IMAP through
// the small raw client below, which shares nothing with the code under test.
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavir::test {

class Dovecot {
public:
    struct Options {
        // Hierarchy separator of the mailboxes: "." (Maildir++) or "/".
        char separator = '.';
        // Loads the acl and imap_acl plugins (per-folder rights).
        bool acl = false;
        // Extra lines appended to the generated configuration.
        std::string extraConfig;
        // The TLS certificate and key (a test authority's); empty: a
        // self-signed certificate for "localhost".
        std::string certificateFile;
        std::string keyFile;
        // The loopback address it listens on. Dovecot counts a connection
        // whose two ends have one address as secure; from 127.0.0.1 to
        // another address it is not.
        std::string host = "127.0.0.1";
        // Passwords in the clear only over TLS (or a secure connection):
        // Dovecot's shipped disable_plaintext_auth = yes. Off by default here.
        bool plaintextOnlySecure = false;
        // The SASL mechanisms it offers.
        std::string authMechanisms = "plain login cram-md5";
    };

    // Settings for refusals at once: no auth_failure_delay (2 s as shipped)
    // and no penalty per client address that slows the next logins.
    static const char* const refusalsAtOnce;
    // A Dovecot that takes passwords in the clear only on a secure
    // connection (as shipped), offering CRAM-MD5 or not, on a loopback
    // address of the test's own: from 127.0.0.1 its plain port is not one.
    static Options plaintextOnlyOverTls(bool cramMD5);

    // users: name -> password (stored in plain text so CRAM-MD5 works).
    explicit Dovecot(const std::map<std::string, std::string>& users)
        : Dovecot(users, Options{})
    {
    }
    Dovecot(const std::map<std::string, std::string>& users, const Options& options);
    ~Dovecot();
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    // Whether Dovecot can run here: it is installed, the tests run as
    // root, and there is a folder for its files that its own users can
    // reach. unavailable() says in one line why not ("" when it can).
    static bool available() { return unavailable().empty(); }
    static std::string unavailable();

    // The folder its files go below: temporaryBase() when Dovecot's own
    // users (its login and mail processes) can reach it, else the first of
    // /tmp and /var/tmp that they can; "" when none. A TMPDIR inside a
    // private folder (mktemp -d makes them 0700) is closed to them.
    static std::string filesBase();
    // Why `folder` is closed to users other than its owner: the first
    // folder on its way without search permission for them, with its mode
    // ("/tmp/tmp.Xy is 0700"); "" when it is open.
    static std::string closedToOthers(const std::string& folder);

    // Stops it, every process of it (as a service manager stops it), which
    // ends every session it serves, and starts it again on the same ports,
    // settings and mail: a server restarted under its clients. The kernel
    // ends a child when the thread that started it ends (ChildProcess):
    // start it again on a thread that lives as long as it is used.
    void stop();
    void startAgain() { start(); }

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }
    const std::string& certificateFile() const { return certFile_; }
    const std::string& logFile() const { return logFile_; }
    std::string log() const;

private:
    void writeConfig(const std::map<std::string, std::string>& users, const Options& options);
    void makeCertificate(const Options& options);
    void choosePorts();
    void start();

    // filesBase(); throws std::runtime_error(unavailable()) when Dovecot
    // can't run here, before anything is made.
    static std::string checkedFilesBase();

    TempDir dir_{checkedFilesBase()};
    std::string host_;
    int port_ = 0;
    int tlsPort_ = 0;
    std::string configFile_;
    std::string certFile_;
    std::string keyFile_;
    std::string logFile_;
    std::unique_ptr<ChildProcess> process_; // last: ended before the rest goes
};

// A minimal blocking IMAP client over a plain loopback socket, for seeding and
// inspecting a test server. Note that Dovecot itself rewrites what it stores:
// bare LF becomes CRLF and NUL is served as 0x80, so byte-for-byte checks of a
// copy compare against what the server serves (fetched through this client),
// not against the bytes that were appended. Every call returns the server's whole reply up to
// and including the tagged line; literals in the reply are kept verbatim.
class RawImap {
public:
    explicit RawImap(int port);
    RawImap(const std::string& host, int port);
    ~RawImap();
    RawImap(const RawImap&) = delete;
    RawImap& operator=(const RawImap&) = delete;

    const std::string& greeting() const { return greeting_; }

    // Sends "<tag> <command>\r\n" and returns the reply; `ok` tells whether
    // the tagged status was OK.
    std::string command(const std::string& command, bool* ok = nullptr);
    // The same, reading the reply's literals (message bodies) without
    // keeping them: `bytes` gets the size of each literal in turn, and the
    // reply comes back without them.
    std::string command(
        const std::string& command, bool* ok, std::vector<unsigned long long>& bytes);
    bool login(const std::string& user, const std::string& password);
    bool create(const std::string& mailbox);
    // Appends the message bytes with a synchronising literal. `flags` is the
    // inside of the parenthesised list ("\\Seen \\Flagged"), `date` an
    // INTERNALDATE text ("17-Jul-1996 02:44:25 -0700"); both may be empty.
    bool append(const std::string& mailbox, const std::string& message,
        const std::string& flags = "", const std::string& date = "");

private:
    void sendAll(const std::string& bytes);
    std::string readLine();
    std::string readReply(
        const std::string& tag, bool* ok, std::vector<unsigned long long>* skipped = nullptr);
    // Reads `length` bytes of a literal into `kept`, or drops them.
    void readLiteral(std::size_t length, std::string* kept);

    int fd_ = -1;
    int counter_ = 0;
    std::string buffer_;
    std::string greeting_;
};

// `text` as an IMAP quoted string: in double quotes, with '"' and '\\'
// escaped.
std::string imapQuoted(const std::string& text);

} // namespace tavir::test
