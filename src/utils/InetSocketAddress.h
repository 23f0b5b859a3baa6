#pragma once
// IPv4 socket addresses (address and port), made directly or from a text
// such as imap://host:143 through Url.
#include "utils/InetAddress.h"
#include "utils/Url.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>

namespace tavir::utils {

class InetSocketAddress {
public:
    InetSocketAddress();
    InetSocketAddress(const Inet4Address& address, unsigned port);
    // Parse the text as a URL and resolve its host. Throws
    // CantResolveException when the host can't be resolved or the port is
    // not a port (an unknown service name or a number above 65535).
    explicit InetSocketAddress(const std::string& text);
    explicit InetSocketAddress(Url& url);
    InetSocketAddress(const InetSocketAddress& other);
    InetSocketAddress& operator=(const InetSocketAddress& other);
    virtual ~InetSocketAddress();

    static InetSocketAddress any();

    virtual bool isSecure() const { return false; }

    const Inet4Address& getAddress() const { return address_; }
    unsigned getPort() const { return port_; }
    uint16_t getPortNet() const { return htons(static_cast<uint16_t>(port_)); }

    void setAddress(const Inet4Address& address);
    void setPort(unsigned port);

    // The IPv4 socket address record, built on first use; owned by this
    // object. Null when the port does not fit a socket address (above 65535).
    sockaddr* getSockAddr() const;
    socklen_t getSockAddrLength() const { return sizeof(sockaddr_in); }

    void clear();

private:
    void fromUrl(Url& url);
    void dropCache() const;

    Inet4Address address_;
    unsigned port_ = 0;
    mutable std::unique_ptr<sockaddr_in> cache_;
    mutable bool cacheValid_ = false;
};

class InetSSLSocketAddress : public InetSocketAddress {
public:
    InetSSLSocketAddress() = default;
    InetSSLSocketAddress(Url& url, const std::string& key, const std::string& cert);
    InetSSLSocketAddress(const std::string& text, const std::string& key, const std::string& cert);
    InetSSLSocketAddress(const Inet4Address& address, unsigned port, const std::string& key,
        const std::string& cert);
    InetSSLSocketAddress(const InetSSLSocketAddress& other) = default;
    InetSSLSocketAddress& operator=(const InetSSLSocketAddress& other) = default;

    static InetSSLSocketAddress any();

    bool isSecure() const override { return true; }

    void setKey(const std::string& key) { key_ = key; }
    void setCert(const std::string& cert) { cert_ = cert; }
    const std::string& getKey() const { return key_; }
    const std::string& getCert() const { return cert_; }

private:
    std::string key_;
    std::string cert_;
};

} // namespace tavir::utils
