#include "utils/InetAddress.h"
#include "utils/InetSocketAddress.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include <sstream>

using namespace tavir::utils;

TEST(Inet4Address, DottedQuadTest)
{
    struct Case {
        const char* text;
        bool ip;
    } cases[] = {
        {"1.2.3.4", true},
        {"001.2.3.4", true},
        {"255.255.255.255", true},
        {"0.0.0.0", true},
        {"1.2.3", false},
        {"1.2.3.4.", false},
        {"1..2.3", false},
        {"256.1.1.1", false},
        {"1234.1.1.1", false},
        {"", false},
        {".1.2.3", false},
        {"1.2.3.4.5", false},
        {"1.2.3.a", false},
        {" 1.2.3.4", false},
        {"1.2.3.4 ", false},
        {"-1.2.3.4", false},
        {"1.2.3.0x1", false},
        {"localhost", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Inet4Address::hostIsIp(c.text), c.ip) << c.text;
}

TEST(Inet4Address, DottedQuadIsDecimalNotOctal)
{
    // inet_aton reads 010 as octal 8; a dotted quad here is always decimal.
    Inet4Address a = Inet4Address::getByName("010.001.002.003");
    EXPECT_EQ(a.toString(), "10.1.2.3");
    EXPECT_EQ(a.getHostName(), "010.001.002.003");
}

TEST(Inet4Address, TextFormsMatchInetNtop)
{
    const uint32_t values[] = {0, 0xC0A80102u, 0x7F000001u, 0xFFFFFFFFu, 0x0A000001u};
    for (uint32_t v : values) {
        Inet4Address a(v);
        in_addr in;
        in.s_addr = htonl(v);
        char ref[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &in, ref, sizeof ref);
        EXPECT_EQ(a.toString(), ref);
        std::ostringstream out;
        out << a;
        EXPECT_EQ(out.str(), ref);
        EXPECT_EQ(a.getAddressNet(), in.s_addr);
    }
}

TEST(Inet4Address, ByNameDirectAndResolved)
{
    Inet4Address direct = Inet4Address::getByName("10.0.0.1");
    EXPECT_EQ(direct.getAddress(), 0x0A000001u);
    EXPECT_TRUE(direct.isHostNameKnown());
    EXPECT_EQ(direct.getHostName(), "10.0.0.1");

    Inet4Address local = Inet4Address::getByName("localhost");
    EXPECT_EQ(local.toString(), "127.0.0.1");
    EXPECT_EQ(local.getHostName(), "localhost");

    EXPECT_EQ(Inet4Address(0).getHostName(), "0.0.0.0");
}

TEST(Inet4Address, UnknownHostMessageCarriesResolverText)
{
    const std::string host = "no-such-host.invalid";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    ASSERT_NE(rc, 0);
    try {
        Inet4Address::getByName(host);
        FAIL() << "no exception";
    } catch (const CantResolveException& e) {
        EXPECT_EQ(std::string(e.what()),
            "Cant resolve host: " + host + " (error " + gai_strerror(rc) + ")");
    }
    // Three groups is not a dotted quad: it goes to the resolver.
    EXPECT_THROW(Inet4Address::getByName("10.0.0.zz"), CantResolveException);
}

TEST(Inet4Address, ReverseLookup)
{
    std::string name;
    EXPECT_FALSE(Inet4Address::ipToHostName("not an address", name));
    char host[NI_MAXHOST];
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(0x7F000001u);
    if (getnameinfo(
            reinterpret_cast<sockaddr*>(&in), sizeof in, host, sizeof host, nullptr, 0, NI_NAMEREQD)
        == 0) {
        ASSERT_TRUE(Inet4Address::ipToHostName("127.0.0.1", name));
        EXPECT_EQ(name, host);
        EXPECT_EQ(Inet4Address(0x7F000001u).getHostName(), host);
    }
    // TEST-NET-1 has no name anywhere.
    EXPECT_THROW(Inet4Address(0xC0000201u).getHostName(), CantResolveException);
    try {
        Inet4Address(0xC0000201u).getHostName();
    } catch (const CantResolveException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Can't resolve host: 192.0.2.1 (error ", 0), 0u);
    }
}

TEST(Inet6Address, Basics)
{
    EXPECT_FALSE(Inet6Address::hostIsIp("::1"));
    EXPECT_EQ(Inet6Address().getHostName(), "::");
    EXPECT_EQ(Inet6Address().toString(), "::");
    Inet6Address loop = Inet6Address::getByName("::1");
    EXPECT_EQ(loop.toString(), "::1");
    EXPECT_EQ(loop.getHostName(), "::1");
    EXPECT_THROW(Inet6Address::getByName("no-such-host.invalid"), CantResolveException);
}

TEST(InetSocketAddress, FromText)
{
    struct Case {
        const char* text;
        const char* address;
        unsigned port;
    } cases[] = {
        {"imap://127.0.0.1:143", "127.0.0.1", 143},
        {"127.0.0.1", "127.0.0.1", 0},
        {"127.0.0.1:993", "127.0.0.1", 993},
        {"imaps://localhost:imaps", "127.0.0.1", 993},
        {"imap://localhost:65535/x", "127.0.0.1", 65535},
    };
    for (const auto& c : cases) {
        InetSocketAddress a(c.text);
        EXPECT_EQ(a.getAddress().toString(), c.address) << c.text;
        EXPECT_EQ(a.getPort(), c.port) << c.text;
        EXPECT_FALSE(a.isSecure());
    }
}

TEST(InetSocketAddress, BadTextThrows)
{
    try {
        InetSocketAddress a("imap://no-such-host.invalid:143");
        FAIL() << "no exception";
    } catch (const CantResolveException& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("Cant resolve host: no-such-host.invalid (error ", 0), 0u);
        EXPECT_EQ(std::string(e.what()).back(), ')');
    }
    // A port that is no port never becomes port 0 or a wrapped port.
    EXPECT_THROW(InetSocketAddress("imap://127.0.0.1:65679"), CantResolveException);
    EXPECT_THROW(InetSocketAddress("imap://127.0.0.1:no-such-service"), CantResolveException);
}

TEST(InetSocketAddress, SockAddrFollowsChanges)
{
    InetSocketAddress a(Inet4Address(0x7F000001u), 143);
    auto* in = reinterpret_cast<sockaddr_in*>(a.getSockAddr());
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(ntohs(in->sin_port), 143);
    EXPECT_EQ(ntohl(in->sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(a.getSockAddrLength(), 16u);

    a.setPort(25);
    in = reinterpret_cast<sockaddr_in*>(a.getSockAddr());
    EXPECT_EQ(ntohs(in->sin_port), 25);
    a.setAddress(Inet4Address(0x0A000001u));
    in = reinterpret_cast<sockaddr_in*>(a.getSockAddr());
    EXPECT_EQ(ntohl(in->sin_addr.s_addr), 0x0A000001u);

    a.setPort(65536 + 25);
    EXPECT_EQ(a.getSockAddr(), nullptr);

    InetSocketAddress b(a);
    b.setPort(7);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(b.getSockAddr())->sin_port), 7);
    a = b;
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(a.getSockAddr())->sin_port), 7);

    a.clear();
    EXPECT_EQ(a.getPort(), 0u);
    EXPECT_EQ(a.getAddress().getAddress(), 0u);
    EXPECT_EQ(InetSocketAddress::any().getPort(), 0u);
}

TEST(InetSSLSocketAddress, CarriesNames)
{
    InetSSLSocketAddress a("imap://127.0.0.1:993", "k.pem", "c.pem");
    EXPECT_TRUE(a.isSecure());
    EXPECT_EQ(a.getPort(), 993u);
    EXPECT_EQ(a.getKey(), "k.pem");
    EXPECT_EQ(a.getCert(), "c.pem");
    InetSSLSocketAddress b;
    b = a;
    EXPECT_EQ(b.getCert(), "c.pem");
    EXPECT_EQ(b.getPort(), 993u);
    const InetSocketAddress& base = b;
    EXPECT_TRUE(base.isSecure());
    EXPECT_FALSE(InetSSLSocketAddress::any().getKey().size());
}
