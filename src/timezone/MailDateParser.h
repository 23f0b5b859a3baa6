#pragma once

// Parsers of the two date texts an IMAP client meets: the RFC 822 date of a
// message header and the IMAP INTERNALDATE value. The INTERNALDATE parser is
// a strict fixed-position scanner; the RFC 822 one takes its fields in the
// same order but lets white space, folds and comments stand between them, as
// RFC 5322 does. On failure they return false and leave their result
// untouched.

#include <cstdint>
#include <ctime>

namespace tavir::timezone {

// "Jan" .. "Dec".
extern const char* const AMonthName[12];

// An RFC 822 date such as "Mon, 5 Jan 2004 10:20:30 +0100" as UTC seconds.
bool parseRFC822Date64(const char* text, int64_t* result);
bool parseRFC822Date(const char* text, time_t* result);
// Minutes east of UTC of an RFC 822 zone text; 0 for anything unrecognised.
int parseRFC822Timezone(const char* zone);
// Looks a North American zone name up ("est", "pdt", ...); minutes is set to
// 0 first and to the zone's offset on a hit.
bool testForUSZones(const char* name, int& minutes);
// An IMAP INTERNALDATE such as "05-Jan-2004 10:20:30 +0100" (without quotes).
bool parseInternaldate(const char* text, time_t* result);
// The same, broken down into local time.
bool parseInternaldate_tm(const char* text, tm* result);
bool parseRFC822Date_tm(const char* text, tm* result);

} // namespace tavir::timezone
