// An administration service that sends its first frame one byte at a time,
// or falls silent in it, or in the TLS handshake, over real TLS: the
// exchange is cut off at its time-out in all, with a sentence that says so,
// and a stop request raised on another thread ends the blocked call at once.
#include "tinydb/TinyDb.h"

#include "ssl/StopSignal.h"
#include "support/DribblingPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace tavir::tinydb;
using tavir::test::DribblingPeer;
using tavir::test::nowMs;

namespace {

struct Cut {
    const char* what;
    bool stop; // raised on another thread once the client waits
    unsigned timeoutMs;
    const char* clause;
    long long atLeastMs, atMostMs; // from the start, or from the stop
};

// Opens a connection to 127.0.0.1:port as the row says, raising the stop
// once `waiting()` says the client is blocked, and checks how and when it
// ended.
template <class Waiting> void expectCut(const Cut& c, int port, Status status, Waiting waiting)
{
    SCOPED_TRACE(c.what);
    tavir::test::TempDir dir;
    TinyDbOptions options;
    options.host = "127.0.0.1";
    options.port = static_cast<unsigned>(port);
    options.timeoutMs = c.timeoutMs;
    options.knownHostsFile = dir.file("known_hosts.cfg");
    auto stop = std::make_shared<tavir::utils::StopSignal>();
    options.stop = stop;
    long long from = nowMs();
    std::thread stopper([&] {
        if (c.stop && waiting()) {
            // Long enough for the client's read to be blocked in the socket.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            from = nowMs();
            stop->raise();
        }
    });
    tinydb_handle* handle = nullptr;
    EXPECT_EQ(status, tinydb_open(options, &handle));
    const long long ended = nowMs();
    stopper.join();
    EXPECT_GE(ended - from, c.atLeastMs);
    EXPECT_LT(ended - from, c.atMostMs);
    EXPECT_EQ(c.clause, tinydb_error(handle));
    EXPECT_FALSE(tinydb_is_usable(handle));
    tinydb_close(handle);
}

TEST(DribblingAdministration, TheFrameIsCutOffAtTheDeadlineOrAtAStop)
{
    const char* const stopped = "the connection was closed on a stop request";
    const struct {
        int pauseMs; // between two bytes of the frame
        Cut cut;
    } cases[] = {
        {100,
            {"deadline", false, 1500,
                "the server sends too slowly: its answer was not complete within 1.5 s, and the "
                "connection was cut off",
                1450, 1500 + 2000}},
        {100, {"stop", true, 60000, stopped, 0, 1000}},
        // After the first byte the server says nothing for a minute: the
        // read blocks in the socket until the stop kills it.
        {60000, {"stop while the server is silent in the frame", true, 60000, stopped, 0, 1000}},
    };
    for (const auto& c : cases) {
        DribblingPeer peer(DribblingPeer::Where::TinyDbFrame, c.pauseMs);
        expectCut(c.cut, peer.port(), Status::ConnectionLost, [&] { return peer.waitDribbling(); });
    }
}

TEST(DribblingAdministration, ASilentHandshakeIsCutOffAtTheDeadlineOrAtAStop)
{
    // Takes the connection and never answers the client's hello.
    std::atomic<bool> accepted{false};
    tavir::test::LoopbackServer silent([&](tavir::test::PeerSocket& peer) {
        accepted = true;
        peer.idle(60000);
    });
    const Cut cases[] = {
        {"deadline", false, 1500, "no answer within 1.5 s", 1450, 1500 + 2000},
        {"stop", true, 60000, "stopped while connecting", 0, 1000},
    };
    for (const auto& c : cases) {
        accepted = false;
        expectCut(c, silent.port(), Status::NoConnection,
            [&] { return tavir::test::waitUntil([&] { return accepted.load(); }, 10000, 5); });
    }
}

} // namespace
