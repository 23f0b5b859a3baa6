#include "tiny/PeriodGuard.h"
#include "tiny/Time.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace tavir::tiny;

namespace {

// Moves the clock on. Checks keep half a second from every boundary, since
// the real clock runs on as well (slowly, under a loaded machine).
void advance(uint64_t ms)
{
    advanceMonotonicClockForTesting(ms);
}

} // namespace

TEST(PeriodGuard, PeriodicMovesStartByOnePeriod)
{
    PeriodGuard g(10, PeriodGuard::pgPeriodic, true);
    long elapsed = -1;
    EXPECT_FALSE(g.hasPeriodOccured(&elapsed));
    EXPECT_EQ(0, elapsed);
    advance(25000);
    EXPECT_TRUE(g.hasPeriodOccured(&elapsed));
    EXPECT_EQ(25, elapsed);
    advance(1000);
    // The start moved on by 10 s only: 16 s since then.
    EXPECT_TRUE(g.hasPeriodOccured(&elapsed));
    EXPECT_EQ(16, elapsed);
    // Now 6 s since the start.
    EXPECT_FALSE(g.hasPeriodOccured(&elapsed));
    EXPECT_EQ(6, elapsed);
}

TEST(PeriodGuard, OneShotStaysElapsed)
{
    PeriodGuard g(10, PeriodGuard::pgOneShot, true);
    advance(9500);
    EXPECT_FALSE(g.hasPeriodOccured(nullptr));
    advance(500);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(g.hasPeriodOccured(nullptr));
        advance(1000);
    }
    EXPECT_LT(g.getRemainingTime(), 0);
}

TEST(PeriodGuard, RestartWhileNotElapsed)
{
    PeriodGuard g(10, PeriodGuard::pgRestart, true);
    for (int i = 0; i < 6; ++i) {
        advance(5000);
        EXPECT_FALSE(g.hasPeriodOccured(nullptr)) << i;
    }
    advance(12000);
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
    advance(1000);
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
}

TEST(PeriodGuard, Table)
{
    const long table[] = {5, 10, -1};
    PeriodGuard g(table);
    EXPECT_EQ(PeriodGuard::pgTable, g.getMode());
    advance(4500);
    EXPECT_FALSE(g.hasPeriodOccured(nullptr));
    advance(500);
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
    advance(9500);
    EXPECT_FALSE(g.hasPeriodOccured(nullptr));
    advance(500);
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
    for (int i = 0; i < 3; ++i) {
        advance(9500);
        EXPECT_FALSE(g.hasPeriodOccured(nullptr));
        advance(500);
        EXPECT_TRUE(g.hasPeriodOccured(nullptr));
    }
    // start() goes back to the first period.
    g.start();
    advance(5000);
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
}

TEST(PeriodGuard, EmptyTableStaysInBounds)
{
    const long table[] = {-1};
    PeriodGuard g(table);
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
}

TEST(PeriodGuard, StoppedGuard)
{
    PeriodGuard g(1, PeriodGuard::pgPeriodic, false);
    long elapsed = -1;
    advance(5000);
    EXPECT_FALSE(g.hasPeriodOccured(&elapsed));
    EXPECT_EQ(0, elapsed);
    EXPECT_FALSE(g.isRunning());
    g.start();
    EXPECT_TRUE(g.isRunning());
    advance(1000);
    EXPECT_TRUE(g.hasPeriodOccured(&elapsed));
    g.stop();
    EXPECT_FALSE(g.hasPeriodOccured(&elapsed));
    EXPECT_EQ(0, elapsed);
}

TEST(PeriodGuard, TimesAndChangePeriod)
{
    PeriodGuard g(30, PeriodGuard::pgOneShot, true);
    advance(12500);
    EXPECT_EQ(12, g.getElapsedTime());
    EXPECT_EQ(18, g.getRemainingTime());
    g.changePeriod(10);
    EXPECT_EQ(-2, g.getRemainingTime());
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
}

TEST(PeriodGuard, CopyAndAssign)
{
    PeriodGuard a(10, PeriodGuard::pgPeriodic, true);
    advance(4000);
    PeriodGuard b(a);
    PeriodGuard c(100, PeriodGuard::pgOneShot, false);
    c = a;
    EXPECT_EQ(PeriodGuard::pgPeriodic, c.getMode());
    advance(6000);
    EXPECT_TRUE(b.hasPeriodOccured(nullptr));
    EXPECT_TRUE(c.hasPeriodOccured(nullptr));
    // Each has its own state now.
    EXPECT_FALSE(b.hasPeriodOccured(nullptr));
    EXPECT_TRUE(a.hasPeriodOccured(nullptr));
}

TEST(PeriodGuard, RealClockOneSecond)
{
    PeriodGuard g(1, PeriodGuard::pgOneShot, true);
    EXPECT_FALSE(g.hasPeriodOccured(nullptr));
    msleep(1050, true);
    EXPECT_TRUE(g.hasPeriodOccured(nullptr));
}

TEST(PeriodGuard, SharedBetweenThreadsFiresOncePerPeriod)
{
    PeriodGuard g(1, PeriodGuard::pgPeriodic, true);
    std::atomic<int> fired{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (g.hasPeriodOccured(nullptr))
                    ++fired;
                (void)g.getElapsedTime();
            }
        });
    advance(3000); // while they run: three periods are due
    for (auto& t : threads)
        t.join();
    while (g.hasPeriodOccured(nullptr))
        ++fired;
    EXPECT_EQ(3, fired.load());
}
