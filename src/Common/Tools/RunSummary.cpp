// The words of a run's counts.
#include "Common/Tools/RunSummary.h"

#include "tiny/TerminationNote.h"

#include <algorithm>

namespace tavir::migration {

namespace {

// What became of a folder or message, the same words wherever it is said.
const wchar_t* const notReachedWords = L"not reached";
const wchar_t* const alreadyThereWords = L"on the target already";
const wchar_t* const removedWords = L"removed from the source";

// "12 copied": a count and what became of them.
std::wstring clause(std::uint32_t count, const wchar_t* what)
{
    return std::to_wstring(count) + L" " + what;
}

std::wstring joined(const std::vector<std::wstring>& clauses)
{
    std::wstring text;
    for (const std::wstring& one : clauses)
        text += (text.empty() ? L"" : L", ") + one;
    return text;
}

std::wstring startPhaseText(StartPhase phase)
{
    switch (phase) {
    case StartPhase::BeforeTheLogins:
        return L"before the logins were tested";
    case StartPhase::LoginsTested:
        return L"while the logins were tested";
    case StartPhase::TargetPrepared:
        return L"while the target was prepared";
    case StartPhase::None:
        break;
    }
    return {};
}

} // namespace

std::wstring counted(unsigned count, const wchar_t* noun)
{
    return std::to_wstring(count) + L" " + noun + (count == 1 ? L"" : L"s");
}

std::wstring namedList(const std::vector<std::wstring>& first, std::size_t total)
{
    std::wstring list = joined(first);
    if (total > first.size())
        list += L" and " + std::to_wstring(total - first.size()) + L" more";
    return list;
}

std::uint32_t accountsNotStarted(const MigrationStatus& status)
{
    const std::uint64_t begun
        = std::uint64_t(status.finishedAccounts) + status.failedAccounts + status.inProgress.size();
    return status.selectedAccounts > begun
        ? static_cast<std::uint32_t>(status.selectedAccounts - begun)
        : 0;
}

std::wstring stoppedText(std::uint32_t accountsStopped)
{
    return accountsStopped == 0 ? std::wstring()
                                : L"(" + clause(accountsStopped, L"stopped half-way") + L")";
}

std::wstring notCopiedText(
    std::uint32_t notReached, std::uint32_t alreadyThere, std::uint32_t removed)
{
    std::wstring text;
    for (const auto& [count, words] : {std::pair(notReached, notReachedWords),
             std::pair(alreadyThere, alreadyThereWords), std::pair(removed, removedWords)})
        if (count != 0)
            text += (text.empty() ? L"(" : L", ") + clause(count, words);
    return text.empty() ? text : text + L")";
}

RunCounts runCounts(const MigrationStatus& status)
{
    std::wstring failed = clause(status.failedAccounts, L"failed");
    if (const std::wstring stopped = stoppedText(status.accountsStopped); !stopped.empty())
        failed += L" " + stopped;
    RunCounts counts;
    counts.accounts = joined({clause(status.finishedAccounts, L"finished"), failed,
        clause(status.loginsRefused, L"login refused"),
        clause(accountsNotStarted(status), L"not started")});
    counts.folders = joined({clause(status.foldersDone, L"copied"),
        clause(status.folderErrors, L"failed"), clause(status.foldersNotReached, notReachedWords)});
    counts.messages = joined({clause(status.messagesDone, L"copied"),
        clause(status.messageErrors, L"failed"), clause(status.messagesNotReached, notReachedWords),
        clause(status.messagesAlreadyThere, alreadyThereWords),
        clause(status.messagesRemoved, removedWords)});
    return counts;
}

std::wstring notStartedText(const MigrationStatus& status)
{
    const std::uint32_t waiting = accountsNotStarted(status);
    if (waiting == 0)
        return {};
    return counted(waiting, L"account") + L" not started: "
        + namedList(status.notStartedFirst, waiting);
}

std::wstring notCounted(const MigrationStatus& status)
{
    std::wstring whose;
    if (status.foldersNotCounted != 0)
        whose = counted(status.foldersNotCounted, L"folder") + L" not reached";
    if (const std::uint32_t waiting = accountsNotStarted(status); waiting != 0)
        whose
            += (whose.empty() ? L"" : L" and of ") + counted(waiting, L"account") + L" not started";
    return whose.empty() ? whose : L"The messages of " + whose + L" were not counted";
}

std::wstring madeAheadText(const MigrationStatus& status)
{
    const std::vector<std::wstring>& made = status.madeAhead;
    if (made.empty())
        return {};
    const std::vector<std::wstring> first(made.begin(),
        made.begin() + static_cast<std::ptrdiff_t>(std::min(made.size(), namedAtMost)));
    const bool one = made.size() == 1;
    return (one ? std::wstring(L"One") : std::to_wstring(made.size())) + L" of them "
        + (one ? L"was" : L"were") + L" made on the target ahead of " + (one ? L"its" : L"their")
        + L" turn and " + (one ? L"is" : L"are") + L" there, empty: "
        + namedList(first, made.size());
}

SummaryLines summaryLines(const MigrationStatus& status)
{
    const RunCounts counts = runCounts(status);
    // Each with its full stop; a sentence that has nothing to say is left out.
    const auto sentences = [](std::initializer_list<std::wstring> said) {
        std::vector<std::wstring> lines;
        for (const std::wstring& one : said)
            if (!one.empty())
                lines.push_back(one + L".");
        return lines;
    };
    return {
        sentences({L"Accounts: " + counts.accounts, notStartedText(status), madeAheadText(status)}),
        sentences({L"Folders: " + counts.folders}),
        sentences({L"Messages: " + counts.messages, notCounted(status)})};
}

std::vector<std::wstring> runSentences(const MigrationStatus& status)
{
    std::vector<std::wstring> said;
    if (!status.sourceUntestable.empty() && status.startFailure.empty())
        said.push_back(status.sourceUntestable);
    // Before the limit, as the report has them.
    if (!status.targetRestore.empty())
        said.push_back(status.targetRestore);
    if (!status.sourceLimit.empty())
        said.push_back(status.sourceLimit);
    return said;
}

std::wstring stoppedBy(int signalNumber)
{
    if (signalNumber == 0)
        return L"stopped by the user";
    const std::string name = tiny::terminationSignalName(signalNumber); // ASCII
    return L"stopped by signal " + std::wstring(name.begin(), name.end());
}

std::wstring stoppedBeforeTheRunText(int signalNumber, StartPhase phase)
{
    const std::wstring where = startPhaseText(phase);
    return stoppedBy(signalNumber) + (where.empty() ? L"" : L" " + where);
}

} // namespace tavir::migration
