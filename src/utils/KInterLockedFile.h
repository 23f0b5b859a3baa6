#pragma once
// A file held under an fcntl record lock from the moment it is opened (other
// processes) and an in-process mutex (other threads of this process).
#include "tiny/KMutex.h"
#include "utils/KFile.h"

namespace tavir::utils {

class KInterLockedFile : public KFile {
public:
    KInterLockedFile();
    ~KInterLockedFile() override;

    // The lock operations take the object's mutex; no flock is used.
    bool lock() override;
    bool tryLock() override;
    bool unlock() override;
    bool readLock() override;
    bool writeLock() override;
    bool tryReadLock() override;
    bool tryWriteLock() override;
    // Places a non-blocking record lock over bytes 0 to 0x7fffffff: a read
    // lock for a read-only file, a write lock otherwise. When another process
    // holds a conflicting lock the file is closed and the open fails with
    // errno EAGAIN; a file opened for truncation is cut only once the lock
    // is held, so a failed open leaves it unchanged.
    bool postOpenOp(int fd, const char* mode) override;

private:
    tavir::tiny::KMutex mutex;
};

} // namespace tavir::utils
