#pragma once
// The parts of the report that belong to the whole run (its header and its
// summary) and the status record the run leaves on the target. Each
// account's block is written by the account's own road.
#include "Common/Tools/MigrationRecords.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/MigrationRun.h"

#include <cstdint>
#include <string>

namespace tavir::migration {

// This program's version, as the report and the status record give it.
extern const char* const programVersion;

// The header, the first lines of a run's part of the report: when the run
// started, both servers, the target's version (unless the run did not come
// as far as the target: run.targetVersion empty), how many of the accounts
// are to be migrated and by how many workers (0: the run did not start).
void writeReportHeader(Logger& log, const MigrationRun& run, const std::wstring& adminUser,
    const MigrationStatus& status, unsigned workers);

// The summary, the last lines of a run's part: how the run ended (by
// itself, stopped by the user or, when `signalNumber` is not 0, stopped by
// that signal; before it started, unless `started`), when and after how
// long; the accounts finished, failed, whose login was refused and not
// started, with the words zorp-engine-run's summary uses; folders and
// messages copied, failed and (where any) not reached, and messages on the
// target already; and whose messages were not counted (notCounted).
void writeReportSummary(Logger& log, const MigrationStatus& status, std::int64_t endTime,
    bool aborted, int signalNumber = 0, bool started = true);

// The accounts to migrate that the run did not start.
std::uint32_t accountsNotStarted(const MigrationStatus& status);

// "The messages of 6 folders not reached and of 3 accounts not started
// were not counted", without its full stop; empty when every message of the
// run's accounts is in a count.
std::wstring notCounted(const MigrationStatus& status, std::uint32_t accountsNotStarted);

// "IMAP;" then, each ended by ";": an empty field, the version, the start
// time as text and as seconds since 1970, the end time the same way, and the
// numbers of accounts finished, folders copied and messages copied.
std::string migrationStatusRecord(const MigrationStatus& status, std::int64_t endTime);

} // namespace tavir::migration
