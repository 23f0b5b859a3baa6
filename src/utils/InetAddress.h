#pragma once
// IP address values with forward and reverse name resolution through the
// system resolver. Resolution failures travel as CantResolveException.
#include <netinet/in.h>

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>

namespace tavir::utils {

class CantResolveException : public std::runtime_error {
public:
    explicit CantResolveException(const std::string& message)
        : std::runtime_error(message)
    {
    }
};

class InetAddress {
public:
    virtual void write(std::ostream& out) const = 0;
    virtual std::string getHostName() const = 0;
    virtual ~InetAddress() = default;

    std::string toString() const;
};

std::ostream& operator<<(std::ostream& out, const InetAddress& address);

class Inet4Address : public InetAddress {
public:
    Inet4Address() = default;
    explicit Inet4Address(uint32_t address)
        : address_(address)
    {
    }
    Inet4Address(uint32_t address, const std::string& name)
        : address_(address)
        , hostName_(name)
        , hostNameKnown_(true)
    {
    }
    Inet4Address(const Inet4Address&) = default;
    Inet4Address& operator=(const Inet4Address&) = default;

    // True for exactly four dot-separated groups of 1 to 3 decimal digits,
    // each at most 255 (leading zeros allowed, read as decimal).
    static bool hostIsIp(const std::string& text);
    // Dotted quads are converted without asking the resolver.
    static Inet4Address getByName(const std::string& host);
    static bool ipToHostName(const std::string& dotted, std::string& name);

    std::string getHostName() const override;
    void write(std::ostream& out) const override;

    uint32_t getAddress() const { return address_; }
    uint32_t getAddressNet() const { return htonl(address_); }
    bool isHostNameKnown() const { return hostNameKnown_; }

    bool operator==(const Inet4Address& other) const { return address_ == other.address_; }
    bool operator!=(const Inet4Address& other) const { return address_ != other.address_; }

private:
    uint32_t address_ = 0; // host byte order
    mutable std::string hostName_;
    mutable bool hostNameKnown_ = false;
};

class Inet6Address : public InetAddress {
public:
    Inet6Address();
    explicit Inet6Address(const in6_addr& address)
        : address_(address)
    {
    }
    Inet6Address(const in6_addr& address, const std::string& name)
        : address_(address)
        , hostName_(name)
        , hostNameKnown_(true)
    {
    }
    Inet6Address(const Inet6Address&) = default;
    Inet6Address& operator=(const Inet6Address&) = default;

    static bool hostIsIp(const std::string&) { return false; }
    static Inet6Address getByName(const std::string& host);

    std::string getHostName() const override;
    void write(std::ostream& out) const override;

    const in6_addr& getAddressNet() const { return address_; }

private:
    in6_addr address_;
    mutable std::string hostName_;
    mutable bool hostNameKnown_ = false;
};

} // namespace tavir::utils
