#pragma once
// Preparing the target server for a run and putting it back afterwards,
// over the administration client, with the journal that lets the next start
// put it back when a run could not. Each failure is one sentence in the
// report (the client's own: what could not be done, on which host, and why).
#include "Imap/engine/Logger.h"
#include "imapclient/ConnectionInternal.h"
#include "ssl/StopSignal.h"
#include "tinydb/PreparationJournal.h"
#include "tinydb/TinyDbClient.h"

#include <atomic>
#include <memory>
#include <string>

namespace tavir::migration {

struct TargetPlan {
    std::string host; // UTF-8; the administration service is on its port 44337
    std::string adminUser;
    std::string adminPassword;
    bool ssl = false; // which IMAP service the migration uses
    unsigned imapPort = mail::ConnectionInternal::defaultImapPort;
    std::string masterPassword;
    // This run, as its journal, its lock and its access list name it.
    tinydb::RunIdentity run;
    // Raised, it ends the preparation's waits on the administration service
    // at once (each is bounded by its own deadline anyway); null: none.
    std::shared_ptr<const utils::StopSignal> stop;
    // Set once the preparation begins to put back what it changed (a stop
    // or a failure cut it short), for the run's status; null: none.
    std::shared_ptr<std::atomic<bool>> puttingBack;
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

// "<host>:44337", the administration service a plan's journal is kept for.
std::string journalTarget(const TargetPlan& plan);

// In this order, stopping at the first failure: the journal's lock taken
// (refused while another run of this computer holds it); a journal left
// here read, and refused before anything is sent unless it is whole, this
// program's and of this target; log in, read the version; a journal left by
// a run that ended without restoring the target compared with the target,
// the target searched for a preparation it does not explain (refused when
// one shows), the IMAP service restarted when its binding is not to be put
// back (its listener may not follow its row), and every value still as
// that run set it put back; every
// setting to change read, the target searched for another run's
// preparation (refused when one shows, or when what was read holds a trace
// of one), the settings read once more (refused when they changed); what
// was read and what is set instead written to the journal; the access list
// created (and the target searched once more, for a run of another
// computer that started at the same moment), backend mode on with the
// master password, folder and index-write caches on, security policy mode
// 0, the IMAP service bound to all addresses on the plan's port and
// restarted, the worker count read (these last sent together, so a failure
// among them does not keep the others from running). A failure puts back
// whatever was changed before it, or with it, and closes the connection;
// false then. A raised `plan.stop` ends the wait in hand the same way, but
// the step it ended is no failure: its sentence goes to the debug log
// alone. What was changed is then put back without the stop, each
// exchange within its own deadline, `plan.puttingBack` set first. The lock
// stays with `journal` for the run's life.
bool prepareTarget(tinydb::TinyDbClient& admin, tinydb::PreparationJournal& journal,
    const TargetPlan& plan, PreparedTarget& out, Logger& log);

// A preparation (whole or in part) that no run follows: what it changed
// put back (restoreTarget), the connection closed, and the report's last
// sentence on it ("What was changed on the target server was put back; the
// migration did not start.", or, when not everything could be, "The
// migration did not start.").
void undoPreparation(tinydb::TinyDbClient& admin, tinydb::PreparationJournal& journal, Logger& log);

// Puts back the caches, the security policy, the IMAP binding and, once
// all of them are back, the backend settings (then dropping the access
// list, the target's mark of a preparation); every other step runs even
// when one before it failed, and the steps that failed are tried once more
// at the end. Each setting gets one sentence on a line of its own: put
// back (on a second attempt, with why the first failed), or left for the
// next start with why; in the debug log alone when every setting went back
// at the first attempt, else all of them in the report, then where the
// journal is. True when everything is back; the journal is then removed.
// Steps with nothing to put back do nothing.
bool restoreTarget(tinydb::TinyDbClient& admin, tinydb::PreparationJournal& journal, Logger& log);

} // namespace tavir::migration
