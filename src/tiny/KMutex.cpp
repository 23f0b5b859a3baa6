#include "tiny/KMutex.h"

#include <cerrno>
#include <stdexcept>

namespace tavir::tiny {

pthread_mutexattr_t* defaultMutexAttr()
{
    struct Attr {
        pthread_mutexattr_t attr;
        Attr()
        {
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        }
    };
    // Never destroyed: mutexes of static objects may still be made or
    // destroyed while the process exits.
    static Attr* attr = new Attr;
    return &attr->attr;
}

KMutex::KMutex()
{
    init();
}

KMutex::KMutex(const KMutex&)
{
    init();
}

void KMutex::init()
{
    switch (pthread_mutex_init(&mutex_, defaultMutexAttr())) {
    case ENOMEM:
        throw std::runtime_error("Insufficient memory exists to initialize the mutex.");
    case EAGAIN:
        throw std::runtime_error("System resources (other than memory) are unavailable.");
    case EINVAL:
        throw std::runtime_error("Wrong attributes for mutex.");
    default:
        break;
    }
}

KMutex::~KMutex()
{
    pthread_mutex_destroy(&mutex_);
}

// The pthread calls below are where the lock is taken and given up.
int KMutex::lock() TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    return pthread_mutex_lock(&mutex_);
}

bool KMutex::tryLock() TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    // Any failure means the lock was not taken; reporting success there would
    // let the caller run unprotected and unlock a mutex it does not hold.
    return pthread_mutex_trylock(&mutex_) == 0;
}

int KMutex::unlock() TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    return pthread_mutex_unlock(&mutex_);
}

int KMutex::readLock()
{
    return lock();
}

int KMutex::writeLock()
{
    return lock();
}

bool KMutex::tryReadLock()
{
    return tryLock();
}

bool KMutex::tryWriteLock()
{
    return tryLock();
}

int KMutex::uncountedLock()
{
    return lock();
}

int KMutex::uncountedUnlock()
{
    return unlock();
}

} // namespace tavir::tiny
