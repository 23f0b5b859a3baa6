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

// "2 of them were made on the target ahead of their turn and are there,
// empty: carol@example.com, dave@example.com" (the first ten named, then
// how many more), said after the accounts not started; empty when the run
// left none there (MigrationStatus::madeAhead).
std::wstring madeAheadText(const MigrationStatus& status);

// The summary's sentences on the run's accounts, folders and messages, in
// the report's order and words, each with its full stop: the accounts in
// their counts, those not started (named) and of them those made on the
// target ahead; the folders in their counts; the messages in their counts
// and whose messages were not counted. The report writes them after the
// line on how the run ended, and the wizard's result page under its
// sections; zorp-engine-run prints the report's lines as the engine hands
// them over (MigrationStatus::summary).
struct SummaryLines {
    std::vector<std::wstring> accounts;
    std::vector<std::wstring> folders;
    std::vector<std::wstring> messages;
};
SummaryLines summaryLines(const MigrationStatus& status);

// What the report says of the whole run besides its summary, one sentence
// each, for the terminal and the wizard's result page to say it too: why
// the source can't be tested (unless the reasons of a start that did not
// go ahead say it already, MigrationStatus::startFailure), what putting the
// target back said when a setting did not go back at once (its lines as one
// entry), and the source's limit. Empty when none is so.
std::vector<std::wstring> runSentences(const MigrationStatus& status);

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
