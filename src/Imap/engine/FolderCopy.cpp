// One folder's messages: pipelined runs whose replies are matched to the
// numbers asked for, a failing or unanswered message tried once more alone,
// a silent source paid for once, and the result codes sorted into "skip the
// message" and "end".
#include "Imap/engine/FolderCopy.h"

#include "Imap/textconv/TextConversion.h"

#include <algorithm>
#include <set>

namespace tavir::migration {

using mail::CopyRun;
using mail::ImapClientResult;

namespace {

using NumberedUid = mail::SimpleImapClient::NumberedUid;

// True for the codes that concern one message only.
bool isMessageFailure(ImapClientResult code)
{
    return code == mail::ImapAppendFailed || code == mail::ImapMessageLoadFailed
        || code == mail::ImapFetchFailed;
}

// True when the run settled message `number` for good: copied, or removed
// from the source. Neither is asked for again.
bool leftTheRun(const CopyRun& run, unsigned number)
{
    const CopyRun::Fate fate = run.fate(number);
    return fate == CopyRun::Fate::Copied || fate == CopyRun::Fate::Removed;
}

} // namespace

FolderCopy::FolderCopy(mail::SimpleImapClient& source, mail::SimpleImapClient& target, Logger& log,
    std::function<bool()> stopRequested, Progress progress, unsigned& sourceTimeouts)
    : source_(source)
    , target_(target)
    , log_(log)
    , stopRequested_(std::move(stopRequested))
    , progress_(std::move(progress))
    , sourceTimeouts_(sourceTimeouts)
{
}

FolderCopy::Outcome FolderCopy::copy(const MigrationFolder& folder, unsigned count, Tally& tally)
{
    std::vector<unsigned> all(count);
    for (unsigned n = 1; n <= count; ++n)
        all[n - 1] = n;
    return copy(folder, count, all, tally);
}

FolderCopy::Outcome FolderCopy::copy(const MigrationFolder& folder, unsigned count,
    const std::vector<unsigned>& wanted, Tally& tally)
{
    folder_ = &folder;
    count_ = count;
    tally_ = &tally;
    tally.present += count - static_cast<unsigned>(wanted.size());
    pending_.assign(wanted.begin(), wanted.end());
    const mail::ConnectionInternal::Mailbox& selected = source_.selectedMailbox();
    numbering_ = FolderNumbering(selected.uidValidity, count, selected.uidNext);
    finds_ = {settled(), 0};
    unfinished_ = false;
    // Completed until something ends the copy early.
    Outcome outcome;
    while (outcome.end == End::Completed && (!pending_.empty() || takeArrivals())) {
        if (stopRequested_()) {
            outcome.end = End::Stopped;
            break;
        }
        if (source_.renumbered()) {
            outcome = findAgain();
            progress();
            continue;
        }
        const std::size_t take = std::min<std::size_t>(runLength, pending_.size());
        std::vector<unsigned> numbers(pending_.begin(), pending_.begin() + take);
        pending_.erase(pending_.begin(), pending_.begin() + take);
        outcome = copyRun(std::move(numbers));
        progress();
    }
    tally.notReached += static_cast<unsigned>(pending_.size());
    pending_.clear();
    if (outcome.end == End::Completed && unfinished_)
        outcome.end = End::Unfinished;
    progress();
    return outcome;
}

bool FolderCopy::takeArrivals()
{
    // Only in the numbering the copy holds: after a renumbering in doubt,
    // the next run finds what arrived.
    const mail::ConnectionInternal::Mailbox& now = source_.selectedMailbox();
    const unsigned highest = numbering_.highest();
    if (source_.renumbered() || !now.countKnown || now.count <= highest)
        return false;
    const unsigned arrived = now.count - highest;
    log_.debug(TAVIR_HERE,
        sentence(L"%1% new messages arrived in folder \"%2%\" during its copy; they are copied "
                 L"too.",
            arrived, folder_->sourceName));
    for (unsigned n = highest + 1; n <= now.count; ++n)
        pending_.push_back(n);
    count_ += arrived;
    numbering_.takeIn(now.count);
    progress();
    return true;
}

void FolderCopy::noteUids(const CopyRun& run)
{
    for (unsigned n : run.numbers())
        if (const std::uint32_t uid = run.uid(n))
            numbering_.noteUid(n, uid);
}

bool FolderCopy::putBackInDoubt(const CopyRun& run)
{
    // An APPEND whose answer was lost ends the copy whatever else happened.
    if (!source_.renumbered() || run.lostAnswer() != nullptr)
        return false;
    for (unsigned n : run.numbers())
        if (!leftTheRun(run, n))
            pending_.push_back(n);
    return true;
}

FolderCopy::Outcome FolderCopy::findAgain()
{
    const std::wstring otherSeries = otherUidSeries();
    if (!otherSeries.empty())
        return leaveToNextRun(otherSeries);
    if (foundAgainInVain())
        return failLeft();
    const OldNumbering old
        = numbering_.before(std::set<unsigned>(pending_.begin(), pending_.end()));
    std::vector<NumberedUid> found;
    const Outcome lookUp = lookUpUids(old.fromUid, found);
    if (lookUp.end != End::Completed)
        return lookUp;
    takeFound(old, renumberByUid(old, found), found);
    return {};
}

std::wstring FolderCopy::otherUidSeries() const
{
    const std::uint32_t now = source_.selectedMailbox().uidValidity;
    if (numbering_.sameUidSeries(now))
        return {};
    if (numbering_.uidValidity() == 0 || now == 0)
        return sentence(L"The source server numbers the messages of folder \"%1%\" otherwise "
                        L"since its connection was re-established, and names no UIDVALIDITY by "
                        L"which they could be found again",
            folder_->sourceName);
    return sentence(L"The source server numbered the messages of folder \"%1%\" anew "
                    L"(UIDVALIDITY %2%, then %3%) while its connection was re-established",
        folder_->sourceName, numbering_.uidValidity(), now);
}

FolderCopy::Outcome FolderCopy::lookUpUids(std::uint32_t fromUid, std::vector<NumberedUid>& found)
{
    // A UID FETCH may meet EXPUNGE replies (RFC 3501 allows them there),
    // which number the messages after them anew within its own answer:
    // it is asked again then, a few times at most.
    for (int asked = 0; asked == 0 || source_.renumbered(); ++asked) {
        if (asked == maxUidFetches)
            return leaveToNextRun(sentence(L"The source server kept expunging messages of folder "
                                           L"\"%1%\" while they were found again by their UIDs",
                folder_->sourceName));
        source_.acceptNumbering();
        const ImapClientResult result = source_.fetchUids(fromUid, found);
        if (result == mail::ImapSuccess) {
            // A UID FETCH that found its connection lost selected the folder
            // again on a new one: under another UIDVALIDITY its UIDs are of
            // another series, and would place other messages.
            const std::wstring otherSeries = otherUidSeries();
            if (!otherSeries.empty())
                return leaveToNextRun(otherSeries);
            continue;
        }
        if (stoppedMidway())
            return {End::Stopped, {}};
        if (result != mail::ImapFetchFailed)
            return fatal(source_.lastFailure(result, mail::Side::Source), 0);
        return leaveToNextRun(sentence(L"The source server did not name the UIDs of folder "
                                       L"\"%1%\" when its messages were looked for again: %2%",
            folder_->sourceName, asSentence(source_.getLastErrorResponse())));
    }
    return {};
}

void FolderCopy::takeFound(
    const OldNumbering& old, const NewNumbering& anew, const std::vector<NumberedUid>& found)
{
    const unsigned left = static_cast<unsigned>(old.left.size());
    if (!anew.lost.empty()) {
        log_.report(TAVIR_HERE,
            sentence(L"Once the source server numbered the messages of folder \"%3%\" otherwise, "
                     L"%1% %2% could not be told apart from those settled before: %4% not "
                     L"reached, and the next run compares the folder with the target.",
                anew.lost.size() == 1 ? L"message" : L"messages", labels(anew.lost),
                folder_->sourceName, anew.lost.size() == 1 ? L"it is" : L"they are"));
        tally_->notReached += static_cast<unsigned>(anew.lost.size());
        unfinished_ = true;
    }
    if (anew.gone != 0)
        messagesRemoved(anew.gone,
            anew.goneNamed.size() == anew.gone ? named(anew.goneNamed)
                                               : counted(anew.gone, L"message"));
    numbering_.foundAgain(old, anew, found, source_.selectedMailbox().count);
    count_
        = count_ - left + static_cast<unsigned>(anew.pending.size() + anew.lost.size()) + anew.gone;
    pending_.assign(anew.pending.begin(), anew.pending.end());
    log_.debug(TAVIR_HERE,
        sentence(L"The source server numbers the messages of folder \"%1%\" otherwise than when "
                 L"they were counted (it said messages were expunged, or a new connection found "
                 L"the folder changed): of the %2% not yet copied, %3% are found again by their "
                 L"UIDs and %4% are no longer there (removed from the source, which is no "
                 L"failure); %5% arrived. The folder counts %6% messages now.",
            folder_->sourceName, left, left - anew.gone - anew.lost.size(), anew.gone, anew.arrived,
            count_));
}

bool FolderCopy::foundAgainInVain()
{
    const unsigned now = settled();
    finds_.inVain = now == finds_.settled ? finds_.inVain + 1 : 0;
    finds_.settled = now;
    return finds_.inVain >= maxFruitlessFinds;
}

FolderCopy::Outcome FolderCopy::failLeft()
{
    const std::vector<unsigned> left(pending_.begin(), pending_.end());
    const bool one = left.size() == 1;
    tally_->failed += static_cast<unsigned>(left.size());
    log_.report(TAVIR_HERE,
        sentence(L"%1% of folder \"%2%\" %3% not copied (error code %4%): the source server "
                 L"numbered the folder's messages otherwise the last %5% times %6% asked for, "
                 L"and sent none of them.",
            named(left), folder_->sourceName, one ? L"was" : L"were", mail::ImapFetchFailed,
            maxFruitlessFinds, one ? L"it was" : L"they were"));
    pending_.clear();
    unfinished_ = true;
    return {End::Unfinished, {}};
}

FolderCopy::Outcome FolderCopy::leaveToNextRun(const std::wstring& why)
{
    const std::size_t left = pending_.size();
    log_.report(TAVIR_HERE,
        sentence(L"%1%: %2% %3% not yet copied %4% not reached, and the next run compares the "
                 L"folder with the target.",
            why, left, left == 1 ? L"message" : L"messages", left == 1 ? L"is" : L"are"));
    unfinished_ = true;
    return {End::Unfinished, {}};
}

const mail::Failure& FolderCopy::failureOf(const CopyRun& run, unsigned number)
{
    const mail::Failure* own = run.failure(number);
    return own != nullptr ? *own : run.end;
}

FolderCopy::Ending FolderCopy::sortEnding(const CopyRun& run)
{
    // An APPEND whose answer never came may have stored the message: it is
    // never sent again, whatever else happened.
    if (run.lostAnswer() != nullptr)
        return Ending::Fatal;
    const mail::Failure& end = run.end;
    if (end.code == mail::ImapSuccess)
        return Ending::Fine;
    if (end.side == mail::Side::Target && !isMessageFailure(end.code))
        return Ending::Fatal;
    if (end.side == mail::Side::Source && end.timedOut)
        return Ending::SourceSilent;
    // A reply the pipelined copy could not read (ImapStatusFailed) ends the
    // run at one message: that message alone may still go through.
    if (isMessageFailure(end.code) || end.code == mail::ImapStatusFailed)
        return Ending::OneMessage;
    return Ending::Fatal;
}

FolderCopy::Outcome FolderCopy::copyRun(std::vector<unsigned> numbers)
{
    CopyRun run(std::move(numbers));
    send(run);
    if (putBackInDoubt(run))
        return {};
    std::vector<unsigned> retry, later;
    splitUnsettled(run, retry, later);
    pending_.insert(pending_.begin(), later.begin(), later.end());
    if (run.end.failed() && stoppedMidway()) {
        pending_.insert(pending_.begin(), retry.begin(), retry.end());
        return {End::Stopped, {}};
    }
    switch (sortEnding(run)) {
    case Ending::Fatal: {
        tally_->failed += run.failed();
        // The message in hand: the first whose answer was lost, else the
        // one that failed, else the next one.
        const std::vector<unsigned> lost = run.lostAnswers();
        unsigned inHand = !lost.empty() ? lost.front() : later.empty() ? 0 : later.front();
        for (unsigned n : retry) {
            if (run.fate(n) != CopyRun::Fate::Failed)
                pending_.push_front(n);
            else if (lost.empty())
                inHand = n;
        }
        return fatal(lost.empty() ? run.end : failureOf(run, lost.front()), inHand);
    }
    case Ending::SourceSilent: {
        const Outcome silent = sourceSilent(takeSilentMessage(run, retry, later), run.end);
        if (silent.end != End::Completed) {
            pending_.insert(pending_.begin(), retry.begin(), retry.end());
            return silent;
        }
        break;
    }
    case Ending::OneMessage:
        // The run ended before any answer could be tied to a message: the
        // first one is the message in hand.
        if (retry.empty() && !later.empty()) {
            retry.push_back(later.front());
            pending_.pop_front();
        }
        break;
    case Ending::Fine:
        break;
    }
    return retryAlone(retry, run);
}

void FolderCopy::splitUnsettled(
    const CopyRun& run, std::vector<unsigned>& retry, std::vector<unsigned>& later)
{
    // To try once more on their own: messages whose copy failed, and those
    // the source passed over. Never reached: those after the last answer of
    // a run that ended early, which the next run asks for again.
    for (unsigned n : run.numbers()) {
        if (leftTheRun(run, n))
            continue;
        if (run.fate(n) == CopyRun::Fate::Failed || run.completed || n < run.highestAnswered())
            retry.push_back(n);
        else
            later.push_back(n);
    }
}

unsigned FolderCopy::takeSilentMessage(
    const CopyRun& run, std::vector<unsigned>& retry, const std::vector<unsigned>& later)
{
    // The message the source was sending when it fell silent: the one whose
    // body broke off, else the next one after the last answered.
    auto broken = std::find_if(retry.begin(), retry.end(),
        [&](unsigned n) { return run.fate(n) == CopyRun::Fate::Failed; });
    if (broken != retry.end()) {
        const unsigned silent = *broken;
        retry.erase(broken);
        return silent;
    }
    if (later.empty())
        return 0;
    // The run's unreached messages are at the front of the pending ones.
    pending_.pop_front();
    return later.front();
}

FolderCopy::Outcome FolderCopy::retryAlone(const std::vector<unsigned>& retry, const CopyRun& run)
{
    for (std::size_t i = 0; i < retry.size(); ++i) {
        const unsigned n = retry[i];
        const mail::Failure& why = failureOf(run, n);
        if (run.fate(n) == CopyRun::Fate::Unanswered)
            log_.debug(TAVIR_HERE,
                sentence(L"The source server sent no answer for message %1% of folder \"%2%\" in "
                         L"a run; it is tried once more on its own.",
                    label(n), folder_->sourceName));
        else
            log_.debug(TAVIR_HERE,
                sentence(L"Message %1% of folder \"%2%\" failed in a run (error code %3%): %4% It "
                         L"is tried once more on its own.",
                    label(n), folder_->sourceName, why.code, asSentence(failureText(why))));
        const Outcome alone = copyAlone(n);
        if (alone.end != End::Completed || source_.renumbered()) {
            pending_.insert(
                pending_.begin(), retry.begin() + static_cast<long>(i) + 1, retry.end());
            return alone;
        }
    }
    return {};
}

void FolderCopy::send(CopyRun& run)
{
    // Each message is told as the target takes it, not when the run ends: on
    // a slow link a run of large messages takes minutes. Failures wait for
    // the run's end, since a message that failed in a run may still go
    // through on its own.
    run.onSettled = [this](const CopyRun& settled) {
        Tally now = *tally_;
        now.copied += settled.copied();
        progress_(now, count_);
    };
    source_.copyMessages(folder_->targetName, target_, run);
    tally_->copied += run.copied();
    tally_->keywordsLeft += run.keywordsLeft();
    noteUids(run);
    noteRemoved(run);
    noteIgnored(run);
    noteLostAnswers(run);
}

FolderCopy::Outcome FolderCopy::copyAlone(unsigned number)
{
    if (stopRequested_()) {
        pending_.push_front(number);
        return {End::Stopped, {}};
    }
    CopyRun run({number});
    send(run);
    if (leftTheRun(run, number))
        return {};
    if (stoppedMidway()) {
        pending_.push_front(number);
        return {End::Stopped, {}};
    }
    if (putBackInDoubt(run))
        return {};
    const mail::Failure& why = failureOf(run, number);
    switch (sortEnding(run)) {
    case Ending::Fatal:
        if (run.fate(number) == CopyRun::Fate::Failed)
            ++tally_->failed;
        else
            pending_.push_front(number);
        return fatal(why, number);
    case Ending::SourceSilent:
        return sourceSilent(number, run.end);
    case Ending::Fine:
        // Refused by the target (its answer in `why`), or read to its end
        // and still without this message.
        if (run.fate(number) == CopyRun::Fate::Failed)
            messageFailed(number, why.code, failureText(why));
        else
            messageFailed(number, mail::ImapFetchFailed,
                sentence(L"the source server's answer holds no message %1%", label(number)));
        return {};
    case Ending::OneMessage:
        break;
    }
    messageFailed(number, why.code, failureText(why));
    return {};
}

FolderCopy::Outcome FolderCopy::sourceSilent(unsigned number, const mail::Failure& failure)
{
    ++sourceTimeouts_;
    const std::wstring why = failureText(failure);
    if (number != 0) {
        ++tally_->failed;
        log_.report(TAVIR_HERE,
            sentence(L"Message %1% of folder \"%2%\" was not copied: %3% It is not asked for "
                     L"again.",
                label(number), folder_->sourceName, asSentence(why)));
    }
    // A source that falls silent twice is likely to do it again: with a
    // time-out per message, the account would take hours to fail.
    if (sourceTimeouts_ < 2)
        return {};
    return fatal({mail::ImapConnectionError, mail::Side::Source, true,
                     "the source server did not answer in time for the second time in this "
                     "account: "
                         + failure.why},
        number);
}

void FolderCopy::noteLostAnswers(const CopyRun& run)
{
    const std::vector<unsigned> lost = run.lostAnswers();
    if (lost.empty())
        return;
    const std::wstring numbers = labels(lost);
    log_.report(TAVIR_HERE,
        lost.size() == 1
            ? sentence(L"The target's answer to message %1% of folder \"%2%\" was lost: the "
                       L"message may be on the target, where a later run finds it.",
                numbers, folder_->sourceName)
            : sentence(L"The target's answers to messages %1% of folder \"%2%\" were lost: the "
                       L"messages may be on the target, where a later run finds them.",
                numbers, folder_->sourceName));
}

void FolderCopy::noteRemoved(const CopyRun& run)
{
    const std::vector<unsigned> removed = run.removedNumbers();
    if (!removed.empty())
        messagesRemoved(static_cast<unsigned>(removed.size()), named(removed));
}

void FolderCopy::messagesRemoved(unsigned count, const std::wstring& which)
{
    tally_->removed += count;
    const bool one = count == 1;
    log_.report(TAVIR_HERE,
        sentence(L"%1% of folder \"%2%\" %3% removed from the source during the run: another "
                 L"session expunged %4% before %5% copied.",
            which, folder_->sourceName, one ? L"was" : L"were", one ? L"it" : L"them",
            one ? L"it was" : L"they were"));
}

void FolderCopy::noteIgnored(const CopyRun& run)
{
    for (const std::string& what : run.ignored())
        log_.debug(TAVIR_HERE,
            sentence(L"In folder \"%1%\", the source server sent %2%; it was read and dropped.",
                folder_->sourceName, utf8ToUnicode(what)));
    if (run.ignoredCount() > run.ignored().size())
        log_.debug(TAVIR_HERE,
            sentence(L"In folder \"%1%\", the source server sent %2% more replies of that kind.",
                folder_->sourceName, run.ignoredCount() - run.ignored().size()));
}

void FolderCopy::messageFailed(unsigned number, ImapClientResult code, const std::wstring& why)
{
    ++tally_->failed;
    log_.report(TAVIR_HERE,
        sentence(L"Message %1% of folder \"%2%\" was not copied (error code %3%): %4%",
            label(number), folder_->sourceName, code, asSentence(why)));
}

FolderCopy::Outcome FolderCopy::fatal(const mail::Failure& cause, unsigned number) const
{
    const std::wstring why = asSentence(failureText(cause));
    const std::wstring where = number == 0
        ? sentence(L"The copy of folder \"%1%\" ended: %2%", folder_->sourceName, why)
        : sentence(L"The copy of folder \"%1%\" ended at message %2% of %3%: %4%",
            folder_->sourceName, label(number), count_, why);
    return {End::Fatal, {cause.code, cause.side, cause.timedOut, unicodeToUtf8(where)}};
}

} // namespace tavir::migration
