#include "timezone/KTimeInterval.h"

namespace tavir::timezone {

bool KTimeInterval::intersect(const KTimeInterval& other)
{
    const KDateTime& newStart = start > other.start ? start : other.start;
    const KDateTime& newEnd = other.end < end ? other.end : end;
    if (newStart <= newEnd) {
        const KDateTime s = newStart;
        const KDateTime e = newEnd;
        start = s;
        end = e;
        return true;
    }
    start = KDateTime::null;
    end = KDateTime::null;
    return false;
}

std::list<KTimeInterval> operator+(std::list<KTimeInterval>& a, std::list<KTimeInterval>& b)
{
    a.sort();
    b.sort();
    std::list<KTimeInterval> out;
    auto i = a.begin();
    auto j = b.begin();
    while (i != a.end() && j != b.end()) {
        if (j->start == i->start && j->end == i->end) {
            ++j;
        } else if (i->start < j->start) {
            out.push_back(*i);
            ++i;
        } else {
            out.push_back(*j);
            ++j;
        }
    }
    out.insert(out.end(), i, a.end());
    out.insert(out.end(), j, b.end());
    return out;
}

std::list<KTimeInterval>& operator+=(std::list<KTimeInterval>& list, const KTimeInterval& interval)
{
    list.push_back(interval);
    return list;
}

} // namespace tavir::timezone
