#pragma once
// Another process holding a file the way this program's interlocked files
// are held (utils/KInterLockedFile.h, an fcntl record lock taken as the file
// is opened): a program that holds the file and hangs, for as long as a test
// needs it.
#include "support/ChildProcess.h"

#include <memory>
#include <string>

namespace tavir::test {

class LockHolder {
public:
    // A child process opens `path` as a KInterLockedFile with `mode` ("r+"
    // holds it for writing, "rb" for reading) and keeps it open until
    // release() or the object goes. Throws std::runtime_error when no child
    // can be made.
    LockHolder(const std::string& path, const char* mode);
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    // Whether the child's open succeeded, and so holds the file now.
    bool opened() const { return opened_; }
    // Ends the child, and with it its hold on the file; safe from another
    // thread, and more than once.
    void release();

private:
    std::unique_ptr<ChildProcess> child_;
    bool opened_ = false;
};

} // namespace tavir::test
