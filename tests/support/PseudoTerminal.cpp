#include "support/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace tavir::test {

PseudoTerminal::PseudoTerminal(unsigned short columns)
    : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC))
{
    if (!master_.valid() || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[64];
    if (ptsname_r(master_.get(), name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    name_ = name;
    termios modes{};
    if (tcgetattr(master_.get(), &modes) == 0) {
        cfmakeraw(&modes);
        tcsetattr(master_.get(), TCSANOW, &modes);
    }
    if (columns != 0) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        if (ioctl(master_.get(), TIOCSWINSZ, &size) != 0)
            throw std::runtime_error("the pseudo-terminal's width can't be set");
    }
    reader_ = std::thread([this] { read(); });
}

PseudoTerminal::~PseudoTerminal()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    reader_.join();
}

std::string PseudoTerminal::written()
{
    std::unique_lock<std::mutex> hold(lock_);
    // Two looks that found nothing, both begun after this call: whatever
    // the ended child wrote was read before them.
    const unsigned from = emptyLooks_;
    looked_.wait_for(hold, std::chrono::seconds(1), [&] { return emptyLooks_ >= from + 2; });
    return written_;
}

void PseudoTerminal::read()
{
    char buffer[4096];
    for (;;) {
        pollfd wanted{master_.get(), POLLIN, 0};
        const int ready = poll(&wanted, 1, 50);
        if (ready > 0 && (wanted.revents & POLLIN)) {
            const ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> hold(lock_);
                written_.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stopping_)
                return;
            ++emptyLooks_;
        }
        looked_.notify_all();
        // No far end open (before the child opens it, or after it ended):
        // the terminal reports a hang-up at once, every time.
        if (ready > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace tavir::test
