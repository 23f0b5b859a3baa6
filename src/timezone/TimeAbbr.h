#pragma once
#include <string>

namespace tavir::timezone {

// One zone abbreviation ("CEST") with its offset from UTC as a signed
// ISO 8601 duration ("+PT02H00M") and whether it names daylight time.
class TimeAbbr {
public:
    TimeAbbr() = default;
    TimeAbbr(const char* name, const char* utcOffset, bool isDaylight)
        : abbreviation(name ? name : "")
        , offset(utcOffset ? utcOffset : "")
        , daylight(isDaylight)
    {
    }

    void clear()
    {
        abbreviation.clear();
        offset.clear();
        daylight = false;
    }

    std::string abbreviation;
    std::string offset;
    bool daylight = false;
};

} // namespace tavir::timezone
