// A fault at every step of a small migration, in the manner of mbsync's own
// tests: the source's connection cut at each of its commands in turn, then
// the target's (APPENDs in flight among them); a stop requested at each
// command, and while the target is prepared by an administration service
// that has fallen silent; each statement of the target's administration
// refused in turn; each APPEND refused in turn. After every run: no message lost without
// being counted, none twice, none altered, none on the target uncounted
// unless the report names it (an answer lost with its connection), the
// target's settings as they were, stopped() once, and the run ended in
// bounded time. After a cut or a stop, one more run leaves exactly the
// source's messages.
#include "MigrationHarness.h"
#include "support/FakeImapSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

using namespace tavir::migration;
using namespace tavir::test;

namespace {

struct SourceUser {
    std::string name;
    std::vector<std::pair<std::string, std::string>> messages; // folder, body
};

const std::vector<SourceUser> users = {
    {"alice",
        {{"INBOX", "Subject: a1\r\n\r\none\r\n"}, {"INBOX", "Subject: a2\r\n\r\ntwo\r\n"},
            {"Sub", "Subject: a3\r\n\r\nthree\r\n"}}},
    {"bob", {{"INBOX", "Subject: b1\r\n\r\nfour\r\n"}}},
};

// An account's line in the report: "Account a@b finished: F folders and M
// messages copied; E folders and N messages failed[; G folders and L
// messages not reached][; P messages on the target already][; R messages
// removed from the source during the run]." ("1 folder", "1 message" for
// one.)
struct AccountLine {
    bool found = false;
    bool finished = false;
    unsigned folders = 0; // copied, failed and not reached
    unsigned copied = 0, failed = 0, notReached = 0, alreadyThere = 0, removed = 0;
    // "1 folder", "2 folders": every count agrees with its noun.
    bool nounsAgree = false;
};

AccountLine accountLine(const std::string& report, const std::string& address)
{
    static const std::string number = "(\\d+)";
    const std::regex pattern("Account " + address + " (finished|failed): " + number
        + " folders? and " + number + " messages? copied; " + number + " folders? and " + number
        + " messages? failed(?:; " + number + " folders? and " + number
        + " messages? not reached)?(?:; " + number + " messages? on the target already)?(?:; "
        + number + " messages? removed from the source during the run)?\\.");
    std::smatch m;
    AccountLine line;
    if (!std::regex_search(report, m, pattern))
        return line;
    auto at = [&](int i) { return m[i].matched ? static_cast<unsigned>(std::stoul(m[i])) : 0u; };
    line.found = true;
    line.finished = m[1] == "finished";
    line.folders = at(2) + at(4) + at(6);
    line.copied = at(3);
    line.failed = at(5);
    line.notReached = at(7);
    line.alreadyThere = at(8);
    line.removed = at(9);
    const std::string text = m[0];
    line.nounsAgree = !std::regex_search(text, std::regex("(^|[^0-9])1 (folders|messages)"))
        && !std::regex_search(text, std::regex("([02-9]|[0-9]{2,}) (folder|message)\\b"));
    return line;
}

// How many messages the account's block in the report names as written to
// the target with their answers lost: each may be on the target without
// being counted as copied.
unsigned lostAnswers(const std::string& report, const std::string& address)
{
    const std::size_t from = report.find("Account " + address + " (");
    const std::size_t to = report.find("Account " + address + " f", from);
    if (from == std::string::npos || to == std::string::npos)
        return 0;
    const std::string block = report.substr(from, to - from);
    static const std::regex lost("The target's answers? to messages? ([0-9, ]+) of folder");
    unsigned count = 0;
    for (std::sregex_iterator it(block.begin(), block.end(), lost), end; it != end; ++it)
        count += 1 + static_cast<unsigned>(std::count((*it)[1].first, (*it)[1].second, ','));
    return count;
}

enum class Side { None, Source, Target };
enum class Action { Cut, Stop };

// A command held on its way to the server: the `nth` of `verb` on one side
// (every one for 0), until the test releases the holds or `ms` have passed.
struct Hold {
    Side side;
    std::string verb;
    int nth;
    int ms;
    int seen = 0;
};

// The verb of a command line ("K3 LOGIN ..." reads LOGIN); empty for a
// line without a tag (a login's answer to a challenge).
std::string verbOf(const std::string& line)
{
    const std::size_t blank = line.find(' ');
    if (line.empty() || line[0] != 'K' || blank == std::string::npos)
        return "";
    return line.substr(blank + 1, line.find_first_of(" \r", blank + 1) - blank - 1);
}

// The fault of the run in hand: at command `k` of one side, counted from
// the run's start.
struct Plan {
    Side side = Side::None;
    Action action = Action::Cut;
    int k = 0;
    int sourceBase = 0;
    int targetBase = 0;
    // The stop came at a LOGOUT, whose answer is not awaited: the account
    // had ended by then, so the stop may find the run over or the next
    // account begun.
    bool atLogout = false;
};

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << Dovecot::unavailable();
        ASSERT_TRUE(init(wide(logs.reportFile()), wide(logs.debugFile())));
        source = std::make_unique<Dovecot>(
            std::map<std::string, std::string>{{"alice", "Pw-alice"}, {"bob", "Pw-bob"}},
            sourceOptions());
        for (const SourceUser& user : users) {
            RawImap imap(source->port());
            ASSERT_TRUE(imap.login(user.name, "Pw-" + user.name));
            imap.create("Sub");
            for (const auto& [folder, data] : user.messages)
                ASSERT_TRUE(imap.append(folder, data));
            sourceMail[user.name]
                = readDovecotAccount(source->port(), user.name, "Pw-" + user.name);
        }
    }

    // One worker: the commands of every run come in the same order.
    void startTarget(const std::string& faults = "")
    {
        StandInTarget::Options options;
        options.workerThreads = 1;
        options.faults = faults;
        target = std::make_unique<StandInTarget>(options);
        settings = targetSettings(*target);
    }

    void startRelays()
    {
        sourceRelay = std::make_unique<CommandRelay>(ListenAt{}, "127.0.0.1", source->port(),
            [this](int n, const std::string& line) { return onCommand(Side::Source, n, line); });
        targetRelay = std::make_unique<TargetRelay>(*target,
            [this](int n, const std::string& line) { return onCommand(Side::Target, n, line); });
    }

    // The relays' threads read the plan while the test sets it.
    void setPlan(Side side, Action action, int k)
    {
        std::lock_guard<std::mutex> hold(planLock);
        plan.side = side;
        plan.action = action;
        plan.k = k;
        plan.atLogout = false;
    }

    bool stoppedAtLogout()
    {
        std::lock_guard<std::mutex> hold(planLock);
        return plan.atLogout;
    }

    bool onCommand(Side side, int number, const std::string& line)
    {
        if (const int ms = holdFor(side, line)) {
            ++holding;
            // The run is stopped once as many commands as asked are held.
            if (++heldInAll == stopWhenHeld)
                if (IMigrator* engine = runner.current.load())
                    engine->stop();
            idle(released, ms);
            --holding;
        }
        std::lock_guard<std::mutex> hold(planLock);
        const int base = side == Side::Source ? plan.sourceBase : plan.targetBase;
        if (side != plan.side || number != base + plan.k)
            return true;
        if (plan.action == Action::Cut)
            return false;
        plan.atLogout = line.find(" LOGOUT") != std::string::npos;
        if (IMigrator* engine = runner.current.load())
            engine->stop();
        return true;
    }

    // How long to hold the command (0: not at all).
    int holdFor(Side side, const std::string& line)
    {
        std::lock_guard<std::mutex> hold(planLock);
        for (Hold& h : holds)
            if (h.side == side && h.verb == verbOf(line) && (++h.seen == h.nth || h.nth == 0))
                return h.ms;
        return 0;
    }

    // Ends every hold, and none is held after this.
    void releaseHolds()
    {
        released = true;
        while (holding != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard<std::mutex> hold(planLock);
        holds.clear();
        released = false;
    }

    // A run into accounts of a domain of its own, through the relays.
    RunOutcome runThroughRelays(const std::string& domain, bool wrongPassword = false)
    {
        {
            std::lock_guard<std::mutex> hold(planLock);
            plan.sourceBase = sourceRelay->commands();
            plan.targetBase = targetRelay->commands();
        }
        std::string accounts = accountsOf(domain);
        if (wrongPassword)
            accounts.replace(accounts.find("Pw-alice"), 8, "wrong");
        return runner.run(runner.configuration(L"127.0.0.1:" + std::to_wstring(sourceRelay->port()),
                              targetRelay->whost() + L":" + std::to_wstring(targetRelay->port())),
            accounts);
    }

    // A change the relay's hook makes once `armed`: raised at once, or, for
    // folders `migratedBefore`, after a clean run into `domain`.
    void armAfterCleanRun(const std::string& domain, bool migratedBefore, std::atomic<bool>& armed)
    {
        if (migratedBefore) {
            const RunOutcome clean = runThroughRelays(domain);
            ASSERT_EQ(2u, clean.status.finishedAccounts) << clean.report;
        }
        armed = true;
    }

    // Straight into the stand-in, with the first `accounts` users.
    RunOutcome runDirectly(const std::string& domain, std::size_t accounts = users.size())
    {
        return runner.run(runner.configuration(L"127.0.0.1:" + std::to_wstring(source->port()),
                              target->whost() + L":" + std::to_wstring(target->port())),
            accountsOf(domain, accounts));
    }

    static std::string accountsOf(const std::string& domain, std::size_t accounts = users.size())
    {
        std::string text;
        for (std::size_t i = 0; i < accounts; ++i)
            text += users[i].name + "@" + domain + ";Pw-" + users[i].name + "\n";
        return text;
    }

    // What every run must leave behind, whatever happened in it.
    void expectSoundEnd(const RunOutcome& outcome, const std::string& domain)
    {
        expectCallbacksInOrder(outcome);
        EXPECT_EQ(settings, targetSettings(*target));
        unsigned onTarget = 0;
        unsigned lostInAll = 0;
        for (const SourceUser& user : users) {
            SCOPED_TRACE(user.name + "@" + domain);
            const MailFolders& from = sourceMail.at(user.name);
            const unsigned there = expectOnlySourceMessages(
                from, readStandInAccount(*target, user.name + "@" + domain));
            onTarget += there;
            // The account's own line says what became of it: finished, every
            // message copied, counted as failed or found there; failed,
            // what is there counted as copied (or named as possibly there,
            // its answer lost) and nothing counted twice.
            const AccountLine line = accountLine(outcome.report, user.name + "@" + domain);
            if (!line.found)
                continue; // never taken: stopped before it
            const unsigned lost = lostAnswers(outcome.report, user.name + "@" + domain);
            lostInAll += lost;
            EXPECT_LE(line.copied + line.alreadyThere, there) << outcome.report;
            EXPECT_GE(line.copied + line.alreadyThere + lost, there) << outcome.report;
            EXPECT_LE(lost, line.failed + line.notReached) << outcome.report;
            const unsigned counted
                = line.copied + line.failed + line.notReached + line.alreadyThere;
            if (line.finished) {
                EXPECT_EQ(0u, lost) << outcome.report;
                EXPECT_EQ(messageCount(from), counted) << outcome.report;
                EXPECT_EQ(from.size(), line.folders) << outcome.report;
            } else {
                EXPECT_GE(messageCount(from), counted) << outcome.report;
                EXPECT_GE(from.size(), line.folders) << outcome.report;
            }
        }
        EXPECT_LE(outcome.status.messagesDone, onTarget);
        EXPECT_GE(outcome.status.messagesDone + lostInAll, onTarget);
    }

    // One more run into the same domain, with no fault, leaves every folder
    // with exactly the source's messages: none missing, none twice, each
    // message counted once, as copied or as found there.
    void expectMendedByOneMoreRun(const std::string& domain)
    {
        SCOPED_TRACE("one more run");
        expectWholeRun(runThroughRelays(domain), domain);
    }

    // A run that ended with every account finished and every folder holding
    // exactly the source's messages (in any order), each counted once, as
    // copied or as found there.
    void expectWholeRun(const RunOutcome& again, const std::string& domain)
    {
        ASSERT_TRUE(again.started) << again.report;
        expectCallbacksInOrder(again);
        EXPECT_EQ(settings, targetSettings(*target));
        EXPECT_EQ(users.size(), again.status.finishedAccounts) << again.report;
        EXPECT_EQ(0u, again.status.messageErrors + again.status.folderErrors) << again.report;
        for (const SourceUser& user : users) {
            SCOPED_TRACE(user.name + "@" + domain);
            const MailFolders& from = sourceMail.at(user.name);
            expectSameMessages(from, readStandInAccount(*target, user.name + "@" + domain));
            const AccountLine line = accountLine(again.report, user.name + "@" + domain);
            EXPECT_TRUE(line.finished) << again.report;
            EXPECT_TRUE(line.nounsAgree) << again.report;
            EXPECT_EQ(messageCount(from), line.copied + line.alreadyThere) << again.report;
        }
    }

    // For each side: a clean run counts the side's commands; then one run
    // per command k, with `action` at the k-th, each into a domain of its
    // own, checked by expectSoundEnd and `check`, and mended by one more.
    template <class Check> void atEachCommand(Action action, Check check)
    {
        startTarget();
        startRelays();
        int run = 0;
        for (Side side : {Side::Source, Side::Target}) {
            setPlan(Side::None, action, 0);
            const int before
                = side == Side::Source ? sourceRelay->commands() : targetRelay->commands();
            const std::string clean = "clean" + std::to_string(++run) + ".test";
            const RunOutcome cleanRun = runThroughRelays(clean);
            ASSERT_TRUE(cleanRun.started) << cleanRun.report;
            expectSoundEnd(cleanRun, clean);
            ASSERT_EQ(2u, cleanRun.status.finishedAccounts) << cleanRun.report;
            const int commands
                = (side == Side::Source ? sourceRelay->commands() : targetRelay->commands())
                - before;
            ASSERT_GT(commands, 8);
            for (int k = 1; k <= commands; ++k) {
                const std::string domain = "run" + std::to_string(++run) + ".test";
                SCOPED_TRACE((side == Side::Source ? "source command " : "target command ")
                    + std::to_string(k));
                setPlan(side, action, k);
                const RunOutcome outcome = runThroughRelays(domain);
                ASSERT_TRUE(outcome.started) << outcome.report;
                expectSoundEnd(outcome, domain);
                check(outcome, domain);
                setPlan(Side::None, action, 0);
                expectMendedByOneMoreRun(domain);
                if (::testing::Test::HasFailure())
                    return;
            }
        }
    }

    void refuseEachStatement(int first, int last)
    {
        for (int q = first; q <= last; ++q) {
            SCOPED_TRACE("statement " + std::to_string(q));
            startTarget("[{\"on\": \"TINYDB QUERY\", \"count\": " + std::to_string(q)
                + ", \"action\": \"no\"}]");
            const std::string domain = "q" + std::to_string(q) + ".test";
            const RunOutcome outcome = runDirectly(domain, 1);
            expectCallbacksInOrder(outcome);
            // A setting refused once is put back by the second attempt, and
            // the report says so, with the refusal, in its one sentence.
            const std::string secondAttempt = " on a second attempt, after the first failed: the "
                                              "server refused the statement: planned refusal";
            const bool refused = outcome.report.find("Could not ") != std::string::npos
                || outcome.report.find(secondAttempt) != std::string::npos;
            if (outcome.started) {
                expectSoundEnd(outcome, domain);
                for (const char* left : {"Could not put back ", "Could not drop "}) {
                    EXPECT_EQ(std::string::npos, outcome.report.find(left)) << outcome.report;
                }
            } else {
                EXPECT_EQ(settings, targetSettings(*target));
                EXPECT_TRUE(refused) << outcome.report;
                EXPECT_NE(std::string::npos, outcome.report.find("the migration did not start."))
                    << outcome.report;
            }
            if (::testing::Test::HasFailure() || (outcome.started && !refused))
                return;
        }
        EXPECT_LT(last, 60) << "still refusing statements at the last one tried";
    }

    ScopedHome home;
    TempLogs logs;
    TempDir dir;
    std::unique_ptr<Dovecot> source;
    std::map<std::string, MailFolders> sourceMail;
    std::unique_ptr<StandInTarget> target;
    std::string settings;
    std::unique_ptr<CommandRelay> sourceRelay;
    std::unique_ptr<TargetRelay> targetRelay;
    std::mutex planLock;
    Plan plan; // under planLock
    std::vector<Hold> holds; // under planLock
    std::atomic<bool> released{false};
    std::atomic<int> holding{0};
    std::atomic<int> heldInAll{0};
    int stopWhenHeld = 0; // 0: never
    MigrationRunner runner{logs, dir};
};

TEST_F(FaultTest, ACutAtEachCommandOfEitherSide)
{
    atEachCommand(Action::Cut, [](const RunOutcome& outcome, const std::string&) {
        EXPECT_EQ("stopped", outcome.calls.back());
        // A cut ends an account with its reason, or costs one message at
        // most, which is then counted; it never passes unnoticed.
        EXPECT_EQ(outcome.status.failedAccounts,
            occurrences(outcome.report, "\nFatal Error (error code = "))
            << outcome.report;
    });
}

TEST_F(FaultTest, AStopAtEachCommandOfEitherSide)
{
    atEachCommand(Action::Stop, [this](const RunOutcome& outcome, const std::string& domain) {
        if (stoppedAtLogout())
            return;
        EXPECT_EQ("aborted", outcome.calls.back());
        EXPECT_NE(std::string::npos, outcome.report.find("Migration stopped by the user on "));
        // One worker: the second account is never begun after a stop.
        EXPECT_EQ(std::string::npos, outcome.report.find("Account bob@" + domain + ":"))
            << outcome.report;
    });
}

// The two logins of an account go on at once. Whichever side fails, the
// account fails with that side's sentence, the source's first, and a source
// that fails cuts the target's login short; a stop ends both at once; and a
// LOGOUT that is never answered costs nothing and loses nothing. Held
// commands are held for 20 s: a run that waited for one would end late.
TEST_F(FaultTest, TheTwoLoginsGoOnAtOnce)
{
    constexpr int heldMs = 20000;
    struct Case {
        const char* name;
        std::string faults; // the stand-in's
        std::vector<Hold> holds;
        int stopWhenHeld;
        bool wrongPassword; // alice's, on the source
        const char* aliceSays; // in alice's block; null: alice finished
        const char* aliceNever; // not in the report
        bool bobMigrated;
    };
    const Case cases[] = {
        {"the source refuses the login while the target's is held", "",
            {{Side::Target, "X-MASTERAUTH", 1, heldMs}}, 0, true,
            "The source server 127.0.0.1:", "The master login", true},
        {"the target refuses the switch while the source's login is held a moment",
            R"([{"on": "X-SETUSER", "count": 1, "action": "no"}])",
            {{Side::Source, "LOGIN", 1, 500}}, 0, false,
            "The target server did not switch to alice@", "The source server", true},
        {"the target refuses the listing after the switch",
            R"([{"on": "LIST", "count": 1, "action": "no"}])", {}, 0, false,
            "The target server did not list the folders of alice@", "did not switch", true},
        {"a stop while both logins are held", "",
            {{Side::Source, "LOGIN", 1, heldMs}, {Side::Target, "X-MASTERAUTH", 1, heldMs}}, 2,
            false, "The migration of alice@", "Fatal Error", false},
        {"no LOGOUT is ever answered", "",
            {{Side::Source, "LOGOUT", 0, heldMs}, {Side::Target, "LOGOUT", 0, heldMs}}, 0, false,
            nullptr, "Fatal Error", true},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startTarget(c.faults);
        startRelays();
        {
            std::lock_guard<std::mutex> hold(planLock);
            holds = c.holds;
        }
        heldInAll = 0;
        stopWhenHeld = c.stopWhenHeld;
        const std::string domain = "two" + std::to_string(++run) + ".test";
        const long long start = nowMs();
        const RunOutcome outcome = runThroughRelays(domain, c.wrongPassword);
        const long long took = nowMs() - start;
        releaseHolds();
        ASSERT_TRUE(outcome.started) << outcome.report;
        expectSoundEnd(outcome, domain);
        EXPECT_LT(took, heldMs / 2) << outcome.report;
        // What was to be held was met: the side held ran while the other
        // went on.
        EXPECT_GE(heldInAll.load(), static_cast<int>(c.holds.size()));
        EXPECT_EQ(std::string::npos, outcome.report.find(c.aliceNever)) << outcome.report;
        const AccountLine alice = accountLine(outcome.report, "alice@" + domain);
        EXPECT_TRUE(alice.found) << outcome.report;
        EXPECT_EQ(c.aliceSays == nullptr, alice.finished) << outcome.report;
        if (c.aliceSays) {
            EXPECT_NE(std::string::npos, outcome.report.find(c.aliceSays)) << outcome.report;
        }
        EXPECT_EQ(c.bobMigrated, accountLine(outcome.report, "bob@" + domain).finished)
            << outcome.report;
        if (c.aliceSays == nullptr) {
            expectWholeRun(outcome, domain);
        }
        EXPECT_EQ(c.stopWhenHeld != 0 ? "aborted" : "stopped", outcome.calls.back());
    }
}

// A refusal while preparing: nothing started, nothing left changed. A
// refusal later: the account or the restoring step in question fails with a
// sentence, and what a restoring step could not put back is put back by its
// second attempt, which the report names. The statements are refused
// one per run, from `first` on, until a run meets no refusal; the two
// ranges run as two tests side by side.
TEST_F(FaultTest, StatementsOneToTenRefusedInTurn)
{
    refuseEachStatement(1, 10);
}

TEST_F(FaultTest, StatementsElevenToTwentyRefusedInTurn)
{
    refuseEachStatement(11, 20);
}

TEST_F(FaultTest, LaterStatementsRefusedInTurn)
{
    refuseEachStatement(21, 60);
}

// A NO for one APPEND, at each place in turn, with the others in flight
// beside it: only that message fails in its run; tried once more on its
// own it goes through, and every account finishes with every message there
// once.
TEST_F(FaultTest, EachAppendRefusedInTurn)
{
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE("APPEND " + std::to_string(k));
        startTarget(R"([{"on": "APPEND", "count": )" + std::to_string(k) + R"(, "action": "no"}])");
        const std::string domain = "append" + std::to_string(k) + ".test";
        // The refused message lands after those that were in flight with it.
        const RunOutcome outcome = runDirectly(domain);
        expectWholeRun(outcome, domain);
        EXPECT_EQ(4u, outcome.status.messagesDone) << outcome.report;
        EXPECT_EQ(static_cast<std::size_t>(k),
            occurrences(logs.debug(), "NO planned refusal. It is tried once more on its own."))
            << logs.debug();
    }
}

// The X-CREATEs of a wave go together, and a folder waits for the wave
// after its parent's: refused once, the parent gets a new identifier before
// its child is asked for, which then keeps its own; refused twice, the
// parent and its child are folder errors (their messages are not counted:
// their counts were never read), and the rest is copied.
TEST_F(FaultTest, AFolderRefusedOnceOrTwiceBeforeItsChild)
{
    {
        RawImap imap(source->port());
        ASSERT_TRUE(imap.login("alice", "Pw-alice"));
        ASSERT_TRUE(imap.create("Sub/Deeper"));
        ASSERT_TRUE(imap.append("Sub/Deeper", "Subject: a4\r\n\r\nfour\r\n"));
    }
    sourceMail["alice"] = readDovecotAccount(source->port(), "alice", "Pw-alice");
    for (int times : {1, 2}) {
        SCOPED_TRACE(std::to_string(times) + " refused");
        // One worker: alice's "Sub" is the first X-CREATE.
        startTarget(R"([{"on": "X-CREATE", "count": 1, "times": )" + std::to_string(times)
            + R"(, "action": "no"}])");
        const std::string domain = "refused" + std::to_string(times) + ".test";
        const RunOutcome outcome = runDirectly(domain);
        ASSERT_TRUE(outcome.started) << outcome.report;
        expectCallbacksInOrder(outcome);
        if (times == 1) {
            expectWholeRun(outcome, domain);
            EXPECT_EQ(1u, occurrences(outcome.report, " got a new identifier on the target"))
                << outcome.report;
            EXPECT_NE(std::string::npos,
                outcome.report.find("The folder \"Sub\" got a new identifier on the target, "
                                    "which refused the source's: "))
                << outcome.report;
        } else {
            EXPECT_NE(std::string::npos,
                outcome.report.find("The folder \"Sub\" could not be created on the target: "))
                << outcome.report;
            EXPECT_EQ(2u, outcome.status.folderErrors) << outcome.report;
            EXPECT_EQ(2u, outcome.status.finishedAccounts) << outcome.report;
            EXPECT_EQ(3u,
                expectOnlySourceMessages(
                    sourceMail.at("alice"), readStandInAccount(*target, "alice@" + domain))
                    + messageCount(readStandInAccount(*target, "bob@" + domain)));
            EXPECT_EQ(3u, outcome.status.messagesDone) << outcome.report;
        }
    }
}

// The source folder changes while it is copied, as production mailboxes do:
// mail arrives or is expunged between the STATUS that counts the folder and
// the SELECT that numbers it (a STATUS below or above the folder's count,
// or one that counts none, as from a count the server cached), mail
// arrives during the copy, another client expunges a message
// while the source's connection breaks inside a body and is re-established
// (the folder then numbers its messages otherwise), and another client
// expunges a message between its count and its copy (removed from the
// source, not failed). Each case runs twice, the second run as a rerun:
// after each, the target holds every message of the source once, byte for
// byte (those expunged after they were copied too, none expunged before),
// each counted once, and nothing is failed.
TEST_F(FaultTest, TheSourceFolderChangesWhileItIsCopied)
{
    enum class Change {
        ArriveBeforeSelect,
        ArriveInEmptyAfterStatus,
        ExpungeBeforeSelect,
        ArriveDuringFetch,
        ExpungeInBody,
        ExpungeBeforeCopy
    };
    struct Counts {
        unsigned copied, alreadyThere, removed = 0;
    };
    struct Case {
        const char* name;
        Change change;
        bool migratedBefore; // a clean run first: the folder is compared, after a STATUS
        // alice's line, after the change and after the rerun
        Counts changed, rerun;
        // What the change leaves in the debug log.
        const char* noted;
    };
    const Case cases[] = {
        {"two messages arrive between the STATUS and the SELECT", Change::ArriveBeforeSelect, true,
            {2, 11}, {0, 13}, " by STATUS and 12 by SELECT; the SELECT's count holds."},
        {"two messages arrive in an empty folder once the STATUS counted none",
            Change::ArriveInEmptyAfterStatus, true, {2, 11}, {0, 13},
            "The source server counts 0 messages in folder \"Empty\" by STATUS and 2 by SELECT"},
        {"two messages are expunged between the STATUS and the SELECT", Change::ExpungeBeforeSelect,
            true, {0, 9}, {0, 9}, " by STATUS and 8 by SELECT; the SELECT's count holds."},
        {"two messages arrive during the copy", Change::ArriveDuringFetch, false, {13, 0}, {0, 13},
            "2 new messages arrived in folder \"INBOX\" during its copy"},
        {"another client expunges message 2 while the connection breaks inside message 5",
            Change::ExpungeInBody, false, {11, 0}, {0, 10},
            "of the 6 not yet copied, 6 are found again by their UIDs and 0 are no longer there"},
        // Dovecot gives NIL for its body and says OK [EXPUNGEISSUED].
        {"another client expunges message 5 between its count and its copy",
            Change::ExpungeBeforeCopy, false, {10, 0, 1}, {0, 10},
            "Message 5 of folder \"INBOX\" was removed from the source during the run: another "
            "session expunged it before it was copied."},
    };
    auto inInbox = [&](const std::vector<std::string>& commands) {
        RawImap imap(source->port());
        ASSERT_TRUE(imap.login("alice", "Pw-alice"));
        for (const std::string& command : commands) {
            bool ok = false;
            imap.command(command, &ok);
            ASSERT_TRUE(ok) << command;
        }
    };
    auto arrive = [&](const char* folder) {
        RawImap imap(source->port());
        ASSERT_TRUE(imap.login("alice", "Pw-alice"));
        for (int n = 1; n <= 2; ++n)
            ASSERT_TRUE(
                imap.append(folder, "Subject: late " + std::to_string(n) + "\r\n\r\nnew\r\n"));
    };
    // alice's INBOX holds ten messages, and her "Empty" none.
    {
        RawImap imap(source->port());
        ASSERT_TRUE(imap.login("alice", "Pw-alice"));
        ASSERT_TRUE(imap.create("Empty"));
        for (int n = 3; n <= 10; ++n)
            ASSERT_TRUE(imap.append("INBOX",
                "Subject: a" + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) + "\r\n"));
    }
    const std::map<std::string, MailFolders> original
        = {{"alice", readDovecotAccount(source->port(), "alice", "Pw-alice")},
            {"bob", sourceMail.at("bob")}};
    startTarget();
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Every case begins with the ten messages, and "Empty" empty.
        {
            RawImap imap(source->port());
            ASSERT_TRUE(imap.login("alice", "Pw-alice"));
            bool ok = false;
            for (const char* command :
                {"SELECT \"Empty\"", "UID STORE 1:* +FLAGS.SILENT (\\Deleted)", "EXPUNGE",
                    "SELECT \"INBOX\"", "UID STORE 1:* +FLAGS.SILENT (\\Deleted)", "EXPUNGE"}) {
                imap.command(command, &ok);
                ASSERT_TRUE(ok) << command;
            }
            for (const MailMessage& m : original.at("alice").at("INBOX").messages)
                ASSERT_TRUE(imap.append("INBOX", m.data));
        }
        const MailFolders before = readDovecotAccount(source->port(), "alice", "Pw-alice");
        // The change comes once, at the first chance.
        std::atomic<bool> armed{false};
        std::atomic<bool> done{false};
        std::atomic<bool> inInboxCopy{false};
        std::atomic<bool> emptyCounted{false};
        auto onCommand = [&](int, const std::string& line) {
            const std::string verb = verbOf(line);
            const bool selectsInbox
                = verb == "SELECT" && line.find("\"INBOX\"") != std::string::npos;
            if (verb == "SELECT")
                inInboxCopy = selectsInbox;
            if (!armed || done)
                return true;
            if (c.change == Change::ArriveBeforeSelect && selectsInbox) {
                done = true;
                arrive("INBOX");
            } else if (c.change == Change::ArriveInEmptyAfterStatus && emptyCounted) {
                // Whatever comes after the STATUS that counted none.
                done = true;
                arrive("Empty");
            } else if (c.change == Change::ArriveInEmptyAfterStatus && verb == "STATUS"
                && line.find("\"Empty\"") != std::string::npos) {
                emptyCounted = true;
            } else if (c.change == Change::ExpungeBeforeSelect && selectsInbox) {
                done = true;
                inInbox({"SELECT \"INBOX\"", "STORE 3:4 +FLAGS.SILENT (\\Deleted)", "EXPUNGE"});
            } else if (c.change == Change::ArriveDuringFetch && inInboxCopy && verb == "FETCH"
                && line.find("BODY.PEEK[]") != std::string::npos) {
                done = true;
                arrive("INBOX");
            } else if (c.change == Change::ExpungeBeforeCopy && inInboxCopy && verb == "FETCH"
                && line.find("BODY.PEEK[]") != std::string::npos) {
                done = true;
                inInbox({"SELECT \"INBOX\"", "STORE 5 +FLAGS.SILENT (\\Deleted)", "EXPUNGE"});
            }
            return true;
        };
        // Inside message 5's body: message 2 is expunged by another client
        // and the connection breaks.
        auto onReply = [&](const std::string& bytes) {
            const std::size_t at = bytes.find("Subject: a5\r\n");
            if (c.change != Change::ExpungeInBody || !armed || done || !inInboxCopy
                || at == std::string::npos)
                return std::string::npos;
            done = true;
            inInbox({"SELECT \"INBOX\"", "STORE 2 +FLAGS.SILENT (\\Deleted)", "EXPUNGE"});
            return at + 5;
        };
        sourceRelay = std::make_unique<CommandRelay>(
            ListenAt{}, "127.0.0.1", source->port(), onCommand, onReply);
        targetRelay = std::make_unique<TargetRelay>(*target);
        const std::string domain = "change" + std::to_string(++run) + ".test";
        ASSERT_NO_FATAL_FAILURE(armAfterCleanRun(domain, c.migratedBefore, armed));
        const std::size_t debugBefore = logs.debug().size();
        const RunOutcome changed = runThroughRelays(domain);
        ASSERT_TRUE(done.load()) << "the change never came";
        EXPECT_NE(std::string::npos, logs.debug().find(c.noted, debugBefore))
            << logs.debug().substr(debugBefore);
        const MailFolders after = readDovecotAccount(source->port(), "alice", "Pw-alice");
        // What the target must hold: every message the source had during the
        // run, expunged or not, except one expunged before its copy.
        MailFolders expected = c.change == Change::ExpungeBeforeCopy ? after : before;
        for (const auto& [name, folder] : after)
            for (const MailMessage& m : folder.messages) {
                auto& there = expected[name].messages;
                if (std::none_of(there.begin(), there.end(),
                        [&](const MailMessage& e) { return e.data == m.data; }))
                    there.push_back(m);
            }
        const RunOutcome* const runs[] = {&changed, nullptr};
        for (const RunOutcome* outcome : runs) {
            const RunOutcome again = outcome ? RunOutcome() : runThroughRelays(domain);
            const RunOutcome& o = outcome ? *outcome : again;
            const Counts& counts = outcome ? c.changed : c.rerun;
            SCOPED_TRACE(outcome ? "the run the source changed in" : "the rerun");
            ASSERT_TRUE(o.started) << o.report;
            expectCallbacksInOrder(o);
            EXPECT_EQ(settings, targetSettings(*target));
            EXPECT_EQ(2u, o.status.finishedAccounts) << o.report;
            EXPECT_EQ(0u, o.status.messageErrors + o.status.folderErrors) << o.report;
            EXPECT_EQ(0u, o.status.messagesNotReached) << o.report;
            expectSameMessages(expected, readStandInAccount(*target, "alice@" + domain));
            expectSameMessages(original.at("bob"), readStandInAccount(*target, "bob@" + domain));
            const AccountLine alice = accountLine(o.report, "alice@" + domain);
            EXPECT_TRUE(alice.finished) << o.report;
            EXPECT_EQ(counts.copied, alice.copied) << o.report;
            EXPECT_EQ(counts.alreadyThere, alice.alreadyThere) << o.report;
            EXPECT_EQ(counts.removed, alice.removed) << o.report;
            EXPECT_EQ(counts.removed, o.status.messagesRemoved) << o.report;
            EXPECT_EQ(0u, alice.failed + alice.notReached) << o.report;
        }
        if (::testing::Test::HasFailure())
            return;
    }
}

TEST_F(FaultTest, FoldersTheTargetWillNotCountAreFailedOnceAndNeverDone)
{
    // The first run makes the accounts and their folders, so it asks the
    // target for no count; the second finds them there (in the target's
    // listing) and every STATUS is refused. Bob's "Sub" is empty on the
    // source: nothing needs its count on the target. The source counted the
    // messages of the others before the target's refusal: they are failed,
    // every message counted once.
    startTarget(R"([{"on": "STATUS", "count": 1, "times": 1000, "action": "no"}])");
    const RunOutcome first = runDirectly("count.test");
    ASSERT_EQ(2u, first.status.finishedAccounts) << first.report;
    ASSERT_EQ(0u, first.status.folderErrors) << first.report;
    const RunOutcome second = runDirectly("count.test");
    ASSERT_TRUE(second.started) << second.report;
    expectCallbacksInOrder(second);
    EXPECT_EQ(settings, targetSettings(*target));
    EXPECT_EQ(3u, second.status.folderErrors) << second.report;
    EXPECT_EQ(4u, second.status.messageErrors) << second.report;
    EXPECT_EQ(0u,
        second.status.messagesDone + second.status.messagesNotReached
            + second.status.messagesAlreadyThere)
        << second.report;
    for (const char* line : {"Account alice@count.test finished: 0 folders and 0 messages copied; "
                             "2 folders and 3 messages failed.",
             "Account bob@count.test finished: 1 folder and 0 messages copied; 1 folder and 1 "
             "message failed."})
        EXPECT_NE(std::string::npos, second.report.find(line)) << line << "\n" << second.report;
}

// Another client deletes alice's "Sub" on the source just before the SELECT
// that would number its messages. Into a folder made by this run the SELECT
// is the count, so the folder fails with no message in any count; into one
// migrated before, the source's STATUS had counted its message, which is
// failed. Either way the run goes on, and every message the source counted
// is in one count.
TEST_F(FaultTest, AFolderDeletedOnTheSourceBeforeItsSelectIsFailed)
{
    struct Case {
        const char* name;
        bool migratedBefore;
        const char* aliceLine;
    } cases[] = {
        {"into a new folder", false,
            "finished: 1 folder and 2 messages copied; 1 folder and 0 messages failed."},
        {"into a folder migrated before", true,
            "finished: 1 folder and 0 messages copied; 1 folder and 1 message failed; 2 messages "
            "on the target already."},
    };
    startTarget();
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            RawImap imap(source->port());
            ASSERT_TRUE(imap.login("alice", "Pw-alice"));
            imap.create("Sub");
            for (const auto& [folder, data] : users[0].messages) {
                if (folder == "Sub") {
                    ASSERT_TRUE(imap.append(folder, data));
                }
            }
        }
        std::atomic<bool> armed{false};
        std::atomic<bool> deleted{false};
        sourceRelay = std::make_unique<CommandRelay>(
            ListenAt{}, "127.0.0.1", source->port(), [&](int, const std::string& line) {
                if (armed && !deleted && verbOf(line) == "SELECT"
                    && line.find("\"Sub\"") != std::string::npos) {
                    RawImap imap(source->port());
                    bool ok = imap.login("alice", "Pw-alice");
                    imap.command("DELETE \"Sub\"", &ok);
                    deleted = ok;
                }
                return true;
            });
        targetRelay = std::make_unique<TargetRelay>(*target);
        const std::string domain = "gone" + std::to_string(++run) + ".test";
        ASSERT_NO_FATAL_FAILURE(armAfterCleanRun(domain, c.migratedBefore, armed));
        const RunOutcome outcome = runThroughRelays(domain);
        ASSERT_TRUE(deleted.load()) << outcome.report;
        ASSERT_TRUE(outcome.started) << outcome.report;
        expectCallbacksInOrder(outcome);
        EXPECT_EQ(settings, targetSettings(*target));
        EXPECT_EQ(2u, outcome.status.finishedAccounts) << outcome.report;
        EXPECT_EQ(1u, outcome.status.folderErrors) << outcome.report;
        EXPECT_NE(std::string::npos,
            outcome.report.find("The source server did not select folder \"Sub\": "))
            << outcome.report;
        EXPECT_NE(
            std::string::npos, outcome.report.find("Account alice@" + domain + " " + c.aliceLine))
            << outcome.report;
        EXPECT_EQ(0u, outcome.status.messagesNotReached) << outcome.report;
    }
}

TEST_F(FaultTest, AWorkerEndedByAnExceptionStillLetsTheRunFinish)
{
    // The first account's worker meets an exception before its road; the
    // account counts as failed, and with no other worker the second is not
    // migrated; the target is still put back and the record stored.
    startTarget();
    std::atomic<bool> thrown{false};
    runner.onStatus = [&] {
        if (!thrown.exchange(true))
            throw std::runtime_error("no memory left, say");
    };
    const RunOutcome outcome = runDirectly("ex.test");
    runner.onStatus = nullptr;
    ASSERT_TRUE(outcome.started) << outcome.report;
    EXPECT_EQ("stopped", outcome.calls.back());
    expectSoundEnd(outcome, "ex.test");
    EXPECT_EQ(1u, outcome.status.failedAccounts);
    for (const char* line :
        {"The thread \"migration worker 1\" stopped on an unexpected error: no memory left, say.",
            "Account alice@ex.test failed.",
            "Accounts: 0 finished, 1 failed, 0 login refused, 1 not started."})
        EXPECT_NE(std::string::npos, outcome.report.find(line)) << line << "\n" << outcome.report;
    ASSERT_EQ(2u, outcome.users.size());
    EXPECT_EQ(L"The thread \"migration worker 1\" stopped on an unexpected error: no memory left, "
              L"say.",
        outcome.users[0].failure);
    EXPECT_EQ(1u, target->query("SELECT Record FROM MigrationTools").size());
}

TEST_F(FaultTest, WorkersAsTheTargetSaysButNoMoreThanAccounts)
{
    struct Case {
        unsigned target;
        std::size_t accounts;
        const char* header;
    } cases[] = {{0, 2, "Accounts selected: 2 of 2, migrated by 1 worker."},
        {6, 2, "Accounts selected: 2 of 2, migrated by 2 workers."},
        {6, 0, "Accounts selected: 0 of 0, migrated by 1 worker."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        StandInTarget::Options options;
        options.workerThreads = c.target;
        target = std::make_unique<StandInTarget>(options);
        settings = targetSettings(*target);
        const RunOutcome outcome
            = runDirectly("w" + std::to_string(c.target) + ".test", c.accounts);
        ASSERT_TRUE(outcome.started) << outcome.report;
        // An empty list ends at once: stopped() still comes after started().
        if (c.accounts == 0) {
            const std::vector<std::string> startedThenStopped = {"started", "stopped"};
            EXPECT_EQ(startedThenStopped, outcome.calls);
        }
        expectSoundEnd(outcome, "w" + std::to_string(c.target) + ".test");
        EXPECT_NE(std::string::npos, outcome.report.find(c.header)) << outcome.report;
        EXPECT_EQ(c.accounts, outcome.status.finishedAccounts);
    }
}

TEST_F(FaultTest, AnAdministrationServiceThatFailsAtOnceStartsNothing)
{
    for (const char* fault : {"[{\"on\": \"TINYDB HELLO\", \"action\": \"drop\"}]",
             "[{\"on\": \"TINYDB LOGIN\", \"action\": \"drop\"}]"}) {
        SCOPED_TRACE(fault);
        startTarget(fault);
        const RunOutcome outcome = runDirectly("x.test");
        EXPECT_FALSE(outcome.started);
        expectCallbacksInOrder(outcome);
        EXPECT_EQ(settings, targetSettings(*target));
        EXPECT_NE(std::string::npos,
            outcome.report.find("The target server was not changed; the migration did not start."))
            << outcome.report;
    }
}

// A stop while the preparation waits for an administration service that has
// stopped answering, at each kind of its waits: getStatus and stop answer
// at once (no lock is held across the wait), the start ends within a few
// seconds of the stop, not at the service's 30-s time-out, as stopped while
// the target was prepared, and what the preparation had changed (the access
// list claiming the target, made before the changes) is put back on a new
// connection: the target, its IMAP listener and this computer's journal
// are as before the start.
TEST_F(FaultTest, AStopWhileTheTargetIsPreparedIsActedOnAtOnceAndPutsItBack)
{
    const std::string notChanged = "The target server was not changed; the migration did not "
                                   "start.\n\nMigration stopped by the user while the target "
                                   "was prepared, on ";
    const std::string putBack = "What was changed on the target server was put back; the "
                                "migration did not start.\n\nMigration stopped by the user "
                                "while the target was prepared, on ";
    struct Row {
        const char* name;
        std::string faults;
        const char* silentAfter; // in the stand-in's transcript once it stops answering
        std::string says; // in the report
    } rows[] = {
        {"at its login", R"([{"on": "TINYDB LOGIN", "action": "stall"}])", " C: LOGIN admin",
            notChanged},
        {"at the settings read before anything is changed",
            R"([{"on": "TINYDB QUERY", "count": 1, "action": "stall"}])", " C: QUERY SELECT ",
            notChanged},
        {"at the claim of the target, after the journal",
            R"([{"on": "TINYDB QUERY", "statement": "INSERT INTO IpAccessList", "action": "stall"}])",
            " C: QUERY INSERT INTO IpAccessList ", putBack},
        {"at the changes, the access list made",
            R"([{"on": "TINYDB QUERY", "statement": "UPDATE Cluster", "action": "stall"}])",
            " C: QUERY UPDATE Cluster ", putBack},
    };
    int run = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        startTarget(row.faults);
        std::atomic<long long> statusTook{-1};
        std::atomic<long long> stopTook{-1};
        std::atomic<long long> stoppedAt{0};
        runner.besideTheStart = [&](IMigrator& engine) {
            if (!waitUntil(
                    [&] { return target->transcript().find(row.silentAfter) != std::string::npos; },
                    30000, 20))
                return;
            const long long asked = nowMs();
            MigrationStatus status;
            engine.getStatus(status);
            statusTook = nowMs() - asked;
            stoppedAt = nowMs();
            engine.stop();
            stopTook = nowMs() - stoppedAt;
        };
        const std::string domain = "silent" + std::to_string(++run) + ".test";
        const RunOutcome outcome = runDirectly(domain);
        const long long ended = nowMs();
        runner.besideTheStart = nullptr;
        EXPECT_FALSE(outcome.started);
        ASSERT_NE(0, stoppedAt.load()) << target->transcript();
        EXPECT_LT(statusTook.load(), 1000);
        EXPECT_LT(stopTook.load(), 1000);
        EXPECT_LT(ended - stoppedAt, 5000) << outcome.report;
        expectCallbacksInOrder(outcome);
        EXPECT_EQ(StartPhase::TargetPrepared, outcome.status.stoppedBeforeTheRun);
        EXPECT_NE(std::string::npos, outcome.report.find(row.says)) << outcome.report;
        EXPECT_NE(std::string::npos,
            outcome.report.find(", before it started.\nAccounts: 0 finished, 0 failed, 0 login "
                                "refused, 2 not started.\n"))
            << outcome.report;
        EXPECT_EQ(settings, targetSettings(*target));
        EXPECT_TRUE(target->imapGreetsOn(target->port()));
        EXPECT_EQ("0", target->queryOne("SELECT COUNT(*) FROM User"));
        EXPECT_FALSE(std::filesystem::exists(
            home.file(".tavir/admin/prepared-" + target->host() + "_44337.journal")));
        if (HasFailure())
            return;
    }
}

// A source that bends the rules (sizes off, dates in the RFC 822 form,
// unreadable or none, bodies quoted), the target's connection dropped at
// each APPEND in turn: the account ends and names the message, nothing on
// the target is uncounted, and one more run leaves each message there
// once, byte for byte; no sentence quotes a message's text.
TEST(BentSourceFaultTest, TheTargetDroppedAtEachAppendThenOneMoreRun)
{
    ScopedHome home;
    TempLogs logs;
    TempDir dir;
    ASSERT_TRUE(init(wide(logs.reportFile()), wide(logs.debugFile())));
    MigrationRunner runner(logs, dir);
    const std::string secret = "Xyzzy";
    auto mail = [&](unsigned n, bool withId) {
        return (withId ? "Message-ID: <f" + std::to_string(n) + "@bend.test>\r\n" : "")
            + "Subject: " + secret + " " + std::to_string(n) + "\r\n\r\n" + secret + " text "
            + std::to_string(n) + "\r\n";
    };
    FakeImapSource bent;
    for (unsigned n = 1; n <= 6; ++n)
        bent.inbox().bodies.push_back(mail(n, n != 4));
    bent.inbox().sizeErrors = {0, 2, 0, 0, -2, 0};
    bent.inbox().dates
        = {"\"" + FakeImapSource::dateOf(1) + "\"", "\"" + FakeImapSource::dateOf(2) + "\"",
            "\"Tue, 05 May 2021 10:00:00 +0000\"", "NIL", "", "\"yesterday\""};
    FakeImapSource quoted;
    quoted.inbox().bodies = {secret + " one", "", secret + " three"};
    quoted.quotedBodies = true;
    int account = 0;
    for (const FakeImapSource* source : {&bent, &quoted}) {
        const std::vector<std::string>& bodies = source->inbox().bodies;
        for (unsigned k = 1; k <= bodies.size(); ++k) {
            SCOPED_TRACE(
                (source == &bent ? "bent, APPEND " : "quoted, APPEND ") + std::to_string(k));
            StandInTarget::Options options;
            options.faults = R"([{"on": "APPEND", "count": )" + std::to_string(k)
                + R"(, "action": "drop_after"}])";
            StandInTarget target(options);
            LoopbackServer server(source->session());
            const std::string address = "kim@drop" + std::to_string(++account) + ".test";
            auto run = [&] {
                return runner.run(
                    runner.configuration(L"127.0.0.1:" + std::to_wstring(server.port()),
                        target.whost() + L":" + std::to_wstring(target.port())),
                    address + ";Pw-kim\n");
            };
            const RunOutcome cut = run();
            ASSERT_TRUE(cut.started) << cut.report;
            const AccountLine cutLine = accountLine(cut.report, address);
            EXPECT_FALSE(cutLine.finished) << cut.report;
            EXPECT_EQ(k - 1, cutLine.copied) << cut.report;
            // The message dropped and those in flight behind it, named.
            EXPECT_TRUE(std::regex_search(cut.report,
                std::regex("The target's answers? to messages? " + std::to_string(k) + "[, ]")))
                << cut.report;
            EXPECT_EQ(bodies.size() - (k - 1), lostAnswers(cut.report, address)) << cut.report;
            EXPECT_EQ(k - 1, readStandInAccount(target, address)["INBOX"].messages.size());
            const RunOutcome again = run();
            ASSERT_TRUE(again.started) << again.report;
            const AccountLine line = accountLine(again.report, address);
            EXPECT_TRUE(line.finished) << again.report;
            EXPECT_EQ(bodies.size() - (k - 1), line.copied) << again.report;
            EXPECT_EQ(k - 1, line.alreadyThere) << again.report;
            const std::vector<MailMessage> stored
                = readStandInAccount(target, address)["INBOX"].messages;
            ASSERT_EQ(bodies.size(), stored.size()) << again.report;
            for (std::size_t i = 0; i < bodies.size(); ++i)
                EXPECT_TRUE(bodies[i] == stored[i].data) << i << ": " << stored[i].data;
        }
    }
    EXPECT_EQ(std::string::npos, logs.report().find(secret)) << logs.report();
    EXPECT_EQ(std::string::npos, logs.debug().find(secret));
}

} // namespace
