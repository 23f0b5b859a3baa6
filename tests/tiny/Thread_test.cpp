#include "tiny/Thread.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

using namespace tavir::tiny;

namespace {

struct Probe {
    std::atomic<bool> ran{false};
    std::atomic<size_t> stackSize{0};
    std::atomic<unsigned long> id{0};
};

void probeEntry(void* p)
{
    auto* probe = static_cast<Probe*>(p);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        size_t size = 0;
        pthread_attr_getstacksize(&attr, &size);
        probe->stackSize = size;
        pthread_attr_destroy(&attr);
    }
    probe->id = threadID();
    probe->ran = true;
}

bool waitFor(const std::atomic<bool>& flag)
{
    for (int i = 0; i < 500 && !flag; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return flag;
}

} // namespace

TEST(Thread, JoinableThreadRunsAndJoins)
{
    Probe probe;
    pthread_t handle = 0;
    ASSERT_TRUE(createThread(probeEntry, &probe, &handle, defaultThreadAttributes));
    EXPECT_NE(0u, handle);
    EXPECT_TRUE(waitForThreadClose(handle));
    EXPECT_TRUE(probe.ran);
    EXPECT_EQ(static_cast<unsigned long>(handle), probe.id.load());
    EXPECT_NE(threadID(), probe.id.load());
}

TEST(Thread, DetachedThreadRunsWithoutJoin)
{
    Probe probe;
    ASSERT_TRUE(createThread(probeEntry, &probe, nullptr, defaultThreadAttributes));
    EXPECT_TRUE(waitFor(probe.ran));
    // A detached thread can't be joined.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(Thread, StackSizes)
{
    struct Case {
        unsigned long asked;
        size_t atLeast;
    };
    const size_t linuxMin = static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN));
    for (Case c : {Case{100, std::max<size_t>(8192, linuxMin)},
             Case{8193, std::max<size_t>(8193, linuxMin)}, Case{1 << 20, 1 << 20}}) {
        Probe probe;
        pthread_t handle = 0;
        ThreadAttributes attr = threadNameAttr("small");
        attr.stackSize = c.asked;
        ASSERT_TRUE(createThread(probeEntry, &probe, &handle, attr)) << c.asked;
        ASSERT_TRUE(waitForThreadClose(handle));
        EXPECT_TRUE(probe.ran);
        EXPECT_GE(probe.stackSize.load(), c.atLeast) << c.asked;
#ifndef __SANITIZE_THREAD__ // ThreadSanitizer enlarges small stacks itself
        EXPECT_LT(probe.stackSize.load(), c.atLeast + 65536) << c.asked;
#endif
    }
    // 0 gives the system default, which is what a plain pthread gets.
    Probe probe;
    pthread_t handle = 0;
    ASSERT_TRUE(createThread(probeEntry, &probe, &handle, defaultThreadAttributes));
    ASSERT_TRUE(waitForThreadClose(handle));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    size_t def = 0;
    pthread_getattr_default_np(&attr);
    pthread_attr_getstacksize(&attr, &def);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(def, probe.stackSize.load());
}

TEST(Thread, NullHandleJoinsAtOnce)
{
    EXPECT_TRUE(waitForThreadClose(0));
    waitForThread(0);
}

TEST(Thread, JoinOfUnknownThreadFails)
{
    pthread_t handle = 0;
    Probe probe;
    ASSERT_TRUE(createThread(probeEntry, &probe, &handle, defaultThreadAttributes));
    ASSERT_TRUE(waitForThreadClose(handle));
    EXPECT_FALSE(waitForThreadClose(pthread_self())); // EDEADLK
}

TEST(Thread, IdentifiersAndHandles)
{
    pthread_t h = 0;
    EXPECT_EQ(pthread_self(), getThreadHandle(h));
    EXPECT_EQ(pthread_self(), h);
    EXPECT_EQ(static_cast<unsigned long>(pthread_self()), threadID());
    EXPECT_EQ(getpid(), processID());
    closeThreadHandle(h);
    EXPECT_EQ(pthread_self(), h);
}

TEST(Thread, PriorityErrorIsReported)
{
    EXPECT_EQ(0, setThreadPriority(ThreadPriorityNormal));
    EXPECT_EQ(EINVAL, setThreadPriority(5));
}

namespace {
std::atomic<int> starts{0}, ends{0};
std::string startedName;
void onStart(unsigned long, const std::string& name)
{
    startedName = name;
    ++starts;
}
void onEnd(unsigned long)
{
    ++ends;
}
void nothing(void*)
{
}
} // namespace

TEST(Thread, Callbacks)
{
    auto cb = ThreadCallbacks::getInstance();
    EXPECT_EQ(cb.get(), ThreadCallbacks::getInstance().get());
    EXPECT_FALSE(cb->registerThreadCallbacks(onStart, nullptr));
    EXPECT_FALSE(cb->registerThreadCallbacks(nullptr, onEnd));
    ThreadCallbacks::OnStart s = nullptr;
    ThreadCallbacks::OnEnd e = nullptr;
    cb->getThreadCallbacks(s, e);
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(nullptr, e);

    ASSERT_TRUE(cb->registerThreadCallbacks(onStart, onEnd));
    pthread_t handle = 0;
    ASSERT_TRUE(createThread(nothing, nullptr, &handle, threadNameAttr("worker-7")));
    ASSERT_TRUE(waitForThreadClose(handle));
    EXPECT_EQ(1, starts.load());
    EXPECT_EQ(1, ends.load());
    EXPECT_EQ("worker-7", startedName);
    ASSERT_TRUE(cb->registerThreadCallbacks(nullptr, nullptr));
    ASSERT_TRUE(createThread(nothing, nullptr, &handle, defaultThreadAttributes));
    ASSERT_TRUE(waitForThreadClose(handle));
    EXPECT_EQ(1, starts.load());
}

namespace {
void sleeper(void* p)
{
    static_cast<std::atomic<bool>*>(p)->store(true);
    for (;;)
        pause();
}
} // namespace

TEST(Thread, TerminateThreadsEndsBlockedThreadsOnly)
{
    std::atomic<bool> r1{false}, r2{false};
    pthread_t a = 0, b = 0;
    ASSERT_TRUE(createThread(sleeper, &r1, &a, defaultThreadAttributes));
    ASSERT_TRUE(createThread(sleeper, &r2, &b, defaultThreadAttributes));
    ASSERT_TRUE(waitFor(r1));
    ASSERT_TRUE(waitFor(r2));
    struct sigaction before;
    sigaction(SIGUSR2, nullptr, &before);
    EXPECT_TRUE(dangerous::terminateThreads({a, b}, 0));
    // The previous action is back once no one uses the guard.
    struct sigaction after;
    sigaction(SIGUSR2, nullptr, &after);
    EXPECT_EQ(before.sa_handler, after.sa_handler);
    // The process goes on.
    EXPECT_EQ(getpid(), processID());
}

TEST(Thread, SigUsr2GuardCountsUses)
{
    dangerous::SigUsr2Guard guard;
    struct sigaction sa;
    sigaction(SIGUSR2, nullptr, &sa);
    auto original = sa.sa_handler;
    ASSERT_TRUE(guard.setSIGUSR2Handler());
    ASSERT_TRUE(guard.setSIGUSR2Handler());
    sigaction(SIGUSR2, nullptr, &sa);
    EXPECT_EQ(&dangerous::sIGUSR2Handler, sa.sa_handler);
    ASSERT_TRUE(guard.restoreSIGUSR2Handler());
    sigaction(SIGUSR2, nullptr, &sa);
    EXPECT_EQ(&dangerous::sIGUSR2Handler, sa.sa_handler);
    ASSERT_TRUE(guard.restoreSIGUSR2Handler());
    sigaction(SIGUSR2, nullptr, &sa);
    EXPECT_EQ(original, sa.sa_handler);
    // One restore too many must not wrap the count and break the next use.
    ASSERT_TRUE(guard.restoreSIGUSR2Handler());
    ASSERT_TRUE(guard.setSIGUSR2Handler());
    sigaction(SIGUSR2, nullptr, &sa);
    EXPECT_EQ(&dangerous::sIGUSR2Handler, sa.sa_handler);
    ASSERT_TRUE(guard.restoreSIGUSR2Handler());
    sigaction(SIGUSR2, nullptr, &sa);
    EXPECT_EQ(original, sa.sa_handler);
    // Any other signal leaves the handler's caller alive.
    dangerous::sIGUSR2Handler(SIGUSR1);
}
