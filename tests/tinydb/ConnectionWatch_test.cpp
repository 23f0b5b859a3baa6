// The watch over an administration connection's blocking calls: the call
// is a TLS client handshake on one end of a socket pair whose other end
// says nothing (or closes), so it blocks in the socket until the watch kills
// it at the deadline or on a stop, raised on another thread; calls past
// either are refused without touching the socket.
#include "tinydb/ConnectionWatch.h"

#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"
#include "ssl/StopSignal.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

using tavir::tinydb::ConnectionWatch;
using tavir::test::nowMs;
using Ending = ConnectionWatch::Ending;
using Clock = ConnectionWatch::Clock;

namespace {

TEST(ConnectionWatch, EndsABlockedCallAtTheDeadlineOrOnAStopAndRefusesTheNext)
{
    enum class Peer { Silent, Closes };
    const struct {
        const char* what;
        bool thread; // the watch's thread was started
        int deadlineMs; // from the call's start; -1: none
        int stopAfterMs; // raised on another thread; -1: never, 0: before the call
        Peer peer;
        bool entered;
        Ending ending;
        long long atLeastMs, atMostMs; // how long the call took
        bool nextEnters; // a call after it may be made
    } cases[] = {
        {"the deadline passes in the call", true, 400, -1, Peer::Silent, true, Ending::Deadline,
            350, 400 + 2000, false},
        {"a stop in the call", true, -1, 300, Peer::Silent, true, Ending::Stop, 250, 300 + 1000,
            false},
        {"a stop before the deadline", true, 30000, 300, Peer::Silent, true, Ending::Stop, 250,
            300 + 1000, false},
        {"a stop raised before the call", true, 30000, 0, Peer::Silent, false, Ending::Stop, 0,
            1000, false},
        {"a deadline that has passed", true, 0, -1, Peer::Silent, false, Ending::Deadline, 0, 1000,
            false},
        {"a call that ends by itself", true, 30000, -1, Peer::Closes, true, Ending::None, 0, 2000,
            true},
        // Without its thread only the socket's receive time-out (1 s) ends
        // the call; the stop is seen at the next call.
        {"no thread", false, 30000, 300, Peer::Silent, true, Ending::None, 900, 1000 + 2000,
            false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int pair[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
        tavir::ssl::SSLContext context;
        tavir::ssl::KSslSocket socket;
        ASSERT_TRUE(socket.init(&context));
        ASSERT_TRUE(socket.open(pair[0]));
        // Long enough not to end a call the watch should end.
        socket.setReadTimeout(c.thread ? 10000 : 1000);
        if (c.peer == Peer::Closes)
            close(pair[1]);
        auto stop = std::make_shared<tavir::utils::StopSignal>();
        if (c.stopAfterMs == 0)
            stop->raise();
        {
            ConnectionWatch watch(socket);
            if (c.thread) {
                ASSERT_TRUE(watch.start());
            }
            watch.setStopSignal(stop);
            if (c.deadlineMs >= 0)
                watch.setDeadline(Clock::now() + std::chrono::milliseconds(c.deadlineMs));
            std::thread stopper([&] {
                if (c.stopAfterMs > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(c.stopAfterMs));
                    stop->raise();
                }
            });
            const long long start = nowMs();
            const bool entered = watch.enter();
            if (entered) {
                EXPECT_FALSE(socket.connect());
                watch.leave();
            }
            const long long took = nowMs() - start;
            stopper.join();
            EXPECT_EQ(c.entered, entered);
            EXPECT_EQ(c.ending, watch.ending());
            EXPECT_GE(took, c.atLeastMs);
            EXPECT_LT(took, c.atMostMs);
            // The watch killed the socket exactly when it says it ended it.
            EXPECT_EQ(c.ending != Ending::None && c.entered, !socket.isOpened());
            const bool nextEntered = watch.enter();
            if (nextEntered)
                watch.leave();
            EXPECT_EQ(c.nextEnters, nextEntered);
        }
        if (c.peer == Peer::Silent)
            close(pair[1]);
    }
}

} // namespace
