#include "tiny/Thread.h"

#include <sched.h>
#include <setjmp.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tavir::tiny {

const ThreadAttributes defaultThreadAttributes = {0, ""};

ThreadAttributes threadNameAttr(const std::string& name)
{
    ThreadAttributes a = defaultThreadAttributes;
    a.name = name;
    return a;
}

// ---- ThreadCallbacks ----

ThreadCallbacks::Ptr::Ptr(ThreadCallbacks* p)
    : p_(p)
{
    if (p_)
        p_->refs_.fetch_add(1, std::memory_order_relaxed);
}

ThreadCallbacks::Ptr::Ptr(const Ptr& other)
    : Ptr(other.p_)
{
}

ThreadCallbacks::Ptr& ThreadCallbacks::Ptr::operator=(const Ptr& other)
{
    if (other.p_)
        other.p_->refs_.fetch_add(1, std::memory_order_relaxed);
    release();
    p_ = other.p_;
    return *this;
}

ThreadCallbacks::Ptr::~Ptr()
{
    release();
}

void ThreadCallbacks::Ptr::release()
{
    if (p_ && p_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete p_;
    p_ = nullptr;
}

ThreadCallbacks::Ptr ThreadCallbacks::getInstance()
{
    // The static holds one reference, given back at exit; threads still
    // running then keep the record alive through their own references.
    static Ptr instance(new ThreadCallbacks);
    return instance;
}

bool ThreadCallbacks::registerThreadCallbacks(OnStart onStart, OnEnd onEnd)
{
    if ((onStart == nullptr) != (onEnd == nullptr))
        return false;
    KMutexLocker lock(mutex_);
    onStart_ = onStart;
    onEnd_ = onEnd;
    return true;
}

void ThreadCallbacks::getThreadCallbacks(OnStart& onStart, OnEnd& onEnd)
{
    KMutexLocker lock(mutex_);
    onStart = onStart_;
    onEnd = onEnd_;
}

// ---- threads ----

namespace {

struct StartRecord {
    void (*entry)(void*);
    void* arg;
    std::string name;
    ThreadCallbacks::Ptr callbacks;
};

// Where the SIGUSR2 handler leaves a thread started by createThread: back
// into its trampoline, out of the signal context, so that the thread ends the
// ordinary way (end callback, record freed, join returns).
thread_local sigjmp_buf* t_terminateJump = nullptr;

void* trampoline(void* p)
{
    StartRecord* record = static_cast<StartRecord*>(p);
    unsigned long id = threadID();
    ThreadCallbacks::OnStart onStart = nullptr;
    ThreadCallbacks::OnEnd onEnd = nullptr;
    record->callbacks->getThreadCallbacks(onStart, onEnd);
    if (onStart)
        onStart(id, record->name);
    sigjmp_buf terminated;
    if (sigsetjmp(terminated, 1) == 0) {
        t_terminateJump = &terminated;
        record->entry(record->arg);
    }
    t_terminateJump = nullptr;
    if (onEnd)
        onEnd(id);
    delete record;
    return nullptr;
}

unsigned long smallestStack()
{
    long min = sysconf(_SC_THREAD_STACK_MIN);
    if (min <= 0)
        min = PTHREAD_STACK_MIN;
    return static_cast<unsigned long>(min);
}

} // namespace

bool createThread(
    void (*entry)(void*), void* arg, pthread_t* handle, const ThreadAttributes& attributes)
{
    if (handle)
        *handle = 0;
    if (!entry)
        return false;
    std::unique_ptr<StartRecord> record(
        new StartRecord{entry, arg, attributes.name, ThreadCallbacks::getInstance()});

    pthread_attr_t attr;
    bool haveAttr = false;
    if (attributes.stackSize != 0) {
        if (pthread_attr_init(&attr) != 0)
            return false;
        haveAttr = true;
        // Linux refuses stacks below its minimum; a caller asking for a tiny
        // stack gets the smallest one that works rather than no thread.
        size_t size = std::max<unsigned long>(attributes.stackSize, 8192);
        size = std::max<unsigned long>(size, smallestStack());
        if (pthread_attr_setstacksize(&attr, size) != 0) {
            pthread_attr_destroy(&attr);
            return false;
        }
    }

    pthread_t thread;
    bool ok = pthread_create(&thread, haveAttr ? &attr : nullptr, trampoline, record.get()) == 0;
    if (ok) {
        record.release(); // the thread owns it now
        if (handle)
            *handle = thread;
        else
            pthread_detach(thread);
    }
    if (haveAttr)
        pthread_attr_destroy(&attr);
    return ok;
}

void waitForThread(pthread_t handle)
{
    waitForThreadClose(handle);
}

bool waitForThreadClose(pthread_t handle)
{
    if (!handle)
        return true;
    // A thread never joins itself: POSIX leaves that to the system (glibc
    // says EDEADLK, others may hang), and a join attempt already forgets the
    // thread in ThreadSanitizer's books, so the owner's own join would fail.
    if (pthread_equal(handle, pthread_self()))
        return false;
    return pthread_join(handle, nullptr) == 0;
}

unsigned long threadID()
{
    return static_cast<unsigned long>(pthread_self());
}

int processID()
{
    return static_cast<int>(getpid());
}

pthread_t getThreadHandle(pthread_t& out)
{
    out = pthread_self();
    return out;
}

int setThreadPriority(ThreadPriority priority)
{
    // Passed through as asked: Linux answers EINVAL for any priority but 0
    // under SCHED_OTHER, and that error is what the caller gets.
    sched_param param;
    std::memset(&param, 0, sizeof param);
    param.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

int threadDetach(pthread_t& handle)
{
    return pthread_detach(handle);
}

void closeThreadHandle(pthread_t&)
{
}

// ---- SIGUSR2 ----

namespace dangerous {

void sIGUSR2Handler(int sig)
{
    if (sig != SIGUSR2)
        return;
    if (t_terminateJump)
        siglongjmp(*t_terminateJump, 1);
    // A thread of someone else's making: end it where it stands.
    pthread_exit(nullptr);
}

SigUsr2Guard::SigUsr2Guard()
{
    std::memset(&saved_, 0, sizeof saved_);
    std::memset(&action_, 0, sizeof action_);
    action_.sa_handler = sIGUSR2Handler;
    sigemptyset(&action_.sa_mask);
    action_.sa_flags = 0;
}

bool SigUsr2Guard::setSIGUSR2Handler()
{
    KMutexLocker lock(mutex_);
    if (useCount_ > 0) {
        ++useCount_;
        return true;
    }
    if (sigaction(SIGUSR2, &action_, &saved_) != 0)
        return false;
    useCount_ = 1;
    return true;
}

bool SigUsr2Guard::restoreSIGUSR2Handler()
{
    KMutexLocker lock(mutex_);
    if (useCount_ == 1) {
        if (sigaction(SIGUSR2, &saved_, nullptr) != 0)
            return false;
        useCount_ = 0;
    } else if (useCount_ > 1) {
        --useCount_;
    }
    return true;
}

SigUsr2Guard su2Plane;

bool terminateThreads(const std::vector<pthread_t>& threads, unsigned int)
{
    if (!su2Plane.setSIGUSR2Handler())
        return false;
    bool result = true;
    for (pthread_t t : threads) {
        if (pthread_kill(t, SIGUSR2) == 0)
            pthread_join(t, nullptr);
        else
            result = false;
    }
    su2Plane.restoreSIGUSR2Handler();
    return result;
}

} // namespace dangerous

} // namespace tavir::tiny
