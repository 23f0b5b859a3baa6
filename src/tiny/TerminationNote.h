#pragma once
// The signal (SIGTERM, SIGINT, SIGHUP) the process was asked to end on, noted
// by whoever handles it, so that the work still in hand can bound its last
// steps and name the signal: a run then puts the target back and stores its
// status record within endBudgetMs of the signal, and its report says which
// signal stopped it. One note per process; the first signal is the one kept.
#include <chrono>
#include <string>

namespace tavir::tiny {

// What a process ending on a signal allows for putting the target back and
// storing the status record: systemd's stop time-out (90 s) and a user's
// patience both leave room for it, and the administration exchanges' own
// time-out (30 s) fits in it once.
constexpr unsigned defaultEndBudgetMs = 35000;

// Safe in a signal handler: an atomic store and the monotonic clock.
void noteTerminationSignal(int signalNumber);
// The noted signal's number; 0 while none was noted.
int terminationSignal();
// When what the signal leaves to do must be over: the note's time plus the
// budget. Meaningful only once a signal was noted.
std::chrono::steady_clock::time_point terminationDeadline();
// The budget from now on (tests and zorp-engine-run make it short).
void setEndBudgetMs(unsigned ms);
// Forgets the note: for a handler installed anew (tests make several).
void forgetTerminationSignal();
// "SIGTERM", "SIGINT", "SIGHUP" or "signal <n>".
std::string terminationSignalName(int signalNumber);

} // namespace tavir::tiny
