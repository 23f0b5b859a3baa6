#pragma once
// An advisory whole-file lock (flock) with nesting: above 0 the counter is
// the depth of a shared lock, below 0 the depth of an exclusive lock. Only
// the thread that constructed the lock may lock it.
#include "utils/Descriptor.h"

#include <cstdint>

namespace tavir::utils {

class KFLock {
public:
    KFLock();
    ~KFLock();
    KFLock(const KFLock&) = delete;
    KFLock& operator=(const KFLock&) = delete;

    // Binds to a descriptor it does not own (counter 0).
    bool init(int fd);
    // Opens `path` read and write (created when `create`) and owns it.
    bool init(const char* path, bool create);
    // Gives up one level of a held lock and unbinds (closing an owned
    // descriptor).
    bool detach();

    bool lock();
    bool tryLock();
    bool unlock();
    bool readLock();
    bool writeLock();
    bool tryReadLock();
    bool tryWriteLock();

    bool writeLockInternal(bool nonBlocking);
    bool readLockInternal(bool nonBlocking);
    // One flock call, without owner check or counting.
    bool lockInternal(bool exclusive, bool nonBlocking);
    bool testThreadID() const;
    int decrementLockCounter();

    bool isAttached() const { return attached; }
    int lockCounter() const { return counter; }
    int descriptor() const { return fd; }
    const char* lockPath() const { return path; }

private:
    bool flockRetry(int operation);

    char path[512];
    bool attached;
    int32_t counter;
    // The descriptor init(path) opened, which the lock closes; none for a
    // bound one.
    Descriptor ownsDescriptor;
    int fd;
    uint64_t owner;
};

} // namespace tavir::utils
