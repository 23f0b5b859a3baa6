// The machine's own zone: the operating system's zone name, and when that
// gives no zone of the tables, the first table zone whose offsets agree with
// the machine's local time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "timezone/KTimeZone.h"
#include "timezone/TZLocation.h"
#include "timezone/TimeZoneKeeper.h"
#include "tiny/KMutex.h"
#include "tiny/Time.h"

namespace tavir::timezone {

// Guards the local machine zone and the system root.
tiny::KMutex& localZoneMutex()
{
    static tiny::KMutex lmzMutex;
    return lmzMutex;
}

// Guards the filling of the location lists.
tiny::KMutex& locationMutex()
{
    static tiny::KMutex locMutex;
    return locMutex;
}

namespace {

// Both mutexes exist before main runs and outlive what is made later.
const bool mutexesBuilt = [] {
    localZoneMutex();
    locationMutex();
    return true;
}();

const char* const zoneinfoDir = "/usr/share/zoneinfo";
const char* const placeWords[] = {"America", "Europe", "Australia", "Asia", "Africa"};

std::string& systemRoot()
{
    static std::string root;
    return root;
}

std::string rooted(const std::string& path)
{
    return systemRoot() + path;
}

void removeNewlines(std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c != '\n' && c != '\r')
            out += c;
    }
    s.swap(out);
}

// "/etc/../usr/share/zoneinfo/./Europe/Berlin" -> "/usr/share/zoneinfo/Europe/Berlin"
std::string normalisePath(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        std::string part
            = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

// A path under the system root seen as the system sees it.
std::string unrooted(const std::string& path)
{
    const std::string& root = systemRoot();
    if (!root.empty() && path.compare(0, root.size(), root) == 0
        && (path.size() == root.size() || path[root.size()] == '/'))
        return path.size() == root.size() ? "/" : path.substr(root.size());
    return path;
}

size_t readPrefix(const std::string& path, char* buf, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    size_t n = std::fread(buf, 1, size, f);
    std::fclose(f);
    return n;
}

void tzByContent(
    std::vector<std::string>& list, const std::string& dir, const std::string& reference, int depth)
{
    if (depth > 3)
        return;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<char> buf(8192);
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        std::string path = dir + "/" + e->d_name;
        if (path.size() > 4095)
            path.resize(4095);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            size_t n = readPrefix(path, buf.data(), buf.size());
            if (n > 0 && n <= reference.size() && std::memcmp(buf.data(), reference.data(), n) == 0)
                list.push_back(path);
        } else if (S_ISDIR(st.st_mode)) {
            tzByContent(list, path, reference, depth + 1);
        }
    }
    closedir(d);
}

// The zoneinfo file whose content is that of /etc/localtime, as the system
// would name it ("/usr/share/zoneinfo/..."); `path` stays as it was when
// none is found.
void tzByContentFile(std::string& path)
{
    std::vector<char> buf(8192);
    size_t n = readPrefix(rooted("/etc/localtime"), buf.data(), buf.size());
    if (n == 0)
        return;
    const std::string reference(buf.data(), n);
    std::vector<std::string> list;
    tzByContent(list, rooted(zoneinfoDir), reference, 0);
    for (const std::string& candidate : list) {
        for (const char* word : placeWords) {
            if (candidate.find(word) != std::string::npos) {
                path = unrooted(candidate);
                return;
            }
        }
    }
    if (path.empty() && !list.empty())
        path = unrooted(list.front());
}

bool fromEtcTimezone(std::string& name, bool& found)
{
    FILE* f = std::fopen(rooted("/etc/timezone").c_str(), "r");
    if (!f)
        return false;
    char line[512];
    bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!read || line[0] == '\0')
        return false;
    name = line;
    removeNewlines(name);
    found = !name.empty();
    return true;
}

bool fromSysconfigClock(std::string& name, bool& found)
{
    FILE* f = std::fopen(rooted("/etc/sysconfig/clock").c_str(), "r");
    if (!f)
        return false;
    char line[512];
    char word[512];
    bool matched = false;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "ZONE=\"%511s", word) == 1 && std::strlen(word) > 1) {
            word[std::strlen(word) - 1] = '\0'; // the closing quote
            name = word;
            matched = true;
        }
    }
    std::fclose(f);
    if (!matched)
        return false;
    removeNewlines(name);
    found = !name.empty();
    return true;
}

bool fromEtcLocaltime(std::string& name, bool& found)
{
    const std::string link = rooted("/etc/localtime");
    struct stat st;
    if (lstat(link.c_str(), &st) != 0)
        return false;
    std::string path;
    if (S_ISREG(st.st_mode)) {
        tzByContentFile(path);
    } else if (S_ISLNK(st.st_mode)) {
        char target[1024];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return false;
        path.assign(target, static_cast<size_t>(n));
        // A relative link is relative to the folder of the link.
        path = path[0] == '/' ? unrooted(normalisePath(path)) : normalisePath("/etc/" + path);
    } else {
        return false;
    }
    if (path.compare(0, 19, zoneinfoDir) != 0)
        return false;
    std::string zone;
    for (const char* word : placeWords) {
        size_t at = path.find(word);
        if (at != std::string::npos) {
            zone = path.substr(at);
            break;
        }
    }
    if (zone.empty()) {
        if (path.size() < 21)
            return false;
        zone = path.substr(20);
    }
    name = zone;
    removeNewlines(name);
    found = !name.empty();
    return true;
}

// A zone of the tables for the system's zone name, or an invalid zone. Unlike
// fromTZID it never falls back to UTC (an unknown name must lead to probing,
// not to a zone that merely looks found) and never takes "server" as the
// alias of the local machine zone, which is what is being detected here.
KTimeZone zoneForSystemName(const std::string& systemName)
{
    std::string id = systemName;
    if (systemName == "UTC")
        id = "(UTC) Universal Coordinated Time";
    else if (systemName == "Russian Standard Time" || systemName == "Europe/Moscow"
        || systemName == "Europe/Volgograd")
        id = "Moscow, St.Petersburg, Volgograd (RTZ 2)";
    else if (systemName == "Turkey Standard Time" || systemName == "Europe/Istanbul")
        id = "Istanbul";
    if (id.empty() || strcasecmp(id.c_str(), "server") == 0)
        return KTimeZone();
    return KTimeZone::fromTableTZID(id);
}

int seconds(const KTimeSpan& span)
{
    return span.toSecondCount();
}

// The zone's offset and the machine's at the wall-clock time of `when`.
bool agreesWithMachine(const boost::shared_ptr<KTimeZone>& zone, KDateTime when)
{
    when.setTimeZone(zone);
    if (when.isNull())
        return false;
    return seconds(when.gmtOffset()) == seconds(when.gmLocalOffset(true));
}

KTimeZone probeLocations()
{
    KTimeZone result;
    const int offNow = seconds(KDateTime::now().gmLocalOffset(true));
    time_t now = std::time(nullptr);
    tm local{};
    const bool isDst = tiny::k_localtime_r(&now, &local) && local.tm_isdst > 0;
    const int year = local.tm_year + 1900;
    const KDateTime feb(1, 2, year, 0, 0, 0, KTimeSpan::fromSecondCount(0));
    const KDateTime jul(1, 7, year, 0, 0, 0, KTimeSpan::fromSecondCount(0));
    const KDateTime newYear(1, 1, year);
    const KTimeSpan oneDay(1, 0, 0, 0, false);

    for (const TZLocation& loc : getTZLocationsIncludeUnixZones()) {
        const TZProp& observed = isDst ? loc.daylight : loc.standard;
        if (!observed.valid || seconds(observed.offsetTo) != offNow)
            continue;
        boost::shared_ptr<KTimeZone> zone = loc.mkTimeZone();
        if (!agreesWithMachine(zone, feb) || !agreesWithMachine(zone, jul))
            continue;
        if (!result.isValid())
            result = *zone;
        bool transitionsAgree = true;
        for (const RRule* rule : {&loc.daylight.rrule, &loc.standard.rrule}) {
            KDateTime occurrence = *rule->begin(newYear, false);
            if (occurrence.isNull()) {
                transitionsAgree = false;
                break;
            }
            KDateTime day = occurrence.toDate(true);
            if (!agreesWithMachine(zone, day - oneDay) || !agreesWithMachine(zone, day + oneDay)) {
                transitionsAgree = false;
                break;
            }
        }
        if (transitionsAgree) {
            result = *zone;
            break;
        }
    }
    return result;
}

} // namespace

void KTimeZone::setSystemRoot(const std::string& root)
{
    tiny::KMutexLocker lock(localZoneMutex());
    systemRoot() = root == "/" ? std::string() : root;
}

std::string KTimeZone::getSystemRoot()
{
    tiny::KMutexLocker lock(localZoneMutex());
    return systemRoot();
}

bool KTimeZone::getSystemCurrentTimeZone(std::string& name, std::string& /*unused*/)
{
    tiny::KMutexLocker lock(localZoneMutex());
    (void)mutexesBuilt;
    bool found = false;
    if (fromEtcTimezone(name, found) || fromSysconfigClock(name, found)
        || fromEtcLocaltime(name, found))
        return found;
    const char* tz = std::getenv("TZ");
    if (!tz)
        return false;
    name = tz;
    removeNewlines(name);
    return *tz != '\0' && !name.empty();
}

KTimeZone KTimeZone::detectLocalMachineZone()
{
    tiny::KMutexLocker lock(localZoneMutex());
    std::string name, unused;
    if (getSystemCurrentTimeZone(name, unused)) {
        KTimeZone zone = zoneForSystemName(name);
        if (zone.isValid())
            return zone;
    }
    return probeLocations();
}

KTimeZone KTimeZone::getLocalMachineZone()
{
    static KTimeZone localMachineZone;
    static bool zoneFound = false;
    tiny::KMutexLocker lock(localZoneMutex());
    if (!zoneFound) {
        localMachineZone = detectLocalMachineZone();
        zoneFound = true;
    }
    return localMachineZone;
}

} // namespace tavir::timezone
