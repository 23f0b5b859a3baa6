// The connection over real loopback sockets against a scripted server that
// misbehaves in the ways no real server does: everything must end in a
// result code, bounded in time and memory, and nothing may be sent twice.
#include "imapclient/Command.h"
#include "imapclient/ConnectionInternal.h"
#include "imapclient/ImapException.h"
#include "imapclient/SimpleImapClient.h"
#include "support/ScriptedImap.h"
#include "support/SocketScript.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace tavir::mail;
using namespace tavir::test;

namespace {

const std::string hello = "* OK [CAPABILITY IMAP4rev1 LITERAL+] scripted\r\n";

void connectTo(ConnectionInternal& c, int port, unsigned timeoutMs = 2000)
{
    c.initialize("127.0.0.1", static_cast<unsigned>(port), "joe", "pw", false, 180, false);
    c.setTimeoutMs(timeoutMs);
}

std::vector<Step> loggedIn(std::vector<Step> then)
{
    std::vector<Step> steps{say(hello), readLine(), say("%T OK in\r\n")};
    steps.insert(steps.end(), then.begin(), then.end());
    return steps;
}

ImapClientResult runNoop(ConnectionInternal& c, unsigned* status = nullptr)
{
    try {
        c.init(true);
        Command noop(c, "NOOP");
        unsigned s = noop.execute(nullptr);
        if (status)
            *status = s;
        return ImapSuccess;
    } catch (const ImapException& e) {
        return handleImapException(e, ImapSelectFailed);
    }
}

TEST(MisbehavingServerTest, BytesOneAtATime)
{
    std::string body = "a\r\nb\0c\xff";
    body += std::string(3000, 'z');
    SocketScript server(
        {{sayByteByByte(hello), readLine(), sayByteByByte("%T OK in\r\n"), readLine(),
            sayByteByByte("* 1 FETCH (BODY[] {" + std::to_string(body.size()) + "}\r\n" + body
                + ")\r\n%T OK done\r\n")}});
    ConnectionInternal c;
    // Some 3,000 sends with a pause after each take far more than the usual
    // two seconds on a loaded machine; what is tested is the reassembly.
    connectTo(c, server.port(), 15000);
    c.init(true);
    Command fetch(c, "FETCH");
    fetch.addParam("1 BODY[]");
    ASSERT_EQ(Command::OK, fetch.execute(nullptr));
    ASSERT_EQ(1u, fetch.getUntaggedResponses().size());
    EXPECT_EQ("* 1 FETCH (BODY[] {" + std::to_string(body.size()) + "}\r\n" + body + ")",
        fetch.getUntaggedResponses()[0]);
}

TEST(MisbehavingServerTest, DroppedInsideALiteralIsNotSentAgain)
{
    SocketScript server({loggedIn({readLine(), say("* 1 FETCH (BODY[] {100}\r\nabc"), hangUp()}),
        loggedIn({readLine(), say("%T OK\r\n")})});
    ConnectionInternal c;
    connectTo(c, server.port());
    EXPECT_EQ(ImapConnectionError, runNoop(c));
    EXPECT_EQ(ConnectionInternal::NotConnected, c.getState());
    EXPECT_EQ("127.0.0.1:" + std::to_string(server.port()) + " closed the connection",
        c.getLastErrorResponse());
    EXPECT_EQ(1, server.accepted());
    EXPECT_EQ("LOGIN \"joe\" \"pw\"\r\nNOOP\r\n", withoutTags(server.received(0)));
}

TEST(MisbehavingServerTest, HugeLiteralAnnouncementIsRefused)
{
    SocketScript server(
        {loggedIn({readLine(), say("* 1 FETCH (BODY[] {4000000000}\r\nabc"), stall(3000)})});
    ConnectionInternal c;
    connectTo(c, server.port());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ImapConnectionError, runNoop(c));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ("127.0.0.1:" + std::to_string(server.port())
            + " announced a literal of 4000000000 bytes, more than the limit of 64 MiB",
        c.getLastErrorResponse());
}

TEST(MisbehavingServerTest, EndlessLineIsCut)
{
    SocketScript server({loggedIn({readLine(), sayEndless(std::string(65536, 'x'), 8000)})});
    ConnectionInternal c;
    connectTo(c, server.port());
    EXPECT_EQ(ImapConnectionError, runNoop(c));
    EXPECT_EQ(
        "a reply line from 127.0.0.1:" + std::to_string(server.port()) + " is longer than 1 MiB",
        c.getLastErrorResponse());

    // The pipelined copy reads a reply line over 1 MiB to its end, to drop
    // that reply alone, but not one longer than a whole answer may be.
    SocketScript copied({loggedIn(
        {readLine(), say("* 1 FETCH (UID 1 FLAGS ("), sayEndless(std::string(65536, 'x'), 8000)})});
    SimpleImapClient source;
    ASSERT_EQ(ImapSuccess,
        source.connect(
            L"127.0.0.1", static_cast<unsigned>(copied.port()), L"joe", L"pw", false, false));
    LoggedInClient target("%T OK done\r\n");
    CopyRun run({1});
    EXPECT_EQ(ImapConnectionError, source.copyMessages(L"F", target.client, run));
    EXPECT_EQ(
        "a reply line from 127.0.0.1:" + std::to_string(copied.port()) + " is longer than 256 MiB",
        run.end.why);
    EXPECT_EQ(0u, run.copied());
}

TEST(MisbehavingServerTest, ByeAtEveryStage)
{
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"instead of the greeting", {say("* BYE too busy\r\n")}},
        {"instead of the login answer", {say(hello), readLine(), say("* BYE no\r\n")}},
        {"instead of the answer", loggedIn({readLine(), say("* BYE going down\r\n")})},
        {"after data", loggedIn({readLine(), say("* 3 EXISTS\r\n* BYE going down\r\n")})},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        SocketScript server({test.steps});
        ConnectionInternal c;
        connectTo(c, server.port());
        EXPECT_EQ(ImapConnectionError, runNoop(c));
        EXPECT_EQ("* BYE", c.getLastErrorResponse().substr(0, 5));
    }
}

TEST(MisbehavingServerTest, TaggedLineWithoutStatus)
{
    SocketScript server({loggedIn({readLine(), say("%T\r\n")})});
    ConnectionInternal c;
    connectTo(c, server.port());
    unsigned status = 0;
    EXPECT_EQ(ImapSuccess, runNoop(c, &status));
    EXPECT_EQ(Command::BAD, status);
}

TEST(MisbehavingServerTest, SilentServerTimesOut)
{
    SocketScript server({{stall(4000)}, loggedIn({readLine(), stall(4000)})});
    const std::string where = "127.0.0.1:" + std::to_string(server.port());
    const std::string timedOut = "connection to " + where + " timed out after 1 s";
    {
        // Connected, then nothing: the sentence says that the address
        // answered and the greeting did not come.
        const std::string noGreeting
            = where + " accepted the connection but sent no greeting within 1 s";
        ConnectionInternal c;
        connectTo(c, server.port(), 1000);
        auto start = std::chrono::steady_clock::now();
        try {
            c.init(false);
            FAIL();
        } catch (const ImapConnectionFailed& e) {
            EXPECT_EQ(noGreeting, e.what());
        }
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(900));
        EXPECT_LT(took, std::chrono::milliseconds(3000));
        EXPECT_EQ(noGreeting, c.getLastErrorResponse());
    }
    ConnectionInternal c;
    connectTo(c, server.port(), 1000);
    c.init(true);
    Command noop(c, "NOOP");
    EXPECT_THROW(noop.execute(nullptr), ImapTimeoutException);
    EXPECT_EQ(timedOut, c.getLastErrorResponse());
    EXPECT_EQ(ConnectionInternal::Authenticated, c.getState()); // left open
}

// The deadline belongs to the message (or, for the comparison's FETCH, to
// each message it answers): keep-alive lines and flag news that come while
// the message is awaited buy no time, and a body buys time only with the
// bytes that come, not with the size it announces. Each ends within its
// deadline (a short read time-out here) and 2 s.
TEST(MisbehavingServerTest, ChatterAndTricklesDoNotPutTheDeadlineOff)
{
    auto every200Ms = [](const std::string& bytes) {
        std::vector<Step> steps;
        for (int i = 0; i < 25; ++i) {
            steps.push_back(say(bytes));
            steps.push_back(stall(200));
        }
        return steps;
    };
    auto then = [](std::vector<Step> first, const std::vector<Step>& more) {
        first.insert(first.end(), more.begin(), more.end());
        return first;
    };
    const std::string announced = "* 1 FETCH (INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" FLAGS () "
                                  "BODY[] {500000000}\r\n";
    const struct {
        const char* name;
        std::vector<Step> steps;
        bool copy; // else the summaries of the comparison
    } cases[] = {
        {"keep-alive lines before the body", every200Ms("* OK Still here\r\n"), true},
        {"flag news before the body", every200Ms("* 1 FETCH (FLAGS (\\Seen))\r\n"), true},
        {"a trickling body", then({say(announced)}, every200Ms("x")), true},
        {"keep-alive lines in the comparison", every200Ms("* OK Still here\r\n"), false},
    };
    constexpr unsigned deadlineMs = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SocketScript server({loggedIn(then({readLine()}, c.steps))});
        SimpleImapClient source;
        source.setReadTimeoutMs(deadlineMs);
        ASSERT_EQ(ImapSuccess,
            source.connect(
                L"127.0.0.1", static_cast<unsigned>(server.port()), L"joe", L"pw", false, false));
        LoggedInClient target("%T OK done\r\n");
        const auto start = std::chrono::steady_clock::now();
        if (c.copy) {
            CopyRun run({1});
            EXPECT_NE(ImapSuccess, source.copyMessages(L"F", target.client, run));
            EXPECT_TRUE(run.end.timedOut) << run.end.why;
            EXPECT_EQ(0u, run.copied());
        } else {
            std::vector<MessageSummary> summaries;
            unsigned ignored = 0;
            EXPECT_EQ(ImapConnectionError, source.fetchSummaries(3, summaries, ignored));
            EXPECT_TRUE(source.lastFailureWasTimeout());
        }
        const long long tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start)
                                     .count();
        EXPECT_GE(tookMs, deadlineMs - 100);
        EXPECT_LT(tookMs, deadlineMs + 2000);
    }
}

TEST(MisbehavingServerTest, ClosedPortAndUnknownHost)
{
    int port = freeLoopbackPort();
    ConnectionInternal c;
    connectTo(c, port);
    EXPECT_THROW(c.init(true), ImapConnectionFailed);
    EXPECT_EQ("could not connect to 127.0.0.1:" + std::to_string(port) + ": connection refused",
        c.getLastErrorResponse());
    ConnectionInternal unknown;
    unknown.initialize("no-such-host.invalid", 143, "joe", "pw", false, 5, false);
    unknown.setLastErrorResponse("earlier");
    EXPECT_THROW(unknown.init(true), ImapConnectionFailed);
    EXPECT_EQ(
        "host name no-such-host.invalid could not be resolved", unknown.getLastErrorResponse());
}

TEST(MisbehavingServerTest, ReconnectAfterAHangUpRestoresTheFolder)
{
    SocketScript server({loggedIn({readLine(), say("%T OK [READ-WRITE] selected\r\n"), hangUp()}),
        {say(hello), readLine(), say("%T OK in\r\n"), readLine(),
            say("%T OK [READ-WRITE] again\r\n"), readLine(), say("* 4 EXISTS\r\n%T OK\r\n")}});
    ConnectionInternal c;
    connectTo(c, server.port());
    c.init(true);
    Command select(c, "SELECT");
    select.addParamString("Sent Items");
    ASSERT_EQ(Command::OK, select.execute(nullptr));
    c.setState(ConnectionInternal::Selected, "Sent Items");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The first write after the hang-up still leaves; its answer is the
    // closed peer, which reads as a time-out and leaves the state alone.
    Command lost(c, "CHECK");
    EXPECT_THROW(lost.execute(nullptr), ImapTimeoutException);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The next write fails: reconnect, log in, select again, then the
    // command.
    Command check(c, "CHECK");
    EXPECT_EQ(Command::OK, check.execute(nullptr));
    EXPECT_EQ("Sent Items", c.getSelectedFolder());
    EXPECT_EQ("LOGIN \"joe\" \"pw\"\r\nSELECT \"Sent Items\"\r\nCHECK\r\n",
        withoutTags(server.received(1)));
}

} // namespace

namespace {

TEST(MisbehavingServerTest, SilentServerWithTlsTimesOut)
{
    SocketScript server({{stall(4000)}});
    ConnectionInternal c;
    c.initialize("127.0.0.1", static_cast<unsigned>(server.port()), "joe", "pw", false, 180, true);
    c.setTimeoutMs(1000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(c.init(true), ImapConnectionFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
    EXPECT_EQ(ConnectionInternal::NotConnected, c.getState());
}

} // namespace
