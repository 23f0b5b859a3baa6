// Closing, reading and writing descriptors.
#include "utils/Descriptor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace tavir::utils {

void Descriptor::reset(int fd)
{
    // Not retried on EINTR: the descriptor is closed already, and its number
    // may belong to another thread's file by the time of a second call.
    if (fd_ >= 0 && fd_ != fd)
        ::close(fd_);
    fd_ = fd;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

bool readAll(int fd, std::size_t limit, std::string& out)
{
    // Read straight into `out`, first as large as the file says it is and
    // one byte more to meet its end, then twice as large each time it
    // fills: a file of many megabytes takes a few reads and is held once.
    struct stat info { };
    std::size_t size = 4096;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        size = std::max(size, static_cast<std::size_t>(info.st_size) + 1);
    out.resize(std::min(size, limit + 1));
    std::size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (got > limit) {
                errno = EFBIG;
                return false;
            }
            out.resize(std::min(got * 2, limit + 1));
        }
        const ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            out.resize(got);
            errno = error;
            return n == 0;
        }
        got += static_cast<std::size_t>(n);
    }
}

} // namespace tavir::utils
