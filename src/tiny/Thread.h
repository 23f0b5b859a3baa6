#pragma once
// Starting, joining and identifying threads. Every thread of the system is
// started by createThread so that process-wide start/end callbacks see it.
#include "tiny/KMutex.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace tavir::tiny {

struct ThreadAttributes {
    // 0: the system default; any other value is raised to at least 8192
    // bytes and to the smallest stack the system accepts.
    unsigned long stackSize;
    // Handed to the thread-start callback only.
    std::string name;
};

extern const ThreadAttributes defaultThreadAttributes;
ThreadAttributes threadNameAttr(const std::string& name);

// Passed through as the SCHED_OTHER priority. Linux accepts only 0 there.
typedef int ThreadPriority;
const ThreadPriority ThreadPriorityNormal = 0;

class ThreadCallbacks {
public:
    typedef void (*OnStart)(unsigned long threadId, const std::string& name);
    typedef void (*OnEnd)(unsigned long threadId);

    // Counted reference to the record; the last one frees it.
    class Ptr {
    public:
        Ptr() = default;
        explicit Ptr(ThreadCallbacks* p);
        Ptr(const Ptr& other);
        Ptr& operator=(const Ptr& other);
        ~Ptr();
        ThreadCallbacks* operator->() const { return p_; }
        ThreadCallbacks* get() const { return p_; }

    private:
        void release();
        ThreadCallbacks* p_ = nullptr;
    };

    // The one process-wide record, made on first use with both callbacks null.
    static Ptr getInstance();

    // Both given or both null; otherwise false and nothing changes.
    bool registerThreadCallbacks(OnStart onStart, OnEnd onEnd);
    void getThreadCallbacks(OnStart& onStart, OnEnd& onEnd);

private:
    ThreadCallbacks() = default;
    OnStart onStart_ TAVIR_GUARDED_BY(mutex_) = nullptr;
    OnEnd onEnd_ TAVIR_GUARDED_BY(mutex_) = nullptr;
    KMutex mutex_;
    std::atomic<int32_t> refs_{0};
};

// Starts entry(arg) on a new thread. With `handle` the thread is joinable and
// its handle stored there (0 on failure); without it the thread is detached.
bool createThread(void (*entry)(void*), void* arg, pthread_t* handle,
    const ThreadAttributes& attributes = defaultThreadAttributes);
void waitForThread(pthread_t handle);
bool waitForThreadClose(pthread_t handle);
unsigned long threadID();
int processID();
pthread_t getThreadHandle(pthread_t& out);
int setThreadPriority(ThreadPriority priority);
int threadDetach(pthread_t& handle);
void closeThreadHandle(pthread_t& handle);

namespace dangerous {

// Counted install of the SIGUSR2 action that ends the receiving thread.
class SigUsr2Guard {
public:
    SigUsr2Guard();
    bool setSIGUSR2Handler();
    bool restoreSIGUSR2Handler();

private:
    uint64_t useCount_ = 0;
    struct sigaction saved_;
    struct sigaction action_;
    KMutex mutex_;
};

extern SigUsr2Guard su2Plane;

// Ends the calling thread when the signal is SIGUSR2; nothing otherwise. A
// thread started by createThread jumps back into its start function, which
// runs the end callback and frees its record; the frames of the entry
// function are left without running their destructors (locks they hold stay
// held), which is why this is only for threads that are stuck.
void sIGUSR2Handler(int sig);

// Signals every thread with SIGUSR2 and joins each one signalled. True only
// when every signal was sent. The second argument is not used.
bool terminateThreads(const std::vector<pthread_t>& threads, unsigned int unused = 0);

} // namespace dangerous

} // namespace tavir::tiny
