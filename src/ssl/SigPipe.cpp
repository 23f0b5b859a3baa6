#include "ssl/SigPipe.h"

#include <csignal>
#include <mutex>

namespace tavir::ssl {

void ignoreSigPipe()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current { };
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore { };
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGPIPE, &ignore, nullptr);
        }
    });
}

} // namespace tavir::ssl
