#include "support/Dovecot.h"

#include "support/CommandLines.h"
#include "support/Loopback.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace tavir::test {

namespace {

const char* const kDovecotBinary = "/usr/sbin/dovecot";

bool canConnect(const std::string& host, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address = ipv4Address(host, port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

void chownTree(const std::string& path, const std::string& owner)
{
    if (runShell("chown -R " + owner + " '" + path + "'") != 0)
        throw std::runtime_error("chown failed for " + path);
}

} // namespace

std::string Dovecot::unavailable()
{
    const bool installed = access(kDovecotBinary, X_OK) == 0;
    const bool root = geteuid() == 0;
    const std::string missing = std::string(kDovecotBinary) + " is missing";
    if (!installed && !root)
        return "needs Dovecot and root: " + missing + ", and the tests start it as root";
    if (!installed)
        return "needs Dovecot: " + missing;
    if (!root)
        return "needs root: the tests start Dovecot as root";
    if (filesBase().empty())
        return "needs a folder that Dovecot's own users can reach for its files: the temporary "
               "folder "
            + temporaryBase() + " can't be reached because " + closedToOthers(temporaryBase())
            + ", and neither can /tmp nor /var/tmp";
    return "";
}

std::string Dovecot::closedToOthers(const std::string& folder)
{
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(folder, error);
    if (error)
        return folder + " can't be read (" + error.message() + ")";
    std::filesystem::path way;
    for (const std::filesystem::path& part : real) {
        way /= part;
        struct stat info { };
        if (stat(way.c_str(), &info) != 0)
            return way.string() + " can't be read (" + std::strerror(errno) + ")";
        if ((info.st_mode & S_IXOTH) == 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
            return way.string() + " is " + mode;
        }
    }
    return "";
}

std::string Dovecot::filesBase()
{
    for (const std::string& base :
        {temporaryBase(), std::string("/tmp"), std::string("/var/tmp")}) {
        if (closedToOthers(base).empty())
            return base;
    }
    return "";
}

std::string Dovecot::checkedFilesBase()
{
    if (!available())
        throw std::runtime_error(unavailable());
    return filesBase();
}

const char* const Dovecot::refusalsAtOnce = "auth_failure_delay = 0\n"
                                             "service anvil {\n  unix_listener "
                                             "anvil-auth-penalty {\n    mode = 0\n  }\n}\n";

Dovecot::Options Dovecot::plaintextOnlyOverTls(bool cramMD5)
{
    Options options;
    options.plaintextOnlySecure = true;
    options.authMechanisms = cramMD5 ? "plain login cram-md5" : "plain login";
    options.host = ownLoopbackAddress(
        "127.0.0.1", [](const std::string& host) { Listener free(ListenAt{host, 0}); });
    return options;
}

Dovecot::Dovecot(const std::map<std::string, std::string>& users, const Options& options)
    : host_(options.host)
{
    // The login and mail processes run as unprivileged users; they must be
    // able to reach their files below it (filesBase).
    chmod(dir_.path().c_str(), 0755);
    makeCertificate(options);
    // A port the kernel just called free can be taken by another test (or by
    // a client's outgoing connection) before Dovecot binds it; then the start
    // is tried again on new ports.
    const int attempts = 5;
    for (int attempt = 1;; ++attempt) {
        choosePorts();
        writeConfig(users, options);
        try {
            start();
            return;
        } catch (const std::runtime_error&) {
            if (attempt == attempts || log().find("Address already in use") == std::string::npos)
                throw;
        }
    }
}

void Dovecot::choosePorts()
{
    port_ = freeLoopbackPort(host_);
    tlsPort_ = freeLoopbackPort(host_);
    while (tlsPort_ == port_)
        tlsPort_ = freeLoopbackPort(host_);
}

Dovecot::~Dovecot()
{
    // Given the time to end its own processes.
    process_->kill(SIGTERM, 5000);
}

void Dovecot::stop()
{
    process_->kill(SIGTERM, 5000);
}

void Dovecot::makeCertificate(const Options& options)
{
    if (!options.certificateFile.empty()) {
        certFile_ = options.certificateFile;
        keyFile_ = options.keyFile;
        return;
    }
    certFile_ = dir_.file("cert.pem");
    keyFile_ = dir_.file("key.pem");
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost"
                          " -keyout '"
        + keyFile_ + "' -out '" + certFile_ + "' >/dev/null 2>&1";
    if (runShell(command) != 0)
        throw std::runtime_error("openssl could not make a certificate");
}

void Dovecot::writeConfig(const std::map<std::string, std::string>& users, const Options& options)
{
    const std::string root = dir_.path();
    mkdir((root + "/run").c_str(), 0755);
    mkdir((root + "/mail").c_str(), 0755);
    chownTree(root + "/mail", "dovecot:dovecot");

    std::ostringstream passwd;
    for (const auto& [name, password] : users)
        passwd << name << ":{PLAIN}" << password << "::::::\n";
    writeFile(root + "/users", passwd.str());
    chmod((root + "/users").c_str(), 0644);

    logFile_ = root + "/dovecot.log";
    writeFile(logFile_, "");
    std::string layout = options.separator == '/' ? ":LAYOUT=fs" : "";
    std::ostringstream conf;
    conf << "base_dir = " << root << "/run\n"
         << "state_dir = " << root << "/run\n"
         << "instance_name = zorp-test-" << port_ << "\n"
         << "log_path = " << logFile_ << "\n"
         << "protocols = imap\n"
         << "listen = " << host_ << "\n"
         << "ssl = yes\n"
         << "ssl_cert = <" << certFile_ << "\n"
         << "ssl_key = <" << keyFile_ << "\n"
         << "ssl_min_protocol = TLSv1\n"
         << "disable_plaintext_auth = " << (options.plaintextOnlySecure ? "yes" : "no") << "\n"
         << "auth_mechanisms = " << options.authMechanisms << "\n"
         << "default_login_user = dovenull\n"
         << "default_internal_user = dovecot\n"
         << "first_valid_uid = 1\n"
         << "first_valid_gid = 1\n"
         << "mail_location = maildir:" << root << "/mail/%u" << layout << "\n"
         << "namespace inbox {\n  inbox = yes\n  separator = " << options.separator << "\n}\n"
         << "passdb {\n  driver = passwd-file\n  args = " << root << "/users\n}\n"
         << "userdb {\n  driver = static\n  args = uid=dovecot gid=dovecot home=" << root
         << "/mail/%u\n}\n"
         << "service imap-login {\n"
         << "  chroot =\n"
         << "  inet_listener imap {\n    address = " << host_ << "\n    port = " << port_
         << "\n  }\n"
         << "  inet_listener imaps {\n    address = " << host_ << "\n    port = " << tlsPort_
         << "\n    ssl = yes\n  }\n"
         << "}\n"
         << "service anvil {\n  chroot =\n}\n"
         << "service pop3-login {\n  chroot =\n}\n"
         << "service submission-login {\n  chroot =\n}\n"
         << "service imap-urlauth-login {\n  chroot =\n}\n"
         << "service stats {\n  unix_listener stats-writer {\n    mode = 0666\n  }\n}\n";
    if (access("/usr/share/dovecot/dh.pem", R_OK) == 0)
        conf << "ssl_dh = </usr/share/dovecot/dh.pem\n";
    if (options.acl) {
        conf << "mail_plugins = $mail_plugins acl\n"
             << "protocol imap {\n  mail_plugins = $mail_plugins imap_acl\n}\n"
             << "plugin {\n  acl = vfile\n}\n";
    }
    conf << options.extraConfig << "\n";
    configFile_ = root + "/dovecot.conf";
    writeFile(configFile_, conf.str());
}

void Dovecot::start()
{
    // Its processes in a group of their own: stopping it ends them all, as a
    // service manager that stops it does.
    ChildOptions group;
    group.ownGroup = true;
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kDovecotBinary, "-F", "-c", configFile_}, group);
    process_->waitReady([this] { return canConnect(host_, port_) && canConnect(host_, tlsPort_); },
        20000, "dovecot", [this] { return "\n" + log(); });
}

std::string Dovecot::log() const
{
    try {
        return readFile(logFile_);
    } catch (const std::exception&) {
        return {};
    }
}

RawImap::RawImap(int port)
    : RawImap("127.0.0.1", port)
{
}

RawImap::RawImap(const std::string& host, int port)
{
    sockaddr_in address = ipv4Address(host, port);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        throw std::runtime_error("socket failed");
    timeval timeout{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        throw std::runtime_error("cannot connect to the test IMAP server");
    }
    greeting_ = readLine();
}

RawImap::~RawImap()
{
    if (fd_ >= 0) {
        try {
            command("LOGOUT");
        } catch (const std::exception&) {
        }
        close(fd_);
    }
}

void RawImap::sendAll(const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("send to the test IMAP server failed");
        sent += static_cast<size_t>(n);
    }
}

std::string RawImap::readLine()
{
    for (;;) {
        size_t end = buffer_.find("\r\n");
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end + 2);
            buffer_.erase(0, end + 2);
            return line;
        }
        char chunk[65536];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("the test IMAP server closed or timed out");
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

std::string RawImap::readReply(
    const std::string& tag, bool* ok, std::vector<unsigned long long>* skipped)
{
    std::string reply;
    for (;;) {
        std::string line = readLine();
        AnnouncedLiteral literal;
        if (announcesLiteral(line.substr(0, line.size() - 2), literal)) {
            if (skipped) {
                skipped->push_back(literal.size);
                readLiteral(literal.size, nullptr);
            } else {
                reply += line;
                readLiteral(literal.size, &reply);
            }
            continue;
        }
        reply += line;
        if (line.compare(0, tag.size() + 1, tag + " ") == 0) {
            if (ok)
                *ok = line.compare(tag.size() + 1, 3, "OK ") == 0;
            return reply;
        }
    }
}

void RawImap::readLiteral(std::size_t length, std::string* kept)
{
    std::size_t have = std::min(length, buffer_.size());
    if (kept)
        kept->append(buffer_, 0, have);
    buffer_.erase(0, have);
    char chunk[65536];
    while (have < length) {
        ssize_t n = recv(fd_, chunk, std::min(sizeof chunk, length - have), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("the test IMAP server closed inside a literal");
        if (kept)
            kept->append(chunk, static_cast<size_t>(n));
        have += static_cast<size_t>(n);
    }
}

std::string RawImap::command(const std::string& command, bool* ok)
{
    std::string tag = "t" + std::to_string(++counter_);
    sendAll(tag + " " + command + "\r\n");
    return readReply(tag, ok);
}

std::string RawImap::command(
    const std::string& command, bool* ok, std::vector<unsigned long long>& bytes)
{
    std::string tag = "t" + std::to_string(++counter_);
    sendAll(tag + " " + command + "\r\n");
    return readReply(tag, ok, &bytes);
}

bool RawImap::login(const std::string& user, const std::string& password)
{
    bool ok = false;
    command("LOGIN \"" + user + "\" \"" + password + "\"", &ok);
    return ok;
}

bool RawImap::create(const std::string& mailbox)
{
    bool ok = false;
    command("CREATE \"" + mailbox + "\"", &ok);
    return ok;
}

bool RawImap::append(const std::string& mailbox, const std::string& message,
    const std::string& flags, const std::string& date)
{
    std::string tag = "t" + std::to_string(++counter_);
    std::string line = tag + " APPEND \"" + mailbox + "\"";
    if (!flags.empty())
        line += " (" + flags + ")";
    if (!date.empty())
        line += " \"" + date + "\"";
    line += " {" + std::to_string(message.size()) + "}\r\n";
    sendAll(line);
    std::string continuation = readLine();
    if (continuation.compare(0, 1, "+") != 0) {
        return false;
    }
    sendAll(message + "\r\n");
    bool ok = false;
    readReply(tag, &ok);
    return ok;
}

std::string imapQuoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace tavir::test
