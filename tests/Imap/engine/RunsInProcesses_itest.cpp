// Runs of the engine in processes of their own (zorp-engine-run), as a
// wizard is one: killed at every statement of the preparation and of the
// restore and in the middle of the copy, then run again; run twice at once,
// from this computer and from another one (another HOME), also while one
// reads the settings; started against a target that another run left
// prepared, or that an administrator changed since; ended by a signal while
// the administration service answers and while it does not. After each,
// every setting of the target is as it was before the first run (or as the
// administrator set it), a target not put back whole shows a run's mark to
// every computer, and a start that is refused changed nothing. The runs
// bind the IMAP service to a port of their own, so that where its listener
// is shows whether it was put back too, not only its row. And what the
// program tells its terminal of each way a run ends.
#include "MigrationHarness.h"
#include "support/Certificates.h"
#include "support/ChildProcess.h"
#include "support/FakeImapSource.h"
#include "support/PseudoTerminal.h"
#include "support/SocketScript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>

using namespace tavir::test;

namespace {

const std::string runner = std::string(TAVIR_BINARY_DIR) + "/bin/zorp-engine-run";

// The engine program's exit statuses.
constexpr int finished = 0;
constexpr int failures = 1;
constexpr int notStarted = 3;
constexpr int trouble = 4;

// What the program said: its standard output, and its standard error (the
// bytes a terminal got, when it had one); and, when it got a signal, how
// long it took to end after it.
struct Said {
    int status = -1;
    std::string out;
    std::string err;
    long long endedAfterTheSignalMs = -1;
};

// The report's summary as zorp-engine-run printed it on standard output
// (`out`): its lines from "Migration ..." to the one before where the report
// is, the program's name taken off each, each with its line end; empty when
// it printed none.
std::string printedSummary(const std::string& out)
{
    const std::string prefix = "zorp-engine-run: ";
    const std::size_t from = out.find(prefix + "Migration ");
    const std::size_t to = out.find(prefix + "the report: ", from);
    if (from == std::string::npos || to == std::string::npos)
        return {};
    std::string summary;
    for (std::size_t at = from; at < to;) {
        const std::size_t end = out.find('\n', at) + 1;
        summary += out.substr(at + prefix.size(), end - at - prefix.size());
        at = end;
    }
    return summary;
}

enum class First {
    KilledAtStatement, // killed while the statement `statement` names waits for an answer
    KilledInTheCopy, // killed while its 2nd APPEND waits for an answer
    Paused, // its 1st APPEND is answered after ten seconds, then it runs to its end
};
enum class Second {
    SameComputer, // the same HOME: the same journal and lock
    OtherComputer, // a HOME of its own: only the target shows the first run
    // The same HOME, once an administrator has set the security policy and
    // the master password by hand.
    SameComputerAfterHandChanges,
    // The same HOME, first with the journal cut at a line end (refused
    // before the administration service is even logged in to), then whole.
    SameComputerAfterACutJournal,
    // The same HOME, its run held at its own first change (the access list
    // that claims the target, the 2nd the target receives), once it has put
    // back what the first run left: the target is whole then, its IMAP
    // listener included, as a start that ends there leaves it. Then it is
    // killed, and a third start from the same HOME runs to its end.
    SameComputerHeldAtItsClaim,
    // The same HOME, killed while the `secondStatement`-th administration
    // statement after the one the first run was killed at waits for an
    // answer; then a third start from the same HOME runs to its end.
    SameComputerKilledAtStatement,
};

// An administration statement: the `count`-th of those the target received
// that begin with `prefix` (of all of them, when it is empty). How many
// statements a run sends before its restore depends on how its accounts
// fell into batches, so a restore's statement is named by its beginning.
struct Statement {
    std::string prefix;
    unsigned count = 0;
};

struct Scenario {
    const char* name;
    First first;
    Statement statement; // for KilledAtStatement
    Second second;
    unsigned secondStatement = 0; // for SameComputerKilledAtStatement
};

// What counts it in a fault plan, and names it in a row's trace: its
// "statement" and "count".
std::string planned(const Statement& s)
{
    return (s.prefix.empty() ? "" : "\"statement\": \"" + s.prefix + "\", ")
        + "\"count\": " + std::to_string(s.count);
}

// Where the stand-in's transcript shows the statement, counted from `from`;
// npos while it has not come.
std::size_t queryAt(const std::string& transcript, const Statement& s, std::size_t from = 0)
{
    const std::string line = "C: QUERY " + s.prefix;
    std::size_t at = transcript.find(line, from);
    for (unsigned i = 1; i < s.count && at != std::string::npos; ++i)
        at = transcript.find(line, at + 1);
    return at;
}

// The statement as the stand-in logged it; empty while it has not come.
std::string nthQuery(const std::string& transcript, const Statement& s)
{
    std::size_t at = queryAt(transcript, s);
    if (at == std::string::npos)
        return {};
    at += std::strlen("C: QUERY ");
    return transcript.substr(at, transcript.find('\n', at) - at);
}

// Where the transcript shows the statement a scenario's second start is
// held at: its `secondStatement`-th after the first run's.
std::size_t secondStatementAt(const std::string& transcript, const Scenario& s)
{
    const std::size_t first = queryAt(transcript, s.statement);
    return first == std::string::npos ? first
                                      : queryAt(transcript, {"", s.secondStatement}, first + 1);
}

// The statements that change something, of one administration session
// ("A1") or of all.
unsigned changingStatements(const std::string& transcript, const std::string& session = "")
{
    unsigned n = 0;
    for (const char* verb : {"UPDATE", "INSERT", "DELETE", "CALL"})
        n += occurrences(transcript, session + (session.empty() ? "" : " ") + "C: QUERY " + verb);
    return n;
}

// The first message of each round trip of the administration session that a
// start opened after `from` bytes of the transcript (see adminRoundTrips).
std::vector<std::string> roundTripsAfter(const std::string& transcript, std::size_t from)
{
    const std::size_t hello = transcript.find(" C: HELLO ", from);
    if (hello == std::string::npos)
        return {};
    const std::size_t line = transcript.rfind('\n', hello) + 1; // npos + 1: the first line
    return adminRoundTrips(transcript.substr(from), transcript.substr(line, hello - line));
}

// Where the target's IMAP service listens, as a client finds it.
const char* const asBefore = "on the port it had before the first run";

// The target's settings once an administrator has set the security policy
// mode to 5 and the master password to "set-by-hand".
const char* const handChanges[]
    = {"UPDATE Security SET PolicyMode = 5", "UPDATE Cluster SET MasterPassword = 'set-by-hand'"};
std::string withHandChanges(std::string settings)
{
    settings.replace(settings.find(",master-secret,"), 15, ",set-by-hand,");
    settings.replace(settings.find(" | 2 | "), 7, " | 5 | ");
    return settings;
}

class RunsInProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << Dovecot::unavailable();
        setenv("ZORP_ADMIN_PASSWORD", "admin-secret", 1);
        source = std::make_unique<Dovecot>(
            std::map<std::string, std::string>{{"alice", "Pw-alice"}, {"bob", "Pw-bob"},
                {"carol", "Pw-carol"}, {"dave", "Pw-dave"}, {"erin", "Pw-erin"}},
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
        runPort = freeLoopbackPort(target->host());
        ASSERT_EQ(asBefore, imapListener());
    }

    std::string imapListener() const
    {
        const bool before = target->imapGreetsOn(target->port());
        const bool run = target->imapGreetsOn(runPort);
        return before && !run ? asBefore
            : run && !before  ? "on the runs' port"
            : run             ? "on both ports"
                              : "nowhere";
    }

    // SOURCE, TARGET, ACCOUNTS and LOGS of a run of the fixture's servers.
    std::vector<std::string> operands(const TempDir& logs) const
    {
        return {"127.0.0.1:" + std::to_string(source->port()),
            target->host() + ":" + std::to_string(runPort), files.file("accounts.txt"),
            logs.path()};
    }

    // The engine program with `home` as HOME, its options and operands.
    std::unique_ptr<ChildProcess> start(const TempDir& home,
        const std::vector<std::string>& options, const std::vector<std::string>& operands,
        const ChildProcess::Options& output = {})
    {
        std::vector<std::string> argv = {runner, "--home", home.path()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), operands.begin(), operands.end());
        return std::make_unique<ChildProcess>(argv, output);
    }
    // ... with its logs in `logs`.
    std::unique_ptr<ChildProcess> start(
        const TempDir& home, const TempDir& logs, const std::vector<std::string>& options = {})
    {
        return start(home, options, operands(logs));
    }

    // The program run to its end (two minutes at most), with what it said;
    // its standard error on `terminal` when one is given. With `signal`, it
    // gets that signal once its debug log, in LOGS, shows `signalAfter`.
    Said runSaying(const TempDir& home, const std::vector<std::string>& operands,
        PseudoTerminal* terminal = nullptr, int signal = 0,
        const std::string& signalAfter = "Logging in to ")
    {
        TempDir said;
        ChildProcess::Options output;
        output.outputFile = said.file("out");
        output.errorFile = terminal ? terminal->name() : said.file("err");
        Said result;
        const auto engine = start(home, {}, operands, output);
        if (signal != 0) {
            EXPECT_TRUE(waitUntil(
                [&] {
                    const std::string log = operands.back() + "/debug.log";
                    return std::filesystem::exists(log)
                        && readFile(log).find(signalAfter) != std::string::npos;
                },
                60000, 50));
            ::kill(engine->pid(), signal);
        }
        const long long signalled = nowMs();
        result.status = engine->wait(120000);
        if (signal != 0)
            result.endedAfterTheSignalMs = nowMs() - signalled;
        result.out = readFile(said.file("out"));
        result.err = terminal ? terminal->written() : readFile(said.file("err"));
        return result;
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
    // ... until it has logged where `at` finds in its transcript.
    bool transcriptShows(const std::function<std::size_t(const std::string&)>& at)
    {
        return waitUntil([&] { return at(target->transcript()) != std::string::npos; }, 60000, 100);
    }

    // The first run, up to the point the scenario names.
    std::unique_ptr<ChildProcess> firstRunUpTo(
        const Scenario& s, const TempDir& home, const TempDir& logs)
    {
        std::string faults;
        switch (s.first) {
        case First::KilledAtStatement:
            faults
                = R"({"on": "TINYDB QUERY", )" + planned(s.statement) + R"(, "action": "stall"})";
            break;
        case First::KilledInTheCopy:
            faults = R"({"on": "APPEND", "count": 2, "action": "stall"})";
            break;
        case First::Paused:
            faults = R"({"on": "APPEND", "count": 1, "action": "pause", "seconds": 10})";
            break;
        }
        if (s.second == Second::SameComputerHeldAtItsClaim)
            faults += R"(, {"on": "TINYDB QUERY", "statement": "INSERT INTO IpAccessList",
                "count": 2, "action": "stall"})";
        if (s.second == Second::SameComputerKilledAtStatement)
            faults += R"(, {"on": "TINYDB QUERY", "after": {)" + planned(s.statement)
                + R"(}, "count": )" + std::to_string(s.secondStatement) + R"(, "action": "stall"})";
        startTarget("[" + faults + "]");
        auto first = start(home, logs);
        const bool there = s.first == First::KilledAtStatement
            ? transcriptShows([&](const std::string& t) { return queryAt(t, s.statement); })
            : transcriptShows("APPEND", s.first == First::KilledInTheCopy ? 2 : 1);
        EXPECT_TRUE(there) << target->transcript();
        if (s.first != First::Paused) {
            EXPECT_TRUE(first->kill());
        }
        return first;
    }

    // A second start from `home` held where the scenario says and killed
    // there, then a start from `home` again, its report in `logs`: the exit
    // status of the last. Held at its claim, the second has put back what
    // the first run left: the target is as `expected` then, and its IMAP
    // listener as before the first run.
    int killedThenStartedAgain(
        const Scenario& s, const TempDir& home, const std::string& expected, const TempDir& logs)
    {
        const bool atItsClaim = s.second == Second::SameComputerHeldAtItsClaim;
        TempDir killedLogs;
        auto second = start(home, killedLogs);
        const bool there = atItsClaim
            ? waitUntil(
                [&] {
                    return occurrences(target->transcript(), "C: QUERY INSERT INTO IpAccessList")
                        >= 2;
                },
                60000, 100)
            : transcriptShows([&](const std::string& t) { return secondStatementAt(t, s); });
        EXPECT_TRUE(there) << target->transcript();
        if (atItsClaim) {
            EXPECT_EQ(expected, targetSettings(*target));
            EXPECT_EQ(asBefore, imapListener());
        }
        EXPECT_TRUE(second->kill());
        return run(home, logs);
    }

    // A whole run, to find its restore's statements: the last but the
    // status record, the mark (backend settings, then the access list) at
    // their end. Each is named by its beginning and its rank among the
    // statements that begin so: the preparation sends the same ones every
    // run, and the accounts' statements, however they are batched, begin
    // otherwise. A run killed while one waits for its answer was killed
    // after the one before it.
    std::vector<Statement> restoreStatements()
    {
        const char* const restore[] = {"UPDATE MessageStore ", "UPDATE Security ",
            "UPDATE ServicePorts ", "CALL stop_service(", "CALL start_service(", "UPDATE Cluster ",
            "DELETE FROM IpAccessList ", "INSERT INTO MigrationTools "};
        const unsigned steps = std::size(restore);
        startTarget("");
        TempDir home, logs;
        EXPECT_EQ(finished, run(home, logs)) << readFile(logs.file("report.txt"));
        const std::string transcript = target->transcript();
        const unsigned last = clientCommands(transcript, "QUERY");
        if (last <= steps) {
            ADD_FAILURE() << transcript;
            return {};
        }
        std::vector<Statement> statements;
        for (unsigned i = 0; i < steps; ++i) {
            const Statement nth{"", last - steps + 1 + i};
            EXPECT_EQ(0u, nthQuery(transcript, nth).rfind(restore[i], 0))
                << nthQuery(transcript, nth);
            const std::string upToIt
                = transcript.substr(0, transcript.find('\n', queryAt(transcript, nth)));
            statements.push_back(
                {restore[i], occurrences(upToIt, "C: QUERY " + std::string(restore[i]))});
        }
        return statements;
    }

    // The table's row: the first run as it says, then a second one; false
    // when the row was a kill after the last statement of the preparation.
    bool play(const Scenario& s)
    {
        SCOPED_TRACE(s.name
            + (s.first == First::KilledAtStatement ? " " + planned(s.statement) : std::string())
            + (s.secondStatement
                    ? ", then at its statement " + std::to_string(s.secondStatement) + " after it"
                    : std::string()));
        TempDir home, otherHome, firstLogs, secondLogs, thirdLogs;
        const auto first = firstRunUpTo(s, home, firstLogs);
        const std::string leftBy = "by process " + std::to_string(first->pid());
        const bool killed = s.first != First::Paused;
        const std::string stalled = s.first == First::KilledAtStatement
            ? nthQuery(target->transcript(), s.statement)
            : "";
        std::string expected = original; // the settings every row ends with
        if (s.second == Second::SameComputerAfterHandChanges) {
            for (const char* change : handChanges)
                target->change(change);
            expected = withHandChanges(original);
        }
        const std::string before = targetSettings(*target);
        const std::string listenerBefore = imapListener();
        const std::string transcriptBefore = target->transcript();
        if (s.second == Second::SameComputerAfterACutJournal) {
            const std::string journal
                = home.file(".tavir/admin/prepared-" + target->host() + "_44337.journal");
            const std::string whole = readFile(journal);
            writeFile(journal, whole.substr(0, whole.rfind('\n', whole.size() - 2) + 1));
            TempDir refusedLogs;
            EXPECT_EQ(notStarted, run(home, refusedLogs));
            EXPECT_NE(std::string::npos,
                readFile(refusedLogs.file("report.txt")).find(" is not one this program wrote"));
            EXPECT_EQ(transcriptBefore, target->transcript()) << "nothing was sent";
            writeFile(journal, whole);
        }
        // Whatever a run leaves changed carries its mark, the access list,
        // so that any computer can see the target is not whole.
        if (killed && before != expected) {
            EXPECT_NE(std::string::npos, before.find("zorp_")) << before;
        }

        const bool restores = killed && s.second != Second::OtherComputer;
        const bool refused = !restores && !(killed && before == original);
        const bool killedTwice = s.second == Second::SameComputerHeldAtItsClaim
            || s.second == Second::SameComputerKilledAtStatement;
        const int second = killedTwice
            ? killedThenStartedAgain(s, home, expected, secondLogs)
            : run(s.second == Second::OtherComputer ? otherHome : home, secondLogs);
        const std::string report = readFile(secondLogs.file("report.txt"));
        if (killedTwice) {
            EXPECT_EQ(finished, second) << report;
            if (s.second == Second::SameComputerHeldAtItsClaim) {
                // The held run had changed nothing yet.
                EXPECT_NE(std::string::npos,
                    report.find(" ended before it changed the target's settings, or after it had "
                                "put them back; its journal is removed."))
                    << report;
            }
        } else if (!refused) {
            // Whatever the killed run had changed is back first, and named.
            EXPECT_EQ(finished, second) << report;
            if (restores && before != expected) {
                EXPECT_NE(std::string::npos, report.find(leftBy + " on ")) << report;
                EXPECT_NE(std::string::npos,
                    report.find(" ended without restoring the target; its settings were restored:"))
                    << report;
            }
            if (s.second == Second::SameComputerAfterHandChanges) {
                for (const char* kept :
                    {"Kept the security policy mode as changed after that migration: PolicyMode "
                     "5 (2 before that migration).",
                        "Kept the cluster's backend settings as changed after that migration: "
                        "MasterPassword (not shown, nor its value before that migration)."}) {
                    EXPECT_NE(std::string::npos, report.find(kept)) << report;
                }
            }
            if (s.first == First::KilledInTheCopy && s.second == Second::SameComputer) {
                // After the login: the version alone; the comparison's reads
                // (the journal's settings, the list names) in one; the look
                // in one; the restore's three (the settings but the backend
                // ones, those, their list); then this run's own preparation.
                const char* const road[] = {"HELLO ", "LOGIN ", "QUERY SELECT Version ",
                    "QUERY SELECT FolderCache, IndexWriteCache FROM MessageStore",
                    "QUERY SELECT Name, FirstAddress, LastAddress FROM IpAccessList",
                    "QUERY UPDATE MessageStore ", "QUERY UPDATE Cluster ",
                    "QUERY DELETE FROM IpAccessList ", "QUERY SELECT BackendMode, ",
                    "QUERY INSERT INTO IpAccessList ", "QUERY UPDATE Cluster "};
                const std::vector<std::string> trips
                    = roundTripsAfter(target->transcript(), transcriptBefore.size());
                EXPECT_GT(trips.size(), std::size(road)) << target->transcript();
                for (std::size_t i = 0; i < std::size(road) && i < trips.size(); ++i)
                    EXPECT_EQ(0u, trips[i].rfind(road[i], 0)) << i << ": " << trips[i];
            }
        } else {
            // Refused before anything was changed, naming the run in its way.
            EXPECT_EQ(notStarted, second) << report;
            EXPECT_EQ(before, targetSettings(*target));
            EXPECT_EQ(listenerBefore, imapListener());
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
            } else {
                EXPECT_NE(std::string::npos,
                    report.find("If that migration has ended, start a migration against this "
                                "target again on "))
                    << report;
                // Every read up to the look in one round trip, and the three
                // that describe what it found in one more.
                const std::vector<std::string> trips
                    = roundTripsAfter(transcript, transcriptBefore.size());
                const char* const road[] = {"HELLO ", "LOGIN ", "QUERY SELECT Version ",
                    "QUERY SELECT FolderCache, IndexWriteCache FROM MessageStore", "BYE"};
                EXPECT_EQ(std::size(road), trips.size()) << transcript;
                for (std::size_t i = 0; i < std::size(road) && i < trips.size(); ++i)
                    EXPECT_EQ(0u, trips[i].rfind(road[i], 0)) << i << ": " << trips[i];
            }
        }
        if (s.second == Second::OtherComputer || !killed) {
            // The first run ends on its own and puts the target back, or
            // its next start does.
            const int third = killed ? run(home, thirdLogs) : first->wait(120000);
            EXPECT_EQ(finished, third)
                << readFile((killed ? thirdLogs : firstLogs).file("report.txt"));
        }
        EXPECT_EQ(expected, targetSettings(*target));
        EXPECT_EQ(asBefore, imapListener());
        // The kill that waited for the first domain's look-up came after the
        // whole preparation.
        return stalled.rfind("SELECT Name FROM Domain", 0) != 0;
    }

    TempDir files;
    std::unique_ptr<Dovecot> source;
    std::unique_ptr<StandInTarget> target;
    std::string original; // the target's settings before the first run
    int runPort = 0; // where the runs bind the target's IMAP service
};

// The preparation's statements come first, so they are counted among all.
const Scenario scenarios[] = {
    {"killed at", First::KilledAtStatement, {}, Second::SameComputer},
    {"killed in the copy", First::KilledInTheCopy, {}, Second::SameComputer},
    {"a leftover preparation without a journal", First::KilledInTheCopy, {}, Second::OtherComputer},
    {"two runs at once from this computer", First::Paused, {}, Second::SameComputer},
    {"two runs at once from two computers", First::Paused, {}, Second::OtherComputer},
    {"settings changed by hand after a kill", First::KilledInTheCopy, {},
        Second::SameComputerAfterHandChanges},
    {"a journal cut at a line end after a kill", First::KilledInTheCopy, {},
        Second::SameComputerAfterACutJournal},
};

TEST_F(RunsInProcesses, KilledAtEachOfTheFirstStatementsOfThePreparation)
{
    for (unsigned statement = 1; statement <= 9 && !HasFailure(); ++statement) {
        Scenario s = scenarios[0];
        s.statement.count = statement;
        ASSERT_TRUE(play(s));
    }
}

TEST_F(RunsInProcesses, KilledAtEachLaterStatementOfThePreparation)
{
    Scenario s = scenarios[0];
    for (s.statement.count = 10; !HasFailure() && play(s); ++s.statement.count)
        ASSERT_LT(s.statement.count, 40u) << "the preparation never ended";
    EXPECT_GT(s.statement.count, 12u);
}

TEST_F(RunsInProcesses, KilledInTheCopyLeftOverAndTwoAtOnce)
{
    for (std::size_t i = 1; i < std::size(scenarios) && !HasFailure(); ++i)
        play(scenarios[i]);
}

TEST_F(RunsInProcesses, KilledAfterEachStatementOfTheRestoreWhichRemovesTheMarkLast)
{
    // Started again from another computer: refused, the mark still shown.
    const std::vector<Statement> restore = restoreStatements();
    for (std::size_t i = 0; i < restore.size() && !HasFailure(); ++i)
        play({"killed in the restore at", First::KilledAtStatement, restore[i],
            Second::OtherComputer});
}

TEST_F(RunsInProcesses, KilledAfterEachStatementOfTheRestoreThenStartedFromTheSameHome)
{
    // Among them the kill after the binding's row is back and before the
    // service stopped: the listener still on the run's port until the next
    // start restarts it.
    const std::vector<Statement> restore = restoreStatements();
    for (std::size_t i = 0; i < restore.size() && !HasFailure(); ++i)
        play({"killed in the restore at", First::KilledAtStatement, restore[i],
            Second::SameComputerHeldAtItsClaim});
}

TEST_F(RunsInProcesses, AStartAfterACrashKilledAtEachOfItsStatementsToo)
{
    // The first run killed after the binding's row is back and before the
    // service stopped (the listener on the run's port); the next start,
    // which restarts it, puts back the rest and drops the list, killed at
    // each of its statements up to its own road's first, counted from the
    // one the first run was killed at.
    const std::vector<Statement> restore = restoreStatements();
    ASSERT_GT(restore.size(), 3u);
    for (unsigned n = 1; n <= 13 && !HasFailure(); ++n)
        play({"a start after a crash in the restore at", First::KilledAtStatement, restore[3],
            Second::SameComputerKilledAtStatement, n});
}

TEST_F(RunsInProcesses, WhatChangesWhileARunReadsTheSettingsIsNotTakenForTheTargetsOwn)
{
    // The 5th statement, the first run's last read of the settings, is
    // answered three seconds late; meanwhile a run of another computer
    // prepares the target and holds it in its copy, or an administrator
    // sets the security policy mode by hand (after the run read it).
    for (const bool otherRun : {true, false}) {
        SCOPED_TRACE(otherRun ? "another computer prepares" : "a setting changed by hand");
        startTarget(R"([{"on": "TINYDB QUERY", "count": 5, "action": "pause", "seconds": 3},
            {"on": "APPEND", "count": 1, "action": "pause", "seconds": 5}])");
        TempDir home, otherHome, firstLogs, secondLogs;
        auto first = start(home, firstLogs);
        ASSERT_TRUE(transcriptShows("QUERY", 5));
        EXPECT_EQ(0u,
            nthQuery(target->transcript(), {"", 5}).rfind("SELECT Address, Port FROM ServicePorts"))
            << nthQuery(target->transcript(), {"", 5});
        std::unique_ptr<ChildProcess> second;
        std::string expected = original;
        if (otherRun) {
            second = start(otherHome, secondLogs);
            ASSERT_TRUE(transcriptShows("APPEND", 1));
        } else {
            target->change(handChanges[0]);
            expected.replace(expected.find(" | 2 | "), 7, " | 5 | ");
        }
        ASSERT_EQ(0u, occurrences(target->transcript(), "A1 C: QUERY SELECT Name, FirstAddress"))
            << "the first run looked before the target changed";

        EXPECT_EQ(notStarted, first->wait(60000));
        const std::string report = readFile(firstLogs.file("report.txt"));
        const std::vector<std::string> says = otherRun
            ? std::vector<std::string>{"shows the preparation of a migration started on ",
                "by process " + std::to_string(second->pid())}
            : std::vector<std::string>{" changed the security policy mode while this migration "
                                       "read its settings.",
                "this migration changed nothing on the target and did not start."};
        for (const std::string& sentence : says) {
            EXPECT_NE(std::string::npos, report.find(sentence)) << report;
        }
        EXPECT_EQ(0u, changingStatements(target->transcript(), "A1")) << target->transcript();
        if (otherRun) {
            EXPECT_EQ(finished, second->wait(120000)) << readFile(secondLogs.file("report.txt"));
        }
        EXPECT_EQ(expected, targetSettings(*target));
        if (HasFailure())
            return;
    }
}

TEST_F(RunsInProcesses, ASignalEndsTheRunWithinItsBoundWhateverTheAdministrationServiceDoes)
{
    // The bound after the signal for the restore and the status record,
    // short here; 35 s by default.
    constexpr int boundSeconds = 3;
    struct Case {
        int signal;
        bool serviceHangs; // stops answering just before the signal
    } cases[] = {{SIGTERM, true}, {SIGINT, false}, {SIGHUP, false}};
    // A second folder of alice's: the one of the two the stop leaves
    // before its count is read holds messages no count has.
    {
        RawImap imap(source->port());
        ASSERT_TRUE(imap.login("alice", "Pw-alice"));
        ASSERT_TRUE(imap.create("Later"));
        ASSERT_TRUE(imap.append("Later", "Subject: later\r\n\r\nbody\r\n"));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        // In its copy, a message waiting for its answer, when the signal comes.
        startTarget(R"([{"on": "APPEND", "count": 1, "action": "pause", "seconds": 10}])");
        TempDir home, logs, againLogs;
        ChildProcess::Options output;
        output.outputFile = logs.file("said.txt");
        auto engine
            = start(home, {"--end-within", std::to_string(boundSeconds)}, operands(logs), output);
        ASSERT_TRUE(transcriptShows("APPEND", 1));
        target->freezeAdministration(c.serviceHangs);
        const auto signalled = std::chrono::steady_clock::now();
        ::kill(engine->pid(), c.signal);
        const int status = engine->wait(60000);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
        target->freezeAdministration(false);
        EXPECT_EQ(128 + c.signal, status);
        EXPECT_LT(took.count(), boundSeconds + 2.0);
        const std::string report = readFile(logs.file("report.txt"));
        const std::string name = c.signal == SIGTERM ? "SIGTERM"
            : c.signal == SIGINT                     ? "SIGINT"
                                                     : "SIGHUP";
        EXPECT_NE(std::string::npos, report.find("Migration stopped by signal " + name + " on "))
            << report;
        // The terminal hears it too: the account in hand, stopped, counts
        // as failed.
        // Then what could not be put back, when anything could not.
        const std::string said = readFile(logs.file("said.txt"));
        const std::string accounts
            = "zorp-engine-run: account alice@runs.test failed: The migration of "
              "alice@runs.test was stopped before it ended.\n";
        const std::string stopped = "zorp-engine-run: Migration stopped by signal " + name + " on ";
        EXPECT_EQ(0u, said.find(accounts)) << said;
        // What could not be put back comes between them.
        EXPECT_EQ(c.serviceHangs ? std::string::npos : 0u, said.find(accounts + stopped)) << said;
        EXPECT_NE(std::string::npos, said.find("\n" + stopped)) << said;
        // What is left is said as far as it is known: bob not started, and
        // alice's folder not reached, neither of them counted; the
        // terminal's lines are the report's.
        const std::string summary = printedSummary(said);
        for (const char* text :
            {"\nAccounts: 0 finished, 1 failed (1 stopped half-way), 0 login refused, 1 not "
             "started.\n1 account not started: bob@runs.test.\n",
                "\nFolders: 0 copied, 0 failed, 2 not reached.\n",
                "\nThe messages of 1 folder not reached and of 1 account not started were not "
                "counted.\n"}) {
            EXPECT_NE(std::string::npos, summary.find(text)) << text << " missing from\n" << said;
        }
        EXPECT_NE(std::string::npos, report.find("\n" + summary)) << summary << "not in\n"
                                                                  << report;
        if (c.serviceHangs) {
            // Nothing could be put back: the journal keeps it for the next
            // start. The terminal says so in the report's lines, each
            // setting once.
            for (const std::string& line :
                {"Could not put back the folder and index-write caches on " + target->host()
                        + ":44337: the time this program takes to end on SIGTERM ran out; they "
                          "are left for the next start, which puts them back from the journal.",
                    "Could not put back the security policy mode on " + target->host()
                        + ":44337: the time this program takes to end on SIGTERM ran out; it is "
                          "left for the next start, which puts it back from the journal.",
                    std::string("Not everything could be put back on the target server; the "
                                "journal ")}) {
                EXPECT_EQ(1u, occurrences(said, "\nzorp-engine-run: " + line)) << said;
                EXPECT_EQ(1u, occurrences(report, "\n" + line)) << report;
            }
            EXPECT_NE(original, targetSettings(*target));
            EXPECT_EQ(finished, run(home, againLogs)) << readFile(againLogs.file("report.txt"));
        } else {
            EXPECT_EQ(1u, target->query("SELECT Record FROM MigrationTools").size());
        }
        EXPECT_EQ(original, targetSettings(*target));
        if (HasFailure())
            return;
    }
}

// The lines of a start cut short, as the report has them between its
// header and the blank line before its summary.
std::vector<std::string> startLines(const std::string& report)
{
    const std::size_t header = report.find("\nAccounts selected: ");
    if (header == std::string::npos)
        return {};
    const std::size_t from = report.find('\n', header + 1) + 1;
    const std::size_t to = report.find("\n\n", from);
    return linesOf(report.substr(from, to == std::string::npos ? 0 : to - from + 1));
}

// The lines zorp-engine-run printed on its terminal after its name, the
// progress line left out ("\r...\033[K", each drawn over the one before).
std::vector<std::string> terminalLines(const std::string& written)
{
    const std::string program = "zorp-engine-run: ";
    std::vector<std::string> lines;
    for (std::string line : linesOf(written)) {
        const std::size_t drawn = line.rfind("\033[K");
        if (drawn != std::string::npos)
            line.erase(0, drawn + 3);
        if (line.rfind(program, 0) == 0)
            lines.push_back(line.substr(program.size()));
    }
    return lines;
}

// A stop while the target is prepared, the administration service silent at
// its first change (the backend settings, sent with the others). While the
// service still answers a new connection, everything is put back at once: a
// line per setting in the debug log, the report's one sentence. When it
// freezes too, every setting is named once, each with why it was left and
// that the next start puts it back from the journal, which the report
// names; from the stop to the end the progress line says what the program
// waits for, counting down to the end's bound (a short one, and the one as
// shipped, which the exchange's own 30 s fit in). The report, the terminal
// and the debug log say the same lines, the stand-in holds what they say,
// and the next start from the same home puts back what was left.
TEST_F(RunsInProcesses, AStopWhileTheAdministrationIsSilentSaysWhatWasPutBackAndWhatIsLeft)
{
    struct Row {
        const char* name;
        bool frozen; // the whole service stops, once the change is in hand
        int endWithin; // --end-within; 0: left out (35 s)
    } rows[] = {
        {"answering new connections", false, 0},
        {"frozen, a short bound", true, 3},
        {"frozen, the bound as shipped", true, 0},
    };
    // Each setting by its name in the sentences, with its place among the
    // parts of targetSettings: the backend settings, the caches, the
    // policy, the bindings (the access list, the mark, is the fifth).
    const std::pair<const char*, std::size_t> settingsNamed[]
        = {{"the cluster's backend settings", 0}, {"the folder and index-write caches", 1},
            {"the security policy mode", 2}, {"the IMAP service binding", 3}};
    const auto parts = [](const std::string& settings) {
        return linesOf(std::regex_replace(settings, std::regex(" \\| "), "\n"));
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        startTarget(
            R"([{"on": "TINYDB QUERY", "statement": "UPDATE Cluster", "action": "stall"}])");
        TempDir home, logs, againLogs, outputs;
        PseudoTerminal terminal(120);
        ChildProcess::Options output;
        output.outputFile = outputs.file("out");
        output.errorFile = terminal.name();
        std::vector<std::string> options;
        if (row.endWithin != 0)
            options = {"--end-within", std::to_string(row.endWithin)};
        auto engine = start(home, options, operands(logs), output);
        ASSERT_TRUE(waitUntil(
            [&] {
                return target->transcript().find(" C: QUERY UPDATE Cluster ") != std::string::npos;
            },
            60000, 20))
            << target->transcript();
        target->freezeAdministration(row.frozen);
        const long long signalled = nowMs();
        ::kill(engine->pid(), SIGINT);
        const int status = engine->wait(120000);
        const long long took = nowMs() - signalled;
        target->freezeAdministration(false);
        EXPECT_EQ(128 + SIGINT, status);
        const int bound = row.endWithin != 0 ? row.endWithin : 35;
        if (row.frozen) {
            EXPECT_GE(took, bound * 1000 - 100);
            EXPECT_LT(took, (bound + 2) * 1000);
        } else {
            EXPECT_LT(took, 5000);
        }

        const std::string report = readFile(logs.file("report.txt"));
        const std::string debug = readFile(logs.file("debug.log"));
        const std::string written = terminal.written();
        const std::vector<std::string> lines = startLines(report);
        ASSERT_FALSE(lines.empty()) << report;
        // The same lines on the terminal, in the same order, and in the
        // debug log; one sentence each.
        EXPECT_EQ(lines, terminalLines(written)) << written;
        std::size_t at = 0;
        for (const std::string& line : lines) {
            at = debug.find("): " + line + "\n", at);
            EXPECT_NE(std::string::npos, at) << line << " not in\n" << debug;
            EXPECT_FALSE(std::regex_search(line, std::regex("\\. [A-Z]"))) << line;
        }
        EXPECT_NE(std::string::npos,
            readFile(outputs.file("out"))
                .find("zorp-engine-run: Migration stopped by signal SIGINT while the target was "
                      "prepared, on "));

        // What became of each setting, said once, as the stand-in holds it.
        const std::string journal
            = home.file(".tavir/admin/prepared-" + target->host() + "_44337.journal");
        const std::vector<std::string> before = parts(original);
        const std::vector<std::string> now = parts(targetSettings(*target));
        for (const auto& [name, part] : settingsNamed) {
            SCOPED_TRACE(name);
            std::vector<std::string> said;
            for (const std::string& line : lines)
                if (line.find(name) != std::string::npos)
                    said.push_back(line);
            const std::string putBack = std::string("Put back ") + name + " (";
            if (!row.frozen) {
                // At once: the debug log's alone, and what it says holds.
                EXPECT_TRUE(said.empty()) << said.front();
                EXPECT_EQ(1u, occurrences(debug, putBack)) << debug;
                EXPECT_EQ(before.at(part), now.at(part));
                continue;
            }
            ASSERT_EQ(1u, said.size()) << report;
            EXPECT_EQ(0u, said[0].find(std::string("Could not put back ") + name)) << said[0];
            EXPECT_NE(std::string::npos,
                said[0].find(part == 0 || part == 1
                        ? "; they are left for the next start, which puts them back from the "
                          "journal."
                        : "; it is left for the next start, which puts it back from the journal."))
                << said[0];
            // The user's stop is not the restore's failure.
            for (const char* stop : {"stop request", "stopped while connecting"})
                EXPECT_EQ(std::string::npos, said[0].find(stop)) << said[0];
            if (part != 0) {
                EXPECT_NE(std::string::npos,
                    said[0].find(row.endWithin != 0
                            ? ":44337: the time this program takes to end on SIGINT ran out; "
                            : ": connecting again failed: no answer within 30 s, and on a second "
                              "attempt: the time this program takes to end on SIGINT ran out; "))
                    << said[0];
            }
        }
        if (!row.frozen) {
            EXPECT_EQ(lines.back(),
                "What was changed on the target server was put back; the migration did not "
                "start.");
            EXPECT_EQ(original, targetSettings(*target));
            EXPECT_EQ(asBefore, imapListener());
            EXPECT_FALSE(std::filesystem::exists(journal));
            if (HasFailure())
                return;
            continue;
        }
        // The mark stays on the target, and the journal where the report
        // says it is.
        EXPECT_NE(std::string::npos, now.at(4).find("zorp_")) << now.at(4);
        EXPECT_TRUE(std::filesystem::exists(journal));
        EXPECT_NE(lines.end(),
            std::find(lines.begin(), lines.end(),
                "Not everything could be put back on the target server; the journal " + journal
                    + " keeps what it had, and the next migration started from this computer "
                      "against it puts it back first."))
            << report;
        // From the stop on, what the program waits for, counting down to
        // the end's bound, and never the logins' test again.
        const std::string waiting
            = "\rputting the target back: waiting for the administration service, at most ";
        const std::size_t first = written.find(waiting + std::to_string(bound) + " s more\033[K");
        EXPECT_NE(std::string::npos, first) << written;
        EXPECT_NE(std::string::npos, written.find(waiting + "1 s more\033[K", first)) << written;
        EXPECT_EQ(std::string::npos, written.find("testing the accounts' logins", first))
            << written;

        // The next start puts back what was left, as the report said.
        EXPECT_EQ(finished, run(home, againLogs)) << readFile(againLogs.file("report.txt"));
        EXPECT_NE(std::string::npos,
            readFile(againLogs.file("report.txt"))
                .find(" ended without restoring the target; its settings were restored:\n"))
            << readFile(againLogs.file("report.txt"));
        EXPECT_EQ(original, targetSettings(*target));
        EXPECT_EQ(asBefore, imapListener());
        if (HasFailure())
            return;
    }
}

TEST_F(RunsInProcesses, TellsItsTerminalHowEachRunEnded)
{
    // The first APPEND of the first run and those of the two narrow and
    // wide terminal's runs are answered two seconds late: time for the
    // progress line.
    startTarget(R"([{"on": "APPEND", "count": 1, "action": "pause", "seconds": 2},
        {"on": "APPEND", "count": 7, "action": "pause", "seconds": 2},
        {"on": "APPEND", "count": 8, "action": "pause", "seconds": 2}])");
    for (const char* user : {"carol", "dave"}) {
        RawImap imap(source->port());
        ASSERT_TRUE(imap.login(user, std::string("Pw-") + user));
        ASSERT_TRUE(imap.append("INBOX", "Subject: " + std::string(user) + "\r\n\r\nbody\r\n"));
    }
    tavir::test::LoopbackServer echoing(echoingLoginRefusals());
    // Four sessions at once, as Courier's own default (MAXPERIP=4): a fifth
    // is closed before its greeting.
    tavir::test::FakeImapSource courier;
    for (int i = 1; i <= 8; ++i)
        courier.inbox().bodies.push_back(
            "Subject: " + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i) + "\r\n");
    courier.connectionsAtMost = 4;
    tavir::test::LoopbackServer capped(courier.session());
    // A source that can't take fay's login now, and says so.
    tavir::test::FakeImapSource busy;
    busy.inbox().bodies.push_back("Subject: one\r\n\r\nbody\r\n");
    busy.loginAnswers = {{"fay@busy.test", "NO [UNAVAILABLE] Temporary authentication failure"}};
    tavir::test::LoopbackServer notNow(busy.session());
    std::string twenty;
    for (int i = 1; i <= 20; ++i)
        twenty += "user" + std::to_string(i) + "@capped.test;Pw-user\n";
    // Listening, never accepting: a login there waits for its greeting.
    tavir::test::SocketScript silent(std::vector<std::vector<tavir::test::Step>>{});
    const std::map<std::string, std::string> accountsFiles = {
        {"wrong", "alice@runs.test;Wrong-pw-alice\nbob@runs.test;Wrong-pw-bob\n"},
        {"carol", "carol@runs.test;Pw-carol\n"},
        {"dave", "dave@runs.test;Pw-dave\n"},
        // erin's password mistyped: her login is refused, carol's accepted.
        {"typo", "erin@runs.test;Pw-ern\ncarol@runs.test;Pw-carol\n"},
        {"three bad lines",
            "alice@runs.test;Pw-alice\nno separator here\nbob@runs.test;Pw-bob\n"
            "@runs.test;Pw-nobody\nalice@runs.test;Pw-alice\n"},
        {"one bad line", "alice@runs.test;Pw-alice\nno separator here\n"},
        {"twenty", twenty},
        {"busy", "ann@busy.test;Pw-ann\nfay@busy.test;Pw-fay\n"},
        {"busy fay", "fay@busy.test;Pw-fay\n"},
    };
    for (const auto& [name, text] : accountsFiles)
        writeFile(files.file(name + ".txt"), text);
    // The source over TLS: the fixture's Dovecot, its certificate its own
    // (self-signed), its fingerprints as openssl finds them; and a Dovecot
    // whose certificate an authority of the tests' own issued for
    // "localhost", as a hosting provider's would be.
    TempDir certificates;
    const TestAuthority authority(certificates, "runs");
    const IssuedCertificate issued = authority.issue("localhost");
    Dovecot::Options vouchedOptions = sourceOptions();
    vouchedOptions.certificateFile = issued.certificateFile;
    vouchedOptions.keyFile = issued.keyFile;
    Dovecot vouched({{"frank", "Pw-frank"}}, vouchedOptions);
    writeFile(files.file("frank.txt"), "frank@runs.test;Pw-frank\n");
    const std::string tls = "127.0.0.1:" + std::to_string(source->tlsPort());
    const std::string sha256 = sha256Fingerprint(source->certificateFile());
    const std::string sha1 = sha1Fingerprint(source->certificateFile());
    const std::string otherPin = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33";
    TempDir home;
    const std::string knownHosts = home.file(".tavir/admin/known_hosts.cfg");
    // The summary's line of the accounts, as the terminal shows it.
    const auto accountsSaid = [](int done, int failed, int refused, int waiting) {
        return "\nzorp-engine-run: Accounts: " + std::to_string(done) + " finished, "
            + std::to_string(failed) + " failed, " + std::to_string(refused) + " login refused, "
            + std::to_string(waiting) + " not started.\n";
    };
    const std::string untouched = "\nzorp-engine-run: The target server was not changed; the "
                                  "migration did not start.\n";
    // A start that did not go ahead once its tests had begun: the
    // report's summary, on standard output.
    const std::vector<std::string> neverStarted = {"zorp-engine-run: Migration ended on ",
        " without starting.\nzorp-engine-run: Accounts: 0 finished, 0 failed, 0 login refused, 2 "
        "not started.\nzorp-engine-run: 2 accounts not started: alice@runs.test, bob@runs.test.\n",
        "\nzorp-engine-run: the report: "};
    const std::string everyLoginRefused
        = "zorp-engine-run: The source server refused the login of every account to migrate; the "
          "target server was not changed, and the migration did not start.\n";
    const std::string usage = "\nusage: zorp-engine-run [--home DIR] [--admin USER] ";
    enum class Change {
        Nothing,
        AdminPassword,
        NoAdminPassword,
        EmptyAdminPassword,
        NoTarget,
        EchoingSource,
        CappedSource,
        NotNowSource,
        SilentSource,
        SilentAdministration,
        ClosedSource,
        ReportIsAFolder,
        Help,
        HelpWithAValue,
        UnknownOption,
        BadEndWithin,
        NoLogsOperand,
        AdminWithoutValue,
        NoLogsFolder,
        NoAccountsFile,
        // The source over TLS, its certificate self-signed: without a pin,
        // with its fingerprint accepted, pinned, and pinned as another one
        // (accepted all the same); then a source whose certificate a trusted
        // authority issued for its name.
        UnknownCertificate,
        AcceptedCertificate,
        PinnedCertificate,
        AnotherPin,
        VouchedCertificate,
    };
    struct Row {
        const char* name;
        Change change;
        int status;
        std::vector<std::string> out; // each in standard output
        std::vector<std::string> err; // each in standard error
        const char* accounts = ""; // the accounts file, when not the fixture's
        unsigned short columns = 0; // the terminal standard error is on, when not 0
        // An account of the accounts file that the target must not hold.
        const char* notOnTheTarget = "";
        int signal = 0; // sent once the debug log shows `signalAfter`
        std::vector<std::string> report = {}; // each in the report
        std::vector<std::string> notSaid = {}; // in neither output
        const char* signalAfter = "Logging in to "; // a login tested
        std::vector<std::string> inKnownHosts = {}; // each in the known-hosts file after it
        std::string notInKnownHosts = ""; // when not empty: not in that file
        // No login reached the source (Dovecot's log) and no session the
        // target's administration service.
        bool nothingSent = false;
    } rows[] = {
        {"the first run, on a terminal 80 columns wide", Change::Nothing, finished,
            {"zorp-engine-run: Migration ended on ",
                "\nzorp-engine-run: Accounts: 2 finished, 0 failed, 0 login refused, 0 not "
                "started.\nzorp-engine-run: Folders: ",
                " copied, 0 failed, 0 not reached.\nzorp-engine-run: Messages: 6 copied, 0 "
                "failed, 0 not reached, 0 on the target already, 0 removed from the source.\n"
                "zorp-engine-run: the report: "},
            // Every count and the run's time before the account in hand,
            // in words short enough to leave it room.
            {"testing the accounts' logins on the source: 0 of 2 tested, 0 refused\033[K",
                "s: 0/2 accounts, 0 failed; 0 copied, 0 there, 0 failed; ", "\r\033[K"},
            "", 80, "", 0,
            // The target's certificate pinned: a sentence of its own.
            {"\nFirst connection to ", ":44337: its certificate fingerprint ",
                "/.tavir/admin/known_hosts.cfg.\n"},
            {"accounts, 0 failed; 0 copied, 0 failed"}},
        {"a second run", Change::Nothing, finished,
            {"\nzorp-engine-run: Messages: 0 copied, 0 failed, 0 not reached, 6 on the target "
             "already, 0 removed from the source.\nzorp-engine-run: the report: "},
            {}},
        {"on a terminal 40 columns wide: the counts alone", Change::Nothing, finished,
            {accountsSaid(1, 0, 0, 0)},
            // The test's line keeps its counts too.
            {"\r0/1 done, 0 failed; 0 copied, 0 failed\033[K",
                "\rlogins 0/1 tested, 0 refused\033[K"},
            "carol", 40},
        {"on a terminal 200 columns wide: every count and the account in hand", Change::Nothing,
            finished, {accountsSaid(1, 0, 0, 0)},
            {" s: accounts 0 of 1 done, 0 failed; messages 0 copied, 0 on the target already, 0 "
             "failed; dave: INBOX 0 of 1\033[K"},
            "dave", 200},
        {"a wrong administrator password", Change::AdminPassword, notStarted, neverStarted,
            {"zorp-engine-run: Could not log in to the administration service on ",
                ":44337: the server refused the login of admin.", untouched}},
        {"no target at the address", Change::NoTarget, notStarted, neverStarted,
            {"zorp-engine-run: Could not connect to the administration service on "
             "127.0.0.1:44337: connection refused.\n",
                untouched}},
        {"every account refused by the source: nothing is made on the target", Change::Nothing,
            failures,
            {"zorp-engine-run: account alice@runs.test login refused: The source server 127.0.0.1:",
                " refused the login of alice@runs.test (as alice@runs.test: ",
                "zorp-engine-run: account bob@runs.test login refused: The source server ",
                "zorp-engine-run: Migration ended on ",
                " without starting.\nzorp-engine-run: Accounts: 0 finished, 0 failed, 2 login "
                "refused, 0 not started.\n"},
            {everyLoginRefused}, "wrong"},
        {"a mistyped password: only the accepted account is made", Change::Nothing, failures,
            {"zorp-engine-run: account erin@runs.test login refused: The source server ",
                " refused the login of erin@runs.test (as erin@runs.test: ",
                accountsSaid(1, 0, 1, 0)},
            {}, "typo", 0, "erin"},
        {"a source that takes four connections at once: every account, said once",
            Change::CappedSource, finished,
            {"zorp-engine-run: The source server accepted at most 4 connections at once; the "
             "migration went on with 4.\nzorp-engine-run: Migration ended on ",
                accountsSaid(20, 0, 0, 0),
                "\nzorp-engine-run: Messages: 160 copied, 0 failed, 0 not reached, 0 on the "
                "target already, 0 removed from the source.\n"},
            {}, "twenty", 0, "", 0,
            {"\nThe source server accepted at most 4 connections at once; the migration went on "
             "with 4.\nMigration ended on "},
            {"closed the connection", "Fatal Error"}},
        {"a source that could not log one account in now: that account failed, not refused",
            Change::NotNowSource, failures,
            {"zorp-engine-run: account fay@busy.test failed: The source server 127.0.0.1:",
                " could not log fay@busy.test in now: NO [UNAVAILABLE] Temporary authentication "
                "failure.\n",
                accountsSaid(1, 1, 0, 0)},
            {}, "busy", 0, "fay", 0, {}, {"login refused:"}},
        {"a source that could log no account in now: nothing is made on the target",
            Change::NotNowSource, failures,
            {"zorp-engine-run: account fay@busy.test failed: The source server 127.0.0.1:",
                " could not log fay@busy.test in now: NO [UNAVAILABLE] Temporary authentication "
                "failure.\n",
                accountsSaid(0, 1, 0, 0)},
            {"zorp-engine-run: The source server could not log in any account to migrate now; the "
             "target server was not changed, and the migration did not start.\n"},
            "busy fay", 0, "fay", 0, {}, {"login refused:"}},
        {"a source that quotes the password back", Change::EchoingSource, failures,
            {"You sent: ", " \"***\"", accountsSaid(0, 0, 2, 0)}, {everyLoginRefused}},
        {"Ctrl-C while a login is tested", Change::SilentSource, 128 + SIGINT,
            {"zorp-engine-run: Migration stopped by signal SIGINT while the logins were tested, "
             "on ",
                ", before it started.\nzorp-engine-run: Accounts: 0 finished, 0 failed, 0 login "
                "refused, 2 not started.\nzorp-engine-run: 2 accounts not started: "
                "alice@runs.test, bob@runs.test.\n"},
            {"zorp-engine-run: The target server was not changed; the migration did not start.\n"},
            "", 0, "", SIGINT,
            {"The target server was not changed; the migration did not start.\n\nMigration "
             "stopped by signal SIGINT while the logins were tested, on ",
                ", before it started.\nAccounts: 0 finished, 0 failed, 0 login refused, 2 not "
                "started.\n"}},
        // The administration service takes the connection and says nothing.
        {"Ctrl-C while the target is prepared", Change::SilentAdministration, 128 + SIGINT,
            {"zorp-engine-run: Migration stopped by signal SIGINT while the target was prepared, "
             "on ",
                ", before it started.\nzorp-engine-run: Accounts: 0 finished, 0 failed, 0 login "
                "refused, 2 not started.\n"},
            // The stop ended the login: said once, as the stop, not as a
            // failure of the login.
            {"zorp-engine-run: The target server was not changed; the migration did not "
             "start.\n"},
            "", 0, "", SIGINT,
            {"The target server was not changed; the migration did not start.\n\nMigration "
             "stopped by signal SIGINT while the target was prepared, on ",
                ", before it started.\nAccounts: 0 finished, 0 failed, 0 login refused, 2 not "
                "started.\n"},
            {"Could not connect to the administration service", "stopped while connecting"},
            "Preparing the target server "},
        {"nothing listening on the source's port: said once, not as a refused login",
            Change::ClosedSource, notStarted, neverStarted,
            {"zorp-engine-run: Could not connect to the source server 127.0.0.1:", untouched}, "",
            0, "", 0, {"\nAccounts: 0 finished, 0 failed, 0 login refused, 2 not started.\n"},
            {"refused the login", "login refused:"}},
        {"a report.txt that can't be opened", Change::ReportIsAFolder, trouble, {},
            {"zorp-engine-run: the report ", "/report.txt can't be opened: Is a directory.\n"}},
        {"three lines of the accounts file skipped", Change::Nothing, finished,
            {accountsSaid(2, 0, 0, 0),
                "\nzorp-engine-run: 3 lines of the accounts file were skipped; the report says "
                "why.\n"},
            {}, "three bad lines"},
        {"one line of the accounts file skipped", Change::Nothing, finished,
            {"\nzorp-engine-run: 1 line of the accounts file was skipped; the report says why.\n"},
            {}, "one bad line"},
        {"no ZORP_ADMIN_PASSWORD", Change::NoAdminPassword, trouble, {},
            {"zorp-engine-run: ZORP_ADMIN_PASSWORD is not set; it holds the administrator's "
             "password"}},
        {"an empty ZORP_ADMIN_PASSWORD", Change::EmptyAdminPassword, trouble, {},
            {"zorp-engine-run: ZORP_ADMIN_PASSWORD is empty; it holds the administrator's "
             "password"}},
        {"--help", Change::Help, finished,
            {"usage: zorp-engine-run [--home DIR] [--admin USER] ", "  --help, -h   this text\n"},
            {}},
        {"--help with a value", Change::HelpWithAValue, trouble, {},
            {"zorp-engine-run: --help takes no value." + usage}},
        {"an option there is not", Change::UnknownOption, trouble, {},
            {"zorp-engine-run: there is no option --hme." + usage}},
        {"--end-within not a number of seconds", Change::BadEndWithin, trouble, {},
            {"zorp-engine-run: --end-within takes whole seconds from 0 to 3600, not \"soon\"."
                + usage}},
        {"LOGS left out", Change::NoLogsOperand, trouble, {},
            {"zorp-engine-run: LOGS is missing: SOURCE, TARGET, ACCOUNTS and LOGS are needed, in "
             "this order."
                + usage}},
        {"--admin without its value", Change::AdminWithoutValue, trouble, {},
            {"zorp-engine-run: --admin needs a value after it." + usage}},
        {"no logs folder", Change::NoLogsFolder, trouble, {},
            {"zorp-engine-run: the logs folder ",
                "/not-made does not exist; make it first "
                "(mkdir -p "}},
        {"no accounts file", Change::NoAccountsFile, trouble, {},
            {"zorp-engine-run: The accounts file ",
                "/absent.txt can't be read: ", "\nzorp-engine-run: the report: "}},
        // As OpenSSH does when it can't establish a host's authenticity: the
        // host, the fingerprint, how to trust it; and no password sent.
        {"a source over TLS whose certificate none vouches for nor pins: its fingerprint and how "
         "to trust it, before any login",
            Change::UnknownCertificate, notStarted, neverStarted,
            {"zorp-engine-run: Could not connect with TLS to the source server " + tls
                    + ": the authenticity of " + tls
                    + " can't be established: no authority this system trusts vouches for its "
                      "certificate (",
                "), and no certificate is pinned for " + tls + " in " + knownHosts
                    + "; its certificate's fingerprint is " + sha256 + ".\n",
                "\nzorp-engine-run: The target server was not changed; the migration did not "
                "start.\nzorp-engine-run: if "
                    + sha256
                    + " is the fingerprint of the source server's certificate, run again with "
                      "--trust-source-certificate "
                    + sha256 + " to pin it.\n"},
            "", 0, "", 0,
            {"; its certificate's fingerprint is " + sha256 + ".\n",
                "\nAccounts: 0 finished, 0 failed, 0 login refused, 2 not started.\n"},
            {}, "Logging in to ", {}, tls + ": ", true},
        {"its fingerprint accepted: pinned, and the run goes on", Change::AcceptedCertificate,
            finished, {accountsSaid(2, 0, 0, 0)}, {}, "", 0, "", 0,
            {"; it is the certificate accepted, " + sha256 + ", and its fingerprint " + sha1
                + " was pinned now in " + knownHosts
                + ", and another certificate will be "
                  "refused.\n"},
            {}, "Logging in to ", {tls + ": " + sha1 + "\n"}},
        {"pinned: the run goes on", Change::PinnedCertificate, finished, {accountsSaid(2, 0, 0, 0)},
            {}, "", 0, "", 0,
            {"; it matches the fingerprint " + sha1 + " pinned for it in " + knownHosts}},
        {"pinned as another certificate, this one accepted: refused as changed", Change::AnotherPin,
            notStarted, neverStarted,
            {"zorp-engine-run: Could not connect with TLS to the source server " + tls
                    + ": no authority this system trusts vouches for its certificate (",
                "); the certificate of " + tls + " has the fingerprint " + sha1 + ", but "
                    + knownHosts + " holds " + otherPin
                    + " for it; the connection was refused (if the server's certificate was "
                      "changed on purpose, remove its line from that file).\nzorp-engine-run: "
                      "The target server was not changed; the migration did not "
                      "start.\n"},
            "", 0, "", 0, {}, {"--trust-source-certificate"}, "Logging in to ",
            {tls + ": " + otherPin + "\n"}, tls + ": " + sha1, true},
        {"issued for its name by an authority the system trusts: no pin needed",
            Change::VouchedCertificate, finished, {accountsSaid(1, 0, 0, 0)}, {}, "frank", 0, "", 0,
            {"The certificate of localhost:" + std::to_string(vouched.tlsPort())
                + " is issued for localhost by an authority this system trusts; "},
            {}, "Logging in to ", {"authority@localhost:" + std::to_string(vouched.tlsPort())},
            "\nlocalhost:"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir logs;
        std::vector<std::string> operands = this->operands(logs);
        std::unique_ptr<PseudoTerminal> terminal;
        if (row.columns != 0)
            terminal = std::make_unique<PseudoTerminal>(row.columns);
        std::unique_ptr<ScopedEnv> password;
        std::unique_ptr<ScopedTrustStore> store;
        if (*row.accounts)
            operands[2] = files.file(row.accounts + std::string(".txt"));
        switch (row.change) {
        case Change::Nothing:
            break;
        case Change::AdminPassword:
            password = std::make_unique<ScopedEnv>("ZORP_ADMIN_PASSWORD", "Not-the-secret");
            break;
        case Change::NoAdminPassword:
            unsetenv("ZORP_ADMIN_PASSWORD");
            break;
        case Change::EmptyAdminPassword:
            password = std::make_unique<ScopedEnv>("ZORP_ADMIN_PASSWORD", "");
            break;
        case Change::NoTarget:
            operands[1] = "127.0.0.1:" + std::to_string(freeLoopbackPort());
            break;
        case Change::EchoingSource:
            operands[0] = "127.0.0.1:" + std::to_string(echoing.port());
            break;
        case Change::CappedSource:
            operands[0] = "127.0.0.1:" + std::to_string(capped.port());
            break;
        case Change::NotNowSource:
            operands[0] = "127.0.0.1:" + std::to_string(notNow.port());
            break;
        case Change::SilentSource:
            operands[0] = "127.0.0.1:" + std::to_string(silent.port());
            break;
        case Change::SilentAdministration:
            target->freezeAdministration(true);
            break;
        case Change::ClosedSource:
            operands[0] = "127.0.0.1:" + std::to_string(freeLoopbackPort());
            break;
        case Change::ReportIsAFolder:
            std::filesystem::create_directory(logs.file("report.txt"));
            break;
        case Change::Help:
            operands = {"--help"};
            break;
        case Change::HelpWithAValue:
            operands = {"--help=x"};
            break;
        case Change::UnknownOption:
            operands.insert(operands.begin(), "--hme");
            break;
        case Change::BadEndWithin:
            operands.insert(operands.begin(), {"--end-within", "soon"});
            break;
        case Change::NoLogsOperand:
            operands.pop_back();
            break;
        case Change::AdminWithoutValue:
            operands.push_back("--admin");
            break;
        case Change::NoLogsFolder:
            operands[3] = logs.file("not-made");
            break;
        case Change::NoAccountsFile:
            operands[2] = files.file("absent.txt");
            break;
        case Change::AnotherPin: {
            std::string pins = readFile(knownHosts);
            pins.replace(
                pins.find(tls + ": " + sha1), tls.size() + 2 + sha1.size(), tls + ": " + otherPin);
            writeFile(knownHosts, pins);
        }
            [[fallthrough]];
        case Change::AcceptedCertificate:
            operands.insert(operands.begin(), {"--trust-source-certificate", sha256});
            [[fallthrough]];
        case Change::UnknownCertificate:
        case Change::PinnedCertificate:
            operands[operands.size() - 4] = "imaps://" + tls;
            break;
        case Change::VouchedCertificate:
            operands[0] = "imaps://localhost:" + std::to_string(vouched.tlsPort());
            store = std::make_unique<ScopedTrustStore>(authority.certificateFile());
            break;
        }
        const std::size_t sourceLogBefore = source->log().size();
        const unsigned sessionsBefore = occurrences(target->transcript(), "C: HELLO");
        const Said said = runSaying(home, operands, terminal.get(), row.signal, row.signalAfter);
        setenv("ZORP_ADMIN_PASSWORD", "admin-secret", 1);
        target->freezeAdministration(false);
        EXPECT_EQ(row.status, said.status) << said.out << said.err;
        // A signal is acted on at once, whatever the servers do: the
        // administration service's 30 s do not hold it up.
        if (row.signal != 0) {
            EXPECT_LT(said.endedAfterTheSignalMs, 5000);
        }
        for (const std::string& text : row.out) {
            EXPECT_NE(std::string::npos, said.out.find(text)) << text << " missing from\n"
                                                              << said.out;
        }
        for (const std::string& text : row.err) {
            EXPECT_NE(std::string::npos, said.err.find(text)) << text << " missing from\n"
                                                              << said.err;
        }
        EXPECT_EQ(row.err.empty(), said.err.empty()) << said.err;
        EXPECT_EQ(row.out.empty(), said.out.empty()) << said.out;
        // Its own sentence, not the engine's bare word before it.
        EXPECT_EQ(std::string::npos, said.err.find("Error initializing logger!")) << said.err;
        // A progress line only on a terminal, never wider than it, and gone
        // before the summary.
        if (terminal) {
            EXPECT_EQ(said.err.size() - 4, said.err.rfind("\r\033[K")) << said.err;
            for (std::size_t at = 0; (at = said.err.find('\r', at)) != std::string::npos;) {
                const std::size_t end = said.err.find("\033[K", ++at);
                EXPECT_LT(end - at, row.columns) << said.err.substr(at, end - at);
            }
        } else {
            EXPECT_EQ(std::string::npos, said.err.find_first_of("\r\033")) << said.err;
        }
        EXPECT_EQ(std::string::npos, said.out.find_first_of("\r\033")) << said.out;
        for (const char* secret :
            {"admin-secret", "Not-the-secret", "Pw-alice", "Pw-bob", "Wrong-pw-", "Pw-ern"}) {
            EXPECT_EQ(std::string::npos, (said.out + said.err).find(secret))
                << said.out << said.err;
        }
        for (const std::string& text : row.notSaid) {
            EXPECT_EQ(std::string::npos, (said.out + said.err).find(text)) << text << " said in\n"
                                                                           << said.out << said.err;
        }
        const std::string reportFile = logs.file("report.txt");
        const std::string report
            = std::filesystem::is_regular_file(reportFile) ? readFile(reportFile) : std::string();
        for (const std::string& text : row.report) {
            EXPECT_NE(std::string::npos, report.find(text)) << text << " missing from\n" << report;
        }
        // One blank line sets off each block, and no test adds one of its
        // own when it says nothing.
        EXPECT_EQ(std::string::npos, report.find("\n\n\n")) << report;
        // A run's part of the report opens with its header, whatever came
        // before the run (a run that did not go ahead was only asked for),
        // and ends with its summary, which the terminal printed line for
        // line: how and when the run ended, the accounts, folders and
        // messages in their counts, the accounts not started and made ahead,
        // whose messages were not counted.
        const std::string summary = printedSummary(said.out);
        EXPECT_EQ(report.find("\nMigration ") != std::string::npos, !summary.empty()) << said.out;
        if (!summary.empty()) {
            EXPECT_EQ(report.size() - summary.size() - 1, report.rfind("\n" + summary))
                << summary << " not at the end of\n"
                << report;
        }
        const bool ran = !summary.empty()
            && summary.find(" without starting.\n") == std::string::npos
            && summary.find(", before it started.\n") == std::string::npos;
        if (report.find("Tavir Zorp ") != std::string::npos) {
            EXPECT_EQ(0u,
                report.find(std::string("\xEF\xBB\xBFTavir Zorp 1.0.0: migration ")
                    + (ran ? "started on " : "asked for on ")))
                << report;
        }
        // A lock file stays only beside a journal: a target that never
        // answered, or was put back whole, leaves none.
        const std::filesystem::path admin = home.file(".tavir/admin");
        if (std::filesystem::is_directory(admin)) {
            for (const auto& entry : std::filesystem::directory_iterator(admin)) {
                std::filesystem::path journal = entry.path();
                if (journal.extension() != ".lock")
                    continue;
                journal.replace_extension(".journal");
                EXPECT_TRUE(std::filesystem::exists(journal)) << entry.path() << " left";
            }
        }
        // A run that migrates nothing does not even log in to the target.
        if (row.nothingSent
            || (said.out + said.err)
                    .find("the target server was not changed, and the migration did not start")
                != std::string::npos) {
            EXPECT_EQ(sessionsBefore, occurrences(target->transcript(), "C: HELLO"));
        }
        // Every message of the capped source's accounts once on the target.
        if (row.change == Change::CappedSource) {
            for (int i = 1; i <= 20; ++i) {
                const MailFolders onTarget
                    = readStandInAccount(*target, "user" + std::to_string(i) + "@capped.test");
                ASSERT_EQ(1u, onTarget.count("INBOX")) << i;
                const std::vector<MailMessage>& inbox = onTarget.at("INBOX").messages;
                ASSERT_EQ(courier.inbox().bodies.size(), inbox.size()) << i;
                for (std::size_t m = 0; m < inbox.size(); ++m)
                    EXPECT_EQ(courier.inbox().bodies[m], inbox[m].data) << i;
            }
        }
        for (const std::string& line : row.inKnownHosts) {
            EXPECT_NE(std::string::npos, readFile(knownHosts).find(line))
                << line << " missing from\n"
                << readFile(knownHosts);
        }
        if (!row.notInKnownHosts.empty()) {
            EXPECT_EQ(std::string::npos, readFile(knownHosts).find(row.notInKnownHosts))
                << readFile(knownHosts);
        }
        if (row.nothingSent) {
            // Dovecot's own words on a connection that ended without one:
            // "(no auth attempts in 0 secs)"; a login would be "Login: " or
            // "(auth failed, 1 attempts in 2 secs)".
            std::string log;
            EXPECT_TRUE(waitUntil(
                [&] {
                    log = source->log().substr(sourceLogBefore);
                    return log.find("no auth attempts") != std::string::npos;
                },
                5000, 50))
                << log;
            EXPECT_EQ(occurrences(log, "no auth attempts"), occurrences(log, "attempts in")) << log;
            EXPECT_EQ(std::string::npos, log.find("Login: ")) << log;
        }
        if (*row.notOnTheTarget) {
            EXPECT_EQ("0",
                target->queryOne("SELECT COUNT(*) FROM User WHERE Name = '"
                    + std::string(row.notOnTheTarget) + "'"));
        }
        if (HasFailure())
            return;
    }
    EXPECT_EQ(original, targetSettings(*target));
}

} // namespace
