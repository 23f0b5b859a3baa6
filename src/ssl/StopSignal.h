#pragma once
// A stop request that ends every wait of the connections it is given to: a
// read, a write, a connect or a TLS handshake blocked on its socket returns
// at once (ECANCELED) when the signal is raised, from any thread. Raised
// once, never lowered; one signal is shared by all the connections of the
// work it stops.
#include "utils/Descriptor.h"

#include <atomic>

namespace tavir::utils {

class StopSignal {
public:
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Safe from any thread, any number of times.
    void raise();
    bool raised() const { return raised_.load(std::memory_order_acquire); }
    // Readable once raised, for polling beside a socket; -1 when none could
    // be made (the waits then see the stop only when they end).
    int descriptor() const { return fd_.get(); }

private:
    Descriptor fd_;
    std::atomic<bool> raised_{false};
};

} // namespace tavir::utils
