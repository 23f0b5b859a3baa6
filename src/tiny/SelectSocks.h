#pragma once
// A poll-based readiness set: which descriptors are ready for reading,
// writing or have an error.
#include <poll.h>
#include <stddef.h>
#include <sys/time.h>

#include <vector>

namespace tavir::tiny {

class SelectSocks {
public:
    SelectSocks() = default;
    virtual ~SelectSocks() = default;

    // A descriptor added twice keeps one record with the events merged.
    void add(int fd, short events);
    void addRead(int fd) { add(fd, POLLIN); }
    void addWrite(int fd) { add(fd, POLLOUT); }
    void addError(int fd) { add(fd, POLLERR); }

    // Ready records, 0 on time-out, -1 on failure or when a descriptor of the
    // set is not open. A descriptor with an error or hang-up shows as ready
    // for the first of error, write, read that was asked. An empty set
    // sleeps for the time-out.
    int select(int timeoutMs);
    // tv's milliseconds (microseconds cut off); null waits 1000 ms.
    int select(const timeval* tv);

    bool check(int fd, short events) const;
    bool checkRead(int fd) const { return check(fd, POLLIN); }
    bool checkWrite(int fd) const { return check(fd, POLLOUT); }
    bool checkError(int fd) const { return check(fd, POLLERR); }

    void reset() { fds_.clear(); }
    size_t size() const { return fds_.size(); }

private:
    std::vector<pollfd> fds_;
};

} // namespace tavir::tiny
