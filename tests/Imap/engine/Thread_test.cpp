// The engine's thread base: one start per object, joining, stop flags, and
// the start routine's frame that ends the thread normally whatever its work
// throws.
#include "Imap/engine/Thread.h"

#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <stdexcept>
#include <thread>

using namespace tavir::migration;

namespace {

class Worker : public Thread {
public:
    explicit Worker(std::function<void(Worker&)> work)
        : Thread(L"test worker")
        , work_(std::move(work))
    {
    }
    void execute() override { work_(*this); }

    std::wstring recovered;

protected:
    void recover(const std::wstring& sentence) override
    {
        recovered = sentence;
        Thread::recover(sentence);
    }

private:
    std::function<void(Worker&)> work_;
};

TEST(Thread, AnythingTheWorkThrowsEndsTheThreadNormallyWithASentence)
{
    const struct {
        const char* name;
        std::function<void(Worker&)> work;
        std::wstring cause;
    } cases[] = {
        {"out of memory", [](Worker&) { throw std::bad_alloc(); }, L"std::bad_alloc"},
        {"runtime error", [](Worker&) { throw std::runtime_error("disk on fire"); },
            L"disk on fire"},
        {"not an exception class", [](Worker&) { throw 42; }, L"an unknown error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tavir::test::TempLogs logs;
        Worker worker(c.work);
        ASSERT_TRUE(worker.guardedStart(ThreadRunner<Worker>::startPoint));
        EXPECT_TRUE(worker.join());
        EXPECT_FALSE(worker.isRunning());
        const std::wstring expected
            = L"The thread \"test worker\" stopped on an unexpected error: " + c.cause + L".";
        EXPECT_EQ(expected, worker.recovered);
        std::string line(expected.begin(), expected.end());
        EXPECT_NE(std::string::npos, logs.report().find(line + "\n"));
        EXPECT_NE(std::string::npos, logs.debug().find(line + "\n"));
    }
}

TEST(Thread, StartsOnceAndEndsWhenItsStopFlagIsRaised)
{
    std::atomic<int> runs{0};
    std::atomic<bool> looping{false};
    Worker worker([&](Worker& self) {
        ++runs;
        looping = true;
        while (!self.isTerminated())
            std::this_thread::yield();
    });
    EXPECT_FALSE(worker.join()); // never started
    ASSERT_TRUE(worker.guardedStart(ThreadRunner<Worker>::startPoint));
    EXPECT_FALSE(worker.guardedStart(ThreadRunner<Worker>::startPoint));
    while (!looping)
        std::this_thread::yield();
    EXPECT_TRUE(worker.isRunning());
    worker.setTerminated(true);
    EXPECT_TRUE(worker.join());
    EXPECT_TRUE(worker.join());
    EXPECT_FALSE(worker.isRunning());
    EXPECT_EQ(1, runs.load());
    EXPECT_TRUE(worker.recovered.empty());
}

// A thread that joins itself is told no, and its owner's join still waits
// for it and frees it; a join after that returns at once. The owner may be
// joining already: the thread's own join must not wait for the join lock,
// which the owner holds until the thread has ended.
TEST(Thread, AJoinAskedOnTheThreadItselfFailsAndLeavesTheJoinToItsOwner)
{
    const struct {
        const char* what;
        bool ownerJoinsFirst;
    } cases[] = {
        {"before the owner joins", false},
        {"while the owner's join waits", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<bool> ownerJoining{false};
        std::atomic<int> joinedItself{-1};
        Worker worker([&](Worker& self) {
            if (c.ownerJoinsFirst) {
                while (!ownerJoining)
                    std::this_thread::yield();
                // The owner is in its join by now, or a moment later.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            joinedItself = self.join() ? 1 : 0;
        });
        ASSERT_TRUE(worker.guardedStart(ThreadRunner<Worker>::startPoint));
        if (!c.ownerJoinsFirst) {
            while (joinedItself == -1) // the owner's join would hold the join lock
                std::this_thread::yield();
        }
        auto owner = std::async(std::launch::async, [&] {
            ownerJoining = true;
            return worker.join();
        });
        if (owner.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "the owner's join and the thread's own join wait for each other";
            std::_Exit(1); // neither can be undone, nor the worker let go
        }
        EXPECT_TRUE(owner.get());
        EXPECT_EQ(0, joinedItself.load());
        EXPECT_FALSE(worker.isRunning());
        EXPECT_TRUE(worker.join());
    }
}

} // namespace
