// The supervisor's start, join and finish.
#include "Imap/engine/WaiterThread.h"

namespace tavir::migration {

WaiterThread::WaiterThread(std::shared_ptr<const MigrationRun> run, unsigned workers,
    std::shared_ptr<CallbacksWrapper> callbacks, Finish finish)
    : Thread(L"migration supervisor")
    , run_(std::move(run))
    , callbacks_(std::move(callbacks))
    , finish_(std::move(finish))
{
    for (unsigned i = 1; i <= workers; ++i)
        workers_.push_back(std::make_shared<MigratorThread>(run_, callbacks_, i));
}

void WaiterThread::execute()
{
    for (const auto& worker : workers_)
        if (!worker->guardedStart(ThreadRunner<MigratorThread>::startPoint))
            log_.debug(TAVIR_HERE,
                sentence(L"The thread \"%1%\" could not be started; the others migrate its "
                         L"accounts.",
                    worker->name()));
    joinWorkers();
    finishOnce();
    callbacks_->stopped(isTerminated());
}

void WaiterThread::setTerminated(bool terminated)
{
    Thread::setTerminated(terminated);
    for (const auto& worker : workers_)
        worker->setTerminated(terminated);
    if (terminated)
        run_->logins->stop();
}

void WaiterThread::recover(const std::wstring& sentence)
{
    log_.report(TAVIR_HERE, sentence);
    try {
        joinWorkers();
        finishOnce();
    } catch (...) {
        // Reported by now or not reportable; the wizard must still hear the
        // end.
    }
    log_.flush();
    callbacks_->stopped(isTerminated());
}

void WaiterThread::joinWorkers()
{
    for (const auto& worker : workers_)
        worker->join();
    // The workers end once no test can accept an account any more; tests
    // still running then only belong to a stopped run.
    run_->logins->stop();
    run_->logins->join();
}

void WaiterThread::finishOnce()
{
    if (finished_)
        return;
    finished_ = true;
    finish_(*run_, isTerminated(), log_);
    log_.flush();
}

} // namespace tavir::migration
