// The process-wide note of a termination signal.
#include "tiny/TerminationNote.h"

#include <atomic>
#include <csignal>
#include <ctime>

namespace tavir::tiny {

namespace {

// Lock-free words, so that a handler may write them.
std::atomic<int> noted{0};
std::atomic<long long> notedAtNs{0}; // CLOCK_MONOTONIC, as steady_clock counts on Linux
std::atomic<unsigned> budgetMs{defaultEndBudgetMs};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long long>::is_always_lock_free,
    "a signal handler writes these");

} // namespace

void noteTerminationSignal(int signalNumber)
{
    if (noted.load(std::memory_order_acquire) != 0)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // The time first: a reader that sees the number sees its time.
    notedAtNs.store(
        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, std::memory_order_release);
    noted.store(signalNumber, std::memory_order_release);
}

int terminationSignal()
{
    return noted.load(std::memory_order_acquire);
}

std::chrono::steady_clock::time_point terminationDeadline()
{
    const std::chrono::nanoseconds at(notedAtNs.load(std::memory_order_acquire));
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(at)
        + std::chrono::milliseconds(budgetMs.load(std::memory_order_acquire)));
}

void setEndBudgetMs(unsigned ms)
{
    budgetMs.store(ms, std::memory_order_release);
}

void forgetTerminationSignal()
{
    noted.store(0, std::memory_order_release);
    notedAtNs.store(0, std::memory_order_release);
}

std::string terminationSignalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(signalNumber);
    }
}

} // namespace tavir::tiny
