// Servers that send a greeting, a reply or a message body one byte at a
// time: each operation is cut off at its deadline with a sentence that says
// so and counts as a time-out, and a stop request ends it at once.
#include "imapclient/SimpleImapClient.h"
#include "ssl/StopSignal.h"
#include "support/DribblingPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace tavir::mail;
using tavir::test::DribblingPeer;
using tavir::test::nowMs;
using Where = DribblingPeer::Where;

namespace {

const Where imapParts[] = {Where::Greeting, Where::ImapReply, Where::MessageBody};

// The operation whose answer the peer dribbles: the login (greeting and
// reply), or the body of message 1 read to its end; `loggedIn` runs between
// the two. True when it succeeded; the connection's last error says why
// not.
bool dribbledOperation(
    Where where, SimpleImapClient& client, int port, const std::function<void()>& loggedIn = {})
{
    if (client.connect(L"127.0.0.1", static_cast<unsigned>(port), L"anna", L"secret", false, false)
        != ImapSuccess)
        return false;
    if (where != Where::MessageBody)
        return true;
    if (loggedIn)
        loggedIn();
    FetchMessage message;
    if (client.fetch(1, message) != ImapSuccess)
        return false;
    std::string part;
    for (bool more = message.getFirstDataPart(part); more; more = message.getNextDataPart(part)) { }
    return message.getRestSize() == 0 && message.isDrained();
}

TEST(Dribbling, EachOperationIsCutOffAtItsDeadline)
{
    constexpr long long deadlineMs = 1500;
    for (Where where : imapParts) {
        SCOPED_TRACE(DribblingPeer::name(where));
        DribblingPeer peer(where, 100);
        SimpleImapClient client;
        client.setReadTimeoutMs(deadlineMs);
        const long long begin = nowMs();
        EXPECT_FALSE(dribbledOperation(where, client, peer.port()));
        const long long took = nowMs() - begin;
        EXPECT_GE(took, deadlineMs - 50);
        EXPECT_LT(took, deadlineMs + 2000);
        const std::string error = client.getConnection().getLastErrorResponse();
        EXPECT_NE(std::string::npos,
            error.find("127.0.0.1:" + std::to_string(peer.port()) + " sends too slowly: "))
            << error;
        EXPECT_NE(std::string::npos, error.find("not complete after 1.5 s")) << error;
        EXPECT_TRUE(client.lastFailureWasTimeout());
    }
}

// Also a signal given to a connection made already, as to one handed on
// logged in.
TEST(Dribbling, AStopEndsEachOperationAtOnce)
{
    const struct {
        Where where;
        bool givenLoggedIn; // the signal given once the login is through
    } rows[] = {{Where::Greeting, false}, {Where::ImapReply, false}, {Where::MessageBody, false},
        {Where::MessageBody, true}};
    for (const auto& row : rows) {
        const Where where = row.where;
        const bool givenLoggedIn = row.givenLoggedIn;
        SCOPED_TRACE(DribblingPeer::name(where) + std::string(givenLoggedIn ? ", given late" : ""));
        DribblingPeer peer(where, 100);
        SimpleImapClient client;
        auto stop = std::make_shared<tavir::utils::StopSignal>();
        if (!givenLoggedIn)
            client.setStopSignal(stop);
        std::atomic<long long> raisedAt{0};
        std::thread stopper([&] {
            if (!peer.waitDribbling())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            raisedAt = nowMs();
            stop->raise();
        });
        EXPECT_FALSE(dribbledOperation(where, client, peer.port(), [&] {
            if (givenLoggedIn)
                client.setStopSignal(stop);
        }));
        const long long ended = nowMs();
        stopper.join();
        ASSERT_NE(0, raisedAt.load()) << "the peer never dribbled";
        EXPECT_LT(ended - raisedAt, 1000);
        const std::string error = client.getConnection().getLastErrorResponse();
        EXPECT_NE(std::string::npos, error.find("closed on a stop request")) << error;
        EXPECT_FALSE(client.lastFailureWasTimeout());
    }
}

} // namespace
