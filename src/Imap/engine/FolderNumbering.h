#pragma once
// How the copy of one folder numbers the folder's messages: the numbering
// of the SELECT, the UIDs the replies gave, and, once the source numbered
// the messages otherwise (an EXPUNGE, a reconnect that found the folder
// changed), the numbering found again by UID (renumberByUid), in which each
// message keeps the name it had: its number at the SELECT and its UID.
//
// Words: the client says a numbering is in doubt (SimpleImapClient::
// renumbered()); here a numbering is found again, and a message's number
// at the SELECT is its original number.
#include "imapclient/SimpleImapClient.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tavir::migration {

// What the copy of a folder knows when the source numbers the folder's
// messages anew, in its old numbering: the messages after `from` are
// looked at (those up to it are settled, and their UIDs lie below
// `fromUid`).
struct OldNumbering {
    unsigned count = 0; // the highest number taken in
    std::set<unsigned> left; // not settled yet, all above `from`
    std::map<unsigned, std::uint32_t> uids; // where known
    unsigned from = 0;
    std::uint32_t fromUid = 1;
    // Messages up to `boundNumber` have UIDs below `boundUid`, those after
    // it arrived later (0: not known).
    unsigned boundNumber = 0;
    std::uint32_t boundUid = 0;
};

// Where the messages not yet settled are in the new numbering.
struct NewNumbering {
    std::vector<unsigned> pending; // new numbers to copy, ascending
    std::map<unsigned, unsigned> originals; // new number to old, where known
    std::vector<unsigned> lost; // old numbers that can't be told apart any more
    unsigned gone = 0; // old numbers no longer in the folder
    // Of those, the ones known one by one (by their UIDs, or as a stretch
    // of which none is found), ascending.
    std::vector<unsigned> goneNamed;
    unsigned arrived = 0; // new messages beyond the old numbering
};

// The messages left, found again in `found` (the new numbering's messages
// whose UID is fromUid or more, ascending). Known UIDs are found as they
// are. Between two of them (and below the bound) no message can have
// arrived: where as many messages are found as there were, they are the
// same in order; where fewer, those expunged can be told only when every
// message there was left (then all found are copied). After the last,
// messages may have arrived too: all found there are copied when every
// message there was left. Anywhere else the messages left can't be told
// apart from those settled, and are lost: not reached, for the next run's
// comparison.
NewNumbering renumberByUid(
    const OldNumbering& old, const std::vector<mail::SimpleImapClient::NumberedUid>& found);

class FolderNumbering {
public:
    FolderNumbering() = default;
    // The numbering of a SELECT that counted `count` messages, their UIDs
    // below `uidNext`, under `uidValidity` (either 0 where not said).
    FolderNumbering(std::uint32_t uidValidity, unsigned count, std::uint32_t uidNext);

    // The highest number taken in: the SELECT's count, grown by the mail
    // that arrived and taken in since.
    unsigned highest() const { return highest_; }
    // Mail that arrived: the numbers up to `count` are taken in.
    void takeIn(unsigned count);
    void noteUid(unsigned number, std::uint32_t uid);

    // True when UIDs under `uidValidity` are this numbering's UIDs: both
    // said, and the same.
    bool sameUidSeries(std::uint32_t uidValidity) const;
    std::uint32_t uidValidity() const { return uidValidity_; }

    // What renumberByUid needs to find the messages `left` (not settled)
    // again: the new numbering is asked for from the last settled message
    // before them whose UID is known.
    OldNumbering before(const std::set<unsigned>& left) const;
    // Takes the numbering found again: `found` is the answer to the UID
    // FETCH from `old.fromUid` on, `anew` what renumberByUid made of it,
    // `counted` the folder's count as the source says it now.
    void foundAgain(const OldNumbering& old, const NewNumbering& anew,
        const std::vector<mail::SimpleImapClient::NumberedUid>& found, unsigned counted);

    // A message as the report names it: its number; once the numbering was
    // found again, its original number and its UID ("6 (UID 106)"), or its
    // UID alone where its original number can't be known ("with UID 106").
    std::wstring label(unsigned number) const;
    // Labels separated by commas.
    std::wstring labels(const std::vector<unsigned>& numbers) const;

private:
    unsigned highest_ = 0;
    std::uint32_t uidValidity_ = 0;
    // Where the messages that arrived after the SELECT begin (OldNumbering's
    // bound).
    unsigned boundNumber_ = 0;
    std::uint32_t boundUid_ = 0;
    // UIDs by number, where a reply gave them.
    std::map<unsigned, std::uint32_t> uids_;
    // True once the numbering was found again: numbers are no longer the
    // SELECT's, and `originals_` holds each one's original number, where
    // known.
    bool foundAgain_ = false;
    std::map<unsigned, unsigned> originals_;
};

} // namespace tavir::migration
