// The POSIX side of TerminationSignals: handlers that only note the signal
// for the engine (atomic words) and write its number into a pipe (the one
// thing a handler may safely do that reaches the event loop), and a socket
// notifier that reads it there.
#include "Common/Gui/TerminationSignals.h"

#include "tiny/TerminationNote.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tavir::gui {

namespace {

constexpr int handled[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the handlers, which may run on any thread; set up before the
// handlers are installed and left alone until they are removed.
int pipeWrite = -1;
int pipeRead = -1;
volatile std::sig_atomic_t alreadyReceived = 0;
struct sigaction before[sizeof handled / sizeof handled[0]];

extern "C" void onTerminationSignal(int signalNumber)
{
    if (alreadyReceived) {
        // The second: end now, with the status the signal gives.
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        return;
    }
    alreadyReceived = 1;
    const int saved = errno;
    // For the engine: a run stopped now ends within its bound and names the
    // signal in its report.
    tavir::tiny::noteTerminationSignal(signalNumber);
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    ssize_t ignored = write(pipeWrite, &number, 1);
    (void)ignored; // a full pipe already holds a signal to act on
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> received)
    : received_(std::move(received))
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // the signals then keep their default: the journal covers that
    pipeRead = ends[0];
    pipeWrite = ends[1];
    alreadyReceived = 0;
    tavir::tiny::forgetTerminationSignal();
    notifier_ = std::make_unique<QSocketNotifier>(pipeRead, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readPipe(); });
    struct sigaction action { };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < sizeof handled / sizeof handled[0]; ++i)
        sigaction(handled[i], &action, &before[i]);
}

TerminationSignals::~TerminationSignals()
{
    if (!notifier_)
        return;
    for (std::size_t i = 0; i < sizeof handled / sizeof handled[0]; ++i)
        sigaction(handled[i], &before[i], nullptr);
    notifier_.reset();
    close(pipeRead);
    close(pipeWrite);
    pipeRead = pipeWrite = -1;
}

void TerminationSignals::readPipe()
{
    unsigned char number = 0;
    if (read(pipeRead, &number, 1) == 1)
        received_(number);
}

} // namespace tavir::gui
