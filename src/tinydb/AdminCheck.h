#pragma once
// The two questions the wizard's first pages ask about administration
// services: can this administrator run a migration on the target, and does
// the source host run an administration service too.
#include <string>

namespace tavir::tinydb {

// What the wizard's target page is told (the engine's testCvn), by number.
enum AdminCheckResult {
    AdminOk = 0,
    AdminNoConnection = 1,
    AdminAuthenticationFailed = 2,
    AdminReadOnly = 3,
    AdminUnsupportedVersion = 4,
};

// The oldest target version a migration runs against.
constexpr const char* minimumVersion = "6.5.2";

// Logs into the administration service of `server` ("host" or "host:port";
// the port is the IMAP port and plays no part: the service is always on
// 44337) and checks the version; `sentence` says what failed (or, on
// success, what was found) for the log. Blocking, bounded by a 30-second
// time-out; never throws.
AdminCheckResult checkAdministrator(const std::wstring& server, const std::wstring& user,
    const std::wstring& password, std::string& sentence);
AdminCheckResult checkAdministrator(
    const std::wstring& server, const std::wstring& user, const std::wstring& password);

// Tries a login with the fixed probe account on port 44337 of `host` (a
// ":port" after it is ignored), within 3 seconds and without pinning. True
// when an administration service answered the handshake, whatever it said to
// the login; `sentence` says what happened, for the log. A refused port is a
// quick false.
bool probeAdministration(const std::wstring& host, std::string& sentence);

// Compares dotted version numbers ("6.5.2" < "6.10" < "7.0.0"); a missing
// part counts as 0 and a part's trailing non-digits are ignored. Negative,
// zero or positive as strcmp.
int compareVersions(const std::string& a, const std::string& b);

} // namespace tavir::tinydb
