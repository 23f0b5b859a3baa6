#include "support/HighDescriptor.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavir::test {

HighDescriptor::HighDescriptor(int fd, int number)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        why_ = std::string("getrlimit failed: ") + std::strerror(errno);
        return;
    }
    const rlim_t wanted = rlim_t(number) + 1;
    if (limit.rlim_cur < wanted) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
            why_ = "the hard descriptor limit " + std::to_string(limit.rlim_max) + " is below "
                + std::to_string(wanted);
            return;
        }
        savedSoft_ = limit.rlim_cur;
        limit.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            why_ = std::string("setrlimit failed: ") + std::strerror(errno);
            return;
        }
        raised_ = true;
    }
    if (fcntl(number, F_GETFD) != -1) {
        why_ = "descriptor " + std::to_string(number) + " is already in use";
        return;
    }
    if (dup2(fd, number) != number) {
        why_ = std::string("dup2 failed: ") + std::strerror(errno);
        return;
    }
    fd_ = number;
}

HighDescriptor::~HighDescriptor()
{
    if (fd_ >= 0)
        close(fd_);
    if (raised_) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = savedSoft_;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace tavir::test
