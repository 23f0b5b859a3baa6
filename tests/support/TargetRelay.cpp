#include "support/TargetRelay.h"

#include <random>
#include <stdexcept>
#include <system_error>

namespace tavir::test {

TargetRelay::TargetRelay(const StandInTarget& target, CommandCount::Hook imapHook)
{
    // Another 127.0.0.N, with both ports free there; other stand-ins and
    // relays of tests running at the same time take addresses the same way.
    std::mt19937 pick(std::random_device{}());
    for (int attempt = 0; attempt < 500; ++attempt) {
        const std::string host
            = "127.0.0." + std::to_string(std::uniform_int_distribution<int>(2, 250)(pick));
        if (host == target.host())
            continue;
        try {
            const std::string to = target.host();
            admin_ = std::make_unique<LoopbackServer>(
                [to](PeerSocket& peer) { peer.relayTo(to, StandInTarget::adminPort, nullptr); },
                ListenAt{host, StandInTarget::adminPort});
            imap_ = std::make_unique<CommandRelay>(
                ListenAt{host, target.port()}, target.host(), target.port(), imapHook);
            return;
        } catch (const std::system_error&) {
            admin_.reset();
            imap_.reset();
        }
    }
    throw std::runtime_error("no loopback address with both ports free for a relay");
}

} // namespace tavir::test
