#pragma once
// The supervisor of a run: starts the workers, waits for all of them and
// for the run's login tests, then finishes the run (the target put back, the status record, the
// summary) and tells the wizard with stopped(). A stop request reaches every worker through it.
#include "Imap/engine/CallbacksWrapper.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/MigrationRun.h"
#include "Imap/engine/MigratorThread.h"
#include "Imap/engine/Thread.h"

#include <functional>
#include <memory>
#include <vector>

namespace tavir::migration {

class WaiterThread : public Thread {
public:
    // Runs on the supervisor once every worker has ended; `aborted` tells
    // whether the run was stopped.
    using Finish = std::function<void(const MigrationRun& run, bool aborted, Logger& log)>;

    // Creates `workers` worker objects (started by execute()).
    WaiterThread(std::shared_ptr<const MigrationRun> run, unsigned workers,
        std::shared_ptr<CallbacksWrapper> callbacks, Finish finish);

    // Starts every worker, joins them all, finishes the run, stopped().
    void execute() override;
    // Its own flag, then every worker's, in list order; a stop also ends
    // the run's login tests.
    void setTerminated(bool terminated) override;

protected:
    // Whatever failed, the workers are joined, the run is finished and
    // stopped() is called: the target must never stay prepared.
    void recover(const std::wstring& sentence) override;

private:
    void joinWorkers();
    void finishOnce();

    std::shared_ptr<const MigrationRun> run_;
    std::shared_ptr<CallbacksWrapper> callbacks_;
    Finish finish_;
    std::vector<std::shared_ptr<MigratorThread>> workers_;
    Logger log_; // this thread's only
    bool finished_ = false; // this thread's only
};

} // namespace tavir::migration
