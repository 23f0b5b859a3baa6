// The stop request as an event descriptor that polls beside the sockets.
#include "ssl/StopSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tavir::utils {

StopSignal::StopSignal()
    : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

void StopSignal::raise()
{
    if (raised_.exchange(true, std::memory_order_acq_rel))
        return;
    if (fd_.valid()) {
        // Never read back: the descriptor stays readable for good.
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(fd_.get(), &one, sizeof one);
    }
}

} // namespace tavir::utils
