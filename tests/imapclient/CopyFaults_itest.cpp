// Faults during a message copy, with real sockets: the target (the stand-in)
// drops the connection inside an APPEND's literal, drops it before or after
// reading the command, refuses or stalls; the source (a scripted server)
// breaks off or stalls inside a body. Nothing partial or duplicated lands on
// the target, every call returns within the short time-out, and the next
// message is copied whole.
#include "imapclient/SimpleImapClient.h"
#include "support/Dovecot.h"
#include "support/FakeImapSource.h"
#include "support/ImapLogins.h"
#include "support/StandInTarget.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace tavir::mail;
using tavir::test::Dovecot;
using tavir::test::FakeFolder;
using tavir::test::FakeImapSource;
using tavir::test::LoopbackServer;
using tavir::test::PeerSocket;
using tavir::test::RawImap;
using tavir::test::StandInTarget;

namespace {

const unsigned timeoutMs = 1500;

std::string message(unsigned n, std::size_t size)
{
    std::string text = "Subject: message " + std::to_string(n) + "\r\n\r\n";
    while (text.size() < size)
        text += "body of message " + std::to_string(n) + " at " + std::to_string(text.size())
            + "\r\n";
    text.resize(size - 2);
    return text + "\r\n";
}

TEST(CopyFaultsTest, TargetFailsDuringAppend)
{
    if (!Dovecot::available())
        GTEST_SKIP() << Dovecot::unavailable();
    Dovecot dovecot(std::map<std::string, std::string>{{"alice", "alicepw"}});
    std::vector<std::string> bodies;
    {
        RawImap raw(dovecot.port());
        ASSERT_TRUE(raw.login("alice", "alicepw"));
        for (unsigned n = 1; n <= 4; ++n) {
            bodies.push_back(message(n, 30000 + n));
            ASSERT_TRUE(raw.append("INBOX", bodies.back(), "\\Flagged"));
        }
    }
    struct Case {
        std::string fault;
        std::vector<ImapClientResult> results; // of messages 1 to 4
    };
    const Case cases[] = {
        {R"([{"on": "APPEND", "count": 2, "action": "drop_in_literal", "after_bytes": 5000}])",
            {ImapSuccess, ImapConnectionError, ImapSuccess, ImapSuccess}},
        {R"([{"on": "APPEND", "count": 1, "action": "drop"}])",
            {ImapConnectionError, ImapSuccess, ImapSuccess, ImapSuccess}},
        {R"([{"on": "APPEND", "count": 3, "action": "drop_after"}])",
            {ImapSuccess, ImapSuccess, ImapConnectionError, ImapSuccess}},
        {R"([{"on": "APPEND", "count": 2, "times": 2, "action": "no"}])",
            {ImapSuccess, ImapAppendFailed, ImapAppendFailed, ImapSuccess}},
        {R"([{"on": "APPEND", "count": 1, "action": "bad"}])",
            {ImapAppendFailed, ImapSuccess, ImapSuccess, ImapSuccess}},
        {R"([{"on": "APPEND", "count": 2, "action": "stall"}])",
            {ImapSuccess, ImapConnectionError, ImapSuccess, ImapSuccess}},
    };
    for (const Case& c : cases) {
        StandInTarget::Options options;
        options.accounts = {{"alice@example.com", ""}};
        options.faults = c.fault;
        StandInTarget target(options);
        SimpleImapClient source;
        ASSERT_EQ(
            ImapSuccess, tavir::test::connectSource(source, dovecot.port(), L"alicepw", timeoutMs));
        SimpleImapClient to;
        ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, timeoutMs));
        std::vector<std::string> expected;
        for (unsigned n = 1; n <= 4; ++n) {
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(c.results[n - 1], source.copyMessage(L"INBOX", to, n)) << c.fault << " " << n;
            EXPECT_LT(
                std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * timeoutMs));
            if (c.results[n - 1] == ImapSuccess)
                expected.push_back(bodies[n - 1]);
        }
        auto stored = target.folders("alice@example.com")["INBOX"].messages;
        ASSERT_EQ(expected.size(), stored.size()) << c.fault;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_TRUE(expected[i] == stored[i].data) << c.fault << " " << i;
            EXPECT_EQ(std::vector<std::string>{"\\Flagged"}, stored[i].flags);
        }
    }
}

FakeImapSource fakeSource(const std::vector<std::string>& bodies, unsigned broken = 0,
    FakeImapSource::Cut cut = FakeImapSource::Cut::None)
{
    FakeImapSource source;
    source.inbox().bodies = bodies;
    source.broken = broken;
    source.cut = cut;
    source.stallMs = 2 * timeoutMs + 500;
    return source;
}

TEST(CopyFaultsTest, SourceBreaksOffInsideABody)
{
    std::vector<std::string> bodies = {message(1, 40000), message(2, 25000), message(3, 10241)};
    for (auto cut : {FakeImapSource::Cut::Drop, FakeImapSource::Cut::Stall}) {
        // The first connection breaks inside message 2; the client comes
        // back on a second one for message 3.
        LoopbackServer fake({fakeSource(bodies, 2, cut).session(), fakeSource(bodies).session()});
        StandInTarget::Options options;
        options.accounts = {{"alice@example.com", ""}};
        StandInTarget target(options);
        SimpleImapClient source;
        ASSERT_EQ(ImapSuccess, tavir::test::connectSource(source, fake.port(), L"pw", timeoutMs));
        SimpleImapClient to;
        ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, timeoutMs));

        EXPECT_EQ(ImapSuccess, source.copyMessage(L"INBOX", to, 1));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ImapMessageLoadFailed, source.copyMessage(L"INBOX", to, 2));
        EXPECT_LT(
            std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * timeoutMs));
        EXPECT_EQ(ImapSuccess, source.copyMessage(L"INBOX", to, 3));
        EXPECT_EQ(2, fake.accepted());

        auto stored = target.folders("alice@example.com")["INBOX"].messages;
        ASSERT_EQ(2u, stored.size());
        EXPECT_TRUE(bodies[0] == stored[0].data);
        EXPECT_TRUE(bodies[2] == stored[1].data);
        EXPECT_EQ(std::vector<std::string>{"\\Answered"}, stored[1].flags);
        EXPECT_EQ("03-Jan-2020 10:00:00 +0000", stored[1].date);
        // Not one APPEND of the broken message reached the target.
        EXPECT_EQ(std::string::npos, target.transcript().find("{25000+}"));
    }
}

// The source breaks off or stalls inside message 5 of 10 of a pipelined
// copy while another client expunges message 2. Selected again on a new
// connection, the folder numbers its messages otherwise: the old numbers
// are not asked for (they would name the next message each, and the last
// none), the messages are found again by their UIDs, and each lands on the
// target once.
TEST(CopyFaultsTest, AMessageExpungedWhileTheSourceStallsIsNotTakenForAnother)
{
    std::vector<std::string> bodies;
    for (unsigned n = 1; n <= 10; ++n)
        bodies.push_back(message(n, 2000 + n));
    for (auto cut : {FakeImapSource::Cut::Drop, FakeImapSource::Cut::Stall}) {
        SCOPED_TRACE(cut == FakeImapSource::Cut::Drop ? "broken off" : "stalled");
        FakeImapSource afterwards = fakeSource(bodies);
        FakeFolder& inbox = afterwards.inbox();
        inbox.bodies.erase(inbox.bodies.begin() + 1);
        inbox.uids = {1, 3, 4, 5, 6, 7, 8, 9, 10};
        LoopbackServer fake({fakeSource(bodies, 5, cut).session(), afterwards.session()});
        StandInTarget::Options options;
        options.accounts = {{"alice@example.com", ""}};
        StandInTarget target(options);
        SimpleImapClient source;
        ASSERT_EQ(ImapSuccess, tavir::test::connectSource(source, fake.port(), L"pw", timeoutMs));
        EXPECT_EQ(10u, source.selectedMailbox().count);
        SimpleImapClient to;
        ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, timeoutMs));

        CopyRun first({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
        EXPECT_NE(ImapSuccess, source.copyMessages(L"INBOX", to, first));
        EXPECT_EQ(4u, first.copied());
        EXPECT_EQ(5u, first.uid(5));
        // The rest by its old numbers: nothing is asked for, nothing appended.
        CopyRun stale({6, 7, 8, 9, 10});
        EXPECT_EQ(ImapConnectionError, source.copyMessages(L"INBOX", to, stale));
        EXPECT_EQ(0u, stale.copied() + stale.failed());
        EXPECT_TRUE(source.renumbered());
        EXPECT_EQ(9u, source.selectedMailbox().count);
        std::vector<SimpleImapClient::NumberedUid> found;
        ASSERT_EQ(ImapSuccess, source.fetchUids(6, found));
        std::vector<unsigned> numbers;
        for (const SimpleImapClient::NumberedUid& m : found)
            if (m.uid >= 6)
                numbers.push_back(m.number);
        EXPECT_EQ((std::vector<unsigned>{5, 6, 7, 8, 9}), numbers);
        source.acceptNumbering();
        CopyRun rest(numbers);
        EXPECT_EQ(ImapSuccess, source.copyMessages(L"INBOX", to, rest));
        EXPECT_EQ(5u, rest.copied());
        EXPECT_EQ(2, fake.accepted());

        auto stored = target.folders("alice@example.com")["INBOX"].messages;
        ASSERT_EQ(9u, stored.size());
        for (std::size_t i = 0; i < stored.size(); ++i)
            EXPECT_TRUE(bodies[i < 4 ? i : i + 1] == stored[i].data) << i;
    }
}

TEST(CopyFaultsTest, EmptyBodyAndUnsolicitedResponses)
{
    std::vector<std::string> bodies = {"", message(2, 10240), "x"};
    // An EXISTS, a RECENT and another message's flag change come before
    // each body; the empty body is a message of its own.
    FakeImapSource script = fakeSource(bodies);
    script.beforeBody = "* 9 EXISTS\r\n* 1 RECENT\r\n* 7 FETCH (FLAGS (\\Seen \\Deleted))\r\n";
    LoopbackServer fake({script.session()});
    StandInTarget::Options options;
    options.accounts = {{"alice@example.com", ""}};
    StandInTarget target(options);
    SimpleImapClient source;
    ASSERT_EQ(ImapSuccess, tavir::test::connectSource(source, fake.port(), L"pw", timeoutMs));
    SimpleImapClient to;
    ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, timeoutMs));
    for (unsigned n = 1; n <= 3; ++n)
        EXPECT_EQ(ImapSuccess, source.copyMessage(L"INBOX", to, n)) << n;
    auto stored = target.folders("alice@example.com")["INBOX"].messages;
    ASSERT_EQ(3u, stored.size());
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_TRUE(bodies[i] == stored[i].data) << i;
        EXPECT_EQ(std::vector<std::string>{"\\Answered"}, stored[i].flags);
        EXPECT_EQ("0" + std::to_string(i + 1) + "-Jan-2020 10:00:00 +0000", stored[i].date);
    }
    EXPECT_EQ(1, fake.accepted());
}

// A copy must not wait for a delayed acknowledgement (some 40 ms a time on
// Linux) on either side: the end of a small APPEND held back by Nagle's
// algorithm on our side, or the tagged line of a source that writes each
// reply in two sends with Nagle's on its side. 50 copies stay well under
// the 2 (or 4) seconds that would take.
TEST(CopyFaultsTest, SmallMessagesAreNotHeldBack)
{
    std::vector<std::string> bodies;
    for (unsigned n = 1; n <= 50; ++n)
        bodies.push_back(message(n, 4096));
    StandInTarget::Options options;
    options.accounts = {{"alice@example.com", ""}};
    options.persist = false;
    StandInTarget target(options);
    SimpleImapClient to;
    ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, timeoutMs));
    for (bool split : {false, true}) {
        SCOPED_TRACE(split ? "source replies in two sends" : "source replies in one send");
        FakeImapSource script = fakeSource(bodies);
        script.splitReplies = split;
        LoopbackServer fake({script.session()});
        SimpleImapClient source;
        ASSERT_EQ(ImapSuccess, tavir::test::connectSource(source, fake.port(), L"pw", timeoutMs));
        auto start = std::chrono::steady_clock::now();
        for (unsigned n = 1; n <= bodies.size(); ++n)
            ASSERT_EQ(ImapSuccess, source.copyMessage(L"INBOX", to, n)) << n;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    }
}

TEST(CopyFaultsTest, GreetingTest)
{
    LoopbackServer fake({[](PeerSocket& c) { c.say("* OK [CAPABILITY IMAP4rev1] hello\r\n"); },
        [](PeerSocket& c) { c.idle(2500); }, [](PeerSocket& c) { c.say("* BYE too busy\r\n"); }});
    SimpleImapClient client;
    std::wstring greeting = L"unchanged";
    EXPECT_TRUE(client.testImapServer(L"127.0.0.1", fake.port(), false, 5, greeting));
    EXPECT_EQ(L"* OK [CAPABILITY IMAP4rev1] hello\r", greeting);
    // A server that says nothing: false after the time-out, not later.
    auto start = std::chrono::steady_clock::now();
    greeting = L"unchanged";
    EXPECT_FALSE(client.testImapServer(L"127.0.0.1", fake.port(), false, 1, greeting));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_FALSE(client.testImapServer(L"127.0.0.1", fake.port(), false, 5, greeting));
    EXPECT_EQ(L"unchanged", greeting);
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.testImapServer(
        L"127.0.0.1", static_cast<unsigned>(tavir::test::freeLoopbackPort()), false, 1, greeting));
}

} // namespace
