#include "tiny/Pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tavir::tiny {

namespace {

constexpr unsigned long kMaxTransfer = static_cast<unsigned long>(LONG_MAX);

} // namespace

Pipe::~Pipe()
{
    if (readOpen_)
        close(kRead);
    if (writeOpen_)
        close(kWrite);
}

bool Pipe::read(void* buffer, unsigned long size, unsigned long& got)
{
    got = 0;
    if (!readOpen_)
        return false;
    if (size > kMaxTransfer)
        size = kMaxTransfer;
    ssize_t n = ::read(readHandle_, buffer, size);
    if (n <= 0)
        return false;
    got = static_cast<unsigned long>(n);
    return true;
}

bool Pipe::write(const void* buffer, unsigned long size, unsigned long& written)
{
    written = 0;
    if (!writeOpen_)
        return false;
    if (size > kMaxTransfer)
        size = kMaxTransfer;
    ssize_t n;
    do {
        n = ::write(writeHandle_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    written = static_cast<unsigned long>(n);
    return true;
}

bool Pipe::getHandle(unsigned end, int& handle) const
{
    if (end == kRead) {
        handle = readHandle_;
        return true;
    }
    if (end == kWrite) {
        handle = writeHandle_;
        return true;
    }
    return false;
}

bool Pipe::getHandleString(unsigned end, std::string& text) const
{
    int handle;
    if (!getHandle(end, handle))
        return false;
    text = std::to_string(handle);
    return true;
}

bool Pipe::getHandleFromString(const std::string& text, int& handle)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > INT_MAX || value < INT_MIN)
        return false;
    handle = static_cast<int>(value);
    return true;
}

bool Pipe::close(unsigned end)
{
    if (end != kRead && end != kWrite)
        return false;
    if (!doClose(end))
        return false;
    // A duplex pipe has one handle for both ends.
    if (mode_ == kBoth && readHandle_ == writeHandle_) {
        readOpen_ = false;
        writeOpen_ = false;
    }
    return true;
}

bool Pipe::doClose(unsigned end)
{
    bool& open = end == kRead ? readOpen_ : writeOpen_;
    int& handle = end == kRead ? readHandle_ : writeHandle_;
    if (end != kRead && end != kWrite)
        return false;
    if (open) {
        if (!closePipeHandle(handle))
            return false;
        open = false;
    }
    return true;
}

bool Pipe::closePipeHandle(int& handle)
{
    if (handle < 0)
        return true;
    // Linux always releases the descriptor, even when close reports EINTR.
    int result = ::close(handle);
    if (result != 0 && errno != EINTR)
        return false;
    handle = -1;
    return true;
}

bool PipeServer::create(const ServerParams& params)
{
    if (readOpen_ || writeOpen_)
        return false;
    mode_ = params.mode;
    if (!params.name.empty())
        return false;
    return createAnonymous(params);
}

bool PipeServer::createAnonymous(const ServerParams&)
{
    int fds[2];
    // Close-on-exec, so that a pipe never leaks into an unrelated child; the
    // process wrapper duplicates the ends it passes on.
    if (pipe2(fds, O_CLOEXEC) != 0) {
        errorMessage_ = "pipe creation failed";
        return false;
    }
    readHandle_ = fds[0];
    writeHandle_ = fds[1];
    readOpen_ = true;
    writeOpen_ = true;
    return true;
}

bool PipeServer::createNamed(const ServerParams&)
{
    return false;
}

bool PipeServer::waitForConnect(unsigned, long)
{
    errorMessage_.clear();
    return true;
}

void PipeServer::getErrorMsg(std::string& text)
{
    text = std::move(errorMessage_);
    errorMessage_.clear();
}

std::string PipeServer::createPipeName(const char*)
{
    return {};
}

bool PipeClient::connect(const ClientParams& params)
{
    mode_ = params.mode;
    if (!params.name.empty() || params.handle == -1)
        return false;
    if (params.mode & kRead) {
        readHandle_ = params.handle;
        readOpen_ = true;
    }
    if (params.mode & kWrite) {
        writeHandle_ = params.handle;
        writeOpen_ = true;
    }
    return true;
}

} // namespace tavir::tiny
