#pragma once
// The messages of one folder, copied from the selected folder of the source
// connection into a folder of the target connection, each with its date and
// standard flags, its body streamed from one connection into the other.
//
// Runs of messages go through the client's pipelined copy: one FETCH asks
// the source for a whole run while the target takes one APPEND after the
// other, so the source's round trips overlap the target's. A message that
// ends a run is tried once more on its own (copyMessage); if it fails again
// with a code that concerns only that message (9, 10, 14) it is counted as
// failed and skipped, and the next run starts behind it. A lost connection
// (3) or any other failure ends the copy: the account can't go on.
#include "Imap/engine/IFolderList.h"
#include "Imap/engine/Logger.h"
#include "imapclient/SimpleImapClient.h"

#include <functional>
#include <string>

namespace tavir::migration {

class FolderCopy {
public:
    // Messages per pipelined FETCH: the progress the wizard shows moves on
    // after each run, and a run that stops early is asked for again from
    // where it stopped.
    static constexpr unsigned runLength = 200;

    struct Tally {
        unsigned copied = 0;
        unsigned failed = 0;
    };

    enum class End { Completed, Stopped, Fatal };

    struct Outcome {
        End end = End::Completed;
        // For Fatal: the failing code and one sentence saying where and why.
        mail::ImapClientResult code = mail::ImapSuccess;
        std::wstring sentence;
    };

    // `stopRequested` is asked before every run and every single message;
    // `progress` hears the tally after each of them.
    FolderCopy(mail::SimpleImapClient& source, mail::SimpleImapClient& target, Logger& log,
        std::function<bool()> stopRequested, std::function<void(const Tally&)> progress);

    // Copies messages 1..count. On Fatal, every message from the failing
    // one to the last is counted as failed: none of them is known to be on
    // the target.
    Outcome copy(const MigrationFolder& folder, unsigned count, Tally& tally);

private:
    // Copies messages from `first` up to `last`; `next` ends at the first
    // message not yet handled.
    bool copyRun(unsigned first, unsigned last, unsigned& next, Tally& tally, Outcome& outcome);
    bool copyAlone(unsigned number, Tally& tally, Outcome& outcome);
    Outcome fatal(mail::ImapClientResult code, unsigned number, const std::wstring& why) const;
    // The error text the last operation left, on whichever connection
    // recorded one since `sourceErrors`/`targetErrors`.
    std::wstring lastError(unsigned long sourceErrors, unsigned long targetErrors);

    mail::SimpleImapClient& source_;
    mail::SimpleImapClient& target_;
    Logger& log_;
    std::function<bool()> stopRequested_;
    std::function<void(const Tally&)> progress_;
    const MigrationFolder* folder_ = nullptr;
    unsigned count_ = 0;
};

} // namespace tavir::migration
