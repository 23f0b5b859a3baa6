#pragma once
// Whether this machine's tzdata is the release the zone tables were made
// from: tests that hold the tables against the machine's zoneinfo files only
// mean something then, and a tzdata update must not make them fail.
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "timezone/TimeZoneTables.h"

namespace tavir::timezone::test {

// The release named by the tzdata package's own "# version 2026f" line;
// empty when the file is missing.
inline std::string machineTzdataVersion(const std::string& zoneinfo = "/usr/share/zoneinfo")
{
    std::ifstream in(zoneinfo + "/tzdata.zi");
    std::string line;
    std::getline(in, line);
    std::istringstream words(line);
    std::string hash, key, version;
    words >> hash >> key >> version;
    return hash == "#" && key == "version" ? version : std::string();
}

// Why a comparison with the machine's tzdata must be skipped, or nothing
// when the machine has the tables' release.
inline std::optional<std::string> tzdataMismatch(
    const std::string& zoneinfo = "/usr/share/zoneinfo")
{
    const std::string machine = machineTzdataVersion(zoneinfo);
    const std::string tables = tables::tzdataVersion;
    if (machine == tables)
        return std::nullopt;
    return "This machine has tzdata "
        + (machine.empty() ? std::string("of no known release") : machine)
        + " while the zone tables were made from tzdata " + tables + ", so they are not compared.";
}

} // namespace tavir::timezone::test
