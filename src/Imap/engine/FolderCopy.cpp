// One folder's messages: pipelined runs, a failing message tried once more
// alone, and the result codes sorted into "skip the message" and "end".
#include "Imap/engine/FolderCopy.h"

namespace tavir::migration {

using mail::ImapClientResult;

namespace {

// True for the codes that concern one message only.
bool isMessageFailure(ImapClientResult code)
{
    return code == mail::ImapAppendFailed || code == mail::ImapMessageLoadFailed
        || code == mail::ImapFetchFailed;
}

} // namespace

FolderCopy::FolderCopy(mail::SimpleImapClient& source, mail::SimpleImapClient& target, Logger& log,
    std::function<bool()> stopRequested, std::function<void(const Tally&)> progress)
    : source_(source)
    , target_(target)
    , log_(log)
    , stopRequested_(std::move(stopRequested))
    , progress_(std::move(progress))
{
}

FolderCopy::Outcome FolderCopy::copy(const MigrationFolder& folder, unsigned count, Tally& tally)
{
    folder_ = &folder;
    count_ = count;
    Outcome outcome;
    unsigned next = 1;
    while (next <= count) {
        if (stopRequested_()) {
            outcome.end = End::Stopped;
            return outcome;
        }
        const unsigned last = count - next < runLength ? count : next + runLength - 1;
        const bool goOn = copyRun(next, last, next, tally, outcome);
        // A stop request ends the copy in hand at once: the message it cut
        // short is not copied, and it is no failure.
        if (outcome.end == End::Fatal && stopRequested_())
            outcome = Outcome{End::Stopped};
        if (outcome.end == End::Fatal)
            tally.failed += count - next + 1;
        progress_(tally);
        if (!goOn)
            return outcome;
    }
    return outcome;
}

bool FolderCopy::copyRun(
    unsigned first, unsigned last, unsigned& next, Tally& tally, Outcome& outcome)
{
    const unsigned long sourceErrors = source_.getConnection().errorCount();
    const unsigned long targetErrors = target_.getConnection().errorCount();
    unsigned copied = 0;
    unsigned failed = 0;
    const ImapClientResult result
        = source_.copyFolder(folder_->targetName, target_, first, last, copied, failed);
    tally.copied += copied;
    next = first + copied;
    if (result == mail::ImapSuccess) {
        if (next > last)
            return true;
        if (stopRequested_()) {
            outcome.end = End::Stopped;
            return false;
        }
        // The source ended the FETCH without some of the messages it had
        // counted (expunged meanwhile): which ones is unknown, so none of
        // the rest is asked for again.
        tally.failed += last - next + 1;
        log_.report(TAVIR_HERE,
            sentence(L"The source server sent %1% of messages %2% to %3% of folder \"%4%\"; the "
                     L"other %5% are counted as failed.",
                copied, first, last, folder_->sourceName, last - next + 1));
        next = last + 1;
        return true;
    }
    const std::wstring why = lastError(sourceErrors, targetErrors);
    // 13 is the pipelined copy's own failure (a reply it could not read):
    // the message alone may still go through.
    if (!isMessageFailure(result) && result != mail::ImapStatusFailed) {
        outcome = fatal(result, next, why);
        return false;
    }
    log_.debug(TAVIR_HERE,
        sentence(L"Message %1% of folder \"%2%\" ended a run (error code %3%): %4% It is tried "
                 L"once more on its own.",
            next, folder_->sourceName, result, asSentence(why)));
    if (!copyAlone(next, tally, outcome))
        return false;
    ++next;
    return true;
}

bool FolderCopy::copyAlone(unsigned number, Tally& tally, Outcome& outcome)
{
    if (stopRequested_()) {
        outcome.end = End::Stopped;
        return false;
    }
    const unsigned long sourceErrors = source_.getConnection().errorCount();
    const unsigned long targetErrors = target_.getConnection().errorCount();
    const ImapClientResult result = source_.copyMessage(folder_->targetName, target_, number);
    if (result == mail::ImapSuccess) {
        ++tally.copied;
        return true;
    }
    const std::wstring why = lastError(sourceErrors, targetErrors);
    if (!isMessageFailure(result)) {
        outcome = fatal(result, number, why);
        return false;
    }
    ++tally.failed;
    log_.report(TAVIR_HERE,
        sentence(L"Message %1% of folder \"%2%\" was not copied (error code %3%): %4%", number,
            folder_->sourceName, result, asSentence(why)));
    return true;
}

FolderCopy::Outcome FolderCopy::fatal(
    ImapClientResult code, unsigned number, const std::wstring& why) const
{
    Outcome outcome;
    outcome.end = End::Fatal;
    outcome.code = code;
    outcome.sentence = sentence(L"The copy of folder \"%1%\" ended at message %2% of %3%: %4%",
        folder_->sourceName, number, count_, asSentence(why));
    return outcome;
}

std::wstring FolderCopy::lastError(unsigned long sourceErrors, unsigned long targetErrors)
{
    // The source's text first: when both recorded one (a body cut off on its
    // way), the source's says what went wrong.
    if (source_.getConnection().errorCount() != sourceErrors)
        return source_.getLastErrorResponse();
    if (target_.getConnection().errorCount() != targetErrors)
        return target_.getLastErrorResponse();
    return source_.getLastErrorResponse();
}

} // namespace tavir::migration
