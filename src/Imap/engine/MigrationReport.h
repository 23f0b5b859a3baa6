#pragma once
// The parts of the report that belong to the whole run (its header and its
// summary) and the status record the run leaves on the target. Each
// account's block is written by the account's own road.
#include "Common/Tools/MigrationRecords.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/MigrationRun.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavir::migration {

// This program's version, as the report and the status record give it.
extern const char* const programVersion;

// The header, the first lines of a run's part of the report: when the run
// started, or, for a run that did not go ahead (workers 0), when it was
// asked for; both servers, the target's version (unless the run did not
// come as far as the target: run.targetVersion empty), how many of the
// accounts were selected and by how many workers they are migrated.
void writeReportHeader(Logger& log, const MigrationRun& run, const std::wstring& adminUser,
    const MigrationStatus& status, unsigned workers);

// How a run ended, for its summary.
struct RunEnd {
    std::int64_t time = 0; // seconds since 1970
    bool aborted = false; // stopped: by the user, or by a signal
    int signalNumber = 0; // the termination signal that asked for the stop, else 0
    bool started = true; // false: it ended before it started
    // Of a run stopped before it started: where its start was then.
    StartPhase stoppedWhile = StartPhase::None;
};

// The summary, the last lines of a run's part, each a sentence: how the run
// ended (by itself, stopped by the user or by a signal; before it started,
// unless `end.started`, and then, for a stop, where its start was, in the
// words of RunSummary.h), when and after how long; then summaryLines
// (RunSummary.h): the accounts, folders and messages in their counts, the
// accounts not started, named, and those of them made on the target ahead
// (`status.madeAhead`), and whose messages were not counted.
std::vector<std::wstring> reportSummary(const MigrationStatus& status, const RunEnd& end);
// Writes it; the lines written, one a line, for MigrationStatus::summary.
std::wstring writeReportSummary(Logger& log, const MigrationStatus& status, const RunEnd& end);

// "IMAP;" then, each ended by ";": an empty field, the version, the start
// time as text and as seconds since 1970, the end time the same way, and the
// numbers of accounts finished, folders copied and messages copied.
std::string migrationStatusRecord(const MigrationStatus& status, std::int64_t endTime);

} // namespace tavir::migration
