#pragma once
// A target that answers at once and keeps nothing, for the ceiling of what
// the engine can do when the target costs nothing. Its IMAP service is a
// small server here that takes whatever the engine sends (master login,
// account switch, X-CREATE, STATUS, APPEND, ...) and answers each command
// with the protocol's own replies as soon as it has read it, keeping per
// account and folder only the identifier it gave out, how many messages
// came and their bytes (STATUS MESSAGES and SIZE tell them, so that a check
// can count what arrived). A command it does not know gets BAD, so that a
// new one shows up as a failed run rather than as a fast one. Its
// administration service is a stand-in target's, passed through as it is.
//
// Both listen on a loopback address of their own, the IMAP service on the
// stand-in's own port number: binding the IMAP service to that port, as
// the engine's preparation does, leaves the stand-in where it was. Both
// run in a child process of their own (ServerChild), a thread per
// connection.
#include "ChildProcesses.h"
#include "support/StandInTarget.h"

#include <memory>
#include <string>

namespace tavir::bench {

class InstantTarget {
public:
    explicit InstantTarget(unsigned workers);

    const std::string& host() const { return server_->told(); }
    int port() const { return admin_->port(); }

private:
    std::unique_ptr<tavir::test::StandInTarget> admin_;
    std::unique_ptr<ServerChild> server_;
};

} // namespace tavir::bench
