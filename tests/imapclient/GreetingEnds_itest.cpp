// How a connection to a server ends before its greeting, on the plain port
// and over TLS, against real peers on loopback (OpenSSL's own server side,
// sockets that close or reset): a server that closes or resets the
// connection before any byte came back from it turns the connection away,
// as a server at its limit of connections from one client does, on either
// port; one that answered anything (an alert, a part of its hello, bytes
// that are not TLS) or showed a refused certificate failed the connection.
#include "imapclient/SimpleImapClient.h"
#include "support/Certificates.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace tavir::mail;
using namespace tavir::test;

namespace {

const std::string greeting = "* OK [CAPABILITY IMAP4rev1] ready\r\n";

// Ends the connection with a FIN at once and waits for the client to go.
void closeAtOnce(PeerSocket& peer)
{
    shutdown(peer.fd(), SHUT_WR);
    peer.drain(5000);
}

void resetAtOnce(PeerSocket& peer)
{
    peer.resetAtClose();
}

// Takes the client's first bytes (its TLS hello), answers nothing, closes.
void readThenClose(PeerSocket& peer)
{
    char hello[4096];
    recv(peer.fd(), hello, sizeof hello, 0);
    closeAtOnce(peer);
}

std::string resetText(int port)
{
    return "connection to 127.0.0.1:" + std::to_string(port) + " failed: ("
        + std::to_string(ECONNRESET) + ") " + std::strerror(ECONNRESET);
}

TEST(GreetingEnds, OnlyAServerThatSaidNothingBeforeItsEndTurnedTheConnectionAway)
{
    using Welcome = SimpleImapClient::Welcome;
    TempDir dir;
    ScopedHome home; // the servers' certificate is pinned here on first use
    const IssuedCertificate certificate = selfSigned(dir, "source");
    const ServerTlsContext tls(certificate);
    // No protocol this OpenSSL has (SSL 3 is not built): it answers any
    // hello with a protocol_version alert.
    const ServerTlsContext sslOnly(certificate);
    SSL_CTX_set_max_proto_version(sslOnly.get(), SSL3_VERSION);
    // A cipher the client never offers: a handshake_failure alert.
    const ServerTlsContext nullCipher(certificate);
    SSL_CTX_set_max_proto_version(nullCipher.get(), TLS1_2_VERSION);
    SSL_CTX_set_security_level(nullCipher.get(), 0);
    SSL_CTX_set_cipher_list(nullCipher.get(), "NULL-SHA256");
    auto greets = [&](bool overTls) {
        return [&tls, overTls](PeerSocket& peer) {
            if ((!overTls || peer.startTls(tls.get())) && peer.say(greeting))
                peer.readLine(5000);
        };
    };
    auto alerts = [](const ServerTlsContext& context) {
        return [&context](PeerSocket& peer) { peer.startTls(context.get()); };
    };
    auto says = [](const std::string& bytes) {
        return [bytes](PeerSocket& peer) {
            peer.say(bytes);
            closeAtOnce(peer);
        };
    };
    const std::string otherPin = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33";
    enum class Said { Closed, Reset, TlsFailed, Text, Pinned };
    const struct Row {
        const char* name;
        bool tls;
        LoopbackServer::Handler server;
        Welcome::Kind welcome;
        Said said;
        std::string text = ""; // Said::Text: the welcome's text
        bool anotherPin = false; // another certificate pinned for the server
    } rows[] = {
        {"plain: greets", false, greets(false), Welcome::Ready, Said::Text,
            "* OK [CAPABILITY IMAP4rev1] ready"},
        {"plain: closes at once", false, closeAtOnce, Welcome::Closed, Said::Closed},
        {"plain: resets at once", false, resetAtOnce, Welcome::Closed, Said::Reset},
        {"plain: one byte, then closes", false, says("*"), Welcome::Failed, Said::Text, "*"},
        {"TLS: greets", true, greets(true), Welcome::Ready, Said::Text,
            "* OK [CAPABILITY IMAP4rev1] ready"},
        {"TLS: closes at once", true, closeAtOnce, Welcome::Closed, Said::Closed},
        {"TLS: resets at once", true, resetAtOnce, Welcome::Closed, Said::Reset},
        {"TLS: reads the hello, answers nothing, closes", true, readThenClose, Welcome::Closed,
            Said::Closed},
        {"TLS: one byte of a handshake record, then closes", true, says("\x16"), Welcome::Failed,
            Said::TlsFailed},
        {"TLS: a protocol_version alert", true, alerts(sslOnly), Welcome::Failed, Said::TlsFailed},
        {"TLS: a handshake_failure alert", true, alerts(nullCipher), Welcome::Failed,
            Said::TlsFailed},
        {"TLS: bytes that are not TLS", true, says("* OK plain IMAP\r\n"), Welcome::Failed,
            Said::TlsFailed},
        {"TLS: a certificate other than the one pinned", true, greets(true), Welcome::Failed,
            Said::Pinned, "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackServer server(row.server);
        const std::string at = "127.0.0.1:" + std::to_string(server.port());
        if (row.anotherPin)
            writeFile(home.file(".tavir/admin/known_hosts.cfg"), at + ": " + otherPin + "\n");
        SimpleImapClient client;
        client.setReadTimeoutMs(5000);
        const long long began = nowMs();
        const Welcome welcome = client.greet(L"127.0.0.1", server.port(), row.tls);
        EXPECT_LT(nowMs() - began, 4000) << "no time-out was waited for";
        EXPECT_EQ(row.welcome, welcome.kind) << welcome.text;
        switch (row.said) {
        case Said::Closed:
            EXPECT_EQ(at + " closed the connection", welcome.text);
            break;
        case Said::Reset:
            EXPECT_EQ(resetText(server.port()), welcome.text);
            break;
        case Said::TlsFailed:
            EXPECT_EQ(
                "could not connect with TLS to " + at + ": TLS handshake failed", welcome.text);
            break;
        case Said::Text:
            EXPECT_EQ(row.text, welcome.text);
            break;
        case Said::Pinned:
            EXPECT_TRUE(client.trustNotice().changed);
            EXPECT_NE(std::string::npos, welcome.text.find(certificate.fingerprint))
                << welcome.text;
            EXPECT_NE(std::string::npos, welcome.text.find(otherPin)) << welcome.text;
            break;
        }
        EXPECT_EQ(row.welcome == Welcome::Closed, client.getConnection().closedBeforeGreeting());
        client.disconnect(false);
    }
}

} // namespace
