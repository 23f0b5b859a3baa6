// The journal of a target's preparation: what it keeps comes back exactly,
// one live run holds the target's lock and is named to the next, and a
// journal or folder that another user could have written is never trusted.
#include "tinydb/PreparationJournal.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace tavir::tinydb;
using tavir::test::TempDir;

namespace {

PreparationJournal::Record sample()
{
    PreparationJournal::Record record;
    record.run = {"ws12.example.com", 4242, 1726560000};
    record.target = "Cvn.Example.com:44337";
    record.settings.accessList = "zorp_3fa1c2_4242_1726560000_ws12.example.com";
    record.settings.settings = {
        {"Cluster", "", {"BackendMode", "MasterPassword", "BackendAccessList"},
            {Value::of(std::int64_t{0}), Value::of(std::string("a\tb\\c\nd\re 'x'")),
                Value::null()}},
        {"Security", "", {"PolicyMode"}, {Value::of(std::int64_t{-2})}},
        {"ServicePorts", "IMAPS", {"Address", "Port"},
            {Value::of(std::string()), Value::of(std::int64_t{993})}},
    };
    return record;
}

bool sameSettings(const SavedSettings& a, const SavedSettings& b)
{
    if (a.accessList != b.accessList || a.settings.size() != b.settings.size())
        return false;
    for (std::size_t i = 0; i < a.settings.size(); ++i) {
        const SavedSetting &x = a.settings[i], &y = b.settings[i];
        if (x.table != y.table || x.service != y.service || x.columns != y.columns
            || x.values != y.values)
            return false;
    }
    return true;
}

TEST(PreparationJournal, WhatIsWrittenIsReadBackExactlyAndRemoved)
{
    TempDir home;
    const std::string folder = home.file(".tavir/admin");
    PreparationJournal journal(
        tavir::utils::PrivateLocation{home.path(), ".tavir/admin"}, "Cvn.Example.com:44337");
    RunIdentity holder;
    std::string why;
    ASSERT_EQ(PreparationJournal::Lock::Taken, journal.lock(sample().run, holder, why)) << why;
    PreparationJournal::Record read;
    EXPECT_EQ(PreparationJournal::Read::None, journal.read(read, why));
    ASSERT_TRUE(journal.write(sample(), why)) << why;

    struct stat info { };
    ASSERT_EQ(0, stat(folder.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    ASSERT_EQ(0, stat(journal.path().c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_EQ(folder + "/prepared-cvn.example.com_44337.journal", journal.path());

    ASSERT_EQ(PreparationJournal::Read::Found, journal.read(read, why)) << why;
    EXPECT_EQ(sample().target, read.target);
    EXPECT_EQ(4242, read.run.pid);
    EXPECT_EQ("ws12.example.com", read.run.host);
    EXPECT_EQ(1726560000, read.run.startTime);
    EXPECT_TRUE(sameSettings(sample().settings, read.settings));

    ASSERT_TRUE(journal.remove(why)) << why;
    EXPECT_EQ(PreparationJournal::Read::None, journal.read(read, why));
}

TEST(PreparationJournal, OneLiveRunHoldsTheTargetAndIsNamedToTheNext)
{
    TempDir home;
    RunIdentity holder;
    std::string why;
    auto first = std::make_unique<PreparationJournal>(home.path(), "cvn:44337");
    ASSERT_EQ(PreparationJournal::Lock::Taken, first->lock(sample().run, holder, why)) << why;
    PreparationJournal second(home.path(), "cvn:44337");
    ASSERT_EQ(PreparationJournal::Lock::Busy, second.lock({"other", 7, 8}, holder, why));
    EXPECT_EQ(4242, holder.pid);
    EXPECT_EQ("ws12.example.com", holder.host);
    PreparationJournal elsewhere(home.path(), "other-target:44337");
    EXPECT_EQ(PreparationJournal::Lock::Taken, elsewhere.lock({"other", 7, 8}, holder, why));
    first.reset(); // the run ends, or dies
    EXPECT_EQ(PreparationJournal::Lock::Taken, second.lock({"other", 7, 8}, holder, why)) << why;
}

TEST(PreparationJournal, WhatAnotherUserCouldHaveWrittenIsNotTrusted)
{
    struct Case {
        const char* name;
        void (*spoil)(const std::string& folder, const std::string& journal);
        bool lockTaken;
    } cases[] = {
        {"a folder others may write in",
            [](const std::string& folder, const std::string&) { chmod(folder.c_str(), 0777); },
            false},
        {"a journal others may read",
            [](const std::string&, const std::string& journal) { chmod(journal.c_str(), 0644); },
            true},
        {"a journal that is a link",
            [](const std::string& folder, const std::string& journal) {
                // to a good journal: the link alone is the fault
                rename(journal.c_str(), (folder + "/elsewhere").c_str());
                symlink((folder + "/elsewhere").c_str(), journal.c_str());
            },
            true},
        {"a journal cut short",
            [](const std::string&, const std::string& journal) {
                std::string text = tavir::test::readFile(journal);
                tavir::test::writeFile(journal, text.substr(0, text.size() - 3));
            },
            true},
        {"a journal of another kind",
            [](const std::string&, const std::string& journal) {
                tavir::test::writeFile(journal, "Tavir Zorp target journal 2\n");
            },
            true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir home;
        const std::string folder = home.file("admin");
        std::string why;
        RunIdentity holder;
        {
            PreparationJournal journal(folder, "cvn:44337");
            ASSERT_EQ(PreparationJournal::Lock::Taken, journal.lock(sample().run, holder, why));
            ASSERT_TRUE(journal.write(sample(), why)) << why;
            c.spoil(folder, journal.path());
        }
        PreparationJournal journal(folder, "cvn:44337");
        const auto lock = journal.lock(sample().run, holder, why);
        EXPECT_EQ(
            c.lockTaken ? PreparationJournal::Lock::Taken : PreparationJournal::Lock::Failed, lock);
        if (lock != PreparationJournal::Lock::Taken)
            continue;
        PreparationJournal::Record read;
        EXPECT_EQ(PreparationJournal::Read::Failed, journal.read(read, why));
        EXPECT_NE(std::string::npos, why.find(journal.path())) << why;
    }
}

TEST(PreparationJournal, TheAccessListNameCarriesTheRun)
{
    const RunIdentity run{"ws 12_x.example", 4242, 1726560000};
    RunIdentity read;
    ASSERT_TRUE(RunIdentity::fromAccessList("zorp_3fa1c2_" + run.tag(), read));
    EXPECT_EQ("4242_1726560000_ws-12-x.example", run.tag());
    EXPECT_EQ(4242, read.pid);
    EXPECT_EQ(1726560000, read.startTime);
    EXPECT_EQ("ws-12-x.example", read.host);
    for (const char* name : {"zorp_3fa1c2", "zorp_3fa1c2_", "zorp_3fa1c2_x_1_h", "zorp_3fa1c2_42"})
        EXPECT_FALSE(RunIdentity::fromAccessList(name, read)) << name;
}

} // namespace
