#pragma once
// What both servers keep of a message, and a second copy of it would
// share: its size, its internal date and its Message-ID. The engine matches
// a source folder's messages against the target folder's by these, so that
// a folder copied in part before gets only the messages it lacks; where
// they can't tell two messages apart, by a digest of their bytes.
#include "imapclient/Parser.h"

#include <cstdint>
#include <string>

namespace tavir::mail {

struct MessageSummary {
    bool known = false; // the server answered with the size and the header
    std::uint32_t size = 0; // RFC822.SIZE
    // False when the server gave no INTERNALDATE, or one that can't be read:
    // the message's copy then carries the date of the APPEND, and the
    // instant (0) says nothing.
    bool dated = true;
    std::int64_t instant = 0; // INTERNALDATE, seconds since 1970
    std::string messageId; // the Message-ID field's value; empty when there is none
    // The digest of the whole message (BODY[]) where the three above are not
    // enough to tell it apart, or a server's size or date can't be trusted;
    // empty elsewhere.
    std::string digest;
    // Its UID, where it was asked for (messageSummaryItemsWithUid) and
    // given; 0 elsewhere.
    std::uint32_t uid = 0;
};

// Messages are digested in pieces of at most this many bytes, so that no
// FETCH reply holds more however large the message is: 1 MiB keeps a piece
// well under the reply limits and makes a round trip per MiB, small beside
// the bytes it carries.
constexpr std::uint32_t digestPiece = 1u << 20;

// The FETCH items a summary is read from.
extern const char* const messageSummaryItems;
// The same with each message's UID.
extern const char* const messageSummaryItemsWithUid;

// Reads the items of one FETCH response; false when the size or the header
// is missing or can't be read. A date that is missing or can't be read
// leaves the summary undated; a UID is read wherever it was given.
bool readMessageSummary(const FetchResponse& fetch, MessageSummary& summary);

// A server may give one message's items in several replies of one answer:
// adds the summary's items of `reply` that `gathered` lacks (the first
// reply to give an item is taken); false when it added none.
bool addSummaryItems(const FetchResponse& reply, FetchResponse& gathered);

// For the replies of a FETCH handed over one at a time: true when `reply`
// is a FETCH response, read into `fetch`; false for any other reply
// (EXISTS, RECENT and the like), and for a FETCH response that can't be
// read, which is counted in `unreadable`.
bool readFetchReply(const std::string& reply, FetchResponse& fetch, unsigned& unreadable);

// The value of the first Message-ID field of a header block, its folded
// lines joined and the blanks at both ends removed; empty when there is
// none.
std::string messageIdField(const std::string& header);

} // namespace tavir::mail
