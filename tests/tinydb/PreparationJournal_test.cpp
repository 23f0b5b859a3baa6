// The journal of a target's preparation: what it keeps comes back exactly,
// one live run holds the target's lock and is named to the next, and a
// journal or folder that another user could have written, a journal that is
// not whole, not of this target or of the old format, and a FIFO in its
// place are never acted on.
#include "tinydb/PreparationJournal.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

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
                Value::null()},
            {Value::of(std::int64_t{1}), Value::of(secretDigest("0a1b2c3d4e5f", "zorp_3fa1c2")),
                Value::of(record.settings.accessList)}},
        {"Security", "", {"PolicyMode"}, {Value::of(std::int64_t{-2})},
            {Value::of(std::int64_t{0})}},
        {"ServicePorts", "IMAPS", {"Address", "Port"},
            {Value::of(std::string()), Value::of(std::int64_t{993})},
            {Value::of(std::string("0.0.0.0")), Value::of(std::int64_t{993})}},
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
            || x.values != y.values || x.set != y.set)
            return false;
    }
    return true;
}

// The journal's lines, each with its line end, with `line` put in before
// its last (the end line) and the last `drop` lines left out.
void rewriteLines(const std::string& journal, const std::string& line, std::size_t drop)
{
    std::vector<std::string> lines;
    const std::string text = tavir::test::readFile(journal);
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at + 1));
    }
    lines.insert(lines.end() - 1, line);
    std::string out;
    for (std::size_t i = 0; i + drop < lines.size(); ++i)
        out += lines[i];
    tavir::test::writeFile(journal, out);
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

TEST(PreparationJournal, TheLockFileGoesWithTheLockWhenNoJournalIsLeft)
{
    TempDir home;
    const std::string lockFile = home.file("prepared-cvn_44337.lock");
    RunIdentity holder;
    std::string why;
    const struct Row {
        const char* name;
        bool journalLeft;
    } rows[] = {{"a target never changed", false}, {"a target left prepared", true},
        {"the same target put back", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            PreparationJournal journal(home.path(), "cvn:44337");
            ASSERT_EQ(PreparationJournal::Lock::Taken, journal.lock(sample().run, holder, why))
                << why;
            EXPECT_TRUE(std::filesystem::exists(lockFile));
            if (row.journalLeft)
                ASSERT_TRUE(journal.write(sample(), why)) << why;
            else
                ASSERT_TRUE(journal.remove(why)) << why;
            // Another start in the meantime finds it held.
            PreparationJournal other(home.path(), "cvn:44337");
            EXPECT_EQ(PreparationJournal::Lock::Busy, other.lock({"other", 7, 8}, holder, why));
        }
        EXPECT_EQ(row.journalLeft, std::filesystem::exists(lockFile));
    }
}

TEST(PreparationJournal, WhatAnotherUserCouldHaveWrittenIsNotTrusted)
{
    struct Case {
        const char* name;
        void (*spoil)(const std::string& folder, const std::string& journal);
        bool lockTaken;
        const char* says; // in the sentence, besides the journal's path
    } cases[] = {
        {"a folder others may write in",
            [](const std::string& folder, const std::string&) { chmod(folder.c_str(), 0777); },
            false, nullptr},
        {"a journal others may read",
            [](const std::string&, const std::string& journal) { chmod(journal.c_str(), 0644); },
            true, nullptr},
        {"a journal that is a link",
            [](const std::string& folder, const std::string& journal) {
                // to a good journal: the link alone is the fault
                rename(journal.c_str(), (folder + "/elsewhere").c_str());
                symlink((folder + "/elsewhere").c_str(), journal.c_str());
            },
            true, nullptr},
        {"a journal cut short",
            [](const std::string&, const std::string& journal) {
                std::string text = tavir::test::readFile(journal);
                tavir::test::writeFile(journal, text.substr(0, text.size() - 3));
            },
            true, nullptr},
        {"a journal of another kind",
            [](const std::string&, const std::string& journal) {
                tavir::test::writeFile(journal, "Tavir Zorp target journal 3\n");
            },
            true, "not one this program wrote (line 1)"},
        {"a journal cut at a line end",
            [](const std::string&, const std::string& journal) { rewriteLines(journal, "", 2); },
            true, "not one this program wrote"},
        {"a journal with a foreign line",
            [](const std::string&, const std::string& journal) {
                rewriteLines(journal, "setting\tUser\t\tName\tt:x\tt:y\n", 0);
            },
            true, "not one this program wrote (line 9)"},
        {"a journal with a value changed",
            [](const std::string&, const std::string& journal) {
                std::string text = tavir::test::readFile(journal);
                text.replace(text.find("i:-2"), 4, "i:-3");
                tavir::test::writeFile(journal, text);
            },
            true, "not one this program wrote (line 8)"},
        {"a journal of another target",
            [](const std::string& folder, const std::string& journal) {
                PreparationJournal other(folder, "other.example:44337");
                RunIdentity holder;
                std::string why;
                PreparationJournal::Record record = sample();
                record.target = "other.example:44337";
                ASSERT_EQ(PreparationJournal::Lock::Taken, other.lock(record.run, holder, why));
                ASSERT_TRUE(other.write(record, why)) << why;
                std::rename(other.path().c_str(), journal.c_str());
            },
            true, "is of the target other.example:44337, not of cvn:44337"},
        {"a FIFO in the journal's place",
            [](const std::string&, const std::string& journal) {
                unlink(journal.c_str());
                mkfifo(journal.c_str(), 0600);
            },
            true, "is not a private file"},
        {"a journal of the old format, which names its values",
            [](const std::string&, const std::string& journal) {
                tavir::test::writeFile(journal,
                    "Tavir Zorp target journal 1\nrun\tws12\t4242\t1726560000\ntarget\tcvn:44337\n"
                    "list\tzorp_3fa1c2_4242_1726560000_ws12\nsetting\tCluster\t\tBackendMode\ti:0\t"
                    "MasterPassword\tt:Old-Secret\tBackendAccessList\tt:\nsetting\tSecurity\t\t"
                    "PolicyMode\ti:2\n");
            },
            true,
            "before that migration the target had Cluster (BackendMode 0, MasterPassword as the "
            "journal holds it, BackendAccessList ''), Security (PolicyMode 2), and that "
            "migration's IP access list is zorp_3fa1c2_4242_1726560000_ws12"},
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
        if (c.says) {
            EXPECT_NE(std::string::npos, why.find(c.says)) << why;
        }
        EXPECT_EQ(std::string::npos, why.find("Secret")) << why;
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
