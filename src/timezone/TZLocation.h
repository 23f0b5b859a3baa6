#pragma once
// Every zone of the zone tables unpacked into a ready pair of standard and
// daylight observances, from which a zone can be made at once.
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "timezone/KTimeZone.h"

namespace tavir::timezone {

struct TZLocation {
    std::string name;
    KTimeSpan fixedOffset; // the standard offset of a zone without daylight time
    TZProp standard; // type 1, always valid
    TZProp daylight; // type 2, valid only with daylight time
    std::vector<int> cdoIds;

    // A new zone of this location; the empty, invalid zone when its standard
    // observance is not valid.
    boost::shared_ptr<KTimeZone> mkTimeZone() const;
};

// The locations of the display-name table, in table order.
std::vector<TZLocation>& getTZLocations();
// Those of the display-name table followed by those of the Olson-name table.
std::vector<TZLocation>& getTZLocationsIncludeUnixZones();

} // namespace tavir::timezone
