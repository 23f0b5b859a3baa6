#pragma once
// The stand-in target seen through relays on a loopback address of their
// own: the administration port and the plain IMAP port pass through to the
// stand-in, and the IMAP commands are counted and can be cut or watched
// (CommandRelay). A migration configured with host():port() reaches the
// stand-in only through here, administration included, as it needs one
// host for both.
#include "support/Loopback.h"
#include "support/StandInTarget.h"

#include <memory>
#include <string>

namespace tavir::test {

class TargetRelay {
public:
    explicit TargetRelay(const StandInTarget& target, CommandCount::Hook imapHook = {});

    const std::string& host() const { return imap_->host(); }
    std::wstring whost() const { return std::wstring(host().begin(), host().end()); }
    // The same number as the stand-in's plain IMAP port, so that binding
    // the IMAP service to it keeps it where it was.
    int port() const { return imap_->port(); }
    int commands() const { return imap_->commands(); }

private:
    std::unique_ptr<LoopbackServer> admin_; // TLS: passed on as it is
    std::unique_ptr<CommandRelay> imap_;
};

} // namespace tavir::test
