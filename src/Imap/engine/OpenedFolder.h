#pragma once
// What a source said of a folder it opened by one of the names it lists, and
// whether two such names open one folder: the judgement behind names below
// INBOX in two spellings ("INBOX/Sub", "Inbox/Sub"), which only the source
// can tell apart. Pure functions over what was read.
#include "imapclient/ConnectionInternal.h"
#include "imapclient/MessageSummary.h"

#include <vector>

namespace tavir::migration {

struct OpenedFolder {
    // Its UIDVALIDITY, UIDNEXT and count, as its SELECT said.
    mail::ConnectionInternal::Mailbox mailbox;
    // Messages 1 to the count, each with its UID, size, date and
    // Message-ID, and the digest of those numbersToDigest names: read whole
    // when `described`.
    bool described = false;
    std::vector<mail::MessageSummary> messages;
};

// The message numbers (ascending) whose summaries name no message for sure:
// no Message-ID, or not described whole. Two folders made in the same
// second may hold such messages of one size and date under the same UIDs;
// only their content tells them apart.
std::vector<unsigned> numbersToDigest(const std::vector<mail::MessageSummary>& messages);

// True when `a` and `b` are one folder: the same numbering (UIDVALIDITY,
// UIDNEXT and count, each said) and, message by message, the same UID,
// size, date and Message-ID, and the same digest where numbersToDigest asks
// for one. A UIDVALIDITY taken from the time is shared by folders made in
// the same second, so the numbering alone would make two such folders one,
// and the mail of one of them would reach no target folder. Anything not
// read (a folder not described, a UID or a digest not given) judges them
// two folders: copied twice, nothing is lost.
bool sameFolder(const OpenedFolder& a, const OpenedFolder& b);

} // namespace tavir::migration
