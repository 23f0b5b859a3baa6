#pragma once
// Ends a blocking call on an administration connection from outside. The
// connection's TLS socket blocks in its handshake, reads and writes; a
// thread of this watch waits beside each such call and kills the socket
// (KSslSocket::kill, which wakes the call and waits until it has left) when
// the exchange's deadline passes or the stop signal is raised. So a server
// that trickles its answer is cut off at the deadline, and a stop ends the
// wait at once, though the call itself never looks at a clock.
#include "ssl/StopSignal.h"
#include "tiny/KMutex.h"
#include "utils/Descriptor.h"

#include <pthread.h>

#include <chrono>
#include <memory>
#include <optional>

namespace tavir::ssl {
class KSslSocket;
}

namespace tavir::tinydb {

// How long a wait beside `stop` may last: until the deadline (0 once it has
// passed, -1 without one), and a short while at most when the stop has no
// descriptor to wait on (null: no stop).
int waitLimitMs(const std::optional<std::chrono::steady_clock::time_point>& deadline,
    const tavir::utils::StopSignal* stop);

class ConnectionWatch {
public:
    using Clock = std::chrono::steady_clock;
    // What ended the connection: the deadline or the stop signal; None
    // while neither did.
    enum class Ending { None, Deadline, Stop };

    // The socket must outlive the watch.
    explicit ConnectionWatch(tavir::ssl::KSslSocket& socket);
    // Ends the thread; the socket is left as it is.
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // Starts the thread; false when none could be made. Without it a call
    // is still refused once the deadline has passed or the stop was raised,
    // but a call in hand is bounded only by the socket's own time-outs.
    bool start();

    // The deadline of the exchange in hand (none: no deadline).
    void setDeadline(std::optional<Clock::time_point> deadline);
    // A raised signal ends the call in hand at once (null: none).
    void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop);

    // A blocking call on the socket begins. False, and the call must not
    // be made, once the deadline has passed, the stop was raised, or the
    // watch ended the connection: ending() says which. Every true is
    // followed by leave() on the same thread.
    bool enter();
    // The call has returned; a kill the watch began is over.
    void leave();
    // What ended the connection. It stays so: the socket is gone.
    Ending ending() const;

private:
    void watch();
    // What ends a call now (the stop before the deadline).
    Ending due() const TAVIR_REQUIRES(lock_);
    // Kills the socket when a call is in hand and its deadline has passed
    // or the stop was raised.
    void endCallWhenDue() TAVIR_REQUIRES(lock_);
    // The milliseconds the watch may sleep before it looks again (-1:
    // until woken).
    int sleepMs() const TAVIR_REQUIRES(lock_);
    void wake();
    void drainWakes();

    tavir::ssl::KSslSocket& socket_;
    tavir::utils::Descriptor wakeFd_; // an event descriptor; readable: look again
    mutable tavir::tiny::KMutex lock_;
    std::optional<Clock::time_point> deadline_ TAVIR_GUARDED_BY(lock_);
    std::shared_ptr<const tavir::utils::StopSignal> stop_ TAVIR_GUARDED_BY(lock_);
    bool busy_ TAVIR_GUARDED_BY(lock_) = false; // a call is in hand
    Ending ending_ TAVIR_GUARDED_BY(lock_) = Ending::None;
    // Whether the watch's sleep is bounded for a call in hand, and by which
    // deadline: a call that needs another bound wakes it.
    bool watchingCall_ TAVIR_GUARDED_BY(lock_) = false;
    std::optional<Clock::time_point> watchedDeadline_ TAVIR_GUARDED_BY(lock_);
    bool quitting_ TAVIR_GUARDED_BY(lock_) = false;
    pthread_t thread_ TAVIR_GUARDED_BY(lock_) = 0; // 0: not started
};

} // namespace tavir::tinydb
