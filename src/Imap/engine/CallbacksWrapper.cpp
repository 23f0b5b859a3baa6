// Serialised forwarding of the engine's callbacks.
#include "Imap/engine/CallbacksWrapper.h"

namespace tavir::migration {

using tiny::KMutexLocker;

CallbacksWrapper::CallbacksWrapper(ICallbacks* callbacks)
    : callbacks_(callbacks)
{
}

void CallbacksWrapper::started()
{
    KMutexLocker lock(mutex_);
    if (callbacks_ && !stopped_)
        callbacks_->started();
}

void CallbacksWrapper::statusChanged()
{
    KMutexLocker lock(mutex_);
    if (callbacks_ && !stopped_)
        callbacks_->statusChanged();
}

void CallbacksWrapper::stopped(bool aborted)
{
    KMutexLocker lock(mutex_);
    if (stopped_)
        return;
    stopped_.store(true, std::memory_order_release);
    if (callbacks_)
        callbacks_->stopped(aborted);
}

} // namespace tavir::migration
