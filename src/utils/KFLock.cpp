#include "utils/KFLock.h"

#include "tiny/Thread.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tavir::utils {

KFLock::KFLock()
    : attached(false)
    , counter(0)
    , fd(-1)
    , owner(tavir::tiny::threadID())
{
    path[0] = '\0';
}

KFLock::~KFLock()
{
    detach();
}

bool KFLock::flockRetry(int operation)
{
    for (;;) {
        if (::flock(fd, operation) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool KFLock::init(int descriptor)
{
    if (attached)
        detach();
    fd = descriptor;
    attached = true;
    counter = 0;
    return true;
}

bool KFLock::init(const char* p, bool create)
{
    if (!p || attached)
        return false;
    std::strncpy(path, p, sizeof path - 1);
    path[sizeof path - 1] = '\0';
    int d;
    do {
        d = ::open(p, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    } while (d == -1 && errno == EINTR);
    if (d == -1)
        return false;
    ownsDescriptor.reset(d);
    fd = d;
    attached = true;
    counter = 0;
    return true;
}

bool KFLock::detach()
{
    if (!attached)
        return false;
    if (counter != 0 && decrementLockCounter() == 0)
        flockRetry(LOCK_UN);
    ownsDescriptor.reset();
    attached = false;
    fd = -1;
    counter = 0;
    return true;
}

bool KFLock::testThreadID() const
{
    return owner == tavir::tiny::threadID();
}

int KFLock::decrementLockCounter()
{
    if (counter > 0)
        --counter;
    else if (counter < 0)
        ++counter;
    return counter;
}

bool KFLock::lockInternal(bool exclusive, bool nonBlocking)
{
    if (!attached)
        return false;
    return flockRetry((exclusive ? LOCK_EX : LOCK_SH) | (nonBlocking ? LOCK_NB : 0));
}

bool KFLock::writeLockInternal(bool nonBlocking)
{
    if (!testThreadID() || counter > 0)
        return false;
    if (counter == 0 && !lockInternal(true, nonBlocking))
        return false;
    --counter;
    return true;
}

bool KFLock::readLockInternal(bool nonBlocking)
{
    if (!testThreadID())
        return false;
    if (counter == 0 && !lockInternal(false, nonBlocking))
        return false;
    // Away from 0: a held exclusive lock gets deeper, a shared one too.
    if (counter < 0)
        --counter;
    else
        ++counter;
    return true;
}

bool KFLock::lock()
{
    return writeLockInternal(false);
}

bool KFLock::writeLock()
{
    return writeLockInternal(false);
}

bool KFLock::tryLock()
{
    return writeLockInternal(true);
}

bool KFLock::tryWriteLock()
{
    return writeLockInternal(true);
}

bool KFLock::readLock()
{
    return readLockInternal(false);
}

bool KFLock::tryReadLock()
{
    return readLockInternal(true);
}

bool KFLock::unlock()
{
    if (!attached || !testThreadID() || counter == 0)
        return false;
    if (decrementLockCounter() == 0)
        return flockRetry(LOCK_UN);
    return true;
}

} // namespace tavir::utils
