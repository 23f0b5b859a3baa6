#include "support/DribblingPeer.h"

#include "tinydb/ServerFrames.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace tavir::test {

namespace {

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The command word of a command line ("FETCH" for "K3 FETCH 1 ...", "UID"
// words kept as they come).
std::string commandOf(const std::string& line)
{
    const std::size_t start = line.find(' ');
    if (start == std::string::npos)
        return std::string();
    const std::size_t end = line.find(' ', start + 1);
    return upper(line.substr(start + 1, end == std::string::npos ? end : end - start - 1));
}

// Reads exactly n bytes over TLS; false when the client went away.
bool readTls(SSL* ssl, char* data, int n)
{
    while (n > 0) {
        int got = SSL_read(ssl, data, n);
        if (got <= 0)
            return false;
        data += got;
        n -= got;
    }
    return true;
}

} // namespace

const char* DribblingPeer::name(Where where)
{
    switch (where) {
    case Where::Greeting:
        return "greeting";
    case Where::ImapReply:
        return "IMAP reply";
    case Where::MessageBody:
        return "message body";
    case Where::TinyDbFrame:
        return "administration frame";
    }
    return "?";
}

const std::string& DribblingPeer::message()
{
    static const std::string text
        = "From: a@example.com\r\nSubject: slow\r\n\r\n" + std::string(400, 'x') + "\r\n";
    return text;
}

DribblingPeer::DribblingPeer(Where where, int pauseMs)
    : where_(where)
    , pauseMs_(pauseMs)
{
    if (where_ == Where::TinyDbFrame) {
        // An elliptic-curve key: made in a moment, unlike an RSA one.
        certificates_ = std::make_unique<TempDir>();
        const std::string cert = certificates_->file("peer.crt");
        const std::string key = certificates_->file("peer.key");
        if (runShell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                     "-days 2 -subj /CN=dribbler -keyout '"
                + key + "' -out '" + cert + "' 2>/dev/null")
            != 0)
            throw std::runtime_error("openssl req failed");
        tls_ = SSL_CTX_new(TLS_server_method());
        if (!tls_ || SSL_CTX_use_certificate_file(tls_, cert.c_str(), SSL_FILETYPE_PEM) != 1
            || SSL_CTX_use_PrivateKey_file(tls_, key.c_str(), SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("the dribbling peer's TLS context");
    }
    server_ = std::make_unique<LoopbackServer>([this](PeerSocket& peer) {
        if (where_ == Where::TinyDbFrame)
            tinyDbSession(peer);
        else
            imapSession(peer);
    });
}

DribblingPeer::~DribblingPeer()
{
    server_->stop();
    server_.reset();
    SSL_CTX_free(tls_);
}

std::wstring DribblingPeer::server() const
{
    return L"127.0.0.1:" + std::to_wstring(port());
}

bool DribblingPeer::waitDribbling(int ms) const
{
    return waitUntil([this] { return dribbling_.load(); }, ms, 5);
}

bool DribblingPeer::send(PeerSocket& peer, const std::string& bytes, bool slow)
{
    if (!slow)
        return peer.say(bytes);
    for (char c : bytes) {
        if (peer.stopping() || ::send(peer.fd(), &c, 1, MSG_NOSIGNAL) != 1)
            return false;
        dribbling_ = true;
        peer.idle(pauseMs_);
    }
    return true;
}

void DribblingPeer::imapSession(PeerSocket& peer)
{
    if (!send(peer,
            "* OK [CAPABILITY IMAP4rev1 LITERAL+] a dribbling server, ready as it "
            "can be, which is slowly\r\n",
            where_ == Where::Greeting))
        return;
    bool first = true;
    for (;;) {
        const std::string line = peer.readLine(30000);
        if (line.empty())
            return;
        const std::string tag = PeerSocket::tagOf(line);
        const std::string command = commandOf(line);
        const std::string done = tag + " OK " + command + " completed, in its own good time\r\n";
        const bool slowReply = first && where_ == Where::ImapReply;
        first = false;
        std::string answer;
        if (command == "LIST") {
            answer = "* LIST () \"/\" INBOX\r\n";
        } else if (command == "STATUS") {
            answer = "* STATUS INBOX (MESSAGES 1)\r\n";
        } else if (command == "SELECT") {
            answer = "* 1 EXISTS\r\n";
        } else if (command == "LOGOUT") {
            send(peer, "* BYE dribbling off\r\n" + done, false);
            return;
        } else if (command == "FETCH" && upper(line).find("BODY") != std::string::npos) {
            const std::string head = "* 1 FETCH (INTERNALDATE \"01-Jan-2020 10:00:00 +0000\" "
                                     "FLAGS () BODY[] {"
                + std::to_string(message().size()) + "}\r\n";
            if (!send(peer, head, false) || !send(peer, message(), where_ == Where::MessageBody))
                return;
            answer = ")\r\n";
        } else if (command == "FETCH") {
            answer = "* 1 FETCH (INTERNALDATE \"01-Jan-2020 10:00:00 +0000\" FLAGS ())\r\n";
        }
        if (!send(peer, answer + done, slowReply))
            return;
    }
}

void DribblingPeer::tinyDbSession(PeerSocket& peer)
{
    SSL* ssl = SSL_new(tls_);
    SSL_set_fd(ssl, peer.fd());
    char header[4];
    if (SSL_accept(ssl) == 1 && readTls(ssl, header, 4)) {
        // The client's greeting frame, whatever it says.
        const unsigned length = (static_cast<unsigned char>(header[0]) << 24)
            | (static_cast<unsigned char>(header[1]) << 16)
            | (static_cast<unsigned char>(header[2]) << 8) | static_cast<unsigned char>(header[3]);
        std::string hello(std::min(length, 1u << 16), '\0');
        if (readTls(ssl, &hello[0], static_cast<int>(hello.size()))) {
            for (char c : tinydbwire::welcome("6.5.2 (a dribbling build of it)")) {
                if (peer.stopping() || SSL_write(ssl, &c, 1) != 1)
                    break;
                dribbling_ = true;
                peer.idle(pauseMs_);
            }
        }
    }
    SSL_free(ssl);
}

} // namespace tavir::test
