#pragma once
// A relay that holds every chunk of bytes for a fixed time before passing it
// on, both ways, so that a copy over loopback meets the round trips of a
// network between machines (many kernels have no netem). It never limits
// the rate: each chunk is read as soon as it arrives, queued with its due
// time and written when it is due. A connection is made at once (its
// handshake is not delayed); its bytes, the greeting first, are. It runs
// in a child process of its own (ServerChild), on a loopback address of
// its own, with the same port numbers as the server behind it. It counts
// the round trips of each port's clients as it sees them.
#include "ChildProcesses.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tavir::bench {

class DelayRelay {
public:
    // Passes each of `ports` to the same port of `serverHost`, every chunk
    // `delay` late in each direction.
    DelayRelay(const std::string& serverHost, const std::vector<int>& ports,
        std::chrono::microseconds delay);
    // The relay's own address (127.0.0.N).
    const std::string& host() const { return child_.told(); }
    // The round trips the clients of `port` have waited for so far: how
    // often, on each of their connections, a client spoke first or again
    // after the server had (pipelined requests sent together count once).
    long roundTrips(int port) const;

private:
    std::vector<int> ports_;
    // One count per port, in memory shared with the relay's process.
    std::shared_ptr<std::atomic<long>> counts_;
    ServerChild child_;
};

// ", 10 ms round trip" for a delay of 5 ms each way; "" for none: what a
// run's name says about its links.
std::string roundTripText(std::chrono::microseconds delay);

} // namespace tavir::bench
