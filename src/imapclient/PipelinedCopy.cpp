// The pipelined copy of a run: one FETCH on the source, the APPENDs in
// flight on the target, each reply tied to the number it answers.
#include "imapclient/PipelinedCopy.h"

#include "imapclient/CommandMessage.h"
#include "imapclient/ReplyReader.h"
#include "imapclient/SimpleImapClient.h"

namespace tavir::mail {

namespace {

// Reads a body that is not to be appended and drops it; false when the
// source failed inside it (the message source then closed the connection).
bool dropBody(FetchMessage& message)
{
    std::string part;
    while (message.getNextDataPart(part)) { }
    return message.isDrained();
}

std::string unwantedBody(const CopyRun& run, unsigned number)
{
    return run.taken(number) || run.fate(number) != CopyRun::Fate::Unanswered
        ? "a second body for message " + std::to_string(number)
        : "a body for message " + std::to_string(number) + ", which was not asked for";
}

// The source failed inside the body of message `number` (or did not
// deliver it to its end).
Failure bodyFailure(const FetchMessage& message, unsigned number, const ConnectionInternal& source)
{
    if (message.sourceFailure().failed())
        return message.sourceFailure();
    return {ImapMessageLoadFailed, Side::Source, false,
        "the body of message " + std::to_string(number) + " from " + source.endpointText()
            + " was not read to its end"};
}

// A reply, loaded into `message`, that gave no body: true when it is passed
// over (news such as an EXISTS or a flag change, or an answer for a number
// not asked for); false when it names the body without giving it (BODY[]
// NIL) or can't be read, which fails its message and ends the run. The
// sentence never quotes the reply: it may hold the message's text.
bool passOver(const FetchMessage& message, bool isFetch, CopyRun& run,
    const ConnectionInternal& source)
{
    if (!isFetch)
        return true;
    const unsigned number = message.getNumber();
    if (number != 0 && !run.wants(number)) {
        run.ignore("a reply without a body for message " + std::to_string(number)
            + ", which was not asked for or was answered before");
        return true;
    }
    const Failure failure = {ImapFetchFailed, Side::Source, false,
        "the FETCH reply of " + source.endpointText()
            + (number != 0 ? " for message " + std::to_string(number) : std::string())
            + " names the body without giving it, or can't be read"};
    if (number != 0)
        run.fail(number, failure);
    run.endWith(failure);
    return false;
}

// Reads ahead the body of a message whose date or flags may still follow it
// (RFC 3501 fixes no order of FETCH items). A body in hand already (quoted
// in the reply) is used as it is; one collected whole anyway is read with
// the rest of its reply before its APPEND is made; a larger one,
// whose APPEND line goes before it, is dropped, to be fetched again on its
// own after the reply, date and flags first (`later`). False when the
// source failed inside it: the message fails and the run ends.
bool readAhead(unsigned number, FetchMessage& message, CopyRun& run,
    const ConnectionInternal& source, bool& later)
{
    later = !message.isDrained() && message.getSize() > ConnectionInternal::wholeBodyLimit;
    if (later ? dropBody(message) : message.holdBody())
        return true;
    const Failure failure = bodyFailure(message, number, source);
    run.fail(number, failure);
    run.endWith(failure);
    return false;
}

} // namespace

PipelinedCopy::PipelinedCopy(
    SimpleImapClient& source, SimpleImapClient& target, std::string folder, CopyRun& run)
    : source_(source)
    , from_(source.getConnection())
    , run_(run)
    , window_(target.getConnection(), target.isConnected(), std::move(folder), run)
{
    message_.setSource(&from_);
    message_.setPartSize(ConnectionInternal::wholeBodyLimit);
}

const Failure& PipelinedCopy::copy(const std::string& fetchCommand)
{
    try {
        readRange(fetchCommand);
    } catch (const ImapException& e) {
        run_.endWith({handleImapException(e, ImapStatusFailed), Side::Source,
            from_.lastErrorWasTimeout(), e.what()});
    } catch (...) {
        // A failure of our own (no memory): the messages in flight are still
        // settled by their answers, so that none is ever sent twice.
        from_.close();
        window_.finish();
        throw;
    }
    // Whatever is left of a reply not read to its end (possibly many
    // messages) can't be matched to a later command. A FETCH never written
    // (its numbers in doubt) left nothing.
    if (!run_.completed && fetchWritten_)
        from_.close();
    window_.finish();
    return run_.end;
}

void PipelinedCopy::readRange(const std::string& fetchCommand)
{
    auto leaveBody = [this](const std::string& reply, std::uint64_t) {
        bool isFetch = false;
        return loadFetchResponse(reply, message_, isFetch);
    };
    auto end = [this](ImapClientResult code, const std::string& why) {
        run_.endWith({code, Side::Source, false, why});
    };
    ReplyReader reader(from_, fetchCommand.substr(0, fetchCommand.find(' ')));
    // The deadline belongs to a message: it runs from the end of the one
    // before (from the FETCH for the first) through the news and keep-alive
    // lines before its body, the body and the end of its reply. Lines that
    // answer for nothing never renew it.
    ConnectionInternal::Operation deadline(from_);
    from_.send(fetchCommand, true, true, true);
    fetchWritten_ = true;
    for (;;) {
        ReplyReader::Reply reply = reader.next(leaveBody);
        if (reply.kind == ReplyReader::Kind::Tagged) {
            run_.completed = true;
            copyDeferred();
            if (reply.status != Command::OK)
                end(ImapFetchFailed, reply.text);
            return;
        }
        if (reply.kind == ReplyReader::Kind::Continuation)
            return end(ImapFetchFailed,
                from_.endpointText() + " asked for more of the FETCH: " + reply.text);
        // A body quoted in the reply is in hand with it; any other reply
        // that left no literal gave no body.
        bool isFetch = false;
        if (!reply.literalLeft && !loadFetchResponse(reply.text, message_, isFetch)) {
            if (passOver(message_, isFetch, run_, from_))
                continue;
            return;
        }
        const unsigned number = message_.getNumber();
        if (!run_.wants(number)) {
            // Appending it would put a message on the target twice, or one
            // that is not the message asked for in place of it.
            run_.ignore(unwantedBody(run_, number));
            if (!dropBody(message_)) {
                Failure cut = message_.sourceFailure();
                cut.code = ImapConnectionError;
                return run_.endWith(std::move(cut));
            }
            continue;
        }
        run_.take(number);
        // Before the body, or after it once it is read.
        run_.noteUid(number, message_.getUid());
        bool later = false;
        const bool goOn
            = (message_.dateAndFlagsKnown() || readAhead(number, message_, run_, from_, later))
            && (later || handOn(number, message_, &reader));
        run_.noteUid(number, message_.getUid());
        if (!goOn)
            return;
        if (later)
            deferred_.push_back(number);
        deadline.restart();
    }
}

bool PipelinedCopy::handOn(unsigned number, FetchMessage& message, ReplyReader* reader)
{
    if (message.carriesKeywords())
        run_.leavesKeywords(number);
    const bool goOn = window_.append(number, message);
    if (!message.isDrained() && !message.sourceFailure().failed())
        message.release();
    if (!message.isDrained()) {
        // The body (or the end of its reply) was not read: the rest of the
        // reply can't be matched to anything.
        run_.endWith(bodyFailure(message, number, from_));
        return false;
    }
    // Small APPENDs leave together while the source's next reply is
    // already in hand; before waiting for the source, they go.
    if (!from_.bytesInHand())
        window_.flush();
    if (!goOn) {
        // The target's failure ends the run; with nothing more wanted from
        // the reply, its end is read and the connection kept.
        if (reader != nullptr && !run_.wantsMore()) {
            reader->untilTagged(nullptr);
            run_.completed = true;
        }
        return false;
    }
    // Abort ends the copy after the message in hand, which is counted once
    // its answer has come.
    return !source_.wasAborted();
}

void PipelinedCopy::copyDeferred()
{
    for (unsigned number : deferred_) {
        if (source_.wasAborted())
            return;
        FetchMessage alone;
        alone.setPartSize(ConnectionInternal::wholeBodyLimit);
        if (readDateAndFlags(from_, number, alone) != ImapSuccess
            || startBody(from_, number, alone) != ImapSuccess) {
            run_.fail(number,
                {ImapFetchFailed, Side::Source, from_.lastErrorWasTimeout(),
                    from_.getLastErrorResponse()});
            continue;
        }
        if (!handOn(number, alone, nullptr))
            return;
    }
}

} // namespace tavir::mail
