#pragma once
// The APPENDs of one pipelined copy in flight on the target connection: each
// is written as soon as its body is in, and its answer, tied to its message
// by its tag, is taken as soon as it has come (looked for after every message
// handed on, without waiting), or awaited when the window is full and at the
// end of the run. Where the target takes LITERAL+ (or LITERAL- for a small
// body) nothing waits between two APPENDs; otherwise they go one at a time.
// A refusal fails its own message only; a connection that breaks or falls
// silent while answers are outstanding fails every message whose answer
// was lost (they may be stored: a later run's comparison finds them).
#include "imapclient/CopyRun.h"
#include "imapclient/FetchMessage.h"
#include "imapclient/ReplyReader.h"

#include <cstdint>
#include <deque>
#include <string>

namespace tavir::mail {

class AppendWindow {
public:
    // At most this many APPENDs, and this many bytes of their bodies, wait
    // for their answers at once (docs/engine.md, "APPENDs in flight"); a
    // body larger than this goes alone.
    static constexpr std::size_t maxCount = 32;
    static constexpr std::uint64_t maxBytes = 4u << 20;
    // Small APPENDs wait in the send area for the next ones while the
    // source's next reply is in hand, but leave at least this often: on a
    // slow link the source's next reply is in hand only in part, and the
    // copy waits for the rest of it.
    static constexpr std::uint64_t holdAtMostMs = 10;

    // `folder` is the target folder's wire name (modified UTF-7);
    // `connected` says whether the target client is connected at all.
    AppendWindow(ConnectionInternal& target, bool connected, std::string folder, CopyRun& run);
    AppendWindow(const AppendWindow&) = delete;
    AppendWindow& operator=(const AppendWindow&) = delete;

    // Writes the APPEND of message `number`, whose body `message` reads
    // from the source; its fate goes to the run once its answer is known.
    // The end of a small APPEND may wait in the send area for the next one
    // (flush). False when the run can't go on: run.end then says why (the
    // message failed in a way that also broke a connection, or the target
    // is not there); a message whose source refused it with both
    // connections in step fails alone. Never throws.
    bool append(unsigned number, FetchMessage& message);
    // Called after each message handed on: what waits in the send area
    // leaves, unless the source's next reply is in hand (`nextInHand`) and
    // APPENDs left less than holdAtMostMs ago; then the answers that have
    // come are taken, without waiting for any, so that each message is
    // settled as the target takes it, however much the window holds. Never
    // throws: a target that fails ends the run (run.end).
    void catchUp(bool nextInHand);
    // Reads every answer still outstanding. Never throws. After a stop
    // request every answer is awaited for a moment only
    // (ConnectionInternal::stopGraceMs).
    void finish();

private:
    struct Pending {
        std::string tag;
        unsigned number;
        std::uint64_t bytes;
    };

    bool appendOne(unsigned number, FetchMessage& message);
    // Sends what waits in the send area; throws as the connection does.
    void sendWaiting();
    // Reads replies until the oldest outstanding APPEND is answered.
    void awaitOldest();
    // Reads the answers that have come, without waiting.
    void takeWaiting();
    // Reads one reply; an answer settles its message.
    void takeReply(ReplyReader& reader);
    void settle(unsigned number, unsigned status, const std::string& line);
    // The target connection failed: every outstanding answer is lost.
    void loseAll(const std::string& why, bool timedOut);
    // The same, and the connection is closed.
    void giveUp(const std::string& why);
    // Whether the window takes one more APPEND of `size` bytes: in flight
    // with the others (`inFlight`), or alone.
    bool hasRoom(std::uint64_t size, bool inFlight) const;
    // Reads the answers that have come, then waits for the oldest ones,
    // until hasRoom (or the run has ended).
    void makeRoom(std::uint64_t size, bool inFlight);
    Failure stoppedBefore(unsigned number) const;
    Failure targetFailure(
        ImapClientResult code, const std::string& why, bool timedOut = false) const;

    ConnectionInternal& target_;
    bool connected_;
    std::string folder_;
    CopyRun& run_;
    std::deque<Pending> pending_;
    std::uint64_t bytes_ = 0;
    // Some APPEND waits in the send area; when APPENDs last left
    // (tiny::getMs64).
    bool unsent_ = false;
    std::uint64_t sentMs_;
};

} // namespace tavir::mail
