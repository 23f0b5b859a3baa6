#pragma once
// What every thread of one migration run shares, fixed when the run starts:
// where the two servers are, the target's temporary master password and
// version, the account list, its connections to the source, the login tests
// that admit its accounts, the one administration client, the accounts it
// makes ahead of the workers and the journal of the target's settings. The
// account list, the source's connections, the login tests, the
// administration client and the accounts made ahead guard themselves with
// their own locks; everything else here is read-only once the run has
// started, but for what the workers learn on the way and need not ask
// again.
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/RunLogins.h"
#include "Imap/engine/ServerAddress.h"
#include "Imap/engine/SourceConnections.h"
#include "Imap/engine/TargetAccounts.h"
#include "tiny/KMutex.h"
#include "tinydb/PreparationJournal.h"
#include "tinydb/TinyDbClient.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

struct MigrationRun {
    ServerAddress source;
    bool sourceSsl = false;
    // What a first connection to the source may pin (Configuration's).
    ssl::FirstUse sourceFirstUse;
    // The target's IMAP service, where the preparation bound it.
    ServerAddress target;
    bool targetSsl = false;
    std::wstring masterPassword;
    std::string targetVersion;
    std::int64_t startTime = 0; // seconds since 1970
    std::shared_ptr<UsersInformation> users;
    // Every connection of the run to the source, the tests' and the
    // roads', counted, with the source's limit once it shows one.
    std::shared_ptr<SourceConnections> sourceConnections;
    // The logins of the accounts to migrate, tested beside the copy: a
    // worker takes an account through them.
    std::shared_ptr<RunLogins> logins;
    std::shared_ptr<tinydb::TinyDbClient> admin;
    // The accounts on the target, made in batches through `admin`.
    std::shared_ptr<TargetAccounts> accounts;
    // The journal of what the run changed on the target, with the lock that
    // tells a later start this run is alive.
    std::shared_ptr<tinydb::PreparationJournal> journal;
    // True while the target is put back, from the moment that begins (a
    // stop or a failure that cut the preparation short, or the workers'
    // end) until the run's end is written; for getStatus.
    std::shared_ptr<std::atomic<bool>> puttingBack = std::make_shared<std::atomic<bool>>(false);
    // The IMAP read time-out in milliseconds; 0 keeps the client's own.
    unsigned readTimeoutMs = 0;

    // The source refused to list folder identifiers once: it is asked
    // plainly from then on.
    mutable std::atomic<bool> sourceListsPlainly{false};

    // What the run's end left for getStatus to hand over: when its summary
    // was written (seconds since 1970), the summary as written, the
    // accounts made ahead that the run left on the target, and what putting
    // the target back said in the report (MigrationStatus::targetRestore).
    struct Ending {
        std::int64_t time = 0;
        std::wstring summary;
        std::vector<std::wstring> madeAhead;
        std::wstring targetRestore;
    };
    // Noted once, by the thread that wrote the summary.
    void noteEnding(Ending ending) const
    {
        tiny::KMutexLocker hold(endingLock_);
        ending_ = std::move(ending);
    }
    // Time 0 and the rest empty until the summary is written.
    Ending ending() const
    {
        tiny::KMutexLocker hold(endingLock_);
        return ending_;
    }

private:
    mutable tiny::KMutex endingLock_;
    mutable Ending ending_ TAVIR_GUARDED_BY(endingLock_);
};

} // namespace tavir::migration
