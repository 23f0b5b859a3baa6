// The run's report header and summary, and its status record.
#include "Imap/engine/MigrationReport.h"

#include "Common/Tools/RunSummary.h"
#include "Imap/textconv/TextConversion.h"

#ifndef TAVIR_ZORP_VERSION
#define TAVIR_ZORP_VERSION "0"
#endif

namespace tavir::migration {

const char* const programVersion = TAVIR_ZORP_VERSION;

void writeReportHeader(Logger& log, const MigrationRun& run, const std::wstring& adminUser,
    const MigrationStatus& status, unsigned workers)
{
    auto ssl = [](bool on) { return on ? L"on" : L"off"; };
    // A run that did not go ahead never started: it was asked for.
    const wchar_t* const when = workers == 0 ? L"asked for" : L"started";
    log.report(TAVIR_HERE,
        sentence(L"Tavir Zorp %1%: migration %2% on %3%.", utf8ToUnicode(programVersion), when,
            utf8ToUnicode(localTimeText(run.startTime))));
    log.report(TAVIR_HERE,
        sentence(L"Source server: %1% (SSL %2%).", run.source.text(), ssl(run.sourceSsl)));
    const std::wstring version = run.targetVersion.empty()
        ? std::wstring()
        : L", version " + utf8ToUnicode(run.targetVersion);
    log.report(TAVIR_HERE,
        sentence(L"Target server: %1% (SSL %2%)%3%, administrator %4%.", run.target.text(),
            ssl(run.targetSsl), version, adminUser));
    const std::wstring by = workers == 0
        ? std::wstring()
        : sentence(L", migrated by %1%", counted(workers, L"worker"));
    log.report(TAVIR_HERE,
        sentence(
            L"Accounts selected: %1% of %2%%3%.", status.selectedAccounts, status.accounts, by));
}

namespace {

// How the run ended, as the summary's first sentence says it: "ended",
// "stopped by the user", or, for a stop before the run, also where the
// start was, set off from the time that follows ("stopped by signal SIGINT
// while the target was prepared,").
std::wstring howItEnded(const RunEnd& end)
{
    if (!end.aborted)
        return L"ended";
    if (end.started)
        return stoppedBy(end.signalNumber);
    return stoppedBeforeTheRunText(end.signalNumber, end.stoppedWhile)
        + (end.stoppedWhile == StartPhase::None ? L"" : L",");
}

} // namespace

std::vector<std::wstring> reportSummary(const MigrationStatus& status, const RunEnd& end)
{
    const std::int64_t seconds = runSeconds(status.startTime, end.time);
    const std::wstring how = howItEnded(end);
    const wchar_t* const before = end.started ? L""
        : end.aborted                         ? L", before it started"
                                              : L" without starting";
    std::vector<std::wstring> lines = {
        sentence(L"Migration %1% on %2% after %3%%4%.", how, utf8ToUnicode(localTimeText(end.time)),
            counted(static_cast<unsigned>(seconds), L"second"), before),
    };
    const SummaryLines kinds = summaryLines(status);
    for (const std::vector<std::wstring>* kind : {&kinds.accounts, &kinds.folders, &kinds.messages})
        lines.insert(lines.end(), kind->begin(), kind->end());
    return lines;
}

std::wstring writeReportSummary(Logger& log, const MigrationStatus& status, const RunEnd& end)
{
    std::wstring written;
    for (const std::wstring& line : reportSummary(status, end)) {
        log.report(TAVIR_HERE, line);
        written += log.lastKept() + L"\n";
    }
    return written;
}

std::string migrationStatusRecord(const MigrationStatus& status, std::int64_t endTime)
{
    std::string record = "IMAP;;";
    for (const std::string& field : {std::string(programVersion), localTimeText(status.startTime),
             std::to_string(status.startTime), localTimeText(endTime), std::to_string(endTime),
             std::to_string(status.finishedAccounts), std::to_string(status.foldersDone),
             std::to_string(status.messagesDone)})
        record += field + ";";
    return record;
}

} // namespace tavir::migration
