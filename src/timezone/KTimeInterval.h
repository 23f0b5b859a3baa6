#pragma once

#include "timezone/KDateTime.h"

#include <list>

namespace tavir::timezone {

// A pair of instants. Intervals order by their start instant alone.
class KTimeInterval {
public:
    KTimeInterval() = default;
    KTimeInterval(const KDateTime& from, const KDateTime& to)
        : start(from)
        , end(to)
    {
    }

    // Narrows this interval to its overlap with `other` (touching intervals
    // overlap); without overlap both ends become null and the result is false.
    bool intersect(const KTimeInterval& other);

    bool operator<(const KTimeInterval& other) const { return start < other.start; }

    KDateTime start;
    KDateTime end;
};

// The merge of two lists, both sorted by start in place first. Exact
// duplicates met during the walk are dropped; overlaps are not joined.
std::list<KTimeInterval> operator+(std::list<KTimeInterval>& a, std::list<KTimeInterval>& b);
// Appends a copy of the interval.
std::list<KTimeInterval>& operator+=(std::list<KTimeInterval>& list, const KTimeInterval& interval);

} // namespace tavir::timezone
