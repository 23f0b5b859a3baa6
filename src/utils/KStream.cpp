#include "utils/KStream.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace tavir::utils {

KStream::KStream()
    : readPtr(readBuf)
    , writePtr(writeBuf)
    , readLeft(0)
    , writeLeft(kBufferSize)
{
}

KStream::~KStream() = default;

int KStream::setReadTimeout(int)
{
    return 0;
}

int KStream::setWriteTimeout(int)
{
    return 0;
}

bool KStream::isReadEof()
{
    return readLeft == 0;
}

bool KStream::isClosed() const
{
    return false;
}

void KStream::discardReadBuffer()
{
    readPtr = readBuf;
    readLeft = 0;
}

void KStream::resetBuffers()
{
    discardReadBuffer();
    writePtr = writeBuf;
    writeLeft = kBufferSize;
}

bool KStream::drainWriteBuffer()
{
    const char* p = writeBuf;
    int32_t pending = kBufferSize - writeLeft;
    while (pending > 0) {
        const int written = i_write(p, static_cast<unsigned>(pending));
        if (written <= 0) {
            // Keep what could not be written, at the front of the buffer.
            std::memmove(writeBuf, p, static_cast<size_t>(pending));
            writePtr = writeBuf + pending;
            writeLeft = kBufferSize - pending;
            return false;
        }
        const int32_t moved = written > pending ? pending : written;
        p += moved;
        pending -= moved;
    }
    writePtr = writeBuf;
    writeLeft = kBufferSize;
    return true;
}

bool KStream::refill()
{
    if (writeLeft != kBufferSize && !drainWriteBuffer()) {
        readFailed_ = true;
        return false;
    }
    const int got = i_read(readBuf, kBufferSize);
    readPtr = readBuf;
    if (got <= 0) {
        readLeft = 0;
        readFailed_ = got < 0;
        return false;
    }
    readFailed_ = false;
    readLeft = got > kBufferSize ? kBufferSize : got;
    return true;
}

size_t KStream::read(char* buf, size_t len)
{
    if (len == 0 || !buf)
        return 0;
    if (readLeft == 0 && !refill())
        return 0;
    const size_t n = static_cast<size_t>(readLeft) < len ? static_cast<size_t>(readLeft) : len;
    std::memcpy(buf, readPtr, n);
    readPtr += n;
    readLeft -= static_cast<int32_t>(n);
    return n;
}

size_t KStream::write(const char* buf, size_t len)
{
    if (len == 0)
        return 0;
    if (!buf)
        return 0;
    size_t done = 0;
    while (done < len) {
        const size_t room = static_cast<size_t>(writeLeft);
        const size_t n = len - done < room ? len - done : room;
        std::memcpy(writePtr, buf + done, n);
        writePtr += n;
        writeLeft -= static_cast<int32_t>(n);
        done += n;
        if (writeLeft == 0 && !drainWriteBuffer())
            return 0;
    }
    return len;
}

int KStream::flush()
{
    return drainWriteBuffer() ? 0 : -1;
}

int KStream::directWrite(const char* buf, unsigned int len)
{
    if (static_cast<int32_t>(len) < 0)
        return -1;
    return i_write(buf, len);
}

unsigned int KStream::getstr(char* buf, unsigned int size)
{
    if (size == 0 || !buf)
        return 0;
    unsigned int n = 0;
    for (;;) {
        if (n == size - 1)
            break;
        if (readLeft == 0 && !refill())
            break;
        // Copy up to the line end, the room left or the buffered bytes.
        const unsigned int room = size - 1 - n;
        const unsigned int avail
            = static_cast<unsigned>(readLeft) < room ? static_cast<unsigned>(readLeft) : room;
        const char* nl = static_cast<const char*>(std::memchr(readPtr, '\n', avail));
        const unsigned int take = nl ? static_cast<unsigned>(nl - readPtr) + 1 : avail;
        std::memcpy(buf + n, readPtr, take);
        readPtr += take;
        readLeft -= static_cast<int32_t>(take);
        n += take;
        if (nl)
            break;
    }
    buf[n] = '\0';
    return n;
}

unsigned int KStream::gets(char* buf, unsigned int size, bool keepPartial)
{
    if (size == 0 || !buf)
        return 0;
    const unsigned int n = getstr(buf, size);
    if (n > 0 && buf[n - 1] == '\n')
        return n;
    if (n == size - 1) {
        // Did not fit: the bytes stay consumed, the caller gets nothing.
        buf[0] = '\0';
        return 0;
    }
    // End of data or a failure before the line end.
    if (keepPartial)
        return n;
    buf[0] = '\0';
    return 0;
}

bool KStream::printf(const char* format, ...)
{
    if (!format)
        return false;
    char local[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(local, sizeof local, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return false;
    }
    bool ok;
    if (static_cast<size_t>(n) < sizeof local) {
        va_end(again);
        ok = n > 0 && write(local, static_cast<size_t>(n)) == static_cast<size_t>(n);
    } else {
        char* big = new (std::nothrow) char[static_cast<size_t>(n) + 1];
        if (!big) {
            va_end(again);
            return false;
        }
        const int m = std::vsnprintf(big, static_cast<size_t>(n) + 1, format, again);
        va_end(again);
        ok = m == n && write(big, static_cast<size_t>(n)) == static_cast<size_t>(n);
        delete[] big;
    }
    return ok;
}

bool KStream::puts(const char* text)
{
    if (!text)
        return false;
    const size_t len = std::strlen(text);
    return len > 0 && write(text, len) == len;
}

bool KStream::puts(const std::string& text)
{
    return !text.empty() && write(text.data(), text.size()) == text.size();
}

bool KStream::copyTo(KStream& dest)
{
    char chunk[1024];
    for (;;) {
        const size_t n = read(chunk, sizeof chunk);
        if (n == 0)
            return !readFailed_;
        if (dest.write(chunk, n) != n)
            return false; // never drop a chunk and carry on
    }
}

bool KStream::copyToSize(KStream& dest, size_t size)
{
    char chunk[1024];
    size_t remaining = size;
    while (remaining > 0) {
        const size_t n = read(chunk, remaining < sizeof chunk ? remaining : sizeof chunk);
        if (n == 0)
            return !readFailed_;
        if (dest.write(chunk, n) != n)
            return false;
        remaining -= n;
    }
    return true;
}

int KFileStream::i_seek64(long long offset, int whence)
{
    return i_seek(static_cast<long>(offset), whence);
}

long long KFileStream::i_tell64()
{
    return i_tell();
}

} // namespace tavir::utils
