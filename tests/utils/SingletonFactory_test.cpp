#include "utils/SingletonFactory.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using tavir::utils::DestroyAtExit;
using tavir::utils::NoDestroy;
using tavir::utils::SingletonFactory;

namespace {

std::atomic<int> constructed{0};

struct Slow {
    int value;
    Slow()
        : value(42)
    {
        ++constructed;
        // Widen the window in which other threads arrive.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
};

TEST(SingletonFactory, ConcurrentFirstUseBuildsOneInstance)
{
    std::atomic<bool> go{false};
    std::vector<Slow*> seen(16, nullptr);
    std::vector<int> values(16, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            seen[i] = SingletonFactory<Slow, NoDestroy>::getInstance();
            values[i] = seen[i]->value; // reads the constructed object
        });
    go = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1, constructed.load());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[0], seen[i]);
        EXPECT_EQ(42, values[i]);
    }
}

std::atomic<int> attempts{0};

struct FailsFirst {
    FailsFirst()
    {
        if (attempts++ == 0)
            throw std::runtime_error("not yet");
    }
};

TEST(SingletonFactory, ThrowingConstructorLeavesNoInstance)
{
    using F = SingletonFactory<FailsFirst, NoDestroy>;
    EXPECT_THROW(F::getInstance(), std::runtime_error);
    // The lock was given back and the next call builds it.
    FailsFirst* p = nullptr;
    std::thread t([&] { p = F::getInstance(); });
    t.join();
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(p, F::getInstance());
    EXPECT_EQ(2, attempts.load());
}

struct Counted {
    static inline int alive = 0;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};

TEST(SingletonFactory, DestroyAndRebuild)
{
    using F = SingletonFactory<Counted, NoDestroy>;
    Counted* a = F::getInstance();
    EXPECT_EQ(1, Counted::alive);
    F::internalDestroyInstance();
    EXPECT_EQ(0, Counted::alive);
    F::internalDestroyInstance(); // nothing left: no effect
    EXPECT_EQ(0, Counted::alive);
    Counted* b = F::getInstance();
    EXPECT_NE(nullptr, b);
    EXPECT_EQ(1, Counted::alive);
    (void)a;
    F::internalDestroyInstance();
}

// Writes a mark to a descriptor when destroyed.
int markFd = -1;
template <char Mark> struct Marker {
    ~Marker()
    {
        char c = Mark;
        if (write(markFd, &c, 1) != 1)
            _exit(3);
    }
};

std::string exitMarks(void (*use)())
{
    int code = -1;
    std::string marks = tavir::test::childOutput(
        [&](int pipeFd) {
            markFd = pipeFd;
            use();
            exit(0); // runs the atexit handlers
            return 0;
        },
        &code);
    EXPECT_EQ(0, code);
    return marks;
}

TEST(SingletonFactory, Policies)
{
    // DestroyAtExit deletes at exit, the latest made first; NoDestroy never.
    EXPECT_EQ("ba", exitMarks([] {
        SingletonFactory<Marker<'a'>, DestroyAtExit>::getInstance();
        SingletonFactory<Marker<'b'>, DestroyAtExit>::getInstance();
        SingletonFactory<Marker<'n'>, NoDestroy>::getInstance();
    }));
    EXPECT_EQ("", exitMarks([] {}));
}

} // namespace
