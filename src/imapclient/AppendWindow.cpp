// APPENDs in flight on one target connection, each answer tied to its
// message by its tag.
#include "imapclient/AppendWindow.h"

#include "imapclient/CommandMessage.h"
#include "imapclient/ImapException.h"
#include "imapclient/ReplyReader.h"
#include "tiny/Time.h"

namespace tavir::mail {

AppendWindow::AppendWindow(
    ConnectionInternal& target, bool connected, std::string folder, CopyRun& run)
    : target_(target)
    , connected_(connected)
    , folder_(std::move(folder))
    , run_(run)
    , sentMs_(tiny::getMs64())
{
}

Failure AppendWindow::targetFailure(
    ImapClientResult code, const std::string& why, bool timedOut) const
{
    return {code, Side::Target, timedOut, "appending to the target failed: " + why};
}

Failure AppendWindow::stoppedBefore(unsigned number) const
{
    return targetFailure(ImapConnectionError,
        "the copy was stopped before message " + std::to_string(number) + " was written");
}

bool AppendWindow::hasRoom(std::uint64_t size, bool inFlight) const
{
    return pending_.empty()
        || (inFlight && pending_.size() < maxCount && bytes_ + size <= maxBytes);
}

void AppendWindow::makeRoom(std::uint64_t size, bool inFlight)
{
    if (hasRoom(size, inFlight))
        return;
    takeWaiting();
    // Every message in flight was written whole and may be stored: after a
    // stop request its answer is still awaited for a moment, so that it is
    // counted as what it became.
    ConnectionInternal::StopGrace grace(target_);
    while (!hasRoom(size, inFlight) && run_.end.code == ImapSuccess)
        awaitOldest();
}

bool AppendWindow::append(unsigned number, FetchMessage& message)
{
    Failure failure;
    if (!connected_) {
        failure = targetFailure(ImapNotConnected, target_.endpointText() + " is not connected");
    } else if (target_.stopRequested()) {
        // Another APPEND would only be cut off; those written whole are
        // still answered (finish). This message was not reached.
        run_.endWith(stoppedBefore(number));
        return false;
    } else {
        try {
            return appendOne(number, message);
        } catch (const std::exception& e) {
            // Our own failure (no memory, say) after the command was made:
            // whether it was written is not known.
            giveUp(e.what());
            failure = targetFailure(ImapConnectionError, e.what());
        }
    }
    run_.fail(number, failure);
    run_.endWith(failure);
    return false;
}

bool AppendWindow::appendOne(unsigned number, FetchMessage& message)
{
    const std::uint64_t size = message.getSize();
    // A streamed body and one whose literal must wait for the server's
    // continuation go on a connection with no answer outstanding: a source
    // that fails midway closes the connection, and a continuation comes
    // only after every earlier answer. With nothing outstanding the
    // capabilities may still be asked for.
    const bool push
        = size <= ConnectionInternal::wholeBodyLimit && target_.mayPushLiteral(size, pending_.empty());
    // Room is made before the APPEND is written, so the window never holds
    // more than its bounds; a body larger than the window goes alone.
    makeRoom(size, push);
    if (run_.end.code != ImapSuccess)
        return false;
    if (target_.stopRequested()) {
        run_.endWith(stoppedBefore(number));
        return false;
    }
    CommandAppend command(
        target_, folder_, message.getFlags(), message.getDate(), static_cast<unsigned>(size), false);
    Failure failure;
    try {
        if (!push || !command.send(message, false)) {
            // One at a time: the command with its answer.
            const unsigned status = push ? command.status() : command.execute(&message);
            settle(number, status, command.getTaggedResponse());
            return true;
        }
        pending_.push_back({command.getTag(), number, size});
        bytes_ += size;
        unsent_ = true;
        return true;
    } catch (const IMessageSourceFailedException& e) {
        // The body could not be read: the source's failure. Nothing of it
        // was stored; what is outstanding stays so.
        failure = message.sourceFailure().failed()
            ? message.sourceFailure()
            : Failure{ImapMessageLoadFailed, Side::Source, false, e.what()};
        // A reply refused once read to its end (a line over the limit after
        // the body), whose APPEND was not begun: both connections are in
        // step, and the message fails alone.
        if (message.isDrained() && target_.isOpen()) {
            run_.fail(number, failure);
            return true;
        }
    } catch (const ImapException& e) {
        // The command could not be written whole (nothing is stored), or its
        // answer was lost (it may be stored). A lost answer may still come:
        // no later command may read it as its own. Answers outstanding on a
        // connection that is gone are lost with it.
        const bool timedOut = target_.lastErrorWasTimeout();
        const ImapClientResult code = handleImapException(e, ImapAppendFailed);
        failure = targetFailure(code, e.what(), timedOut);
        if (code == ImapConnectionError)
            target_.close();
        if (!target_.isOpen())
            loseAll(e.what(), timedOut);
    }
    run_.fail(number, failure);
    run_.endWith(failure);
    return false;
}

void AppendWindow::finish()
{
    // As when the window is full: a moment's grace after a stop request.
    ConnectionInternal::StopGrace grace(target_);
    while (!pending_.empty())
        awaitOldest();
}

void AppendWindow::catchUp(bool nextInHand)
{
    if (pending_.empty())
        return;
    const bool leave = unsent_ && (!nextInHand || tiny::getMs64() - sentMs_ >= holdAtMostMs);
    try {
        if (leave)
            sendWaiting();
    } catch (const ImapException& e) {
        giveUp(e.what());
        return;
    }
    // Looking costs a receive where no answer is in hand: not while the
    // source's next reply is taken at once and nothing has left since.
    if (leave || !nextInHand || target_.bytesInHand())
        takeWaiting();
}

void AppendWindow::sendWaiting()
{
    unsent_ = false;
    sentMs_ = tiny::getMs64();
    target_.flushOrThrow();
}

void AppendWindow::awaitOldest()
{
    const std::string oldest = pending_.front().tag;
    try {
        // The answer and whatever comes before it share one deadline.
        ConnectionInternal::Operation operation(target_);
        sendWaiting();
        ReplyReader reader(target_, std::string());
        while (!pending_.empty() && pending_.front().tag == oldest)
            takeReply(reader);
    } catch (const ImapException& e) {
        giveUp(e.what());
    }
}

void AppendWindow::takeWaiting()
{
    try {
        ReplyReader reader(target_, std::string());
        while (!pending_.empty() && target_.dataWaiting())
            takeReply(reader);
    } catch (const ImapException& e) {
        giveUp(e.what());
    }
}

void AppendWindow::takeReply(ReplyReader& reader)
{
    ReplyReader::Reply reply = reader.next();
    if (reply.kind == ReplyReader::Kind::Continuation)
        target_.closeWithError(target_.endpointText()
            + " asked for a literal while every APPEND in flight had sent its own: " + reply.text);
    for (auto at = pending_.begin(); at != pending_.end(); ++at) {
        unsigned status = Command::BAD; // a tagged line without a status word
        if (!ReplyReader::isTagged(reply.text, at->tag, status))
            continue;
        const unsigned number = at->number;
        bytes_ -= at->bytes;
        pending_.erase(at);
        settle(number, status, reply.text);
        return;
    }
    // News about the folder (EXISTS), or a late answer of an earlier
    // command: passed over.
}

void AppendWindow::settle(unsigned number, unsigned status, const std::string& line)
{
    if (status == Command::OK) {
        run_.settle(number, CopyRun::Fate::Copied);
        return;
    }
    target_.setLastErrorResponse(line);
    run_.fail(number, targetFailure(ImapAppendFailed, line));
}

void AppendWindow::giveUp(const std::string& why)
{
    // A late answer must not be read by a later command as its own.
    const bool timedOut = target_.lastErrorWasTimeout();
    target_.close();
    loseAll(why, timedOut);
}

void AppendWindow::loseAll(const std::string& why, bool timedOut)
{
    if (pending_.empty())
        return;
    const Failure lost = targetFailure(ImapConnectionError, why, timedOut);
    for (const Pending& pending : pending_)
        run_.fail(pending.number, lost);
    pending_.clear();
    bytes_ = 0;
    run_.endWith(lost);
}

} // namespace tavir::mail
