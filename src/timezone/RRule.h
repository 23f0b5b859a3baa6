#pragma once

#include "timezone/CalendarTypes.h"
#include "timezone/KDateTime.h"

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace tavir::timezone {

// One recurrence rule: an RFC 5545 RRULE value or a vCalendar 1.0 basic rule,
// with the expansion of its occurrences.
class RRule {
public:
    // Index of the BYSETPOS list in byValues; lists 1..8 are indexed by
    // CalendarTypes.
    static constexpr int BySetPos = 9;
    static constexpr int ByListCount = 10;

    // Forward iterator over the occurrences of a rule from a start instant.
    // Occurrences are computed one period of the rule's frequency at a time.
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = KDateTime;
        using difference_type = std::ptrdiff_t;
        using pointer = const KDateTime*;
        using reference = const KDateTime&;

        // The exhausted iterator, equal to RRule::end().
        iterator();
        iterator(const RRule* rule, const KDateTime& start, bool includeStart);

        const KDateTime& operator*() const;
        const KDateTime* operator->() const { return &**this; }
        iterator& operator++();
        iterator operator++(int);
        iterator& operator+=(int n);
        bool operator==(const iterator& other) const;
        bool operator!=(const iterator& other) const { return !(*this == other); }

        // The parent unit that list k expands within, or -1.
        int emptyRange(CalendarTypes k) const;

    private:
        enum StepResult { StepExpand, StepNextPeriod, StepEnded };

        bool exhausted() const { return batch.empty() && delivered >= 1; }
        void exhaust();
        void advance();
        void nextBatch();
        StepResult stepSeed(KDateTime& cur);
        bool expandPeriod(KDateTime& cur, const KDateTime& last);
        void emptyPeriod(KDateTime& cur);
        void skipRestOfUnit(KDateTime& cur, const KDateTime& seed, int k) const;
        void advanceByInterval(KDateTime& value) const;
        int frequencyValue(const KDateTime& value) const;
        void finishBatch();
        int modeOf(int k, int& parent) const;
        void limit(const std::vector<KDateTime>& input, int k);
        void expandByDay(const std::vector<KDateTime>& input, int parent);
        void expandOther(const std::vector<KDateTime>& input, int k, int parent);
        KDateTime::DayOfWeek weekStart() const;
        CalendarTypes frequencyUnit() const;

        const RRule* rule;
        std::vector<KDateTime> batch;
        int position;
        int64_t delivered;
        int offsetCorrection;
        int anchorDay;
    };

    RRule();
    ~RRule();
    RRule(const RRule& other) = default;
    RRule& operator=(const RRule& other);

    void clear();
    // Reads a rule; the outcome is the fields and `valid`.
    void setRRule(const char* text);
    // Appends the integers of a comma-separated list to list `type`; writes
    // NULs at the commas and returns the last item's text.
    char* setByVal(char* list, CalendarTypes type);

    // RFC 5545 text in a fixed order; empty for an invalid rule.
    std::string getRRule() const;
    // vCalendar 1.0 text; empty for an invalid rule or a frequency it lacks.
    std::string getSimpleRRule() const;

    iterator begin(const KDateTime& start, bool includeStart) const;
    iterator end() const;

    // Occurrences up to and including a limit (COUNT, UNTIL or `end`).
    int getCount(const KDateTime& start, bool includeStart, KDateTime end) const;
    // Occurrences before `end`, bounded by the rule's limits and by 10000.
    int computeCount(const KDateTime& start, const KDateTime& end, bool includeStart) const;
    // The last occurrence: UNTIL, the COUNT-th or n-th occurrence.
    KDateTime getUntil(const KDateTime& start, bool includeStart, int n) const;

    int frequency; // TimeMeasures value, -1 unset
    int interval; // as read, not range-checked
    KDateTime until; // UNTIL
    KDateTime xUntil; // X-UNTIL, carried and written back
    int count; // COUNT, -1 for no limit
    std::vector<int> byValues[ByListCount];
    int weekStart; // KDateTime::DayOfWeek; 0 for an unknown name
    bool valid;

private:
    void appendList(char* list, int index);
    void parseVCalendar(char* text);
};

} // namespace tavir::timezone
