// Runs of the engine in processes of their own (zorp-engine-run), as a
// wizard is one: killed at every statement of the preparation and in the
// middle of the copy, then run again; run twice at once, from this computer
// and from another one (another HOME); started against a target that
// another run left prepared. After each, every setting of the target is as
// it was before the first run, and a start that is refused changed nothing.
#include "MigrationHarness.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <sstream>

using namespace tavir::test;

namespace {

const std::string runner = std::string(TAVIR_BINARY_DIR) + "/bin/zorp-engine-run";

// The engine program's exit statuses.
constexpr int finished = 0;
constexpr int notStarted = 3;

enum class First {
    KilledAtStatement, // killed while its n-th administration statement waits for an answer
    KilledInTheCopy, // killed while its 2nd APPEND waits for an answer
    Paused, // its 1st APPEND is answered after ten seconds, then it runs to its end
};
enum class Second {
    SameComputer, // the same HOME: the same journal and lock
    OtherComputer, // a HOME of its own: only the target shows the first run
};

struct Scenario {
    const char* name;
    First first;
    int statement; // for KilledAtStatement
    Second second;
};

// The n-th statement the administration service received, as the stand-in
// logged it.
std::string nthQuery(const std::string& transcript, unsigned n)
{
    std::size_t at = std::string::npos;
    for (unsigned i = 0; i < n; ++i)
        if ((at = transcript.find("C: QUERY ", at + 1)) == std::string::npos)
            return {};
    return transcript.substr(at + 9, transcript.find('\n', at) - at - 9);
}

unsigned changingStatements(const std::string& transcript)
{
    unsigned n = 0;
    for (const char* verb :
        {"C: QUERY UPDATE", "C: QUERY INSERT", "C: QUERY DELETE", "C: QUERY CALL"})
        n += occurrences(transcript, verb);
    return n;
}

class RunsInProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << "needs dovecot and root";
        setenv("ZORP_ADMIN_PASSWORD", "admin-secret", 1);
        source = std::make_unique<Dovecot>(
            std::map<std::string, std::string>{{"alice", "Pw-alice"}, {"bob", "Pw-bob"}},
            sourceOptions());
        for (const char* user : {"alice", "bob"}) {
            RawImap imap(source->port());
            ASSERT_TRUE(imap.login(user, std::string("Pw-") + user));
            for (int i = 1; i <= 3; ++i)
                ASSERT_TRUE(imap.append("INBOX",
                    "Subject: " + std::string(user) + " " + std::to_string(i)
                        + "\r\n\r\nbody\r\n"));
        }
        writeFile(files.file("accounts.txt"), "alice@runs.test;Pw-alice\nbob@runs.test;Pw-bob\n");
    }

    // One worker, so that a run's commands come in one order.
    void startTarget(const std::string& faults)
    {
        StandInTarget::Options options;
        options.workerThreads = 1;
        options.faults = faults;
        target = std::make_unique<StandInTarget>(options);
        original = targetSettings(*target);
    }

    // The engine program with `home` as HOME and its logs in `logs`.
    std::unique_ptr<ChildProcess> start(const TempDir& home, const TempDir& logs)
    {
        return std::make_unique<ChildProcess>(std::vector<std::string>{runner, "--home",
            home.path(), "127.0.0.1:" + std::to_string(source->port()),
            target->host() + ":" + std::to_string(target->port()), files.file("accounts.txt"),
            logs.path()});
    }

    // Its exit status; -1 when it did not end within two minutes.
    int run(const TempDir& home, const TempDir& logs) { return start(home, logs)->wait(120000); }

    // Until the stand-in has received `n` commands `verb`; false after 60
    // seconds.
    bool transcriptShows(const std::string& verb, unsigned n)
    {
        return waitUntil(
            [&] { return clientCommands(target->transcript(), verb) >= n; }, 60000, 100);
    }

    // The first run, up to the point the scenario names.
    std::unique_ptr<ChildProcess> firstRunUpTo(
        const Scenario& s, const TempDir& home, const TempDir& logs)
    {
        switch (s.first) {
        case First::KilledAtStatement:
            startTarget("[{\"on\": \"TINYDB QUERY\", \"count\": " + std::to_string(s.statement)
                + ", \"action\": \"stall\"}]");
            break;
        case First::KilledInTheCopy:
            startTarget(R"([{"on": "APPEND", "count": 2, "action": "stall"}])");
            break;
        case First::Paused:
            startTarget(R"([{"on": "APPEND", "count": 1, "action": "pause", "seconds": 10}])");
            break;
        }
        auto first = start(home, logs);
        const bool there = s.first == First::KilledAtStatement
            ? transcriptShows("QUERY", static_cast<unsigned>(s.statement))
            : transcriptShows("APPEND", s.first == First::KilledInTheCopy ? 2 : 1);
        EXPECT_TRUE(there) << target->transcript();
        if (s.first != First::Paused) {
            EXPECT_TRUE(first->kill());
        }
        return first;
    }

    // The table's row: the first run as it says, then a second one; false
    // when the row was a kill after the last statement of the preparation.
    bool play(const Scenario& s)
    {
        SCOPED_TRACE(s.name
            + (s.first == First::KilledAtStatement ? " " + std::to_string(s.statement)
                                                   : std::string()));
        TempDir home, otherHome, firstLogs, secondLogs, thirdLogs;
        const auto first = firstRunUpTo(s, home, firstLogs);
        const std::string leftBy = "by process " + std::to_string(first->pid());
        const bool killed = s.first != First::Paused;
        const std::string stalled = s.first == First::KilledAtStatement
            ? nthQuery(target->transcript(), s.statement)
            : "";
        const std::string before = targetSettings(*target);
        const std::string transcriptBefore = target->transcript();

        const bool restores = killed && s.second == Second::SameComputer;
        const int second = run(s.second == Second::SameComputer ? home : otherHome, secondLogs);
        const std::string report = readFile(secondLogs.file("report.txt"));
        if (restores) {
            // Whatever the killed run had changed is back first, and named.
            EXPECT_EQ(finished, second) << report;
            if (before != original) {
                EXPECT_NE(std::string::npos, report.find(leftBy + " on ")) << report;
                EXPECT_NE(std::string::npos,
                    report.find(" ended without restoring the target; its settings were restored:"))
                    << report;
            }
        } else {
            // Refused before anything was changed, naming the run in its way.
            EXPECT_EQ(notStarted, second) << report;
            EXPECT_EQ(before, targetSettings(*target));
            const std::string transcript = target->transcript();
            EXPECT_EQ(changingStatements(transcriptBefore), changingStatements(transcript))
                << transcript.substr(transcriptBefore.size());
            EXPECT_NE(std::string::npos, report.find(leftBy)) << report;
            EXPECT_NE(std::string::npos,
                report.find(s.second == Second::SameComputer
                        ? " is still running against the target server "
                        : " which is still running or ended without restoring the target; the "
                          "migration did not start, and nothing was changed."))
                << report;
            if (s.second == Second::SameComputer) {
                EXPECT_EQ(
                    occurrences(transcriptBefore, "C: HELLO"), occurrences(transcript, "C: HELLO"))
                    << "a second run of this computer does not even log in";
            }
            // The first run ends on its own and puts the target back, or
            // its next start does.
            const int third = killed ? run(home, thirdLogs) : first->wait(120000);
            EXPECT_EQ(finished, third)
                << readFile((killed ? thirdLogs : firstLogs).file("report.txt"));
        }
        EXPECT_EQ(original, targetSettings(*target));
        // The kill that waited for the first domain's look-up came after the
        // whole preparation.
        return stalled.rfind("SELECT Name FROM Domain", 0) != 0;
    }

    TempDir files;
    std::unique_ptr<Dovecot> source;
    std::unique_ptr<StandInTarget> target;
    std::string original; // the target's settings before the first run
};

const Scenario scenarios[] = {
    {"killed at statement", First::KilledAtStatement, 0, Second::SameComputer},
    {"killed in the copy", First::KilledInTheCopy, 0, Second::SameComputer},
    {"a leftover preparation without a journal", First::KilledInTheCopy, 0, Second::OtherComputer},
    {"two runs at once from this computer", First::Paused, 0, Second::SameComputer},
    {"two runs at once from two computers", First::Paused, 0, Second::OtherComputer},
};

TEST_F(RunsInProcesses, KilledAtEachOfTheFirstStatementsOfThePreparation)
{
    for (int statement = 1; statement <= 9 && !HasFailure(); ++statement) {
        Scenario s = scenarios[0];
        s.statement = statement;
        ASSERT_TRUE(play(s));
    }
}

TEST_F(RunsInProcesses, KilledAtEachLaterStatementOfThePreparation)
{
    Scenario s = scenarios[0];
    for (s.statement = 10; !HasFailure() && play(s); ++s.statement)
        ASSERT_LT(s.statement, 40) << "the preparation never ended";
    EXPECT_GT(s.statement, 12);
}

TEST_F(RunsInProcesses, KilledInTheCopyLeftOverAndTwoAtOnce)
{
    for (std::size_t i = 1; i < std::size(scenarios) && !HasFailure(); ++i)
        play(scenarios[i]);
}

} // namespace
