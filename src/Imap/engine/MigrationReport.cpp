// The run's report header and summary, and its status record.
#include "Imap/engine/MigrationReport.h"

#include "Imap/textconv/TextConversion.h"
#include "tiny/TerminationNote.h"

#ifndef TAVIR_ZORP_VERSION
#define TAVIR_ZORP_VERSION "0"
#endif

namespace tavir::migration {

const char* const programVersion = TAVIR_ZORP_VERSION;

void writeReportHeader(Logger& log, const MigrationRun& run, const std::wstring& adminUser,
    const MigrationStatus& status, unsigned workers)
{
    auto ssl = [](bool on) { return on ? L"on" : L"off"; };
    log.report(TAVIR_HERE,
        sentence(L"Tavir Zorp %1%: migration started on %2%.", utf8ToUnicode(programVersion),
            utf8ToUnicode(localTimeText(run.startTime))));
    log.report(TAVIR_HERE,
        sentence(L"Source server: %1% (SSL %2%).", run.source.text(), ssl(run.sourceSsl)));
    const std::wstring version = run.targetVersion.empty()
        ? std::wstring()
        : L", version " + utf8ToUnicode(run.targetVersion);
    log.report(TAVIR_HERE,
        sentence(L"Target server: %1% (SSL %2%)%3%, administrator %4%.", run.target.text(),
            ssl(run.targetSsl), version, adminUser));
    const std::wstring by
        = workers == 0 ? std::wstring() : sentence(L", by %1%", counted(workers, L"worker"));
    log.report(TAVIR_HERE,
        sentence(
            L"Accounts to migrate: %1% of %2%%3%.", status.selectedAccounts, status.accounts, by));
}

std::uint32_t accountsNotStarted(const MigrationStatus& status)
{
    return status.selectedAccounts - status.finishedAccounts - status.failedAccounts;
}

void writeReportSummary(Logger& log, const MigrationStatus& status, std::int64_t endTime,
    bool aborted, int signalNumber, bool started)
{
    const std::int64_t seconds = runSeconds(status.startTime, endTime);
    const std::wstring how = !aborted ? L"ended"
        : signalNumber == 0
        ? L"stopped by the user"
        : L"stopped by signal " + utf8ToUnicode(tiny::terminationSignalName(signalNumber));
    const wchar_t* const before = started ? L""
        : aborted                         ? L", before it started"
                                          : L" without starting";
    log.report(TAVIR_HERE,
        sentence(L"Migration %1% on %2% after %3%%4%.", how, utf8ToUnicode(localTimeText(endTime)),
            counted(static_cast<unsigned>(seconds), L"second"), before));
    log.report(TAVIR_HERE,
        sentence(L"Accounts: %1% finished, %2% failed, %3% login refused, %4% not started.",
            status.finishedAccounts, status.failedAccounts, status.loginsRefused,
            accountsNotStarted(status)));
    std::wstring folders
        = sentence(L"Folders: %1% copied, %2% failed", status.foldersDone, status.folderErrors);
    if (status.foldersNotReached != 0)
        folders += sentence(L", %1% not reached", status.foldersNotReached);
    log.report(TAVIR_HERE, folders + L".");
    std::wstring messages
        = sentence(L"Messages: %1% copied, %2% failed", status.messagesDone, status.messageErrors);
    if (status.messagesNotReached != 0)
        messages += sentence(L", %1% not reached", status.messagesNotReached);
    if (status.messagesAlreadyThere != 0)
        messages += sentence(L", %1% on the target already", status.messagesAlreadyThere);
    log.report(TAVIR_HERE, messages + L".");
    if (const std::wstring uncounted = notCounted(status, accountsNotStarted(status));
        !uncounted.empty())
        log.report(TAVIR_HERE, uncounted + L".");
}

std::wstring notCounted(const MigrationStatus& status, std::uint32_t accountsNotStarted)
{
    std::wstring whose;
    if (status.foldersNotCounted != 0)
        whose = counted(status.foldersNotCounted, L"folder") + L" not reached";
    if (accountsNotStarted != 0)
        whose += (whose.empty() ? L"" : L" and of ") + counted(accountsNotStarted, L"account")
            + L" not started";
    return whose.empty() ? whose : L"The messages of " + whose + L" were not counted";
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
