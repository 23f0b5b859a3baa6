#include "utils/InetAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <sstream>

namespace tavir::utils {

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// The resolver's answer for `host`; throws CantResolveException when there is
// none, or when it lacks what the caller needs (an address, or with
// AI_CANONNAME the canonical name).
AddrInfoPtr resolve(const std::string& host, int family, int flags)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_flags = flags;
    addrinfo* raw = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    AddrInfoPtr result(raw);
    if (rc != 0 || !result
        || !((flags & AI_CANONNAME) ? result->ai_canonname != nullptr
                                    : result->ai_addr != nullptr)) {
        if (rc == 0)
            rc = EAI_NONAME;
        throw CantResolveException(
            "Cant resolve host: " + host + " (error " + gai_strerror(rc) + ")");
    }
    return result;
}

// Parses a dotted quad in decimal (inet_addr would read a leading zero as
// octal and accept shortened forms).
bool parseDottedQuad(const std::string& text, uint32_t& out)
{
    uint32_t value = 0;
    int groups = 0;
    size_t i = 0;
    const size_t n = text.size();
    while (true) {
        unsigned group = 0;
        int digits = 0;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            if (++digits > 3)
                return false;
            group = group * 10 + unsigned(text[i] - '0');
            ++i;
        }
        if (digits == 0 || group > 255)
            return false;
        value = (value << 8) | group;
        ++groups;
        if (i == n)
            break;
        if (text[i] != '.' || groups == 4)
            return false;
        ++i;
    }
    if (groups != 4)
        return false;
    out = value;
    return true;
}

// The last resolver error code of a failed reverse lookup on this thread,
// for the text of the exception.
thread_local int lastReverseError = 0;

} // namespace

std::string InetAddress::toString() const
{
    std::ostringstream out;
    write(out);
    return out.str();
}

std::ostream& operator<<(std::ostream& out, const InetAddress& address)
{
    address.write(out);
    return out;
}

bool Inet4Address::hostIsIp(const std::string& text)
{
    uint32_t ignored;
    return parseDottedQuad(text, ignored);
}

Inet4Address Inet4Address::getByName(const std::string& host)
{
    uint32_t direct;
    if (parseDottedQuad(host, direct))
        return Inet4Address(direct, host);

    AddrInfoPtr result = resolve(host, AF_INET, 0);
    const auto* in = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    uint32_t address = ntohl(in->sin_addr.s_addr);
    if (address == 0xFFFFFFFFu)
        throw CantResolveException(
            "Resolve ok. No address for host: " + host + " (error " + gai_strerror(0) + ")");
    return Inet4Address(address, host);
}

bool Inet4Address::ipToHostName(const std::string& dotted, std::string& name)
{
    uint32_t address;
    if (!parseDottedQuad(dotted, address)) {
        lastReverseError = EAI_NONAME;
        return false;
    }
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    char host[NI_MAXHOST];
    int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, host, sizeof host,
        nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        lastReverseError = rc;
        return false;
    }
    lastReverseError = 0;
    name = host;
    return true;
}

std::string Inet4Address::getHostName() const
{
    if (hostNameKnown_)
        return hostName_;
    if (address_ == 0) {
        hostName_ = "0.0.0.0";
        hostNameKnown_ = true;
        return hostName_;
    }
    std::string dotted = toString();
    std::string name;
    if (!ipToHostName(dotted, name))
        throw CantResolveException(
            "Can't resolve host: " + dotted + " (error " + gai_strerror(lastReverseError) + ")");
    hostName_ = name;
    hostNameKnown_ = true;
    return hostName_;
}

void Inet4Address::write(std::ostream& out) const
{
    out << ((address_ >> 24) & 0xFF) << '.' << ((address_ >> 16) & 0xFF) << '.'
        << ((address_ >> 8) & 0xFF) << '.' << (address_ & 0xFF);
}

Inet6Address::Inet6Address()
{
    std::memset(&address_, 0, sizeof address_);
}

Inet6Address Inet6Address::getByName(const std::string& host)
{
    AddrInfoPtr result = resolve(host, AF_INET6, 0);
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(result->ai_addr);
    return Inet6Address(in6->sin6_addr, host);
}

std::string Inet6Address::getHostName() const
{
    if (hostNameKnown_)
        return hostName_;
    static const in6_addr unspecified = IN6ADDR_ANY_INIT;
    if (std::memcmp(&address_, &unspecified, sizeof address_) == 0) {
        hostName_ = "::";
        hostNameKnown_ = true;
        return hostName_;
    }
    AddrInfoPtr result = resolve(toString(), AF_INET6, AI_CANONNAME);
    hostName_ = result->ai_canonname;
    hostNameKnown_ = true;
    return hostName_;
}

void Inet6Address::write(std::ostream& out) const
{
    char text[100];
    if (inet_ntop(AF_INET6, &address_, text, sizeof text))
        out << text;
}

} // namespace tavir::utils
