// The tzdata release of the zone tables and of the machine, which decides
// whether the tables are held against the machine's zoneinfo files.
#include "TzdataVersion.h"

#include <gtest/gtest.h>

#include <cctype>

#include "support/TestSupport.h"

using namespace tavir::timezone;
using tavir::test::TempDir;

TEST(TzdataVersion, TablesNameARelease)
{
    const std::string v = tables::tzdataVersion;
    ASSERT_EQ(v.size(), 5u) << v;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(v[i]))) << v;
    EXPECT_TRUE(std::islower(static_cast<unsigned char>(v[4]))) << v;
}

// The test list brings tzdata up to the tables' release, so that the tests
// that compare the tables with it run wherever the tests are installed;
// tables made from a newer release need the list to follow.
TEST(TzdataVersion, TestListAsksForTheTablesRelease)
{
    const std::string list
        = tavir::test::readFile(std::string(TAVIR_SOURCE_DIR) + "/scripts/packages/core-tiny.txt");
    EXPECT_NE(list.find(std::string("\ntzdata>=") + tables::tzdataVersion + "\n"),
        std::string::npos)
        << list;
}

TEST(TzdataVersion, MachineReleaseFromTheVersionLine)
{
    const struct {
        const char* file; // nullptr: no tzdata.zi at all
        const char* version;
    } cases[] = {
        {"# version 2026f\n# ddeps backzone zone.tab\nR d 1916 o - Jun 14 23s 1 S\n", "2026f"},
        {"# version 2025b\n", "2025b"},
        {"# ddeps backzone zone.tab\n# version 2026f\n", ""},
        {"R d 1916 o - Jun 14 23s 1 S\n", ""},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file ? c.file : "(no file)");
        TempDir dir;
        if (c.file)
            tavir::test::writeFile(dir.file("tzdata.zi"), c.file);
        EXPECT_EQ(test::machineTzdataVersion(dir.path()), c.version);
        const auto why = test::tzdataMismatch(dir.path());
        if (c.version == std::string(tables::tzdataVersion)) {
            EXPECT_FALSE(why);
            continue;
        }
        ASSERT_TRUE(why);
        EXPECT_NE(why->find(std::string("tables were made from tzdata ") + tables::tzdataVersion),
            std::string::npos)
            << *why;
        if (*c.version) {
            EXPECT_NE(why->find(std::string("has tzdata ") + c.version), std::string::npos) << *why;
        }
    }
}
