// The machine description from laid-out release files, and the live values
// of this machine checked against uname, /proc/meminfo and df.
#include "utils/OSInfo.h"

#include "support/TestSupport.h"
#include "utils/SingletonFactory.h"

#include <sys/utsname.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <fstream>
#include <sstream>

using tavir::utils::OSInfo;
using namespace tavir::test;

namespace {

void layOutRelease(const TempDir& root, const std::string& osRelease, const std::string& debian)
{
    runShell("mkdir -p '" + root.path() + "/etc'");
    if (!osRelease.empty())
        writeFile(root.path() + "/etc/os-release", osRelease);
    if (!debian.empty())
        writeFile(root.path() + "/etc/debian_version", debian);
}

} // namespace

TEST(OSInfo, NameAndVersionFromReleaseFiles)
{
    struct Case {
        const char* label;
        std::string osRelease, debian, name;
        int major, minor, build;
    } cases[] = {
        {"debian",
            "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
            "VERSION_ID=\"12\"\nID=debian\n",
            "12.8\n", "Debian GNU/Linux (12.8)", 12, 8, 0},
        {"ubuntu", "NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\nID=ubuntu\nID_LIKE=debian\n",
            "bookworm/sid\n", "Ubuntu (22.04)", 22, 4, 0},
        {"three numbers", "NAME=Example\nVERSION_ID=1.2.3\nID=example\n", "", "Example (1.2.3)", 1,
            2, 3},
        {"no version", "NAME=Rolling\nID=arch\n", "", "Rolling", 0, 0, 0},
        {"missing", "", "", "Linux", 0, 0, 0},
    };
    for (const auto& c : cases) {
        TempDir root;
        layOutRelease(root, c.osRelease, c.debian);
        OSInfo info(root.path());
        EXPECT_EQ(info.getName(), c.name) << c.label;
        EXPECT_EQ(info.getVersionMajor(), c.major) << c.label;
        EXPECT_EQ(info.getVersionMinor(), c.minor) << c.label;
        EXPECT_EQ(info.getVersionBuild(), c.build) << c.label;
        EXPECT_EQ(info.getProduct(), "LINUX");
        EXPECT_EQ(info.getPackage(), "PACKAGE_BIN");
        EXPECT_EQ(info.getCodeGroup(), 0xc0c0);
    }
}

TEST(OSInfo, LiveKernelAndPlatformMatchUname)
{
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    OSInfo info;
    EXPECT_EQ(info.getKernelVersion(), system.release);
    if (std::strcmp(system.machine, "x86_64") == 0) {
        EXPECT_EQ(info.getPlatform(), "LINUX.X64");
        EXPECT_EQ(info.getCode(), 0x8000);
    }
    EXPECT_EQ(OSInfo::getHostname(), system.nodename);
}

TEST(OSInfo, MemoryMatchesProcMeminfo)
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit)
        if (key == "MemTotal:")
            break;
    OSInfo::MemInfo memory;
    ASSERT_TRUE(OSInfo::getMemInfo(&memory));
    EXPECT_EQ(memory.physicalBytes / 1024, kib);
    EXPECT_FALSE(OSInfo::getMemInfo(nullptr));
}

TEST(OSInfo, DiskSpaceMatchesDf)
{
    std::string out;
    ASSERT_EQ(runShell("df -B1 --output=size / | tail -n 1", &out), 0);
    uint64_t available = 0, total = 0, free = 0;
    ASSERT_TRUE(OSInfo::getDiskFree("/", &available, &total, &free));
    EXPECT_EQ(total, std::stoull(out));
    EXPECT_LE(available, total);
    EXPECT_FALSE(OSInfo::getDiskFree("/nonexistent/path", &available, &total, &free));

    std::string type, dfType;
    ASSERT_TRUE(OSInfo::getDiskType("/proc", type));
    EXPECT_EQ(type, "proc");
    ASSERT_EQ(runShell("df --output=fstype / | tail -n 1", &dfType), 0);
    ASSERT_TRUE(OSInfo::getDiskType("/", type));
    EXPECT_EQ(type + "\n", dfType);
    EXPECT_FALSE(OSInfo::getDiskType(nullptr, type));
}

TEST(OSInfo, LoopbackIsAmongTheAddresses)
{
    std::vector<tavir::utils::Inet4Address> addresses;
    ASSERT_TRUE(OSInfo::getIPAddresses(addresses));
    bool loopback = false;
    for (const auto& address : addresses)
        loopback = loopback || address.getAddress() == 0x7F000001u;
    EXPECT_TRUE(loopback);
}

TEST(OSInfo, MacAddressesSkipAllZeroInterfaces)
{
    TempDir root;
    std::string net = root.path() + "/sys/class/net";
    runShell("mkdir -p '" + net + "/lo' '" + net + "/eth0' '" + net + "/wlan0'");
    writeFile(net + "/lo/address", "00:00:00:00:00:00\n");
    writeFile(net + "/eth0/address", "52:54:00:ab:cd:ef\n");
    writeFile(net + "/wlan0/address", "garbage\n");
    std::map<std::string, std::string> addresses = {{"stale", "x"}};
    ASSERT_TRUE(OSInfo::getMACAddresses(addresses, root.path()));
    EXPECT_EQ(addresses, (std::map<std::string, std::string>{{"eth0", "52:54:00:AB:CD:EF"}}));
}

TEST(OSInfo, LocaleIsReadAndTheCompositeLocaleRestoredWhole)
{
    // A composite name: glibc lists every category.
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C.UTF-8"), nullptr);
    std::string before = std::setlocale(LC_ALL, nullptr);
    ASSERT_GT(before.size(), 29u) << before;

    setenv("LC_ALL", "C.UTF-8", 1);
    OSInfo info;
    unsetenv("LC_ALL");
    EXPECT_EQ(std::string(std::setlocale(LC_ALL, nullptr)), before);
    EXPECT_STREQ(info.getSystemLocaleInfo().language, "C");
    EXPECT_STREQ(info.getSystemLocaleInfo().country, "");
    EXPECT_STREQ(info.getUserLocaleInfo().language, "C");

    setenv("LC_ALL", "POSIX", 1);
    info.updateLocaleInfo();
    unsetenv("LC_ALL");
    EXPECT_STREQ(info.getSystemLocaleInfo().language, "");
    std::setlocale(LC_ALL, "C");
}

TEST(OSInfo, DistributionTest)
{
    TempDir dir;
    std::string file = dir.file("release");
    writeFile(file, "Release 5.3 (Final)\nKernel \\r on an \\m\n");
    std::string major, minor, build, firstLine;
    ASSERT_TRUE(OSInfo::distributionTest(
        file, "release ([0-9]+)\\.([0-9]+)", major, minor, build, firstLine));
    EXPECT_EQ(major, "5");
    EXPECT_EQ(minor, "3");
    EXPECT_EQ(build, "");
    EXPECT_EQ(firstLine, "Release 5.3 (Final)");

    unsigned a = 0, b = 0, c = 99;
    ASSERT_TRUE(OSInfo::distributionTest(file, "release ([0-9]+)\\.([0-9]+)", a, b, c, firstLine));
    EXPECT_EQ(a, 5u);
    EXPECT_EQ(b, 3u);
    EXPECT_EQ(c, 99u) << "a group that did not take part leaves the number alone";

    EXPECT_FALSE(OSInfo::distributionTest(file, "fedora ([0-9]+)", major, minor, build, firstLine));
    EXPECT_FALSE(OSInfo::distributionTest(file, "unbalanced (", major, minor, build, firstLine));
    EXPECT_FALSE(
        OSInfo::distributionTest(dir.file("missing"), ".*", major, minor, build, firstLine));
}

TEST(OSInfo, HostQueriesWithoutAnAnswerOnThisPlatform)
{
    std::string name = "x";
    EXPECT_FALSE(OSInfo::getHostFqDistinguishedName(name));
    EXPECT_EQ(name, "");
    name = "y";
    EXPECT_FALSE(OSInfo::getNetbiosHostname(name));
    EXPECT_EQ(name, "");
    OSInfo::setSysError(42);
    EXPECT_EQ(OSInfo::sysError(), 42);
    EXPECT_EQ(OSInfo::getProcessID(), getpid());
}

TEST(OSInfo, OneProcessWideInstance)
{
    OSInfo* first
        = tavir::utils::SingletonFactory<OSInfo, tavir::utils::DestroyAtExit>::getInstance();
    OSInfo* second
        = tavir::utils::SingletonFactory<OSInfo, tavir::utils::DestroyAtExit>::getInstance();
    EXPECT_EQ(first, second);
    EXPECT_FALSE(first->getKernelVersion().empty());
}
