#pragma once
// An allocation that fails on purpose, as an exhausted heap makes one fail:
// while armed, the first allocation (operator new) of at least a given size
// on another thread than the one that armed it throws std::bad_alloc, once.
// Using this replaces the test program's global operator new, which
// otherwise only allocates (malloc), and operator delete, which frees.
#include <cstddef>

namespace tavir::test {

class FailingAllocation {
public:
    explicit FailingAllocation(std::size_t atLeast);
    // Disarmed, whether it fired or not.
    ~FailingAllocation();
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;

    // Whether an allocation failed.
    bool fired() const;
};

} // namespace tavir::test
