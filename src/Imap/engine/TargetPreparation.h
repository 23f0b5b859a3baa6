#pragma once
// Preparing the target server for a run and putting it back afterwards,
// over the administration client. Each failure is one sentence in the report
// (the client's own: what could not be done, on which host, and why).
#include "Imap/engine/Logger.h"
#include "imapclient/ConnectionInternal.h"
#include "tinydb/TinyDbClient.h"

#include <string>

namespace tavir::migration {

struct TargetPlan {
    std::string host; // UTF-8; the administration service is on its port 44337
    std::string adminUser;
    std::string adminPassword;
    bool ssl = false; // which IMAP service the migration uses
    unsigned imapPort = mail::ConnectionInternal::defaultImapPort;
    std::string masterPassword;
};

// The workers of a run when the target's count can't be read.
constexpr unsigned defaultWorkerCount = 6;

struct PreparedTarget {
    std::string version;
    // The target's count; defaultWorkerCount when it can't be read, 1 when
    // it reads 0.
    unsigned workers = defaultWorkerCount;
    // The administration client's sentence about a server certificate met
    // for the first time, if it was.
    std::string notice;
};

// In this order, stopping at the first failure: log in, read the version,
// backend mode on with the master password and an access list that admits
// every address (the old settings saved first), folder and index-write
// caches on, security policy mode 0, the IMAP service bound to all
// addresses on the plan's port and restarted, the worker count read. A
// failure puts back whatever was changed before it and closes the
// connection; false then.
bool prepareTarget(
    tinydb::TinyDbClient& admin, const TargetPlan& plan, PreparedTarget& out, Logger& log);

// Puts back the backend settings (dropping the access list), the caches,
// the security policy and the IMAP binding, in this order; every step runs
// even when one before it failed, and each failure is a sentence. True when
// everything is back. Steps with nothing to put back do nothing.
bool restoreTarget(tinydb::TinyDbClient& admin, Logger& log);

} // namespace tavir::migration
