#pragma once

#include <cstdint>
#include <string>

namespace tavir::timezone {

// A signed duration as a count of seconds. The smallest 64-bit value is the
// null span ("no value"), which is distinct from the zero span.
class KTimeSpan {
public:
    static constexpr int64_t nullCount = INT64_MIN;

    // The null span; constant-initialised, so safe from any static initialiser.
    static const KTimeSpan null;

    constexpr KTimeSpan()
        : count(nullCount)
    {
    }
    // days * 86400 + hours * 3600 + minutes * 60 + seconds, negated when
    // negative is set; the parts are not range-checked.
    KTimeSpan(int days, int hours, int minutes, int seconds, bool negative);

    static constexpr KTimeSpan fromSecondCount(int64_t seconds) { return KTimeSpan(seconds, 0); }

    int toSecondCount() const;
    int64_t toSecondCount64() const { return isNull() ? 0 : count; }

    int getDays() const;
    int getHours() const;
    int getMinutes() const;
    int getSeconds() const;

    bool isNull() const { return count == nullCount; }
    bool operator!() const { return isNull(); }
    bool isNegative() const { return !isNull() && count < 0; }

    KTimeSpan& operator+=(const KTimeSpan& other);
    KTimeSpan& operator-=(const KTimeSpan& other);
    KTimeSpan operator+(const KTimeSpan& other) const;
    KTimeSpan operator-(const KTimeSpan& other) const;
    bool operator==(const KTimeSpan& other) const { return count == other.count; }
    bool operator!=(const KTimeSpan& other) const { return count != other.count; }

    // ISO 8601 duration text ("PT01H30M", "-P1D").
    std::string toIsoString() const;
    static KTimeSpan fromIsoString(const std::string& text);

private:
    constexpr KTimeSpan(int64_t seconds, int)
        : count(seconds)
    {
    }

    int64_t count;
};

} // namespace tavir::timezone
