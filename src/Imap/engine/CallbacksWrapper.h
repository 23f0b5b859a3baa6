#pragma once
// The wizard's callbacks as the engine's threads call them: one call at a
// time under one lock, and nothing after stopped(), so the wizard may
// forget its side as soon as it has been told the work ended.
#include "Imap/engine/IMigrator.h"
#include "tiny/KMutex.h"

namespace tavir::migration {

class CallbacksWrapper final : public ICallbacks {
public:
    explicit CallbacksWrapper(ICallbacks* callbacks);
    ~CallbacksWrapper() = default;

    void started() override;
    void statusChanged() override;
    void stopped(bool aborted) override;
    bool hasStopped();

private:
    ICallbacks* callbacks_;
    tiny::KMutex mutex_;
    bool stopped_ = false;
};

} // namespace tavir::migration
