// The test program's operator new, with one failure on demand.
#include "support/FailingAllocation.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace tavir::test {

namespace {

std::atomic<bool> armed{false};
std::atomic<bool> firedOnce{false};
std::atomic<std::size_t> smallestFailing{0};
// Written only while disarmed, read only while armed.
pthread_t armedBy{};

bool failsNow(std::size_t size)
{
    if (!armed.load(std::memory_order_acquire) || size < smallestFailing.load()
        || pthread_equal(pthread_self(), armedBy))
        return false;
    bool expected = true;
    return armed.compare_exchange_strong(expected, false);
}

} // namespace

FailingAllocation::FailingAllocation(std::size_t atLeast)
{
    armed.store(false);
    armedBy = pthread_self();
    smallestFailing.store(atLeast);
    firedOnce.store(false);
    armed.store(true, std::memory_order_release);
}

FailingAllocation::~FailingAllocation()
{
    armed.store(false);
}

bool FailingAllocation::fired() const
{
    return firedOnce.load();
}

} // namespace tavir::test

void* operator new(std::size_t size)
{
    if (tavir::test::failsNow(size)) {
        tavir::test::firedOnce.store(true);
        throw std::bad_alloc();
    }
    for (;;) {
        if (void* memory = std::malloc(size == 0 ? 1 : size))
            return memory;
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

// Paired with the operator new above: a sanitizer's own operator delete would
// take its memory for something it did not allocate.
void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}
