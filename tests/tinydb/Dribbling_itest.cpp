// An administration service that sends its first frame one byte at a time,
// over TLS: the exchange is cut off at its time-out in all, with a sentence
// that says so, and a stop request ends it at once.
#include "tinydb/TinyDb.h"

#include "ssl/StopSignal.h"
#include "support/DribblingPeer.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tavir::tinydb;
using tavir::test::DribblingPeer;
using tavir::test::nowMs;

namespace {

TEST(DribblingAdministration, TheFrameIsCutOffAtTheDeadlineOrAtAStop)
{
    tavir::test::TempDir dir;
    DribblingPeer peer(DribblingPeer::Where::TinyDbFrame, 100);
    const struct {
        const char* what;
        bool stop;
        const char* clause;
        long long atLeastMs, atMostMs; // from the start, or from the stop
    } cases[] = {
        {"deadline", false,
            "the server sends too slowly: its answer was not complete within 1500 ms, and the "
            "connection was cut off",
            1450, 1500 + 2000},
        {"stop", true, "the connection was closed on a stop request", 0, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TinyDbOptions options;
        options.host = "127.0.0.1";
        options.port = static_cast<unsigned>(peer.port());
        options.timeoutMs = c.stop ? 60000 : 1500;
        options.knownHostsFile = dir.file("known_hosts.cfg");
        auto stop = std::make_shared<tavir::utils::StopSignal>();
        options.stop = stop;
        long long from = nowMs();
        std::thread stopper([&] {
            if (c.stop && peer.waitDribbling()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                from = nowMs();
                stop->raise();
            }
        });
        tinydb_handle* handle = nullptr;
        EXPECT_EQ(Status::ConnectionLost, tinydb_open(options, &handle));
        const long long ended = nowMs();
        stopper.join();
        EXPECT_GE(ended - from, c.atLeastMs);
        EXPECT_LT(ended - from, c.atMostMs);
        EXPECT_EQ(c.clause, tinydb_error(handle));
        EXPECT_FALSE(tinydb_is_usable(handle));
        tinydb_close(handle);
    }
}

} // namespace
