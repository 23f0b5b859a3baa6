#include "tiny/KMutex.h"

#include "tiny/KCondition.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

// These tests take the mutex again while they hold it, and take it in a
// lambda that gives it up only on one path, on purpose: clang's lock check
// does not know that a KMutex is recursive.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

using tavir::tiny::KCondition;
using tavir::tiny::KMutex;
using tavir::tiny::KMutexLocker;

namespace {

// Runs f on another thread and returns its result.
template <typename F> bool onOtherThread(F f)
{
    bool result = false;
    std::thread t([&] { result = f(); });
    t.join();
    return result;
}

} // namespace

TEST(KMutex, RecursiveLockExcludesOtherThreadUntilFullyUnlocked)
{
    KMutex m;
    ASSERT_EQ(0, m.lock());
    ASSERT_EQ(0, m.lock());
    EXPECT_FALSE(onOtherThread([&] { return m.tryLock(); }));
    ASSERT_EQ(0, m.unlock());
    // Still held once.
    EXPECT_FALSE(onOtherThread([&] { return m.tryLock(); }));
    ASSERT_EQ(0, m.unlock());
    EXPECT_TRUE(onOtherThread([&] {
        bool taken = m.tryLock();
        if (taken)
            m.unlock();
        return taken;
    }));
}

TEST(KMutex, OwnerTryLockRetakes)
{
    KMutex m;
    ASSERT_TRUE(m.tryLock());
    ASSERT_TRUE(m.tryLock());
    m.unlock();
    EXPECT_FALSE(onOtherThread([&] { return m.tryLock(); }));
    m.unlock();
}

TEST(KMutex, ReadLockExcludesOtherReadersAndWriters)
{
    KMutex m;
    ASSERT_EQ(0, m.readLock());
    EXPECT_FALSE(onOtherThread([&] { return m.tryReadLock(); }));
    EXPECT_FALSE(onOtherThread([&] { return m.tryWriteLock(); }));
    m.unlock();
    ASSERT_EQ(0, m.uncountedLock());
    EXPECT_FALSE(onOtherThread([&] { return m.tryReadLock(); }));
    ASSERT_EQ(0, m.uncountedUnlock());
    EXPECT_TRUE(onOtherThread([&] {
        bool taken = m.tryWriteLock();
        if (taken)
            m.unlock();
        return taken;
    }));
}

TEST(KMutex, ReadAndWriteNamesDispatchToOverriddenLock)
{
    // Subclasses (interlocked files) override lock/tryLock/unlock; the other
    // names must reach those overrides.
    struct Counting : KMutex {
        int locks = 0, tries = 0, unlocks = 0;
        int lock() override { return ++locks, 0; }
        bool tryLock() override { return ++tries, false; }
        int unlock() override { return ++unlocks, 0; }
    };
    Counting c;
    c.readLock();
    c.writeLock();
    c.uncountedLock();
    EXPECT_FALSE(c.tryReadLock());
    EXPECT_FALSE(c.tryWriteLock());
    c.uncountedUnlock();
    EXPECT_EQ(3, c.locks);
    EXPECT_EQ(2, c.tries);
    EXPECT_EQ(1, c.unlocks);
}

TEST(KMutex, CopyIsAFreshUnlockedMutex)
{
    KMutex a;
    a.lock();
    KMutex b(a);
    EXPECT_TRUE(onOtherThread([&] {
        bool taken = b.tryLock();
        if (taken)
            b.unlock();
        return taken;
    }));
    KMutex c;
    c = a; // changes nothing: c stays free, a stays held
    EXPECT_FALSE(onOtherThread([&] { return a.tryLock(); }));
    EXPECT_TRUE(onOtherThread([&] {
        bool taken = c.tryLock();
        if (taken)
            c.unlock();
        return taken;
    }));
    a.unlock();
}

TEST(KMutex, GuardsACounterAcrossThreads)
{
    KMutex m;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                m.lock();
                m.lock();
                ++counter;
                m.unlock();
                m.unlock();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(80000, counter);
}

// A waiter under the mutex sees a change another thread makes under it and
// announces, or gives up at its deadline; in both the mutex is free while it
// waits and held again when it returns.
TEST(KCondition, WaitsUnderTheMutexUntilTheChangeOrTheDeadline)
{
    using Clock = KCondition::Clock;
    using std::chrono::milliseconds;
    const struct {
        const char* what;
        int changeAfterMs; // -1: nobody changes it
        int deadlineMs;
        bool done;
        int atLeastMs, atMostMs;
        bool counted = false; // waits for a count of changes, not a flag
    } cases[] = {
        {"changed and announced", 100, 20000, true, 90, 10000},
        {"the deadline first", -1, 200, false, 190, 10000},
        {"changed before the wait", 0, 20000, true, 0, 10000},
        {"a deadline that has passed", -1, 0, false, 0, 1000},
        {"a count changed and announced", 100, 20000, true, 90, 10000, true},
        {"a count unchanged until the deadline", -1, 200, false, 190, 10000, true},
        {"a count changed before the wait", 0, 20000, true, 0, 10000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KMutex m;
        KCondition changed;
        bool done = c.changeAfterMs == 0;
        std::uint64_t count = done ? 1 : 0;
        std::thread changer([&] {
            if (c.changeAfterMs <= 0)
                return;
            std::this_thread::sleep_for(milliseconds(c.changeAfterMs));
            KMutexLocker hold(m);
            done = true;
            ++count;
            changed.notifyAll();
        });
        const auto start = Clock::now();
        bool result;
        {
            KMutexLocker hold(m);
            const auto deadline = start + milliseconds(c.deadlineMs);
            result = c.counted ? changed.waitForChange(m, deadline, count, 0)
                               : changed.waitUntil(m, deadline, done);
            EXPECT_FALSE(onOtherThread([&] { return m.tryLock(); })) << "held again";
        }
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        changer.join();
        EXPECT_EQ(c.done, result);
        EXPECT_GE(took, c.atLeastMs);
        EXPECT_LT(took, c.atMostMs);
    }
}
