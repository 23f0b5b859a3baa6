#pragma once
// The one reader of server replies: every command reads its answer through
// it, so the read time-out, a BYE, the size limits, literal announcements
// and the tagged completion are handled in one place. It reads whole
// replies (a line, and for each literal it announces the literal's bytes
// and the line that continues the reply) and classifies them.
#include "imapclient/ConnectionInternal.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavir::mail {

class ReplyReader {
public:
    enum class Kind { Untagged, Continuation, Tagged };
    // The status word of a tagged reply, which ends its command.
    enum Status : unsigned { OK = 0, NO = 1, BAD = 2 };

    struct Reply {
        Kind kind = Kind::Untagged;
        // Without the final line end; inner line ends and literal bytes as
        // they were received. A line of another tag (the late answer of an
        // earlier command) is an untagged reply.
        std::string text;
        // Of a tagged reply; a tagged line without a status word is BAD.
        unsigned status = BAD;
        // The literal decision left a literal of `literalSize` bytes on the
        // connection; `text` then ends with its announcement and CR LF.
        bool literalLeft = false;
        std::uint64_t literalSize = 0;
        // An untagged reply with a line over the line limit, read to its
        // end and dropped (skipOverLongReplies): `text` holds the head and
        // the tail of that line only, enough to tell what the reply
        // answered, and its literals were read and dropped.
        bool overLong = false;
    };

    // Asked at each literal announcement of an untagged reply, with the reply
    // read so far (ending in the announcement and its CR LF): true leaves the
    // literal on the connection for the caller to stream and ends the reply
    // there. Must not throw.
    using LiteralDecision = std::function<bool(const std::string& replySoFar, std::uint64_t size)>;

    ReplyReader(ConnectionInternal& connection, std::string tag);

    // The next whole reply, within the deadline of the operation in hand,
    // or of its own when there is none; the bytes received add the time they
    // take at the slowest rate (ConnectionInternal). Failures
    // throw, with the connection's last error set: a time-out or a closed
    // peer between replies (ImapTimeoutException; a time-out leaves the
    // connection open, as a late answer can still be told apart by its tag,
    // while a server cut off at its deadline is closed; after a stop request
    // ImapConnectionFailed, closed), a reply cut off inside a line or a literal, a
    // line, literal or reply over the connection's limits
    // (ImapConnectionFailed; both close the connection), an untagged BYE at
    // the start of a reply (ImapServerBrokeConnection; closed).
    Reply next(const LiteralDecision& leaveLiteral = LiteralDecision());
    // From now on an untagged reply with a line over the line limit is read
    // to its end and returned as overLong, instead of closing the
    // connection: for a caller that can drop one reply and go on.
    void skipOverLongReplies() { skipOverLong_ = true; }
    // Reads up to the tagged completion and returns it; every other reply
    // goes to `kept`, or is dropped when `kept` is null. Kept replies count
    // against the connection's limit for one command's replies.
    Reply untilTagged(std::vector<std::string>* kept);
    // The rest of a reply whose left literal the caller has read: further
    // lines and literals up to the reply's end, its text without the final
    // line end; the bytes of a literal in it are dropped, and the literal
    // stands as an empty quoted string. Where the reader skips over-long
    // replies, a line over the limit there is read to its end and the rest
    // comes back overLong, as a reply would.
    Reply finishReply();

    // True when `reply` carries `tag`, a whole word; its status word (OK,
    // NO or BAD, in any letter case) then sets `status`, which is left as it
    // was when no status word follows.
    static bool isTagged(const std::string& reply, const std::string& tag, unsigned& status);
    // True when the line (as read, with its line end) starts a BYE reply.
    static bool isBye(const std::string& line);
    // True when the line ends in a literal announcement and CR LF; `size`
    // is the announced size.
    static bool announcesLiteral(const std::string& line, std::uint64_t& size);

private:
    // `overLong` is set for a line over the limit, which is skipped where
    // the reader skips such replies.
    std::string readLine(bool insideReply, bool* overLong = nullptr);
    void readLiteral(std::string* into, std::uint64_t size);
    std::string answerTooLarge() const;

    ConnectionInternal& connection_;
    std::string tag_;
    std::uint64_t budget_; // bytes the kept replies may still take
    bool skipOverLong_ = false;
};

} // namespace tavir::mail
