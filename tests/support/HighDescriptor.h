#pragma once
// A descriptor numbered past what an fd_set holds, for tests of code that
// must cope with busy processes: a duplicate of a given descriptor at a high
// number, with the process's descriptor limit raised for it and put back
// afterwards.
#include <string>

namespace tavir::test {

class HighDescriptor {
public:
    // Duplicates `fd` to `number` (raising the soft RLIMIT_NOFILE above it if
    // needed); fd() is -1 when the hard limit is too low, and why() says so.
    HighDescriptor(int fd, int number);
    ~HighDescriptor();
    HighDescriptor(const HighDescriptor&) = delete;
    HighDescriptor& operator=(const HighDescriptor&) = delete;

    int fd() const { return fd_; }
    const std::string& why() const { return why_; }

private:
    int fd_ = -1;
    bool raised_ = false;
    unsigned long long savedSoft_ = 0;
    std::string why_;
};

} // namespace tavir::test
