#pragma once
// What both servers keep of a message, and a second copy of it would
// share: its size, its internal date and its Message-ID. The engine matches
// a source folder's messages against the target folder's by these, so that
// a folder copied in part before gets only the messages it lacks.
#include "imapclient/Parser.h"

#include <cstdint>
#include <string>

namespace tavir::mail {

struct MessageSummary {
    bool known = false; // the server answered with every item
    std::uint32_t size = 0; // RFC822.SIZE
    std::int64_t instant = 0; // INTERNALDATE, seconds since 1970
    std::string messageId; // the Message-ID field's value; empty when there is none

    bool operator<(const MessageSummary& other) const;
};

// The FETCH items a summary is read from.
extern const char* const messageSummaryItems;

// Reads the items of one FETCH response; false when one is missing or
// can't be read.
bool readMessageSummary(const FetchResponse& fetch, MessageSummary& summary);

// The value of the first Message-ID field of a header block, its folded
// lines joined and the blanks at both ends removed; empty when there is
// none.
std::string messageIdField(const std::string& header);

} // namespace tavir::mail
