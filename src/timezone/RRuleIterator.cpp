// Expansion of a recurrence rule into its occurrences, one period of the
// rule's frequency at a time, in the wall-clock time of the start value.
#include "timezone/RRule.h"

#include <algorithm>

namespace tavir::timezone {

namespace {

constexpr int Yearly = TM_YEAR;
constexpr int Monthly = TM_MONTH;

int measureOf(int unit)
{
    return int(getTimeMeasure(CalendarTypes(unit)));
}

int containerOf(int unit)
{
    return int(CalendarTypes(unit) << 1);
}

bool isClockUnit(int unit)
{
    return unit == CT_HOUR || unit == CT_MINUTE || unit == CT_SECOND;
}

} // namespace

RRule::iterator::iterator()
    : rule(nullptr)
    , batch()
    , position(0)
    , delivered(1)
    , offsetCorrection(0)
    , anchorDay(0)
{
}

RRule::iterator::iterator(const RRule* r, const KDateTime& start, bool includeStart)
    : rule(r)
    , batch()
    , position(0)
    , delivered(-1)
    , offsetCorrection(0)
    , anchorDay(0)
{
    // Without a rule there is nothing to expand, and the null and infinite
    // instants have no calendar to step through.
    if (r == nullptr || start.isNull() || start.isInfinity()) {
        rule = nullptr;
        delivered = 1;
        return;
    }
    batch.push_back(start);
    if (rule->frequency == Monthly) {
        bool plain = true;
        for (const auto& list : rule->byValues)
            plain = plain && list.empty();
        if (plain)
            anchorDay = start.getDay();
    }
    advance();
    if (includeStart && (batch.empty() || batch.front() != start)) {
        batch.push_back(start);
        std::stable_sort(batch.begin(), batch.end());
        delivered += 1;
        // The start counts as the first occurrence, so it takes one of the
        // COUNT places rather than adding one.
        if (rule->count >= 0) {
            const int64_t allowed = std::max(rule->count, 1);
            while (delivered > allowed && batch.size() > 1) {
                batch.pop_back();
                delivered -= 1;
            }
        }
    }
    if (batch.empty() && delivered < 1) {
        position = 0;
        delivered = 1;
    }
}

void RRule::iterator::exhaust()
{
    batch.clear();
    position = 0;
    if (delivered < 1)
        delivered = 1;
}

KDateTime::DayOfWeek RRule::iterator::weekStart() const
{
    return KDateTime::DayOfWeek(rule->weekStart);
}

CalendarTypes RRule::iterator::frequencyUnit() const
{
    switch (rule->frequency) {
    case TM_YEAR:
        return CT_YEAR;
    case TM_MONTH:
        return CT_MONTH;
    case TM_WEEK:
        return CT_WEEK_NUMBER;
    case TM_DAY:
        return CT_DAY_OF_MONTH;
    case TM_HOUR:
        return CT_HOUR;
    case TM_MINUTE:
        return CT_MINUTE;
    case TM_SECOND:
        return CT_SECOND;
    default:
        return CT_YEAR;
    }
}

const KDateTime& RRule::iterator::operator*() const
{
    if (position < 0 || size_t(position) >= batch.size())
        return KDateTime::null;
    return batch[size_t(position)];
}

RRule::iterator& RRule::iterator::operator++()
{
    advance();
    return *this;
}

RRule::iterator RRule::iterator::operator++(int)
{
    iterator before(*this);
    advance();
    return before;
}

RRule::iterator& RRule::iterator::operator+=(int n)
{
    for (int i = 0; i < n && !exhausted(); ++i)
        advance();
    return *this;
}

// Symmetric: a == b exactly when b == a, which loops written either way
// round (`it != rule.end()`, `rule.end() != it`) and the standard algorithms
// rely on. Testing this iterator's batch alone would make one with no
// occurrence in hand equal any other at the same count and position, while
// that other would not equal it; so an exhausted iterator equals only an
// exhausted one, and one with no occurrence in hand only another without.
bool RRule::iterator::operator==(const iterator& other) const
{
    if (exhausted() || other.exhausted())
        return exhausted() && other.exhausted();
    if (delivered != other.delivered || position != other.position)
        return false;
    if (batch.empty() || other.batch.empty())
        return batch.empty() && other.batch.empty();
    return **this == *other;
}

int RRule::iterator::emptyRange(CalendarTypes k) const
{
    if (rule == nullptr)
        return -1;
    int parent = -1;
    modeOf(int(k), parent);
    return parent;
}

void RRule::iterator::advance()
{
    if (rule == nullptr)
        return;
    if (!rule->valid || exhausted() || rule->interval < 1 || rule->interval > 1024) {
        exhaust();
        return;
    }
    ++position;
    if (size_t(position) < batch.size())
        return;
    nextBatch();
}

// The value of the frequency unit, with week numbers counted within the
// calendar year of the date.
int RRule::iterator::frequencyValue(const KDateTime& value) const
{
    const CalendarTypes unit = frequencyUnit();
    int v = value.getItem(unit, weekStart());
    if (unit == CT_WEEK_NUMBER) {
        const int month = value.getItem(CT_MONTH, weekStart());
        if (month == 1 && v > 50) {
            v = 0;
        } else if (month == 12 && v == 1) {
            KDateTime earlier(value);
            earlier.setItem(CT_DAY_OF_MONTH, value.getDay() - 7, weekStart());
            v = earlier.getWeekNumber(weekStart()) + 1;
        }
    } else if (unit == CT_YEAR && !rule->byValues[CT_WEEK_NUMBER].empty()) {
        // A yearly rule of week numbers runs over week-numbering years: an
        // occurrence in early January may belong to the year before, one in
        // late December to the year after.
        const int month = value.getItem(CT_MONTH, weekStart());
        const int week = value.getWeekNumber(weekStart());
        if (month == 1 && week > 50)
            --v;
        else if (month == 12 && week == 1)
            ++v;
    }
    return v;
}

// Moves a date to a weekday within its week, staying in its calendar year.
static void moveToWeekdayInYear(KDateTime& value, int weekday, KDateTime::DayOfWeek ws)
{
    const int year = value.getYear();
    value.setItem(CT_WEEKDAY, weekday, ws);
    if (value.getYear() > year)
        value.setItem(CT_DAY_OF_MONTH, value.getDay() - 7, ws);
    else if (value.getYear() < year)
        value.setItem(CT_DAY_OF_MONTH, value.getDay() + 7, ws);
}

void RRule::iterator::advanceByInterval(KDateTime& value) const
{
    const int target = frequencyValue(value) + rule->interval;
    value.setItem(frequencyUnit(), target, weekStart());
    if (frequencyUnit() == CT_YEAR && !rule->byValues[CT_WEEK_NUMBER].empty()
        && frequencyValue(value) != target) {
        // Still in a week of the neighbouring week-numbering year: a week
        // further into the year belongs to the one wanted.
        const int shift = value.getMonth() == 1 ? 7 : -7;
        value.setItem(CT_DAY_OF_MONTH, value.getDay() + shift, weekStart());
    }
}

void RRule::iterator::nextBatch()
{
    // `last` is the previous occurrence: only later candidates count. `cur`
    // is where the search for the next period stands; empty periods move it
    // on without moving `last`.
    const KDateTime last = batch.back();
    KDateTime cur = last;
    const int baseYear = cur.getItem(CT_YEAR, weekStart());
    batch.clear();
    position = 0;
    for (;;) {
        const KDateTime before = cur;
        const bool firstPeriod = delivered == -1;
        batch.push_back(cur);
        bool expand = true;
        if (delivered != -1) {
            const StepResult step = stepSeed(cur);
            if (step == StepEnded)
                return;
            expand = step == StepExpand;
        }
        if (expand && !expandPeriod(cur, last))
            return;
        if (!batch.empty() || cur.getItem(CT_YEAR, weekStart()) > baseYear + 8)
            break;
        // An empty period always moves `cur` on; one that doesn't can't lead
        // anywhere.
        if (!firstPeriod && cur <= before) {
            exhaust();
            return;
        }
    }
    finishBatch();
}

RRule::iterator::StepResult RRule::iterator::stepSeed(KDateTime& cur)
{
    const CalendarTypes unit = frequencyUnit();
    const int v = frequencyValue(cur);
    KDateTime& seed = batch.back();
    KDateTime pinned(seed);
    pinned.setGmtOffset(seed.gmtOffset());
    pinned.setItem(unit, v + rule->interval, weekStart());
    seed.setItem(unit, v + rule->interval, weekStart());
    if (seed.isNull() || seed.isInfinity()) {
        exhaust();
        return StepEnded;
    }
    if (offsetCorrection < 0) {
        seed += KTimeSpan::fromSecondCount(offsetCorrection);
        offsetCorrection = 0;
    }
    // A wall time in a daylight-saving gap comes out pushed forward; the next
    // seed is moved back by as much so the series keeps its time of day.
    if (pinned == seed)
        offsetCorrection = (pinned.gmtOffset() - seed.gmtOffset()).toSecondCount();
    if (anchorDay != 0 && seed.getDay() != anchorDay) {
        // Month stepping clamps the day; months too short for it are skipped.
        if (seed.getItemCount(CT_MONTH, TM_DAY, weekStart()) < anchorDay) {
            batch.clear();
            cur.setItem(unit, v + rule->interval, weekStart());
            return StepNextPeriod;
        }
        seed.setItem(CT_DAY_OF_MONTH, anchorDay, weekStart());
    }
    return StepExpand;
}

void RRule::iterator::skipRestOfUnit(KDateTime& cur, const KDateTime& seed, int k) const
{
    int stepSeconds;
    switch (rule->frequency) {
    case TM_HOUR:
        stepSeconds = 3600;
        break;
    case TM_MINUTE:
        stepSeconds = 60;
        break;
    case TM_SECOND:
        stepSeconds = 1;
        break;
    default:
        return;
    }
    // The wall time of the seed and the start of the next unit, both counted
    // as UTC seconds.
    const KDateTime::DayOfWeek ws = weekStart();
    tm next{};
    next.tm_year = seed.getYear() - 1900;
    next.tm_mon = seed.getMonth() - 1;
    next.tm_mday = seed.getDay();
    switch (k) {
    case CT_MONTH:
        next.tm_mon += 1;
        next.tm_mday = 1;
        break;
    case CT_WEEK_NUMBER:
    case CT_DAY_OF_YEAR:
    case CT_DAY_OF_MONTH:
    case CT_WEEKDAY:
        next.tm_mday += 1;
        break;
    case CT_HOUR:
        next.tm_hour = seed.getHour() + 1;
        break;
    case CT_MINUTE:
        next.tm_hour = seed.getHour();
        next.tm_min = seed.getMinute() + 1;
        break;
    default:
        return;
    }
    tm wall{};
    wall.tm_year = seed.getYear() - 1900;
    wall.tm_mon = seed.getMonth() - 1;
    wall.tm_mday = seed.getDay();
    wall.tm_hour = seed.getHour();
    wall.tm_min = seed.getMinute();
    wall.tm_sec = seed.getSecond();
    const int64_t remaining = KDateTime::mkTime(next) - KDateTime::mkTime(wall);
    const int64_t step = int64_t(stepSeconds) * rule->interval;
    // The steps after the seed that stay in the unit fail as the seed did.
    const int64_t failing = remaining > 0 ? (remaining - 1) / step : 0;
    if (failing <= 0)
        return;
    // The empty period then moves `cur` one step on, and the search steps
    // once more from there: into the first step of the next unit.
    KDateTime skipped(seed);
    skipped.setItem(frequencyUnit(),
        int(seed.getItem(frequencyUnit(), ws) + (failing - 1) * rule->interval), ws);
    cur = skipped;
}

void RRule::iterator::emptyPeriod(KDateTime& cur)
{
    batch.clear();
    if (delivered == -1) {
        delivered = 0;
        return;
    }
    const int weekday = cur.getItem(CT_WEEKDAY, weekStart());
    advanceByInterval(cur);
    if (!rule->byValues[CT_WEEK_NUMBER].empty()
        && (rule->frequency == Yearly || rule->frequency == Monthly))
        moveToWeekdayInYear(cur, weekday, weekStart());
}

// Mode of list k: 0 limit, 1 expand within `parent`, 2 stop.
int RRule::iterator::modeOf(int k, int& parent) const
{
    const int m = measureOf(containerOf(k));
    parent = -1;
    if (rule->frequency > m)
        return 0;
    int p = k - 1;
    while (p > 0 && rule->byValues[p].empty() && measureOf(p) > rule->frequency)
        --p;
    if (measureOf(p) > m)
        return 0;
    parent = p;
    if (p < int(CalendarTypes(k) << 2))
        return 2;
    return 1;
}

bool RRule::iterator::expandPeriod(KDateTime& cur, const KDateTime& last)
{
    const KDateTime::DayOfWeek ws = weekStart();
    if (!rule->byValues[CT_WEEK_NUMBER].empty()
        && (rule->frequency == Yearly || rule->frequency == Monthly))
        moveToWeekdayInYear(batch.front(), cur.getItem(CT_WEEKDAY, ws), ws);

    for (int k = CT_MONTH; k <= CT_SECOND; ++k) {
        if (rule->byValues[k].empty())
            continue;
        const std::vector<KDateTime> input = std::move(batch);
        batch.clear();
        int parent = -1;
        switch (modeOf(k, parent)) {
        case 0:
            limit(input, k);
            if (batch.empty() && input.size() == 1 && delivered != -1) {
                // No step of an hourly or finer rule can match while it stays
                // in the unit that the seed failed on: step over the rest of
                // that unit at once.
                skipRestOfUnit(cur, input.front(), k);
            }
            break;
        case 2:
            exhaust();
            return false;
        default:
            if (k == CT_WEEKDAY)
                expandByDay(input, parent);
            else
                expandOther(input, k, parent);
            break;
        }
        if (batch.empty()) {
            emptyPeriod(cur);
            return true;
        }
    }

    std::stable_sort(batch.begin(), batch.end());

    const std::vector<int>& setPos = rule->byValues[BySetPos];
    if (!setPos.empty()) {
        const int n = int(batch.size());
        std::vector<KDateTime> kept;
        for (int i = 1; i <= n; ++i) {
            for (int p : setPos) {
                const int q = p < 0 ? p + n + 1 : p;
                if (q >= 1 && q <= n && q == i) {
                    kept.push_back(batch[size_t(i - 1)]);
                    break;
                }
            }
        }
        batch.swap(kept);
        if (batch.empty()) {
            emptyPeriod(cur);
            return true;
        }
    }

    const bool first = delivered == -1;
    batch.erase(std::remove_if(batch.begin(), batch.end(),
                    [&](const KDateTime& d) { return d < last || (d == last && !first); }),
        batch.end());
    if (batch.empty()) {
        // Nothing after the previous occurrence: an empty period, which must
        // move the search on like any other so that it ends.
        emptyPeriod(cur);
    }
    return true;
}

void RRule::iterator::limit(const std::vector<KDateTime>& input, int k)
{
    const KDateTime::DayOfWeek ws = weekStart();
    const CalendarTypes unit = CalendarTypes(k);
    const bool weekInMonth
        = k == CT_WEEK_NUMBER && (rule->frequency == Monthly || !rule->byValues[CT_MONTH].empty());
    for (const KDateTime& element : input) {
        for (int entry : rule->byValues[k]) {
            if (k == CT_WEEKDAY) {
                if ((entry & 0xff) == element.getItem(CT_WEEKDAY, ws)) {
                    batch.push_back(element);
                    break;
                }
                continue;
            }
            int e = entry;
            if (e < 0)
                e += 1
                    + element.getItemCount(CalendarTypes(containerOf(k)), getTimeMeasure(unit), ws);
            if (weekInMonth) {
                KDateTime moved(element);
                moved.setItem(CT_WEEK_NUMBER, e, ws);
                if (moved.getItem(CT_YEAR, ws) == element.getItem(CT_YEAR, ws)
                    && moved.getItem(CT_MONTH, ws) == element.getItem(CT_MONTH, ws)) {
                    batch.push_back(moved);
                    break;
                }
                continue;
            }
            if (element.getItem(unit, ws) == e) {
                batch.push_back(element);
                break;
            }
        }
    }
}

void RRule::iterator::expandByDay(const std::vector<KDateTime>& input, int parent)
{
    const KDateTime::DayOfWeek ws = weekStart();
    auto adjustedWeek = [&](const KDateTime& d) {
        int w = d.getWeekNumber(ws);
        const int month = d.getMonth();
        if (month == 1 && w > 50) {
            w = 0;
        } else if (month == 12 && w == 1) {
            KDateTime earlier(d);
            earlier.setItem(CT_DAY_OF_MONTH, d.getDay() - 7, ws);
            w = earlier.getWeekNumber(ws) + 1;
        }
        return w;
    };
    for (const KDateTime& element : input) {
        int from;
        int to;
        if (parent == CT_WEEK_NUMBER) {
            from = to = adjustedWeek(element);
        } else if (parent == CT_MONTH) {
            KDateTime first(element);
            first.setItem(CT_DAY_OF_MONTH, 1, ws);
            KDateTime last(element);
            last.setItem(CT_DAY_OF_MONTH, element.getItemCount(CT_MONTH, TM_DAY, ws), ws);
            from = adjustedWeek(first);
            to = adjustedWeek(last);
        } else {
            // Week 0 and the week after the last hold the days of early
            // January and late December that belong to a neighbouring
            // year's weeks; they are part of this year all the same.
            from = 0;
            to = element.getItemCount(CT_YEAR, TM_WEEK, ws) + 1;
        }
        const CalendarTypes parentUnit = CalendarTypes(parent);
        const int parentValue = element.getItem(parentUnit, ws);
        const int parentYear = element.getItem(CT_YEAR, ws);
        for (int code : rule->byValues[CT_WEEKDAY]) {
            std::vector<KDateTime> kept;
            for (int w = from; w <= to; ++w) {
                KDateTime copy(element);
                copy.setItem(CT_WEEK_NUMBER, w, ws);
                copy.setItem(CT_WEEKDAY, code & 0xff, ws);
                if (copy.getItem(parentUnit, ws) != parentValue)
                    continue;
                if (parent != CT_WEEK_NUMBER && copy.getItem(CT_YEAR, ws) != parentYear)
                    continue;
                kept.push_back(copy);
            }
            int ordinal = code >> 8;
            if (ordinal != 0) {
                const int n = int(kept.size());
                if (ordinal < 0)
                    ordinal += n + 1;
                if (ordinal >= 1 && ordinal <= n)
                    batch.push_back(kept[size_t(ordinal - 1)]);
                continue;
            }
            batch.insert(batch.end(), kept.begin(), kept.end());
        }
    }
}

void RRule::iterator::expandOther(const std::vector<KDateTime>& input, int k, int parent)
{
    const KDateTime::DayOfWeek ws = weekStart();
    const CalendarTypes unit = CalendarTypes(k);
    const CalendarTypes container = CalendarTypes(containerOf(k));
    const TimeMeasures measure = getTimeMeasure(unit);
    // Maps an entry against the number of k units in the container of `d`;
    // false when that container has no such unit. Clock units count from 0.
    auto place = [&](const KDateTime& d, int entry, int& value) {
        const int n = d.getItemCount(container, measure, ws);
        if (isClockUnit(k)) {
            value = entry < 0 ? entry + n : entry;
            return value >= 0 && value < n;
        }
        value = entry < 0 ? entry + 1 + n : entry;
        return value > 0 && value <= n;
    };
    const bool parentIsContainer = measureOf(parent) == measureOf(int(container));
    for (const KDateTime& element : input) {
        for (int entry : rule->byValues[k]) {
            int value = 0;
            if (parentIsContainer) {
                if (place(element, entry, value)) {
                    KDateTime copy(element);
                    copy.setItem(unit, value, ws);
                    batch.push_back(copy);
                }
                continue;
            }
            const CalendarTypes child = CalendarTypes(parent) >> 1;
            const int children
                = element.getItemCount(CalendarTypes(parent), getTimeMeasure(child), ws);
            const int firstChild = isClockUnit(int(container)) ? 0 : 1;
            for (int j = firstChild; j < children + firstChild; ++j) {
                KDateTime copy(element);
                copy.setItem(container, j, ws);
                if (place(copy, entry, value)) {
                    copy.setItem(unit, value, ws);
                    batch.push_back(copy);
                }
            }
        }
    }
}

void RRule::iterator::finishBatch()
{
    if (delivered == -1)
        delivered = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        if ((!rule->until.isNull() && batch[i] > rule->until)
            || (rule->count >= 0 && rule->count <= delivered + int64_t(i))) {
            batch.erase(batch.begin() + std::ptrdiff_t(i), batch.end());
            break;
        }
    }
    delivered += int64_t(batch.size());
}

} // namespace tavir::timezone
