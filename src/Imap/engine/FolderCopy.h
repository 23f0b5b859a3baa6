#pragma once
// The messages of one folder, copied from the selected folder of the source
// connection into a folder of the target connection, each with its date and
// standard flags, its body streamed from one connection into the other.
//
// Runs of messages go through the client's pipelined copy: one FETCH asks
// the source for a whole run while the target takes the APPENDs, several in
// flight at once, so that neither side waits for the other's round trips.
// Every reply is tied to the number it answers (CopyRun): a body that was
// not asked for, or a second one, is dropped. A message whose copy failed
// in a run, or that the source left unanswered, is tried once more on its
// own; if that fails too with a failure of that message alone, it is
// counted as failed and skipped. The next run starts after the last message
// really answered. A source that falls silent costs one message and its
// time-out once: the message is counted as failed without a second try,
// and the second time-out in the account ends it. A lost connection, an
// APPEND whose answer never came, or any other failure ends the copy: the
// account can't go on.
//
// Sequence numbers hold within one session of the source. The UID of every
// message is noted as its reply comes (FolderNumbering); when the source
// numbers the folder otherwise (an EXPUNGE, a reconnect that found the
// folder changed), the messages not yet copied are found again by their
// UIDs (renumberByUid). A message another session expunged before it was
// copied (the source says so, or its UID is no longer found) is removed
// from the source: counted as such, not as failed. Mail that arrives during
// the copy (an EXISTS above the count) is copied at its end.
#include "Imap/engine/FolderNumbering.h"
#include "Imap/engine/IFolderList.h"
#include "Imap/engine/Logger.h"
#include "imapclient/CopyRun.h"
#include "imapclient/Failure.h"
#include "imapclient/SimpleImapClient.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace tavir::migration {

class FolderCopy {
public:
    // Messages per pipelined FETCH: a run that stops early is asked for
    // again from where it stopped.
    static constexpr unsigned runLength = 200;
    // Times the UIDs of a folder numbered otherwise are asked for, when EXPUNGEs
    // keep coming with them.
    static constexpr int maxUidFetches = 3;
    // Times in a row the messages left are found again with none of them
    // settled since the time before, after which they are failed: a source
    // that numbers its messages otherwise whenever they are asked for (an
    // EXPUNGE in every answer) would otherwise be asked without end.
    static constexpr unsigned maxFruitlessFinds = 3;
    // What became of a folder's messages: each is counted in exactly one.
    struct Tally {
        unsigned copied = 0;
        unsigned failed = 0;
        unsigned present = 0; // on the target already: not copied again
        unsigned notReached = 0; // the copy ended (stop, failure) before them
        // Of the copied: those whose keywords were left behind (the target
        // keeps the standard flags).
        unsigned keywordsLeft = 0;
        // Removed from the source during the copy: another session expunged
        // them before they were copied.
        unsigned removed = 0;
    };

    // Unfinished: the copy went on to its end, but left messages unsettled,
    // named in the report: those it could not find again after the source
    // numbered the folder otherwise are left to the next run (not reached),
    // and those the source numbered otherwise whenever they were asked for
    // are failed. The folder is a folder error, the account goes on.
    enum class End { Completed, Stopped, Fatal, Unfinished };

    struct Outcome {
        // While the copy goes on, Completed: nothing has ended it.
        End end = End::Completed;
        // For Fatal: what ended it, its `why` one sentence saying where in
        // the folder and why.
        mail::Failure failure;
    };

    // `stopRequested` is asked before every run and every single message;
    // `progress` hears the tally and the folder's count after each of them,
    // and after each message the target took. `sourceTimeouts` counts
    // the account's source time-outs and is added to here.
    using Progress = std::function<void(const Tally&, unsigned count)>;
    FolderCopy(mail::SimpleImapClient& source, mail::SimpleImapClient& target, Logger& log,
        std::function<bool()> stopRequested, Progress progress, unsigned& sourceTimeouts);

    // Copies the messages `wanted` (ascending) of a folder of `count`
    // messages, the count of the SELECT that selected it; the others are on
    // the target already. Every message of the folder ends in one count of
    // `tally`, which add up to the folder's count as it ends (count()):
    // `count`, with the mail that arrived during the copy.
    Outcome copy(const MigrationFolder& folder, unsigned count, const std::vector<unsigned>& wanted,
        Tally& tally);
    // Copies all `count` messages.
    Outcome copy(const MigrationFolder& folder, unsigned count, Tally& tally);
    unsigned count() const { return count_; }

private:
    // How a copy ended, as far as going on is concerned.
    enum class Ending { Fine, OneMessage, SourceSilent, Fatal };

    static Ending sortEnding(const mail::CopyRun& run);
    // Why message `number` failed in `run`: its own failure, else what
    // ended the run.
    static const mail::Failure& failureOf(const mail::CopyRun& run, unsigned number);
    // One run of `numbers`, taken off the front of the pending messages;
    // what it did not reach goes back there. Completed while the copy goes
    // on, and so for the next three.
    Outcome copyRun(std::vector<unsigned> numbers);
    // The numbers of a run that are neither copied nor failed and counted:
    // `retry` to try on their own, `later` for the next run.
    static void splitUnsettled(
        const mail::CopyRun& run, std::vector<unsigned>& retry, std::vector<unsigned>& later);
    // Takes the message in hand when the source fell silent off `retry`, or
    // off the pending messages (`later`, the run's unreached ones, are at
    // their front); 0 when the source fell silent after the run's last.
    unsigned takeSilentMessage(
        const mail::CopyRun& run, std::vector<unsigned>& retry, const std::vector<unsigned>& later);
    // Copies the messages of `run`, telling the progress of each one the
    // target took and counting them, and notes the replies it did not use.
    void send(mail::CopyRun& run);
    Outcome retryAlone(const std::vector<unsigned>& retry, const mail::CopyRun& run);
    Outcome copyAlone(unsigned number);
    // The source did not answer in time while sending `number` (0: between
    // messages): the message is counted as failed and not asked for again.
    // Fatal when that was one time-out too many.
    Outcome sourceSilent(unsigned number, const mail::Failure& failure);
    // True when a stop was asked for. A stop may cut the connections in
    // hand short: what failed then is the stop's doing, not the servers',
    // and the messages the copy did not copy are not reached.
    bool stoppedMidway() const { return stopRequested_(); }
    void noteIgnored(const mail::CopyRun& run);
    // Names the messages whose APPEND was written but whose answer was lost.
    void noteLostAnswers(const mail::CopyRun& run);
    void messageFailed(unsigned number, mail::ImapClientResult code, const std::wstring& why);
    // Counts `count` messages removed from the source during the copy and
    // says so; `which` names them ("Messages 5, 7", "2 messages").
    void messagesRemoved(unsigned count, const std::wstring& which);
    // The messages of `run` the source said were gone.
    void noteRemoved(const mail::CopyRun& run);
    // Messages copied, failed or removed: those the copy settled.
    unsigned settled() const { return tally_->copied + tally_->failed + tally_->removed; }
    // The copy ended at message `number` (0: between messages) on `cause`.
    Outcome fatal(const mail::Failure& cause, unsigned number) const;
    void progress() const { progress_(*tally_, count_); }

    // Notes the UIDs the run's replies gave.
    void noteUids(const mail::CopyRun& run);
    // When the source's numbering came in doubt while the run was sent, its
    // messages not copied go back to the pending ones; true then.
    bool putBackInDoubt(const mail::CopyRun& run);
    // The source numbers the folder otherwise: the messages left are found
    // again by their UIDs (Completed), or, under another UIDVALIDITY, left
    // to the next run, or, found again in vain too often, failed (both
    // Unfinished).
    Outcome findAgain();
    // Asks the source for the UIDs from `fromUid` on until an answer came
    // without an EXPUNGE in it; Completed when it did.
    Outcome lookUpUids(
        std::uint32_t fromUid, std::vector<mail::SimpleImapClient::NumberedUid>& found);
    // Why the UIDs the source gives now can't be matched with those noted
    // (another UIDVALIDITY, or none said); empty when they can.
    std::wstring otherUidSeries() const;
    // Takes the numbering found again: the messages left are the new
    // ones, those that can't be told apart are not reached.
    void takeFound(const OldNumbering& old, const NewNumbering& anew,
        const std::vector<mail::SimpleImapClient::NumberedUid>& found);
    // Ends the copy with the messages left not reached, for the next run.
    Outcome leaveToNextRun(const std::wstring& why);
    // True when the messages left were found again too many times in a row
    // without one settled in between; counts this time.
    bool foundAgainInVain();
    // Ends the copy with the messages left failed, the source having
    // numbered them otherwise whenever they were asked for.
    Outcome failLeft();
    // Mail that arrived during the copy (an EXISTS above the messages taken
    // in) joins the pending messages; false when none did.
    bool takeArrivals();
    std::wstring label(unsigned number) const { return numbering_.label(number); }
    std::wstring labels(const std::vector<unsigned>& numbers) const
    {
        return numbering_.labels(numbers);
    }
    // "Message 5", "Messages 5, 7": the subject of a sentence.
    std::wstring named(const std::vector<unsigned>& numbers) const
    {
        return sentence(
            L"%1% %2%", numbers.size() == 1 ? L"Message" : L"Messages", labels(numbers));
    }

    mail::SimpleImapClient& source_;
    mail::SimpleImapClient& target_;
    Logger& log_;
    std::function<bool()> stopRequested_;
    Progress progress_;
    unsigned& sourceTimeouts_;
    const MigrationFolder* folder_ = nullptr;
    unsigned count_ = 0;
    Tally* tally_ = nullptr;
    // The messages not yet settled, in order.
    std::deque<unsigned> pending_;
    FolderNumbering numbering_;
    // The messages settled when they were last found again, and how many
    // times in a row none was settled in between.
    struct Finds {
        unsigned settled = 0;
        unsigned inVain = 0;
    } finds_;
    // Messages were left to the next run.
    bool unfinished_ = false;
};

} // namespace tavir::migration
