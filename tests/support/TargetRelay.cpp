#include "support/TargetRelay.h"

namespace tavir::test {

TargetRelay::TargetRelay(const StandInTarget& target, CommandCount::Hook imapHook)
{
    const std::string to = target.host();
    ownLoopbackAddress(to, [&](const std::string& host) {
        // A port taken on one address leaves nothing of this one open.
        admin_.reset();
        imap_.reset();
        admin_ = std::make_unique<LoopbackServer>(
            [to](PeerSocket& peer) { peer.relayTo(to, StandInTarget::adminPort, nullptr); },
            ListenAt{host, StandInTarget::adminPort});
        imap_ = std::make_unique<CommandRelay>(
            ListenAt{host, target.port()}, to, target.port(), imapHook);
    });
}

} // namespace tavir::test
