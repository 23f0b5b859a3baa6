// The local machine zone: the system's zone name read from laid-out system
// folders, its mapping to a table zone, probing, and the location lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ScopedTz.h"
#include "support/TestSupport.h"
#include "timezone/KTimeZone.h"
#include "timezone/TZLocation.h"
#include "timezone/TimeZoneKeeper.h"

using namespace tavir::timezone;
using tavir::test::ScopedTz;
using tavir::test::TempDir;
using tavir::test::writeFile;

namespace {

// A system root of the test's own, with TZ saved and restored.
class Root {
public:
    Root()
    {
        mkdirs("/etc");
        KTimeZone::setSystemRoot(dir.path());
    }
    ~Root()
    {
        KTimeZone::setSystemRoot("");
    }
    void mkdirs(const std::string& path)
    {
        std::string p = dir.path();
        size_t start = 1;
        while (start <= path.size()) {
            size_t slash = path.find('/', start);
            p = dir.path() + path.substr(0, slash);
            mkdir(p.c_str(), 0755);
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
    }
    void file(const std::string& path, const std::string& content)
    {
        mkdirs(path.substr(0, path.rfind('/')));
        writeFile(dir.path() + path, content);
    }
    void link(const std::string& target, const std::string& path = "/etc/localtime")
    {
        ASSERT_EQ(symlink(target.c_str(), (dir.path() + path).c_str()), 0) << target;
    }
    std::string path() const { return dir.path(); }

    TempDir dir;
    ScopedTz tz{nullptr};
};

std::string systemName(bool* found = nullptr)
{
    std::string name = "(untouched)", unused = "(untouched)";
    bool ok = KTimeZone::getSystemCurrentTimeZone(name, unused);
    EXPECT_EQ(unused, "(untouched)");
    if (found)
        *found = ok;
    return ok ? name : "(none)";
}

std::string readSystemFile(const std::string& path)
{
    return tavir::test::readFile(path);
}

bool haveZoneinfo()
{
    struct stat st;
    return stat("/usr/share/zoneinfo/Europe/Lisbon", &st) == 0;
}

} // namespace

TEST(SystemZoneName, EtcTimezone)
{
    Root root;
    root.file("/etc/timezone", "Europe/Prague\n");
    root.file("/etc/sysconfig/clock", "ZONE=\"America/New_York\"\n");
    root.link("/usr/share/zoneinfo/Asia/Tokyo");
    EXPECT_EQ(systemName(), "Europe/Prague");
}

TEST(SystemZoneName, EmptyFirstLineEndsTheSearch)
{
    Root root;
    root.file("/etc/timezone", "\nEurope/Prague\n");
    root.link("/usr/share/zoneinfo/Asia/Tokyo");
    setenv("TZ", "Asia/Tokyo", 1);
    bool found = true;
    systemName(&found);
    EXPECT_FALSE(found);
}

TEST(SystemZoneName, SysconfigClock)
{
    {
        Root root;
        root.file("/etc/sysconfig/clock", "ZONE=\"America/New_York\"\nUTC=true\n");
        EXPECT_EQ(systemName(), "America/New_York");
    }
    {
        Root root;
        root.file("/etc/sysconfig/clock", "ZONE=\"America/New_York\"\nZONE=\"Europe/Oslo\"\n");
        EXPECT_EQ(systemName(), "Europe/Oslo");
    }
    {
        Root root; // no opening quote: no match, on to the next source
        root.file("/etc/sysconfig/clock", "ZONE=America/New_York\n");
        root.link("/usr/share/zoneinfo/Asia/Tokyo");
        EXPECT_EQ(systemName(), "Asia/Tokyo");
    }
}

TEST(SystemZoneName, LocaltimeLinks)
{
    const struct {
        const char* target;
        const char* name;
    } cases[] = {
        {"/usr/share/zoneinfo/posix/Europe/Berlin", "Europe/Berlin"},
        {"/usr/share/zoneinfo/UTC", "UTC"},
        {"/usr/share/zoneinfo/Etc/UTC", "Etc/UTC"},
        {"/usr/share/zoneinfo/America/Argentina/Salta", "America/Argentina/Salta"},
        {"../usr/share/zoneinfo/Europe/Paris", "Europe/Paris"}, // relative to /etc
        {"../usr/share/zoneinfo/Pacific/Auckland", "Pacific/Auckland"},
        {"./../usr/share/./zoneinfo/Asia/Kolkata", "Asia/Kolkata"},
    };
    for (const auto& c : cases) {
        Root root;
        root.link(c.target);
        EXPECT_EQ(systemName(), c.name) << c.target;
    }
    // an absolute link into the laid-out tree itself
    Root root;
    root.file("/usr/share/zoneinfo/Asia/Tokyo", "TZif");
    root.link(root.path() + "/usr/share/zoneinfo/Asia/Tokyo");
    EXPECT_EQ(systemName(), "Asia/Tokyo");
}

TEST(SystemZoneName, LinkOutsideZoneinfoFallsThroughToTZ)
{
    Root root;
    root.link("/opt/zones/Europe/Paris");
    bool found = true;
    systemName(&found);
    EXPECT_FALSE(found);
    setenv("TZ", "Asia/Tokyo\n", 1);
    EXPECT_EQ(systemName(), "Asia/Tokyo");
    setenv("TZ", "", 1);
    systemName(&found);
    EXPECT_FALSE(found);
}

TEST(SystemZoneName, NothingAtAll)
{
    Root root;
    bool found = true;
    std::string name = "kept", unused;
    found = KTimeZone::getSystemCurrentTimeZone(name, unused);
    EXPECT_FALSE(found);
    EXPECT_EQ(name, "kept");
}

TEST(SystemZoneName, CopiedZoneinfoFile)
{
    if (!haveZoneinfo())
        GTEST_SKIP() << "no zoneinfo files";
    Root root;
    const std::string lisbon = readSystemFile("/usr/share/zoneinfo/Europe/Lisbon");
    const std::string utc = readSystemFile("/usr/share/zoneinfo/Etc/UTC");
    root.file("/usr/share/zoneinfo/Etc/UTC", utc);
    root.file("/usr/share/zoneinfo/Portugal", lisbon); // no place word: not preferred
    root.file("/usr/share/zoneinfo/Europe/Lisbon", lisbon);
    root.file("/usr/share/zoneinfo/Atlantic/Madeira",
        readSystemFile("/usr/share/zoneinfo/Atlantic/Madeira"));
    root.file("/etc/localtime", lisbon);
    EXPECT_EQ(systemName(), "Europe/Lisbon");
}

TEST(SystemZoneName, CopiedFileMatchedByShorterPrefix)
{
    Root root;
    root.file("/usr/share/zoneinfo/Etc/Short", "TZif2-content");
    root.file("/usr/share/zoneinfo/Etc/Other", "TZif2-other");
    root.file("/etc/localtime", "TZif2-content and more");
    EXPECT_EQ(systemName(), "Etc/Short");
}

TEST(LocalMachineZone, NamesMapToTableZones)
{
    const struct {
        const char* system;
        const char* zone;
    } cases[] = {
        {"UTC", "(UTC) Universal Coordinated Time"},
        {"Europe/Volgograd", "Moscow, St.Petersburg, Volgograd"},
        {"Europe/Moscow", "Moscow, St.Petersburg, Volgograd"},
        {"Europe/Istanbul", "Istanbul"},
        {"Europe/Prague", "Europe/Prague"},
        {"America/El_Salvador", "America/El_Salvador"},
        {"Etc/UTC", "Etc/UTC"},
    };
    for (const auto& c : cases) {
        Root root;
        root.file("/etc/timezone", std::string(c.system) + "\n");
        KTimeZone z = KTimeZone::detectLocalMachineZone();
        EXPECT_TRUE(z.isValid()) << c.system;
        EXPECT_EQ(z.getTZId(), c.zone) << c.system;
    }
}

TEST(LocalMachineZone, FromLinkAndCopiedFile)
{
    {
        Root root;
        root.link("../usr/share/zoneinfo/Europe/Berlin");
        KTimeZone z = KTimeZone::detectLocalMachineZone();
        EXPECT_EQ(z.getTZId(), "Europe/Berlin");
        EXPECT_EQ(z.getTZProps().size(), 2u);
    }
    if (!haveZoneinfo())
        return;
    Root root;
    const std::string lisbon = readSystemFile("/usr/share/zoneinfo/Europe/Lisbon");
    root.file("/usr/share/zoneinfo/Europe/Lisbon", lisbon);
    root.file("/etc/localtime", lisbon);
    EXPECT_EQ(KTimeZone::detectLocalMachineZone().getTZId(), "Europe/Lisbon");
}

// An unknown name, and "server" (the alias of the local machine zone itself),
// lead to probing: the machine's local time decides, never a UTC stand-in.
TEST(LocalMachineZone, UnknownNamesProbe)
{
    for (const char* name : {"Mars/Olympus_Mons", "server", "SERVER"}) {
        Root root;
        root.file("/etc/timezone", std::string(name) + "\n");
        // The local time of this process: Chicago's rules, spelt out so that
        // no tzdata release can change them.
        setenv("TZ", "CST6CDT,M3.2.0,M11.1.0", 1);
        tzset();
        KTimeZone z = KTimeZone::detectLocalMachineZone();
        ASSERT_TRUE(z.isValid()) << name;
        EXPECT_NE(z.getTZId(), "(UTC) Universal Coordinated Time") << name;
        ASSERT_EQ(z.getTZProps().size(), 2u) << name << " " << z.getTZId();
        EXPECT_EQ(z.getStdProp().offsetTo.toSecondCount(), -21600) << name;
        EXPECT_EQ(z.getDstProp().offsetTo.toSecondCount(), -18000) << name;
        EXPECT_EQ(z.getTZId(), "Central Time (US & Canada)") << name;
    }
}

TEST(LocalMachineZone, OnceAndStable)
{
    KTimeZone first = KTimeZone::getLocalMachineZone();
    KTimeZone second;
    {
        ScopedTz tokyo(":Asia/Tokyo");
        second = KTimeZone::getLocalMachineZone();
    }
    EXPECT_EQ(first.getTZId(), second.getTZId());
    EXPECT_EQ(first.getTZProps().size(), second.getTZProps().size());
    // "server" and the empty identifier stand for it
    EXPECT_EQ(KTimeZone::fromTZID("SERVER").getTZId(), first.getTZId());
    EXPECT_EQ(KTimeZone::fromTZID("").getTZId(), first.getTZId());
}

TEST(Locations, Lists)
{
    TimeZoneKeeper* keeper = TimeZoneKeeper::getInstance();
    const std::vector<TZLocation>& display = getTZLocations();
    const std::vector<TZLocation>& all = getTZLocationsIncludeUnixZones();
    ASSERT_EQ(display.size(), keeper->getTimeZones().size());
    ASSERT_EQ(all.size(), keeper->getTimeZones().size() + keeper->getUnixZones().size());
    EXPECT_EQ(&display, &getTZLocations()); // built once
    for (size_t i = 0; i < display.size(); ++i)
        EXPECT_EQ(all[i].name, display[i].name);
    EXPECT_EQ(all[display.size()].name, "Africa/Abidjan");
    EXPECT_EQ(all.back().name, "[Jerusalem]");

    const TZLocation& hawaii = display[3];
    ASSERT_EQ(hawaii.name, "Hawaii");
    EXPECT_EQ(hawaii.fixedOffset.toSecondCount(), -36000);
    EXPECT_TRUE(hawaii.standard.valid);
    EXPECT_EQ(hawaii.standard.offsetFrom.toSecondCount(), hawaii.standard.offsetTo.toSecondCount());
    EXPECT_FALSE(hawaii.daylight.valid);
    boost::shared_ptr<KTimeZone> z = hawaii.mkTimeZone();
    EXPECT_EQ(z->getTZProps().size(), 1u);
    EXPECT_EQ(z->getTZId(), "Hawaii");
    EXPECT_EQ(z->getCdoTimeZoneIds(), (std::vector<int>{15}));

    const TZLocation& alaska = display[5];
    ASSERT_EQ(alaska.name, "Alaska");
    EXPECT_TRUE(alaska.fixedOffset.isNull());
    EXPECT_EQ(alaska.standard.offsetTo.toSecondCount(), -32400);
    EXPECT_EQ(alaska.standard.offsetFrom.toSecondCount(), -28800);
    EXPECT_EQ(alaska.daylight.offsetTo.toSecondCount(), -28800);
    EXPECT_EQ(alaska.daylight.rrule.getRRule(), "FREQ=YEARLY;BYMONTH=3;BYDAY=2SU");
    EXPECT_EQ(alaska.mkTimeZone()->getTZProps().size(), 2u);

    TZLocation broken = alaska;
    broken.standard.valid = false;
    EXPECT_FALSE(broken.mkTimeZone()->isValid());
}
