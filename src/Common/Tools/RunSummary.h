#pragma once
// The words a run's counts are said in, written once: zorp-engine-run's
// terminal, the report and the wizard's result page build them here, so
// that all three give the same counts in the same order and words, however
// the run ended; and the words of a stop, which the terminal and the report
// share. None of them ends with a full stop; each caller adds its own
// punctuation.
#include "Common/Tools/MigrationRecords.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavir::migration {

// "1 folder", "3 folders": a count and its noun, as the report writes them.
std::wstring counted(unsigned count, const wchar_t* noun);

// Accounts named in a list at most: the list is for a glance, and the next
// run takes them all up anyway.
constexpr std::size_t namedAtMost = 10;

// "a, b, c", or "a, b, c and 4 more" when `total` is more than the names
// given: the first names of a list of `total`.
std::wstring namedList(const std::vector<std::wstring>& first, std::size_t total);

// The accounts to migrate that no run has taken up: selected, and neither
// in progress nor ended.
std::uint32_t accountsNotStarted(const MigrationStatus& status);

// Each kind's counts, every one of them also when 0, in this order:
//   accounts: "4 finished, 1 failed (1 stopped half-way), 1 login refused,
//             2 not started" (the stopped ones only when there are any:
//             they are some of the failed);
//   folders:  "37 copied, 0 failed, 3 not reached";
//   messages: "1234 copied, 0 failed, 6 not reached, 56 on the target
//             already, 2 removed from the source".
// Every message the source counted is in one of the message counts.
struct RunCounts {
    std::wstring accounts;
    std::wstring folders;
    std::wstring messages;
};
RunCounts runCounts(const MigrationStatus& status);

// "(4 stopped half-way)": the stopped ones among the failed accounts, in
// the words of runCounts; empty for none.
std::wstring stoppedText(std::uint32_t accountsStopped);

// What was not copied besides the errors, in the words of runCounts, those
// of the counts that are not 0: "(1112 not reached, 7457 on the target
// already, 3 removed from the source)"; empty when all are 0.
std::wstring notCopiedText(
    std::uint32_t notReached, std::uint32_t alreadyThere, std::uint32_t removed);

// "3 accounts not started: carol@example.com, dave@example.com,
// erin@example.com" (the first ten named, then how many more); empty when
// every account to migrate was started.
std::wstring notStartedText(const MigrationStatus& status);

// "The messages of 6 folders not reached and of 3 accounts not started
// were not counted"; empty when every message of the run's accounts is in
// a count.
std::wstring notCounted(const MigrationStatus& status);

// How a stop came: "stopped by the user", or "stopped by signal SIGTERM"
// once the process was asked to end on a signal (`signalNumber`, 0 for
// none).
std::wstring stoppedBy(int signalNumber);

// A stop that ended a start before its run began, as the terminal and the
// report both say it: stoppedBy, then where the start was ("before the
// logins were tested", "while the logins were tested", "while the target
// was prepared": "stopped by signal SIGINT while the target was prepared";
// stoppedBy alone for StartPhase::None).
std::wstring stoppedBeforeTheRunText(int signalNumber, StartPhase phase);

} // namespace tavir::migration
