#include "ssl/TcpClientStream.h"

namespace tavir::utils {

basic_tcpclientiostream::basic_tcpclientiostream(
    const InetSocketAddress& peer, const InetSocketAddress& local, long receiveSize, long sendSize)
    : std::iostream(nullptr)
    , buffer_(new basic_tcpclientbuffer(peer, local, receiveSize, sendSize))
{
    rdbuf(buffer_.get());
}

basic_tcpclientiostream::basic_tcpclientiostream(const InetSSLSocketAddress& peer,
    const InetSSLSocketAddress& local, long receiveSize, long sendSize, bool tlsAtConnect)
    : std::iostream(nullptr)
    , buffer_(new basic_sslclientbuffer(peer, local, receiveSize, sendSize, tlsAtConnect))
{
    rdbuf(buffer_.get());
}

basic_tcpclientiostream::~basic_tcpclientiostream()
{
    rdbuf(nullptr);
}

bool basic_tcpclientiostream::init()
{
    if (initialised_)
        return true;
    initialised_ = true;
    return buffer_->init();
}

void basic_tcpclientiostream::create(const SSL_METHOD* method)
{
    clear();
    if (!initialised_) {
        initialised_ = true;
        if (!buffer_->init()) {
            setstate(std::ios::badbit);
            return;
        }
    }
    if (!buffer_->create(method))
        setstate(std::ios::badbit);
}

void basic_tcpclientiostream::close()
{
    initialised_ = false;
    if (!buffer_->close())
        setstate(std::ios::badbit);
}

} // namespace tavir::utils
