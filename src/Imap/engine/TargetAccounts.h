#pragma once
// The run's accounts on the target, made in batches ahead of the workers.
// The first worker to need an account that no batch has made makes it
// together with the accounts waiting after it, in one batch of the shared
// administration client (a few round trips, whatever the batch's size);
// a worker whose account was made already makes the next batch when fewer
// than a quarter of a batch are left made ahead of it. Only accounts whose login
// test accepted them go into a batch, so a batch ends at the first account
// still awaiting its test. So a worker mostly finds its
// account there, and the workers no longer queue on the administration
// connection account by account. An account is always made before anything
// is copied into it; one that a stop leaves unmigrated may be made all the
// same (empty), and a later run uses it as it is.
#include "Common/Tools/UsersInformation.h"
#include "ssl/StopSignal.h"
#include "tiny/KMutex.h"
#include "tinydb/TinyDbClient.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

class TargetAccounts {
public:
    // The accounts a batch makes at most.
    static constexpr std::size_t defaultBatch = 32;

    // What became of an account: made, or there already (`existed`), or
    // the sentence of its failure.
    struct Made {
        tinydb::Outcome outcome;
        bool existed = false;
    };

    TargetAccounts(std::shared_ptr<UsersInformation> users,
        std::shared_ptr<tinydb::TinyDbClient> admin, std::size_t batch = defaultBatch);

    // The account `account` at `index` of the list, which the calling
    // worker has taken, on the target (for the public-folders account its
    // domain alone). `stop` ends a wait for the administration service at
    // once.
    Made prepare(std::size_t index, const UserInfo& account,
        const std::shared_ptr<const utils::StopSignal>& stop);

    // The addresses, in list order, of the accounts a batch made on the
    // target (not there before; the public folders' domain is no account)
    // that no worker has taken up: once the run has ended, those it leaves
    // there empty (after a stop).
    std::vector<std::wstring> madeAheadUnused();

private:
    // The account's result from a batch, forgotten once taken.
    bool take(std::size_t index, Made& made);
    // Whether the accounts made ahead of `index` run short and no one is
    // making more; the caller then makes the next batch.
    bool wantAhead(std::size_t index);
    // Made ahead, below this many the next batch is made: a quarter of a
    // batch. A batch costs three administration round trips at most, and
    // the 8 accounts of a quarter of 32 last six workers some six round
    // trips of their roads (four or five each), so the next batch is there
    // before they run out. A larger reserve makes smaller batches where the
    // accounts to make come from a bounded supply: a run's own login tests
    // keep a connection for every account accepted and not yet taken, 40
    // at most (SourceConnections::defaultTestsAtMost), and a batch takes
    // those not yet made: with half a batch in reserve, 500 accounts cost
    // 0.13 to 0.14 administration round trips each, with a quarter 0.10 to
    // 0.12.
    std::size_t aheadAtLeast() const { return std::max<std::size_t>(1, batch_ / 4); }
    std::size_t madeAhead(std::size_t index) const TAVIR_REQUIRES(lock_);
    // One batch, holding the administration client: `own` (the caller's
    // account, unless null) and the accounts waiting to be migrated from
    // the first not yet tried on. The result of `own`, the others' kept
    // for their workers; one the connection left unsettled is not kept, so
    // that its worker tries again.
    Made makeBatch(const std::pair<std::size_t, UserInfo>* own);

    const std::shared_ptr<UsersInformation> users_;
    const std::shared_ptr<tinydb::TinyDbClient> admin_;
    const std::size_t batch_;
    tiny::KMutex lock_;
    // by index in the list, not yet taken
    std::map<std::size_t, Made> made_ TAVIR_GUARDED_BY(lock_);
    // the accounts before it went into a batch, or were not waiting
    std::size_t frontier_ TAVIR_GUARDED_BY(lock_) = 0;
    // a worker makes the next batch
    bool aheadPlanned_ TAVIR_GUARDED_BY(lock_) = false;
};

} // namespace tavir::migration
