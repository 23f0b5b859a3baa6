#pragma once
// SIGTERM, SIGINT (Ctrl-C in a terminal) and SIGHUP handed to the event loop
// of the thread that makes the object, so that the program can end the way
// a user ends it instead of dying with the target prepared. The first one
// is handed on once; a second one ends the process at once, as if nothing
// handled it (the target's journal then lets the next start put it back).
// One object per process.
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tavir::gui {

class TerminationSignals {
public:
    // `received` gets the first signal's number, on the event loop.
    explicit TerminationSignals(std::function<void(int signalNumber)> received);
    // Puts the signals' earlier handling back.
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    void readPipe();

    std::function<void(int)> received_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace tavir::gui
