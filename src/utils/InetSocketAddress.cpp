#include "utils/InetSocketAddress.h"

#include <cstring>

namespace tavir::utils {

InetSocketAddress::InetSocketAddress() = default;

InetSocketAddress::InetSocketAddress(const Inet4Address& address, unsigned port)
    : address_(address)
    , port_(port)
{
}

InetSocketAddress::InetSocketAddress(const std::string& text)
{
    Url url(text);
    fromUrl(url);
}

InetSocketAddress::InetSocketAddress(Url& url)
{
    fromUrl(url);
}

InetSocketAddress::InetSocketAddress(const InetSocketAddress& other)
    : address_(other.address_)
    , port_(other.port_)
{
}

InetSocketAddress& InetSocketAddress::operator=(const InetSocketAddress& other)
{
    if (this != &other) {
        address_ = other.address_;
        port_ = other.port_;
        dropCache();
    }
    return *this;
}

InetSocketAddress::~InetSocketAddress() = default;

void InetSocketAddress::fromUrl(Url& url)
{
    const std::string text = url.getUrl();
    // A port text that is no port must not turn silently into port 0 (or,
    // worse, another port): report it as an address that can't be made.
    if (!url.resolve(true))
        throw CantResolveException("Cant resolve host: " + text + " (error Invalid port)");
    port_ = static_cast<unsigned>(url.getPort());
    address_ = url.getIP4();
}

InetSocketAddress InetSocketAddress::any()
{
    return InetSocketAddress();
}

void InetSocketAddress::dropCache() const
{
    cache_.reset();
    cacheValid_ = false;
}

void InetSocketAddress::setAddress(const Inet4Address& address)
{
    address_ = address;
    dropCache();
}

void InetSocketAddress::setPort(unsigned port)
{
    port_ = port;
    dropCache();
}

sockaddr* InetSocketAddress::getSockAddr() const
{
    if (port_ > 65535)
        return nullptr;
    if (!cacheValid_ || !cache_) {
        if (!cache_)
            cache_.reset(new sockaddr_in);
        std::memset(cache_.get(), 0, sizeof(sockaddr_in));
        cache_->sin_family = AF_INET;
        cache_->sin_port = getPortNet();
        cache_->sin_addr.s_addr = address_.getAddressNet();
        cacheValid_ = true;
    }
    return reinterpret_cast<sockaddr*>(cache_.get());
}

void InetSocketAddress::clear()
{
    address_ = Inet4Address();
    port_ = 0;
    dropCache();
}

InetSSLSocketAddress::InetSSLSocketAddress(
    Url& url, const std::string& key, const std::string& cert)
    : InetSocketAddress(url)
    , key_(key)
    , cert_(cert)
{
}

InetSSLSocketAddress::InetSSLSocketAddress(
    const std::string& text, const std::string& key, const std::string& cert)
    : InetSocketAddress(text)
    , key_(key)
    , cert_(cert)
{
}

InetSSLSocketAddress::InetSSLSocketAddress(
    const Inet4Address& address, unsigned port, const std::string& key, const std::string& cert)
    : InetSocketAddress(address, port)
    , key_(key)
    , cert_(cert)
{
}

InetSSLSocketAddress InetSSLSocketAddress::any()
{
    return InetSSLSocketAddress();
}

} // namespace tavir::utils
