// The watch over an administration connection's blocking calls: the call
// is a TLS client handshake on one end of a socket pair whose other end
// says nothing (or closes), so it blocks in the socket until the watch kills
// it at the deadline or on a stop, raised on another thread; calls past
// either are refused without touching the socket. The watch's thread is
// started and joined as every thread of the system is.
#include "tinydb/ConnectionWatch.h"

#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"
#include "ssl/StopSignal.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "tiny/ScopeExit.h"
#include "tiny/Thread.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

using tavir::test::nowMs;
using tavir::tinydb::ConnectionWatch;
using Ending = ConnectionWatch::Ending;
using Clock = ConnectionWatch::Clock;

namespace {

// A stop signal whose event descriptor could not be made: it is made while
// the process may open no more descriptors.
std::shared_ptr<tavir::utils::StopSignal> stopWithoutDescriptor()
{
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowestFree);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    setrlimit(RLIMIT_NOFILE, &none);
    auto stop = std::make_shared<tavir::utils::StopSignal>();
    setrlimit(RLIMIT_NOFILE, &saved);
    return stop;
}

TEST(ConnectionWatch, EndsABlockedCallAtTheDeadlineOrOnAStopAndRefusesTheNext)
{
    enum class Peer { Silent, Closes };
    const struct {
        const char* what;
        bool thread; // the watch's thread was started
        int deadlineMs; // from the call's start; -1: none
        int stopAfterMs; // raised on another thread; -1: never, 0: before the call
        bool stopDescriptor; // the stop can wake the watch, else it is looked at
        Peer peer;
        bool entered;
        Ending ending;
        long long atLeastMs, atMostMs; // how long the call took
        bool nextEnters; // a call after it may be made
    } cases[] = {
        {"the deadline passes in the call", true, 400, -1, true, Peer::Silent, true,
            Ending::Deadline, 350, 400 + 2000, false},
        {"a stop in the call", true, -1, 300, true, Peer::Silent, true, Ending::Stop, 250,
            300 + 1000, false},
        {"a stop before the deadline", true, 30000, 300, true, Peer::Silent, true, Ending::Stop,
            250, 300 + 1000, false},
        {"a stop raised before the call", true, 30000, 0, true, Peer::Silent, false, Ending::Stop,
            0, 1000, false},
        {"a deadline that has passed", true, 0, -1, true, Peer::Silent, false, Ending::Deadline, 0,
            1000, false},
        {"a call that ends by itself", true, 30000, -1, true, Peer::Closes, true, Ending::None, 0,
            2000, true},
        // Without its thread only the socket's receive time-out (1 s) ends
        // the call; the stop is seen at the next call.
        {"no thread", false, 30000, 300, true, Peer::Silent, true, Ending::None, 900, 1000 + 2000,
            false},
        {"a stop without its descriptor in a call without a deadline", true, -1, 300, false,
            Peer::Silent, true, Ending::Stop, 250, 300 + 1000, false},
        {"a stop without its descriptor before the deadline", true, 30000, 300, false, Peer::Silent,
            true, Ending::Stop, 250, 300 + 1000, false},
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
        auto stop = c.stopDescriptor ? std::make_shared<tavir::utils::StopSignal>()
                                     : stopWithoutDescriptor();
        ASSERT_EQ(c.stopDescriptor, stop->descriptor() >= 0);
        if (c.stopAfterMs == 0)
            stop->raise();
        {
            ConnectionWatch watch(socket);
            if (c.thread) {
                ASSERT_TRUE(watch.start());
            }
            watch.setStopSignal(stop);
            // The watch asleep beside no call, as between the calls of a
            // connection, when the call comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
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

// Seen by the process-wide thread callbacks, which only threads started by
// createThread call: the watch's thread started under its name, and ended
// (joined) by the time the watch is gone.
std::atomic<int> watchesStarted{0};
std::atomic<int> watchesEnded{0};
std::atomic<unsigned long> watchThread{0};

void onThreadStart(unsigned long id, const std::string& name)
{
    if (name == "connection watch") {
        watchThread = id;
        ++watchesStarted;
    }
}

void onThreadEnd(unsigned long id)
{
    if (id == watchThread)
        ++watchesEnded;
}

TEST(ConnectionWatch, ItsThreadIsStartedAndJoinedAsEveryThreadOfTheSystem)
{
    auto callbacks = tavir::tiny::ThreadCallbacks::getInstance();
    ASSERT_TRUE(callbacks->registerThreadCallbacks(onThreadStart, onThreadEnd));
    const tavir::tiny::ScopeExit unregister(
        [&] { callbacks->registerThreadCallbacks(nullptr, nullptr); });
    tavir::ssl::KSslSocket socket;
    {
        ConnectionWatch watch(socket);
        ASSERT_TRUE(watch.start());
        EXPECT_TRUE(watch.start()) << "one thread";
        EXPECT_TRUE(tavir::test::waitUntil([] { return watchesStarted == 1; }, 10000, 1));
        EXPECT_EQ(0, watchesEnded.load());
    }
    EXPECT_EQ(1, watchesStarted.load());
    EXPECT_EQ(1, watchesEnded.load());
}

} // namespace
