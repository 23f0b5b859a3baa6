// The client stream against a real IMAP server, over plain TCP and over
// implicit TLS: greeting, a command, and a literal of 1 MB both ways.
#include "ssl/TcpClientStream.h"

#include "support/Dovecot.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

using namespace tavir::utils;

namespace {

std::string bigMessage()
{
    std::string m = "From: a@example.com\r\nTo: b@example.com\r\nSubject: big\r\n\r\n";
    std::string line;
    int i = 0;
    while (m.size() < 1024 * 1024 - 100) {
        line = "line " + std::to_string(i++) + " ";
        line.append(70 - line.size(), char('a' + i % 26));
        m += line + "\r\n";
    }
    return m;
}

std::string readLine(std::iostream& s)
{
    std::string line;
    std::getline(s, line);
    return line;
}

// Reads lines until the tagged one; returns it.
std::string untilTagged(std::iostream& s, const std::string& tag)
{
    while (s.good()) {
        std::string line = readLine(s);
        if (line.rfind(tag + " ", 0) == 0)
            return line;
    }
    return "";
}

void converse(basic_tcpclientiostream& s)
{
    std::string greeting = readLine(s);
    ASSERT_EQ(greeting.rfind("* OK", 0), 0u) << greeting;

    s << "a1 LOGIN alice secret\r\n" << std::flush;
    EXPECT_EQ(untilTagged(s, "a1").rfind("a1 OK", 0), 0u);

    const std::string message = bigMessage();
    s << "a2 APPEND INBOX {" << message.size() << "+}\r\n";
    s.write(message.data(), std::streamsize(message.size()));
    s << "\r\n" << std::flush;
    ASSERT_TRUE(s.good());
    EXPECT_EQ(untilTagged(s, "a2").rfind("a2 OK", 0), 0u);

    s << "a3 SELECT INBOX\r\n" << std::flush;
    EXPECT_EQ(untilTagged(s, "a3").rfind("a3 OK", 0), 0u);

    s << "a4 FETCH 1 BODY.PEEK[]\r\n" << std::flush;
    std::string head = readLine(s);
    size_t brace = head.rfind('{');
    ASSERT_NE(brace, std::string::npos) << head;
    size_t size = std::stoul(head.substr(brace + 1));
    ASSERT_EQ(size, message.size());
    std::string body(size, '\0');
    s.read(&body[0], std::streamsize(size));
    ASSERT_TRUE(s.good());
    EXPECT_TRUE(body == message);
    EXPECT_EQ(untilTagged(s, "a4").rfind("a4 OK", 0), 0u);

    s << "a5 LOGOUT\r\n" << std::flush;
    EXPECT_EQ(untilTagged(s, "a5").rfind("a5 OK", 0), 0u);
    s.close();
}

} // namespace

TEST(DovecotTransport, PlainStream)
{
    if (!tavir::test::Dovecot::available())
        GTEST_SKIP() << tavir::test::Dovecot::unavailable();
    tavir::test::Dovecot server(std::map<std::string, std::string>{{"alice", "secret"}});
    basic_tcpclientiostream s(
        InetSocketAddress("imap://127.0.0.1:" + std::to_string(server.port())),
        InetSocketAddress::any(), 4096, 4096);
    s.setTimeoutInSeconds(20);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    converse(s);
}

TEST(DovecotTransport, ImplicitTlsStream)
{
    if (!tavir::test::Dovecot::available())
        GTEST_SKIP() << tavir::test::Dovecot::unavailable();
    tavir::test::Dovecot server(std::map<std::string, std::string>{{"alice", "secret"}});
    basic_tcpclientiostream s(
        InetSSLSocketAddress("imap://127.0.0.1:" + std::to_string(server.tlsPort()), "", ""),
        InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(20);
    s.create(nullptr);
    ASSERT_TRUE(s.good()) << server.log();
    converse(s);
}
