#pragma once
// Process-wide instances made on first use, from any thread.
#include "tiny/KMutex.h"

#include <atomic>
#include <cstdlib>

namespace tavir::utils {

// The instance is deleted at process exit.
struct DestroyAtExit {
    static void scheduleDestruction(void (*destroy)()) { std::atexit(destroy); }
};

// The instance lives until the process ends.
struct NoDestroy {
    static void scheduleDestruction(void (*)()) { }
};

template <class T, class Policy = DestroyAtExit> class SingletonFactory {
public:
    // Never null. A throwing constructor throws through here and the next
    // call tries again.
    static T* getInstance()
    {
        // Fast path: the acquire pairs with the release below, so a thread
        // that sees the pointer also sees the finished object.
        T* p = instance_.load(std::memory_order_acquire);
        if (p)
            return p;
        tiny::KMutexLocker lock(mutex());
        p = instance_.load(std::memory_order_relaxed);
        if (!p) {
            p = new T;
            instance_.store(p, std::memory_order_release);
            Policy::scheduleDestruction(&SingletonFactory::internalDestroyInstance);
        }
        return p;
    }

    static void internalDestroyInstance()
    {
        tiny::KMutexLocker lock(mutex());
        delete instance_.exchange(nullptr, std::memory_order_acq_rel);
    }

private:
    // Built on first use, before any instance, so it is destroyed after the
    // instance's exit handler has run.
    static tiny::KMutex& mutex()
    {
        static tiny::KMutex m;
        return m;
    }

    static inline std::atomic<T*> instance_{nullptr};
};

} // namespace tavir::utils
