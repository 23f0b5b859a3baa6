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
    log.report(TAVIR_HERE,
        sentence(L"Target server: %1% (SSL %2%), version %3%, administrator %4%.",
            run.target.text(), ssl(run.targetSsl), utf8ToUnicode(run.targetVersion), adminUser));
    log.report(TAVIR_HERE,
        sentence(L"Accounts to migrate: %1% of %2%, by %3% worker%4%.", status.selectedAccounts,
            status.accounts, workers, workers == 1 ? L"" : L"s"));
}

void writeReportSummary(Logger& log, const MigrationStatus& status, std::int64_t endTime,
    bool aborted, int signalNumber)
{
    const std::uint32_t ended = status.finishedAccounts + status.failedAccounts;
    const std::int64_t seconds = runSeconds(status.startTime, endTime);
    const std::wstring how = !aborted ? L"ended"
        : signalNumber == 0
        ? L"stopped by the user"
        : L"stopped by signal " + utf8ToUnicode(tiny::terminationSignalName(signalNumber));
    log.report(TAVIR_HERE,
        sentence(L"Migration %1% on %2% after %3% second%4%.", how,
            utf8ToUnicode(localTimeText(endTime)), seconds, seconds == 1 ? L"" : L"s"));
    log.report(TAVIR_HERE,
        sentence(L"Accounts: %1% finished, %2% failed, %3% not migrated.", status.finishedAccounts,
            status.failedAccounts, status.selectedAccounts - ended));
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
    if (const std::wstring uncounted = notCounted(status, status.selectedAccounts - ended);
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
