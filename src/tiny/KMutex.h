#pragma once
// The one lock type of the system: a recursive POSIX mutex. The thread that
// holds it may lock it again and must unlock it as often. There is no shared
// mode; the read/write names exist so that callers can say what they mean and
// subclasses (interlocked files) can lock something else. What a mutex
// guards is said where it is declared (tiny/ThreadSafety.h).
#include "tiny/ThreadSafety.h"

#include <pthread.h>

namespace tavir::tiny {

// The attribute object shared by every KMutex: recursive type, made once.
pthread_mutexattr_t* defaultMutexAttr();

class TAVIR_CAPABILITY("mutex") KMutex {
public:
    // Throws std::runtime_error when the mutex can't be made.
    KMutex();
    // A copy is a fresh, unlocked mutex: a lock is never shared by copying.
    KMutex(const KMutex&);
    // Assignment leaves the mutex as it is.
    KMutex& operator=(const KMutex&) { return *this; }
    virtual ~KMutex();

    virtual int lock() TAVIR_ACQUIRE();
    // True only when this call took (or re-took) the lock.
    virtual bool tryLock() TAVIR_TRY_ACQUIRE(true);
    virtual int unlock() TAVIR_RELEASE();
    virtual int readLock() TAVIR_ACQUIRE();
    virtual int writeLock() TAVIR_ACQUIRE();
    virtual bool tryReadLock() TAVIR_TRY_ACQUIRE(true);
    virtual bool tryWriteLock() TAVIR_TRY_ACQUIRE(true);
    virtual int uncountedLock() TAVIR_ACQUIRE();
    virtual int uncountedUnlock() TAVIR_RELEASE();

protected:
    pthread_mutex_t mutex_;

private:
    // Gives the mutex up for the length of a wait.
    friend class KCondition;
    void init();
};

// Scoped write lock over a KMutex.
class TAVIR_SCOPED_CAPABILITY KMutexLocker {
public:
    explicit KMutexLocker(KMutex& m) TAVIR_ACQUIRE(m)
        : m_(m)
    {
        m_.writeLock();
    }
    ~KMutexLocker() TAVIR_RELEASE() { m_.unlock(); }
    KMutexLocker(const KMutexLocker&) = delete;
    KMutexLocker& operator=(const KMutexLocker&) = delete;

private:
    KMutex& m_;
};

} // namespace tavir::tiny
