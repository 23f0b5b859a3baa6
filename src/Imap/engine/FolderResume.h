#pragma once
// Which messages of a source folder its target folder still lacks, when
// the target folder holds some already: a copy cut short by a fault, a stop
// or a killed program, then run again, or mail delivered there meanwhile.
// Both sides are asked once, with one FETCH of what they both keep of every
// message (its size, internal date and Message-ID), and the source's
// messages are matched against the target's as a multiset: two equal
// messages in the source need two on the target. Where those three can't
// tell messages apart (no Message-ID, or the same three more than once on
// a side), or a source bends the rules (a size that is not the body's, a
// date that can't be read), the messages in question are asked for a
// digest of their bytes on both sides, and matched by it.
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

// The matching runs in two stages, each with the digests it needs asked
// for first. By key: a message matches one on the other side with the same
// size, internal date and Message-ID (or the lack of one), and the same
// digest where the key can't tell messages apart. Then the messages left
// over on both sides, as servers that bend the rules leave them:
// - an RFC822.SIZE other than the body's length: the target stores the
//   body, so its copy has another size. A source message whose date and
//   Message-ID (or the lack of one) match a target message of another size
//   is that message when their digests are the same;
// - an INTERNALDATE that can't be read (or none): its copy has the date of
//   its APPEND. An undated message is matched without the date: by its
//   size and Message-ID when that Message-ID is held once on each side,
//   else by its size, its Message-ID (or the lack of one) and its digest.
// - a Message-ID read two ways: a header with bare LF line ends, which one
//   server reads at CR LF only and finds no field in. A message whose size
//   and date are those of a message of the other side under another
//   Message-ID (or none) is that message when their digests are the same;
// - a summary not given whole (no RFC822.SIZE, no Message-ID field, no
//   answer at all): the message may be any of the other side's that
//   nothing accounts for. It and those are digested, and matched by the
//   digests.
// Each message on the target accounts for one source message, the first in
// the folder's order. A source message whose summary is unknown is taken to
// be there only by its digest.

// The messages (numbers from 1, ascending) of each side whose digests the
// first stage needs: those whose key is held by both sides, and either
// lacks a Message-ID or is held by more than one message of a side.
struct DigestsWanted {
    std::vector<unsigned> source, target;
};
DigestsWanted messagesToDigest(const std::vector<mail::MessageSummary>& source,
    const std::vector<mail::MessageSummary>& target);

// Those the second stage needs, once the first stage's digests are in:
// messages left over by the first stage that only their digests can pair
// with one left over on the other side. None in a folder whose messages
// all match by key, and none where no server bends the rules.
DigestsWanted leftoversToDigest(const std::vector<mail::MessageSummary>& source,
    const std::vector<mail::MessageSummary>& target);

// The numbers (from 1) of the source messages that the target's messages
// do not account for, after both stages.
std::vector<unsigned> messagesToCopy(const std::vector<mail::MessageSummary>& source,
    const std::vector<mail::MessageSummary>& target);

} // namespace tavir::migration
