#pragma once
// Which messages of a source folder its target folder still lacks, when
// the target folder holds some already: a copy cut short by a fault, a stop
// or a killed program, then run again, or mail delivered there meanwhile.
// Both sides are asked once, with one FETCH of what they both keep of every
// message (its size, internal date and Message-ID), and the source's
// messages are matched against the target's as a multiset: two equal
// messages in the source need two on the target. Where those three can't
// tell messages apart (no Message-ID, or the same three more than once on
// a side), the messages that share them are asked for a digest of their
// bytes on both sides, and matched by it.
#include "Imap/engine/IFolderList.h"
#include "imapclient/Failure.h"
#include "imapclient/MessageSummary.h"
#include "imapclient/SimpleImapClient.h"

#include <string>
#include <vector>

namespace tavir::migration {

struct ResumePlan {
    // What failed when the messages could not be read from both sides.
    mail::Failure failure;
    // The source's messages that are not on the target, ascending.
    std::vector<unsigned> wanted;
    // Replies that were not used (numbers not asked for, second answers).
    unsigned ignored = 0;
    // The source's messages that were matched by their digests.
    unsigned settledByDigest = 0;
};

// The source client has the folder selected; the target client is logged
// in as the account, and gets the target folder selected.
ResumePlan planResume(mail::SimpleImapClient& source, mail::SimpleImapClient& target,
    const MigrationFolder& folder, unsigned sourceCount, unsigned targetCount);

// The messages (numbers from 1, ascending) of each side whose size, date
// and Message-ID do not settle whether they are on the target: those whose
// three are held by both sides, and either lack a Message-ID or are held by
// more than one message of a side. Their digests settle it.
struct DigestsWanted {
    std::vector<unsigned> source, target;
};
DigestsWanted messagesToDigest(const std::vector<mail::MessageSummary>& source,
    const std::vector<mail::MessageSummary>& target);

// The numbers (from 1) of the source messages that the target's messages
// do not account for. A message matches one on the target when its size,
// its internal date, its Message-ID (or the lack of one) and its digest (or
// the lack of one) are the same; each message on the target accounts for
// one source message, the first in the folder's order. A source message
// whose summary is unknown is never taken to be there.
std::vector<unsigned> messagesToCopy(const std::vector<mail::MessageSummary>& source,
    const std::vector<mail::MessageSummary>& target);

} // namespace tavir::migration
