#pragma once
// The wizard's callbacks as the engine's threads call them: one call at a
// time under one lock, and nothing after stopped(), so the wizard may
// forget its side as soon as it has been told the work ended. The lock is
// held only while a callback runs, and no engine lock is ever held while it
// is taken: a callback may call back into IMigrator.
#include "Imap/engine/IMigrator.h"
#include "tiny/KMutex.h"

#include <atomic>

namespace tavir::migration {

class CallbacksWrapper final : public ICallbacks {
public:
    explicit CallbacksWrapper(ICallbacks* callbacks);
    ~CallbacksWrapper() = default;

    void started() override;
    void statusChanged() override;
    void stopped(bool aborted) override;
    // True once stopped() is being passed on: nothing comes after it, and
    // the thread that calls it has only to return. Takes no lock, so that
    // the engine may ask under its own.
    bool hasStopped() const { return stopped_.load(std::memory_order_acquire); }

private:
    tiny::KMutex mutex_;
    ICallbacks* const callbacks_ TAVIR_PT_GUARDED_BY(mutex_);
    std::atomic<bool> stopped_{false}; // set under mutex_
};

} // namespace tavir::migration
