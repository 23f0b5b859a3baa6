// The road of one account, step by step.
#include "Imap/engine/AccountMigration.h"

#include "Imap/engine/FolderResume.h"
#include "Imap/engine/Thread.h"
#include "Imap/engine/TrustReport.h"
#include "Imap/textconv/TextConversion.h"
#include "tiny/ScopeExit.h"

#include <algorithm>
#include <utility>

namespace tavir::migration {

using mail::ImapClientResult;
using mail::SimpleImapClient;

namespace {

// A listed name as it came, for a sentence: bytes outside printable ASCII
// as \xNN, since such a name is not text the report could show.
std::wstring listedNameText(const std::string& bytes)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<wchar_t>(c);
        } else {
            text += L"\\x";
            text += digits[c >> 4];
            text += digits[c & 15];
        }
    }
    return text;
}

bool isInboxOnly(const MigrationFolder& folder)
{
    return folder.targetName == L"INBOX";
}

std::wstring notCreated(const std::wstring& folder, const std::wstring& why)
{
    return sentence(
        L"The folder \"%1%\" could not be created on the target: %2%", folder, asSentence(why));
}

// Whether `name` lies inside one of `folders` (target names, joined with
// "/").
bool insideOneOf(const std::wstring& name, const std::set<std::wstring>& folders)
{
    for (std::size_t at = name.rfind(L'/'); at != std::wstring::npos && at != 0;
         at = name.rfind(L'/', at - 1))
        if (folders.count(name.substr(0, at)))
            return true;
    return false;
}

// The source's inbox, as listAndSelectInbox selects it.
bool isInbox(const MigrationFolder& folder)
{
    return folder.sourceName == L"INBOX";
}

// Work on a thread of its own beside the worker's, joined before what it
// found is used.
class BesideThread : public Thread {
public:
    BesideThread(std::wstring name, std::function<void()> work)
        : Thread(std::move(name))
        , work_(std::move(work))
    {
    }
    void execute() override { work_(); }

private:
    std::function<void()> work_;
};

} // namespace

AccountMigration::AccountMigration(const MigrationRun& run, std::size_t index,
    const UserInfo& account, SourceLogin handed, Logger& log, CallbacksWrapper& callbacks,
    std::function<bool()> stopRequested)
    : run_(run)
    , index_(index)
    , account_(account)
    , log_(log)
    , callbacks_(callbacks)
    , stopRequested_(std::move(stopRequested))
    , store_(account.publicFolders ? FolderStore::PublicFolders : FolderStore::Mailbox)
    , stop_(std::make_shared<utils::StopSignal>())
    , targetStop_(std::make_shared<utils::StopSignal>())
    , handedUser_(handed.client ? std::move(handed.user) : std::wstring())
    , sourceUser_(handedUser_)
    , sourceSlot_(std::move(handed.slot))
    , sourceClient_(handed.client ? std::move(handed.client) : std::make_unique<SimpleImapClient>())
    , source_(*sourceClient_)
    , folders_(createFolderList(store_))
{
    // Before the road can be stopped: from now on the stop reaches the
    // login test's connection too.
    source_.setStopSignal(stop_);
    source_.setReconnection([this] { return logInAgain(); });
    source_.getConnection().setWritesBodies(false);
    source_.getConnection().setFirstUse(run.sourceFirstUse);
    target_.setStopSignal(targetStop_);
    source_.setReadTimeoutMs(run.readTimeoutMs);
    target_.setReadTimeoutMs(run.readTimeoutMs);
    // The test's connection waits for answers as the road's own do, not as
    // a test login does.
    if (source_.isConnected())
        source_.getConnection().setTimeoutMs(
            run.readTimeoutMs != 0 ? run.readTimeoutMs : SimpleImapClient::readTimeout * 1000);
}

AccountMigration::~AccountMigration() = default;

void AccountMigration::abort()
{
    stop_->raise();
    targetStop_->raise();
    source_.abort();
}

UserState AccountMigration::migrate()
{
    log_.report(TAVIR_HERE,
        sentence(L"Account %1%%2%:", account_.address(),
            account_.publicFolders          ? std::wstring(L" (public folders)")
                : account_.fullName.empty() ? std::wstring()
                                            : L" (" + account_.fullName + L")"));
    Step (AccountMigration::*const road[])() = {&AccountMigration::createDomainAndAccount,
        &AccountMigration::logIn, &AccountMigration::matchTargetFolders,
        &AccountMigration::createFolders, &AccountMigration::copyFolders};
    Step step = Step::Next;
    for (auto next : road) {
        step = (this->*next)();
        if (step != Step::Next)
            break;
    }
    source_.disconnect(true);
    sourceSlot_.release();
    target_.disconnect(true);
    const UserState end = step == Step::Next ? UserFinished : UserFailed;
    if (step == Step::Stopped) {
        log_.report(TAVIR_HERE,
            sentence(L"The migration of %1% was stopped before it ended.", account_.address()));
        // Counted as failed, so said as such.
        run_.users->setStopped(index_, log_.lastKept());
    }
    writeAccountLine(end);
    return end;
}

AccountMigration::Step AccountMigration::createDomainAndAccount()
{
    const TargetAccounts::Made made = run_.accounts->prepare(index_, account_, stop_);
    if (!made.outcome)
        return fail(mail::ImapCreateUserFailed, utf8ToUnicode(made.outcome.failure));
    // The public folders live in the domain's own store: no account.
    if (account_.publicFolders)
        return Step::Next;
    newAccount_ = !made.existed;
    if (made.existed) {
        run_.users->setAlreadyExists(index_, true);
        log_.report(TAVIR_HERE,
            sentence(L"The account %1% exists on the target already and is used as it is.",
                account_.address()));
    }
    return Step::Next;
}

AccountMigration::Step AccountMigration::logIn()
{
    // Neither side's login needs the other's, and the target's takes as
    // many round trips as the source's or more: done one after the other
    // they were half of a small account's time. The account is made by now.
    BesideThread beside(L"target login of " + account_.address(), [this] { logInToTarget(); });
    const bool overlapped = beside.guardedStart(ThreadRunner<BesideThread>::startPoint);
    Step step = Step::Next;
    {
        // Whichever way this block is left, the target's side has ended
        // first; a source that failed (or threw) cuts it short.
        bool sourceReady = false;
        tiny::ScopeExit settle([&] {
            if (!overlapped)
                return;
            if (!sourceReady)
                targetStop_->raise();
            beside.join();
        });
        step = logInToSource();
        if (step == Step::Next)
            step = listFolders();
        sourceReady = step == Step::Next;
    }
    // Without a thread of its own the target's side comes after the
    // source's, as it did before.
    if (!overlapped && step == Step::Next)
        logInToTarget();
    // Also after the source failed: the target was met all the same.
    reportTrustOnce(log_, target_.trustNotice());
    if (step != Step::Next)
        return step;
    return targetLoggedIn();
}

AccountMigration::Step AccountMigration::logInToSource()
{
    const ServerAddress& at = run_.source;
    if (!handedUser_.empty()) {
        if (source_.openAndQuiet()) {
            log_.debug(TAVIR_HERE,
                sentence(L"Logged in to %1% as %2% (by its login test).", at.text(), handedUser_));
            return Step::Next;
        }
        dropHanded(L"was closed by the server, or spoken on, while it waited for a worker");
    }
    // The tests' own routine, on the road's client and with the road's
    // place among the run's connections to the source.
    const LoginCheck check(
        at, run_.sourceSsl, *run_.sourceConnections, SourceConnections::Who::Road);
    LoginVerdict verdict = check.check(account_, source_, log_, stopRequested_);
    switch (verdict.kind) {
    case LoginVerdict::Accepted:
        sourceSlot_ = std::move(verdict.slot);
        sourceUser_ = verdict.user;
        log_.debug(TAVIR_HERE, sentence(L"Logged in to %1% as %2%.", at.text(), verdict.user));
        return Step::Next;
    case LoginVerdict::Stopped:
        return stopped();
    case LoginVerdict::Failed:
    case LoginVerdict::NotNow:
    case LoginVerdict::SourceFailed:
        break;
    }
    return fail(verdict.result, verdict.sentence);
}

void AccountMigration::dropHanded(const std::wstring& why)
{
    log_.debug(TAVIR_HERE,
        sentence(L"The login test's connection of %1% to %2% %3%; the account logs in anew.",
            account_.address(), run_.source.text(), why));
    source_.disconnect(false);
    sourceSlot_.release();
    handedUser_.clear();
}

mail::Failure AccountMigration::logInAgain()
{
    // Closed by now: counted out first, so that the new connection is
    // counted as any other and finds room where the lost one was.
    sourceSlot_.release();
    const LoginCheck check(
        run_.source, run_.sourceSsl, *run_.sourceConnections, SourceConnections::Who::Road);
    LoginVerdict verdict
        = check.logInAgain(sourceUser_, account_.password, source_, log_, stopRequested_);
    if (verdict.kind == LoginVerdict::Accepted) {
        sourceSlot_ = std::move(verdict.slot);
        return {};
    }
    // A stop has no sentence: the connection says that it was stopped.
    return {verdict.result, mail::Side::Source, source_.lastFailureWasTimeout(),
        unicodeToUtf8(verdict.sentence)};
}

bool AccountMigration::handedWentStale(ImapClientResult result) const
{
    return !handedUser_.empty() && !stopRequested_()
        && (result == mail::ImapConnectionError || result == mail::ImapNotConnected);
}

ImapClientResult AccountMigration::listOnSource()
{
    // Sources of the target's own kind name each folder's identifier; others
    // refuse to be asked and are asked again plainly.
    const bool plainly = run_.sourceListsPlainly;
    ImapClientResult result = mail::ImapSuccess;
    if (newAccount_ && !stopRequested_()) {
        SimpleImapClient::Selection inbox;
        result = source_.listAndSelectInbox(listed_, !plainly, separator_, inbox);
        selectedAhead_ = inbox;
    } else {
        result = source_.list(listed_, !plainly, separator_);
    }
    if (result == mail::ImapListFailed && !plainly) {
        result = source_.list(listed_, false, separator_);
        if (result == mail::ImapSuccess)
            run_.sourceListsPlainly = true;
    }
    return result;
}

AccountMigration::Step AccountMigration::listFolders()
{
    ImapClientResult result = listOnSource();
    // A connection that the source ended while it waited, unseen until it
    // was used (a reset, a close that crossed the listing, a connection
    // left half-open), is replaced as one found closed is.
    if (handedWentStale(result)) {
        dropHanded(L"failed at its first command (" + withoutLineEnd(clientError(source_)) + L")");
        listed_.clear();
        selectedAhead_.reset();
        const Step step = logInToSource();
        if (step != Step::Next)
            return step;
        result = listOnSource();
    }
    handedUser_.clear();
    if (result != mail::ImapSuccess)
        return fail(result,
            sentence(L"The source server did not list the folders of %1%: %2%", account_.address(),
                asSentence(clientError(source_))));
    Step step = addUnlistedFolders();
    if (step != Step::Next)
        return step;
    step = joinInboxSpellings();
    if (step != Step::Next)
        return step;
    // The folders as such, for the count; their names come with the
    // target's folders.
    folders_->build(listed_, separator_, {});
    foldersLeft_ = static_cast<unsigned>(folders_->foldersToCreate().size());
    for (const MigrationFolder& folder : folders_->skippedFolders())
        log_.report(TAVIR_HERE,
            sentence(L"The folder \"%1%\" shows folders that are not the account's own; it is not "
                     L"migrated.",
                folder.sourceName));
    return Step::Next;
}

AccountMigration::Step AccountMigration::addUnlistedFolders()
{
    for (const std::string& name : namesNotListed(listed_, separator_)) {
        bool opens = false;
        const Step step = opensUnlisted(name, opens);
        if (step != Step::Next)
            return step;
        if (!opens)
            continue;
        mail::FolderInfo folder;
        folder.name = name;
        folder.selectable = true;
        listed_.push_back(std::move(folder));
    }
    return Step::Next;
}

AccountMigration::Step AccountMigration::opensUnlisted(const std::string& name, bool& opens)
{
    opens = false;
    const bool inbox = name == "INBOX";
    ImapClientResult result = mail::ImapSuccess;
    Step step = Step::Next;
    if (inbox && selectedAhead_) {
        // Kept for the inbox's copy: nothing was selected since.
        result = selectedAhead_->result;
        if (result != mail::ImapSuccess)
            source_.setLastErrorResponse(selectedAhead_->error);
        step = selectAnswered(name, result);
    } else {
        step = selectByName(name, result);
    }
    if (step != Step::Next)
        return step;
    // A folder whose SELECT counts nothing is a folder all the same: its
    // copy fails, and says so.
    opens = result == mail::ImapSuccess || result == mail::ImapStatusFailed;
    const std::wstring folder = utf7MToUnicode(name);
    const std::wstring why = asSentence(clientError(source_));
    if (opens)
        log_.debug(TAVIR_HERE,
            sentence(L"The source server does not list the folder \"%1%\", but opens it: it is "
                     L"migrated as a folder of its own.",
                folder));
    else if (inbox)
        log_.report(TAVIR_HERE,
            sentence(L"The source server neither lists nor opens an INBOX of %1%: %2%",
                account_.address(), why));
    else
        log_.debug(TAVIR_HERE,
            sentence(L"The source server neither lists nor opens the folder \"%1%\": %2% It is "
                     L"created on the target to hold the folders below it.",
                folder, why));
    return Step::Next;
}

AccountMigration::Step AccountMigration::joinInboxSpellings()
{
    for (const std::vector<std::size_t>& spellings :
        namesBelowInboxSpellings(listed_, separator_)) {
        // The names that opened a folder of their own, with what the source
        // said of it.
        OpenedSpellings opened;
        for (std::size_t i : spellings) {
            std::optional<OpenedFolder> said;
            Step step = selectListed(i, said);
            if (step != Step::Next)
                return step;
            // A name the source does not open fails on its own when copied.
            if (!said)
                continue;
            const std::wstring name = utf7MToUnicode(listed_[i].name);
            auto same = opened.end();
            step = findSameFolder(opened, i, *said, same);
            if (step != Step::Next)
                return step;
            if (same == opened.end()) {
                if (!opened.empty())
                    log_.report(TAVIR_HERE,
                        sentence(L"The source lists the folder \"%1%\" beside \"%2%\", and opens "
                                 L"another folder by it, although INBOX is one name in any letter "
                                 L"case: each is copied into a folder of its own.",
                            name, utf7MToUnicode(listed_[opened.front().first].name)));
                opened.emplace_back(i, std::move(*said));
                continue;
            }
            log_.report(TAVIR_HERE,
                sentence(L"The source lists the folder \"%1%\" also as \"%2%\", which opens the "
                         L"same folder: it is copied once.",
                    utf7MToUnicode(listed_[same->first].name), name));
            // Listed twice by one name: one folder.
            listed_[i].name = listed_[same->first].name;
        }
    }
    return Step::Next;
}

AccountMigration::Step AccountMigration::selectByName(
    const std::string& name, ImapClientResult& result)
{
    if (stopRequested_())
        return stopped();
    // The inbox selected ahead is not selected any more.
    selectedAhead_.reset();
    unsigned count = 0;
    result = source_.select(utf7MToUnicode(name), count);
    return selectAnswered(name, result);
}

AccountMigration::Step AccountMigration::selectAnswered(
    const std::string& name, ImapClientResult result)
{
    if (result == mail::ImapSuccess || result == mail::ImapSelectFailed
        || result == mail::ImapStatusFailed)
        return Step::Next;
    return fail(result,
        sentence(L"The folder \"%1%\" could not be selected: %2%", utf7MToUnicode(name),
            asSentence(clientError(source_))));
}

AccountMigration::Step AccountMigration::selectListed(
    std::size_t listed, std::optional<OpenedFolder>& said)
{
    said.reset();
    ImapClientResult result = mail::ImapSuccess;
    const Step step = selectByName(listed_[listed].name, result);
    if (step != Step::Next || result != mail::ImapSuccess)
        return step;
    said.emplace();
    said->mailbox = source_.selectedMailbox();
    return Step::Next;
}

AccountMigration::Step AccountMigration::describeSelected(
    OpenedFolder& folder, const std::wstring& name)
{
    folder.described = false;
    if (!folder.mailbox.countKnown)
        return Step::Next;
    unsigned ignored = 0;
    ImapClientResult result
        = source_.fetchSummariesWithUids(folder.mailbox.count, folder.messages, ignored);
    // An EXPUNGE meanwhile numbers the messages otherwise: no digest is
    // asked for by number then.
    const std::vector<unsigned> numbers = result == mail::ImapSuccess && !source_.renumbered()
        ? numbersToDigest(folder.messages)
        : std::vector<unsigned>();
    if (!numbers.empty()) {
        std::vector<std::string> digests;
        result = source_.fetchDigests(numbers, digests, ignored);
        for (std::size_t i = 0; i < numbers.size() && i < digests.size(); ++i)
            folder.messages[numbers[i] - 1].digest = std::move(digests[i]);
    }
    if (result == mail::ImapFetchFailed) {
        log_.debug(TAVIR_HERE,
            sentence(L"The source server did not describe the messages of folder \"%1%\": %2%",
                name, asSentence(clientError(source_))));
        return Step::Next;
    }
    if (result != mail::ImapSuccess)
        return fail(result,
            sentence(L"The messages of folder \"%1%\" could not be read: %2%", name,
                asSentence(clientError(source_))));
    folder.described = !source_.renumbered();
    return Step::Next;
}

AccountMigration::Step AccountMigration::openDescribed(
    std::size_t listed, std::optional<OpenedFolder>& said)
{
    const Step step = selectListed(listed, said);
    if (step != Step::Next || !said)
        return step;
    return describeSelected(*said, utf7MToUnicode(listed_[listed].name));
}

AccountMigration::Step AccountMigration::findSameFolder(OpenedSpellings& opened, std::size_t listed,
    OpenedFolder& seen, OpenedSpellings::iterator& same)
{
    same = opened.end();
    bool read = false;
    for (auto it = opened.begin(); it != opened.end(); ++it) {
        const std::uint32_t validity = seen.mailbox.uidValidity;
        if (validity == 0 || it->second.mailbox.uidValidity != validity)
            continue;
        // Its messages are read while it is still the folder selected.
        Step step = Step::Next;
        if (!read) {
            read = true;
            step = describeSelected(seen, utf7MToUnicode(listed_[listed].name));
            if (step != Step::Next)
                return step;
        }
        // The other is read anew, selected after this one.
        std::optional<OpenedFolder> other;
        step = openDescribed(it->first, other);
        if (step != Step::Next)
            return step;
        if (!other)
            continue;
        it->second = std::move(*other);
        // Mail that arrived between the two selects makes one folder look
        // like two: this one is read once more, after the other.
        if (!it->second.mailbox.sameNumbering(seen.mailbox)
            && it->second.mailbox.uidValidity == validity) {
            std::optional<OpenedFolder> again;
            step = openDescribed(listed, again);
            if (step != Step::Next)
                return step;
            if (again)
                seen = std::move(*again);
        }
        if (sameFolder(seen, it->second)) {
            same = it;
            break;
        }
    }
    return Step::Next;
}

void AccountMigration::logInToTarget()
{
    TargetLogin& login = targetLogin_;
    try {
        const ServerAddress& at = run_.target;
        login.account.user = account_.publicFolders ? publicFoldersMailbox : account_.mailbox;
        login.account.domain = account_.domain;
        login.result = target_.connectAndSwitch(
            at.host, at.port, run_.masterPassword, run_.targetSsl, login.account);
    } catch (...) {
        login.unexpected = std::current_exception();
    }
}

AccountMigration::Step AccountMigration::targetLoggedIn()
{
    const TargetLogin& login = targetLogin_;
    if (login.unexpected)
        std::rethrow_exception(login.unexpected);
    if (login.result == mail::ImapSuccess)
        return Step::Next;
    const std::wstring why = asSentence(clientError(target_));
    if (!login.account.loggedIn)
        return fail(login.result,
            sentence(
                L"The master login on the target server %1% failed: %2%", run_.target.text(), why));
    if (!login.account.switched)
        return fail(login.result,
            sentence(L"The target server did not switch to %1%@%2%: %3%", login.account.user,
                login.account.domain, why));
    return fail(login.result,
        sentence(
            L"The target server did not list the folders of %1%: %2%", account_.address(), why));
}

AccountMigration::Step AccountMigration::matchTargetFolders()
{
    std::vector<mail::FolderInfo> onTarget = std::move(targetLogin_.account.folders);
    folders_->build(listed_, separator_, onTarget);
    listed_ = std::vector<mail::FolderInfo>();
    for (const MigrationFolder& folder : folders_->foldersToCreate()) {
        reportIdentifierConflict(folder);
        // The parent of ".a" has no name to tell: the line of ".a" tells
        // where it went.
        if (!folder.validName || !folder.renamed() || folder.sourceName.empty())
            continue;
        if (folder.nameTaken.empty() && folder.onTarget && folder.targetName == folder.sourceName)
            // One text, other levels: the folder keeps the target's folder of
            // an earlier run, whose name holds what the source now takes for
            // its separator.
            log_.report(TAVIR_HERE,
                sentence(L"The folder \"%1%\" keeps its folder \"%1%\" on the target from an "
                         L"earlier run, where \"%2%\" is part of the name: the source now takes "
                         L"\"%2%\" for the separator of its folder levels.",
                    folder.sourceName, std::wstring(1, static_cast<wchar_t>(separator_))));
        else if (folder.nameTaken.empty())
            log_.report(TAVIR_HERE,
                sentence(L"The folder \"%1%\" is named \"%2%\" on the target.", folder.sourceName,
                    folder.targetName));
        else
            log_.report(TAVIR_HERE,
                sentence(L"The folder \"%1%\" is named \"%2%\" on the target: \"%3%\" there has "
                         L"held the folder \"%4%\" since an earlier run.",
                    folder.sourceName, folder.targetName, folder.nameTaken, folder.nameTakenBy));
    }
    return Step::Next;
}

void AccountMigration::reportIdentifierConflict(const MigrationFolder& folder)
{
    if (folder.idShared)
        log_.report(TAVIR_HERE,
            sentence(L"The source lists the identifier of the folder \"%1%\" for other folders "
                     L"too: it is not taken as this folder's.",
                folder.sourceName));
    if (!folder.idHeldBy.empty())
        log_.report(TAVIR_HERE,
            sentence(L"The folder \"%1%\" is migrated into \"%2%\" on the target, not into "
                     L"\"%3%\", which has its identifier but stands for another folder.",
                folder.sourceName, folder.targetName, folder.idHeldBy));
}

AccountMigration::Step AccountMigration::createFolders()
{
    const std::vector<MigrationFolder> toCreate = folders_->foldersToCreate();
    // The folders are asked for in waves, each wave's X-CREATEs written
    // together: a folder waits for the wave after the one that creates its
    // parent (or fails to, or tries again), so that each meets the target
    // as when they went one by one.
    std::vector<const MigrationFolder*> wave;
    std::set<std::wstring> inWave; // the wave's folders to create
    for (const MigrationFolder& folder : toCreate) {
        if (insideOneOf(folder.targetName, inWave)) {
            const Step step = createWave(wave);
            if (step != Step::Next)
                return step;
            wave.clear();
            inWave.clear();
        }
        wave.push_back(&folder);
        if (toBeCreated(folder))
            inWave.insert(folder.targetName);
    }
    const Step step = createWave(wave);
    if (step != Step::Next)
        return step;
    for (const MigrationFolder& folder : toCreate)
        if (!folder.selectable && !missingOnTarget_.count(folder.targetName))
            folderDone();
    for (const MigrationFolder& folder : folders_->unreadableFolders())
        if (!missingOnTarget_.count(folder.targetName))
            folderFailed(sentence(L"The source lists a folder as \"%1%\", which is not a valid "
                                  L"folder name: it is created as \"%2%\" on the target, but "
                                  L"its messages can't be asked for.",
                listedNameText(folder.listedName), folder.targetName));
    return Step::Next;
}

bool AccountMigration::toBeCreated(const MigrationFolder& folder) const
{
    // The inbox of an account always exists; the public store has none
    // until one is made.
    return !(store_ == FolderStore::Mailbox && isInboxOnly(folder)) && !folder.onTarget;
}

AccountMigration::Step AccountMigration::createWave(const std::vector<const MigrationFolder*>& wave)
{
    if (wave.empty())
        return Step::Next;
    if (stopRequested_())
        return stopped();
    std::vector<SimpleImapClient::FolderToCreate> asked;
    for (const MigrationFolder* folder : wave)
        if (toBeCreated(*folder)) {
            asked.emplace_back();
            asked.back().name = folder->targetName;
            asked.back().guid = folder->id;
        }
    const ImapClientResult written
        = asked.empty() ? mail::ImapSuccess : target_.createFolders(asked);
    auto answer = asked.begin();
    for (const MigrationFolder* folder : wave) {
        if (!toBeCreated(*folder)) {
            if (folder->onTarget)
                log_.debug(TAVIR_HERE,
                    sentence(L"The folder \"%1%\" exists on the target and is used again.",
                        folder->targetName));
            continue;
        }
        // Not answered: the connection failed.
        if (answer->result == mail::ImapNotConnected)
            return fail(written, notCreated(folder->targetName, clientError(target_)));
        const Step step = settleCreated(*folder, *answer++);
        if (step != Step::Next)
            return step;
    }
    return Step::Next;
}

AccountMigration::Step AccountMigration::settleCreated(
    const MigrationFolder& folder, const SimpleImapClient::FolderToCreate& asked)
{
    if (asked.result == mail::ImapSuccess) {
        log_.debug(TAVIR_HERE,
            sentence(L"The folder \"%1%\" is created on the target as %2%.", folder.targetName,
                utf8ToUnicode(asked.guid.toStringUpper(true))));
        madeNow_.insert(folder.targetName);
        return Step::Next;
    }
    if (stopRequested_())
        return stopped();
    const std::wstring refusal = withoutLineEnd(utf8ToUnicode(asked.error));
    // A folder of that name made by an earlier run is used again.
    unsigned held = 0;
    ImapClientResult result = target_.status(folder.targetName, held);
    if (result == mail::ImapSuccess) {
        log_.debug(TAVIR_HERE,
            sentence(L"The folder \"%1%\" exists on the target (%2%) and is used again.",
                folder.targetName, refusal));
        return Step::Next;
    }
    if (result != mail::ImapStatusFailed)
        return fail(result,
            sentence(L"The folder \"%1%\" could not be looked up on the target: %2%",
                folder.targetName, asSentence(clientError(target_))));
    // Another folder of the store may hold the source's identifier
    // (renamed on the source since an earlier run): a new one then.
    mailserver::common::KUuid id;
    if (!folder.id.isNull()
        && (result
               = target_.createFolder(folder.targetName, id, SimpleImapClient::FolderTypeNoteClass))
            == mail::ImapSuccess) {
        madeNow_.insert(folder.targetName);
        log_.report(TAVIR_HERE,
            sentence(L"The folder \"%1%\" got a new identifier on the target, which refused "
                     L"the source's: %2%",
                folder.targetName, asSentence(refusal)));
        return Step::Next;
    }
    if (result != mail::ImapCreateFolderFailed && result != mail::ImapStatusFailed)
        return fail(result, notCreated(folder.targetName, clientError(target_)));
    missingOnTarget_.insert(folder.targetName);
    folderFailed(notCreated(folder.targetName, refusal));
    return Step::Next;
}

AccountMigration::Step AccountMigration::copyFolders()
{
    for (const MigrationFolder& folder : folders_->foldersToCopy()) {
        if (missingOnTarget_.count(folder.targetName))
            continue;
        if (stopRequested_())
            return stopped();
        const Step step = copyFolder(folder);
        if (step != Step::Next)
            return step;
    }
    return Step::Next;
}

AccountMigration::Step AccountMigration::copyFolder(const MigrationFolder& folder)
{
    // The inbox selected ahead is not selected any more once another folder
    // is.
    if (!isInbox(folder))
        selectedAhead_.reset();
    currentFolder_ = folder.sourceName;
    currentCount_ = 0;
    folderSettled_ = {};
    folderInHand_ = true;
    folderCounted_ = false;
    publishProgress({});
    std::vector<unsigned> wanted;
    bool copy = false;
    const Step step = emptyOnTarget(folder) ? selectForEmptyTarget(folder, wanted, copy)
                                            : selectLacking(folder, wanted, copy);
    if (step != Step::Next || !copy)
        return step;
    // The count grows with the mail that arrives during the copy; a
    // message another session expunged meanwhile stays in it, as removed.
    FolderCopy copier(
        source_, target_, log_, stopRequested_,
        [this](const FolderCopy::Tally& tally, unsigned count) {
            currentCount_ = count;
            publishProgress(tally);
        },
        sourceTimeouts_);
    FolderCopy::Tally tally;
    const FolderCopy::Outcome outcome = copier.copy(folder, currentCount_, wanted, tally);
    currentCount_ = copier.count();
    settleMessages(tally);
    log_.debug(TAVIR_HERE,
        sentence(L"Folder \"%1%\": %2% of %3% messages copied, %4% failed, %5% not reached, %6% "
                 L"on the target already, %7% removed from the source during the run.",
            folder.sourceName, tally.copied, currentCount_, tally.failed, tally.notReached,
            tally.present, tally.removed));
    switch (outcome.end) {
    case FolderCopy::End::Completed:
        folderDone();
        return Step::Next;
    case FolderCopy::End::Stopped:
        return stopped();
    case FolderCopy::End::Unfinished:
        // The copy named the messages it left unsettled.
        folderFailed(L"");
        return Step::Next;
    case FolderCopy::End::Fatal:
        break;
    }
    return fail(outcome.failure.code, failureText(outcome.failure));
}

bool AccountMigration::emptyOnTarget(const MigrationFolder& folder) const
{
    // A folder made in this run, and the inbox of an account made in this
    // run, hold nothing yet.
    return madeNow_.count(folder.targetName) || (newAccount_ && isInboxOnly(folder));
}

AccountMigration::Step AccountMigration::sourceCountFailed(
    ImapClientResult result, const MigrationFolder& folder)
{
    return folderCommandFailed(result, mail::ImapStatusFailed, source_, folder.sourceName,
        L"The source server did not count the messages of folder \"%1%\": %2%",
        L"The messages of folder \"%1%\" could not be counted: %2%");
}

AccountMigration::Step AccountMigration::sourceSelectFailed(
    ImapClientResult result, const MigrationFolder& folder)
{
    if (result == mail::ImapStatusFailed)
        return sourceCountFailed(result, folder);
    return folderCommandFailed(result, mail::ImapSelectFailed, source_, folder.sourceName,
        L"The source server did not select folder \"%1%\": %2%",
        L"The folder \"%1%\" could not be selected: %2%");
}

ImapClientResult AccountMigration::selectCounting(const MigrationFolder& folder)
{
    const std::optional<SimpleImapClient::Selection> ahead
        = std::exchange(selectedAhead_, std::nullopt);
    if (!ahead || !isInbox(folder))
        return source_.select(folder.sourceName, currentCount_);
    currentCount_ = ahead->count;
    // Its failure is told as if it had come now.
    if (ahead->result != mail::ImapSuccess)
        source_.setLastErrorResponse(ahead->error);
    return ahead->result;
}

void AccountMigration::wantAll(std::vector<unsigned>& wanted) const
{
    for (unsigned n = 1; n <= currentCount_; ++n)
        wanted.push_back(n);
}

AccountMigration::Step AccountMigration::selectForEmptyTarget(
    const MigrationFolder& folder, std::vector<unsigned>& wanted, bool& copy)
{
    // Nothing to compare: the SELECT that the copy needs anyway gives the
    // count, one round trip per folder fewer than a STATUS first.
    const ImapClientResult result = selectCounting(folder);
    if (result != mail::ImapSuccess)
        return sourceSelectFailed(result, folder);
    countRead();
    copy = currentCount_ != 0;
    if (!copy)
        folderDone();
    wantAll(wanted);
    return Step::Next;
}

AccountMigration::Step AccountMigration::selectLacking(
    const MigrationFolder& folder, std::vector<unsigned>& wanted, bool& copy)
{
    const ImapClientResult result = source_.status(folder.sourceName, currentCount_);
    // A STATUS refused, or answered without a count, leaves the count to the
    // SELECT that numbers the messages anyway: a folder error here would
    // pass over the folder's new mail on every run.
    const bool statusCounted = result == mail::ImapSuccess;
    if (!statusCounted && result != mail::ImapStatusFailed)
        return sourceCountFailed(result, folder);
    if (statusCounted)
        countRead();
    else
        log_.debug(TAVIR_HERE,
            sentence(L"The source server did not count the messages of folder \"%1%\" by "
                     L"STATUS: %2% Its SELECT counts them.",
                folder.sourceName, asSentence(clientError(source_))));
    // A STATUS that counts no message is not taken on trust: from a count
    // the server cached, the folder's messages would be passed over on
    // every run. The SELECT says.
    const bool selectFirst = !statusCounted || currentCount_ == 0;
    if (selectFirst) {
        const Step step = selectNumbering(folder, statusCounted, copy);
        if (step != Step::Next || !copy)
            return step;
    }
    unsigned held = 0;
    Step step = checkTarget(folder, copy, held);
    if (step != Step::Next || !copy)
        return step;
    if (!selectFirst) {
        step = selectNumbering(folder, statusCounted, copy);
        if (step != Step::Next || !copy)
            return step;
    }
    if (held != 0)
        return messagesLacking(folder, currentCount_, held, wanted, copy);
    wantAll(wanted);
    return Step::Next;
}

AccountMigration::Step AccountMigration::selectNumbering(
    const MigrationFolder& folder, bool statusCounted, bool& copy)
{
    // The messages are numbered as the SELECT counts them: a STATUS may
    // lag behind (a count the server cached, mail that arrived or was
    // expunged between the two).
    const unsigned statusCount = currentCount_;
    const ImapClientResult result = source_.select(folder.sourceName, currentCount_);
    copy = false;
    if (result != mail::ImapSuccess)
        return sourceSelectFailed(result, folder);
    if (!statusCounted) {
        countRead();
    } else if (currentCount_ != statusCount) {
        log_.debug(TAVIR_HERE,
            sentence(L"The source server counts %1% messages in folder \"%2%\" by STATUS and %3% "
                     L"by SELECT; the SELECT's count holds.",
                statusCount, folder.sourceName, currentCount_));
        countRead();
    }
    copy = currentCount_ != 0;
    if (!copy)
        folderDone();
    return Step::Next;
}

void AccountMigration::countRead()
{
    // The wizard shows the folder's count from now on, not from the end of
    // its first run of messages.
    unsettled_ = currentCount_;
    folderCounted_ = true;
    publishProgress({});
}

AccountMigration::Step AccountMigration::checkTarget(
    const MigrationFolder& folder, bool& copy, unsigned& held)
{
    copy = false;
    held = 0;
    const ImapClientResult result = target_.status(folder.targetName, held);
    if (result != mail::ImapSuccess)
        return folderCommandFailed(result, mail::ImapStatusFailed, target_, folder.targetName,
            L"The target server did not count the messages of folder \"%1%\": %2%",
            L"The messages of folder \"%1%\" on the target could not be counted: %2%");
    // A target folder that holds as many messages as the source's is
    // compared like any other: they may be other messages (mail delivered
    // there, a folder that changed on the source).
    copy = true;
    return Step::Next;
}

AccountMigration::Step AccountMigration::messagesLacking(const MigrationFolder& folder,
    unsigned count, unsigned held, std::vector<unsigned>& wanted, bool& copy)
{
    copy = false;
    ResumePlan plan = planResume(source_, target_, folder, count, held);
    const mail::Failure& failure = plan.failure;
    if (failure.failed() && stopRequested_())
        return stopped();
    if (failure.failed()) {
        const std::wstring& name
            = failure.side == mail::Side::Target ? folder.targetName : folder.sourceName;
        const std::wstring why = asSentence(failureText(failure));
        if (failure.code == mail::ImapConnectionError || failure.code == mail::ImapNotConnected)
            return fail(failure.code,
                sentence(L"The messages of folder \"%1%\" could not be compared with those on "
                         L"the target: %2%",
                    name, why));
        // Copying them all would put those already there on the target twice.
        settleMessages(FolderCopy::Tally{0, count, 0, 0});
        folderFailed(sentence(L"The folder \"%1%\" on the target holds %2% messages already, "
                              L"which could not be compared with the source's %3%, so none is "
                              L"copied: %4%",
            folder.targetName, held, count, why));
        return Step::Next;
    }
    if (plan.ignored != 0)
        log_.debug(TAVIR_HERE,
            sentence(L"%1% replies about the messages of folder \"%2%\" were not used: they "
                     L"named no message asked for, or one answered before.",
                plan.ignored, folder.sourceName));
    // Where size, date and Message-ID could not tell messages apart, the
    // report says how many were settled by their content.
    const std::wstring byContent = plan.settledByDigest == 0
        ? std::wstring()
        : sentence(L" %1% of the %2% were told apart by their whole content.", plan.settledByDigest,
            count);
    if (plan.wanted.empty())
        log_.report(TAVIR_HERE,
            sentence(L"The folder \"%1%\" on the target holds %2% messages already, the "
                     L"source's %3% among them: it was migrated before and is not copied again.",
                folder.targetName, held, count)
                + byContent);
    else
        log_.report(TAVIR_HERE,
            sentence(L"The folder \"%1%\" on the target holds %2% messages already, %3% of them "
                     L"the source's: the other %4% of the source's %5% are copied.",
                folder.targetName, held, count - plan.wanted.size(), plan.wanted.size(), count)
                + byContent);
    wanted = std::move(plan.wanted);
    copy = true;
    return Step::Next;
}

AccountMigration::Step AccountMigration::fail(ImapClientResult code, const std::wstring& why)
{
    // A step cut short by a stop request did not fail: the road stopped.
    if (stopRequested_())
        return stopped();
    log_.fatal(TAVIR_HERE, code, why);
    run_.users->setFailure(index_, log_.lastKept());
    if (folderInHand_)
        folderFailed(L"");
    leaveNotReached();
    return Step::Failed;
}

AccountMigration::Step AccountMigration::folderCommandFailed(ImapClientResult result,
    ImapClientResult refused, SimpleImapClient& client, const std::wstring& folder,
    const wchar_t* skipSentence, const wchar_t* endSentence)
{
    const std::wstring why = asSentence(clientError(client));
    if (result != refused)
        return fail(result, sentence(endSentence, folder, why));
    // Messages the source counted before the refusal (its STATUS, or the
    // SELECT of a folder the STATUS counted empty) are not copied: they are
    // failed, as those of a comparison the servers refused. A folder whose
    // count was never read has none to settle.
    settleMessages(FolderCopy::Tally{0, unsettled_, 0, 0});
    folderFailed(sentence(skipSentence, folder, why));
    return Step::Next;
}

AccountMigration::Step AccountMigration::stopped()
{
    leaveNotReached();
    return Step::Stopped;
}

void AccountMigration::leaveNotReached()
{
    if (foldersLeft_ > 0)
        log_.report(TAVIR_HERE,
            sentence(L"%1% of %2% %3% not reached.", counted(foldersLeft_, L"folder"),
                account_.address(), foldersLeft_ == 1 ? L"was" : L"were"));
    foldersNotReached_ += foldersLeft_;
    // The folder in hand is one of them; its messages are counted once its
    // count was read.
    const unsigned counted = folderInHand_ && folderCounted_ ? 1 : 0;
    foldersNotCounted_ += foldersLeft_ - std::min(counted, foldersLeft_);
    foldersLeft_ = 0;
    messagesNotReached_ += unsettled_;
    unsettled_ = 0;
    folderInHand_ = false;
    publishProgress({});
}

void AccountMigration::folderFailed(const std::wstring& why)
{
    if (!why.empty())
        log_.report(TAVIR_HERE, why);
    ++folderErrors_;
    if (foldersLeft_ > 0)
        --foldersLeft_;
    folderInHand_ = false;
    publishProgress({});
}

void AccountMigration::folderDone()
{
    ++foldersDone_;
    if (foldersLeft_ > 0)
        --foldersLeft_;
    folderInHand_ = false;
    publishProgress({});
}

void AccountMigration::settleMessages(const FolderCopy::Tally& tally)
{
    messagesDone_ += tally.copied;
    messageErrors_ += tally.failed;
    messagesAlreadyThere_ += tally.present;
    messagesNotReached_ += tally.notReached;
    messagesRemoved_ += tally.removed;
    keywordsLeft_ += tally.keywordsLeft;
    unsettled_ = 0;
    folderSettled_.copied += tally.copied;
    folderSettled_.failed += tally.failed;
}

void AccountMigration::publishProgress(const FolderCopy::Tally& tally)
{
    run_.users->updateProgress(index_, [&](UserProgress& p) {
        p.folder = currentFolder_;
        p.folderMessages = currentCount_;
        // A finished folder keeps its tally until the next one begins.
        p.folderMessagesDone = folderSettled_.copied + tally.copied;
        p.folderMessageErrors = folderSettled_.failed + tally.failed;
        p.foldersDone = foldersDone_;
        p.folderErrors = folderErrors_;
        p.messagesDone = messagesDone_ + tally.copied;
        p.messageErrors = messageErrors_ + tally.failed;
        p.foldersNotReached = foldersNotReached_;
        p.foldersNotCounted = foldersNotCounted_;
        p.messagesNotReached = messagesNotReached_ + tally.notReached;
        p.messagesAlreadyThere = messagesAlreadyThere_ + tally.present;
        p.messagesRemoved = messagesRemoved_ + tally.removed;
    });
    callbacks_.statusChanged();
}

void AccountMigration::writeAccountLine(UserState end)
{
    const auto folders = [](unsigned n) { return counted(n, L"folder"); };
    const auto messages = [](unsigned n) { return counted(n, L"message"); };
    if (keywordsLeft_ != 0)
        log_.report(TAVIR_HERE,
            sentence(L"%1% of %2% carried keywords ($Forwarded, $Label1 and the like) that were "
                     L"not copied: the target keeps the standard flags only.",
                counted(keywordsLeft_, L"copied message"), account_.address()));
    std::wstring line = sentence(L"Account %1% %2%: %3% and %4% copied; %5% and %6% failed",
        account_.address(), end == UserFinished ? L"finished" : L"failed", folders(foldersDone_),
        messages(messagesDone_), folders(folderErrors_), messages(messageErrors_));
    if (foldersNotReached_ + messagesNotReached_ != 0)
        line += sentence(L"; %1% and %2% not reached", folders(foldersNotReached_),
            messages(messagesNotReached_));
    if (messagesAlreadyThere_ != 0)
        line += sentence(L"; %1% on the target already", messages(messagesAlreadyThere_));
    if (messagesRemoved_ != 0)
        line += sentence(
            L"; %1% removed from the source during the run", messages(messagesRemoved_));
    log_.report(TAVIR_HERE, line + L".");
    log_.report(L"");
}

std::wstring AccountMigration::clientError(SimpleImapClient& client) const
{
    return withoutLineEnd(client.getLastErrorResponse());
}

} // namespace tavir::migration
