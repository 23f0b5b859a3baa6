#include "tiny/Descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace tavir::tiny {

namespace {

const long maxFd = 0x7ffffffe;
// Without a listing of open descriptors, descriptors are closed one by one
// up to the limit; a limit of "unlimited" must not turn that into billions
// of calls.
const long boundedFallbackLimit = 65536;

bool listed(const std::vector<int>& fds, long fd)
{
    return std::find(fds.begin(), fds.end(), fd) != fds.end();
}

// Whole decimal number 0..0x7ffffffe, or -1.
long parseFd(const char* name)
{
    if (!*name)
        return -1;
    long v = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        v = v * 10 + (*p - '0');
        if (v > maxFd)
            return -1;
    }
    return v;
}

struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// Lists the open descriptors through /dev/fd with getdents64 (no heap) and
// closes the chosen ones. False when the listing can't be opened.
bool closeFromListing(const FdsToClose& set)
{
    int dirFd = open("/dev/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    alignas(8) char buf[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, dirFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            auto* d = reinterpret_cast<LinuxDirent64*>(buf + off);
            off += d->d_reclen;
            long fd = parseFd(d->d_name);
            if (fd < 0 || fd == dirFd)
                continue;
            if (listed(set.fds, fd) == set.closeListed)
                ::close(static_cast<int>(fd));
        }
    }
    ::close(dirFd);
    return true;
}

void closeRange(long first, long last)
{
    if (first > last)
        return;
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0)
        return;
#endif
    last = std::min(last, boundedFallbackLimit - 1);
    for (long fd = first; fd <= last; ++fd)
        ::close(static_cast<int>(fd));
}

} // namespace

int getDirfd(DIR* dir)
{
    return dirfd(dir);
}

void closeSelectedFds(FdsToClose& set)
{
    if (!closeFromListing(set))
        closeSelectedFdsByNumber(set);
}

void closeSelectedFdsByNumber(FdsToClose& set)
{
    if (set.closeListed) {
        for (int fd : set.fds)
            if (fd >= 0)
                ::close(fd);
        return;
    }
    long limit = 0x7fffffff;
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
        && rl.rlim_cur < static_cast<rlim_t>(limit))
        limit = static_cast<long>(rl.rlim_cur);
    std::sort(set.fds.begin(), set.fds.end());
    long from = 0;
    for (int keep : set.fds) {
        if (keep < from || keep >= limit)
            continue;
        closeRange(from, keep - 1L);
        from = keep + 1L;
    }
    closeRange(from, limit - 1);
}

} // namespace tavir::tiny
