// The pipelined copy of a run: one FETCH on the source, the APPENDs in
// flight on the target, each reply tied to the number it answers.
#include "imapclient/PipelinedCopy.h"

#include "imapclient/CommandMessage.h"
#include "imapclient/ReplyReader.h"
#include "imapclient/SimpleImapClient.h"
#include "utils/StringUtils.h"

namespace tavir::mail {

namespace {

// Reads a body that is not to be appended and drops it; false when the
// source failed inside it (the message source then closed the connection).
// A reply refused once read to its end keeps its failure in the message.
bool dropBody(FetchMessage& message)
{
    std::string part;
    try {
        while (message.getNextDataPart(part)) { }
    } catch (const IMessageSourceFailedException&) {
    }
    return message.isDrained();
}

std::string unwantedBody(const CopyRun& run, unsigned number, std::uint32_t uid)
{
    if (number == 0)
        return "a body whose UID " + std::to_string(uid) + " is not that of the message it numbers";
    return run.taken(number) || run.withheld(number)
            || run.fate(number) != CopyRun::Fate::Unanswered
        ? "a second body for " + messageLabel(number, uid)
        : "a body for " + messageLabel(number, uid) + ", which was not asked for";
}

// Where the message set of a FETCH command ("K7 FETCH 1:200 (...)") begins
// and ends.
std::pair<std::size_t, std::size_t> messageSetAt(const std::string& fetchCommand)
{
    const std::size_t from = fetchCommand.find(' ', fetchCommand.find(' ') + 1) + 1;
    return {from, std::min(fetchCommand.find(' ', from), fetchCommand.size())};
}

std::string messageSetOf(const std::string& fetchCommand)
{
    const auto [from, end] = messageSetAt(fetchCommand);
    return fetchCommand.substr(from, end - from);
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
// not asked for); false when its items can't be read, which fails its
// message and ends the run. The sentence never quotes the reply: it may
// hold the message's text.
bool passOver(const FetchMessage& message, bool answersForBody, CopyRun& run,
    const ConnectionInternal& source)
{
    if (!answersForBody)
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
            + " can't be read"};
    if (number != 0)
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

unsigned PipelinedCopy::askedNumber(const FetchMessage& reply) const
{
    const unsigned number = run_.asked(reply.getNumber());
    const std::uint32_t uid = reply.getUid();
    if (uid == 0)
        return number;
    // Where the number and the UID disagree, the UID says which message
    // the reply answers; one whose UID names no message known is none.
    if (const unsigned byUid = run_.numberOfUid(uid))
        return byUid;
    const std::uint32_t noted = run_.uid(number);
    return noted != 0 && noted != uid ? 0 : number;
}

void PipelinedCopy::keepItems(unsigned number, FetchMessage& reply)
{
    // The later reply says what the message is now; the earlier ones fill
    // in what it does not say.
    FetchMessage::Items& kept = items_[number];
    reply.addItems(kept);
    kept = reply.items();
}

bool PipelinedCopy::prefetchItems(const std::string& fetchCommand)
{
    CommandFetchEach command(from_, messageSetOf(fetchCommand), "(UID INTERNALDATE FLAGS)");
    const unsigned status = command.execute([this](const std::string& reply) {
        FetchMessage items;
        bool answersForBody = false;
        loadFetchResponse(reply, items, answersForBody);
        if (items.getNumber() != 0)
            keepItems(items.getNumber(), items);
    });
    // What an answer that failed gave is still used; the bodies' replies
    // may give the rest.
    return status == Command::OK;
}

void PipelinedCopy::refuseOverLong(const std::string& head)
{
    // The head names the message; what it says further may be cut.
    bool answersForBody = false;
    loadFetchResponse(head, message_, answersForBody);
    const unsigned number = askedNumber(message_);
    const std::string label = messageLabel(number, message_.getUid());
    if (!run_.wants(number)) {
        run_.ignore("a reply with a line longer than "
            + ConnectionInternal::sizeText(from_.maxLineLength())
            + (number != 0 ? " for " + label : ""));
        return;
    }
    run_.fail(number, {ImapFetchFailed, Side::Source, false, overLongReplyText(from_, label)});
}

PipelinedCopy::Next PipelinedCopy::refusePartial(unsigned number, const ReplyReader::Reply& reply)
{
    // RFC 3501: BODY[]<0> "MAY be truncated", BODY[] never is. Nothing
    // else in the reply tells whether these are all of the message's
    // octets, and a message cut short on the target would stand for it
    // there for good: it is not copied.
    const std::string name = message_.partialBody();
    const std::uint32_t uid = message_.getUid();
    if (reply.literalLeft) {
        message_.announceBody(static_cast<std::uint32_t>(reply.literalSize));
        if (!dropInHand())
            return Next::End;
    }
    if (!run_.wants(number)) {
        run_.ignore(unwantedBody(run_, number, uid));
        return Next::Reply;
    }
    run_.fail(number,
        {ImapFetchFailed, Side::Source, false,
            partialBodyText(from_.endpointText(), messageLabel(number, uid), name)});
    return Next::Reply;
}

const Failure& PipelinedCopy::copy(const std::string& fetchCommand)
{
    try {
        const Answer first = readAnswer(fetchCommand);
        const std::string again = askAgainCommand(fetchCommand, first);
        if (!again.empty())
            readAnswer(again);
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
    failWithheld();
    window_.finish();
    return run_.end;
}

PipelinedCopy::Answer PipelinedCopy::readAnswer(const std::string& fetchCommand)
{
    // Complete once its tagged end is read; until then, a source left
    // inside it is closed (copy).
    run_.completed = false;
    Answer answer;
    std::uint32_t only = 0;
    if (imap::parseUnsigned32(messageSetOf(fetchCommand), only))
        answer.only = only;
    if (source_.splitsItems())
        answer.prefetched = prefetchItems(fetchCommand);
    // The reader stops at the literal of a body (or of a part of one,
    // refused unread).
    auto leaveBody = [this](const std::string& reply, std::uint64_t size) {
        bool answersForBody = false;
        return loadFetchResponse(reply, message_, answersForBody)
            || (!message_.partialBody().empty() && size <= 0xFFFFFFFFu);
    };
    ReplyReader reader(from_, fetchCommand.substr(0, fetchCommand.find(' ')));
    // A reply over the line limit fails its message only.
    reader.skipOverLongReplies();
    // The deadline belongs to a message: it runs from the end of the one
    // before (from the FETCH for the first) through the news and keep-alive
    // lines before its body, the body and the end of its reply. Lines that
    // answer for nothing never renew it.
    ConnectionInternal::Operation deadline(from_);
    from_.send(fetchCommand, true, true, true);
    fetchWritten_ = true;
    for (;;) {
        const Next next = takeReply(reader.next(leaveBody), reader, answer);
        if (next == Next::End)
            return answer;
        if (next == Next::Message)
            deadline.restart();
    }
}

PipelinedCopy::Next PipelinedCopy::takeReply(
    const ReplyReader::Reply& reply, ReplyReader& reader, Answer& answer)
{
    if (reply.kind == ReplyReader::Kind::Tagged)
        return endAnswer(reply, answer);
    if (reply.kind == ReplyReader::Kind::Continuation)
        return endRun(
            ImapFetchFailed, from_.endpointText() + " asked for more of the FETCH: " + reply.text);
    std::uint32_t expunged = 0;
    if (expungeResponse(reply.text, expunged)) {
        run_.expunge(expunged);
        return Next::Reply;
    }
    if (reply.overLong) {
        refuseOverLong(reply.text);
        return Next::Reply;
    }
    // A body quoted in the reply is in hand with it; any other reply that
    // left no literal gave no body.
    bool answersForBody = false;
    const bool withBody
        = reply.literalLeft || loadFetchResponse(reply.text, message_, answersForBody);
    const unsigned number = askedNumber(message_);
    message_.setNumber(number);
    const Next next = !message_.partialBody().empty() ? refusePartial(number, reply)
        : withBody                                    ? takeBody(number, reader, answer)
                                                      : takeNews(number, answersForBody);
    noteItems(number);
    return next;
}

void PipelinedCopy::noteItems(unsigned number)
{
    if (run_.asks(number))
        run_.noteUid(number, message_.getUid());
}

PipelinedCopy::Next PipelinedCopy::endAnswer(const ReplyReader::Reply& tagged, const Answer& answer)
{
    run_.completed = true;
    settleGone(tagged, answer);
    copyDeferred(answer.deferred);
    if (tagged.status != Command::OK)
        endRun(ImapFetchFailed, tagged.text);
    return Next::End;
}

void PipelinedCopy::settleGone(const ReplyReader::Reply& tagged, const Answer& answer)
{
    // Some servers answer OK, others NO; some give NIL for the body, others
    // nothing at all.
    const unsigned number = answer.only;
    if (number == 0 || !utils::iEqual(taggedResponseCode(tagged.text), "EXPUNGEISSUED"))
        return;
    if (run_.wants(number) || run_.withheld(number))
        run_.settle(number, CopyRun::Fate::Removed);
}

void PipelinedCopy::failWithheld()
{
    for (unsigned number : run_.withheld())
        run_.fail(number,
            {ImapFetchFailed, Side::Source, false,
                "the FETCH reply of " + from_.endpointText() + " for "
                    + messageLabel(number, run_.uid(number))
                    + " gives NIL in place of the body (BODY[])"});
}

PipelinedCopy::Next PipelinedCopy::endRun(ImapClientResult code, const std::string& why)
{
    run_.endWith({code, Side::Source, false, why});
    return Next::End;
}

PipelinedCopy::Next PipelinedCopy::takeNews(unsigned number, bool answersForBody)
{
    // The date and the flags may come in replies of their own.
    if (!answersForBody && run_.wants(number))
        keepItems(number, message_);
    if (answersForBody && message_.bodyWithheld() && run_.wants(number)) {
        // Its reply was read whole, so the copy goes on; the tagged end may
        // say why no body came (endAnswer).
        run_.withhold(number);
        return Next::Message;
    }
    return passOver(message_, answersForBody, run_, from_) ? Next::Reply : Next::End;
}

PipelinedCopy::Next PipelinedCopy::takeBody(unsigned number, ReplyReader& reader, Answer& answer)
{
    if (!run_.wants(number)) {
        // Appending it would put a message on the target twice, or one
        // that is not the message asked for in place of it.
        run_.ignore(unwantedBody(run_, number, message_.getUid()));
        return dropInHand() ? Next::Reply : Next::End;
    }
    takeKeptItems(number);
    if (answer.restFrom != 0) {
        // Asked for again, with the date and the flags first.
        return dropInHand() ? Next::Message : Next::End;
    }
    bool later = false;
    if (!message_.dateAndFlagsKnown() && !readAhead(number, later))
        return Next::End;
    if (message_.sourceFailure().failed()) {
        // The rest of its reply, read and dropped, can't be taken.
        run_.fail(number, message_.sourceFailure());
        return Next::Reply;
    }
    if (!later && lacksItems(answer)) {
        // The date or the flags may follow in a reply of their own: this
        // message and those after it are asked for again, in their order,
        // the date and the flags first (askAgainCommand).
        answer.restFrom = number;
        return Next::Reply;
    }
    run_.take(number);
    if (later) {
        answer.deferred.push_back(number);
        return Next::Message;
    }
    return handOn(number, message_, &reader) ? Next::Message : Next::End;
}

bool PipelinedCopy::readAhead(unsigned number, bool& later)
{
    // The date or the flags may still follow the body (RFC 3501 fixes no
    // order of FETCH items). A body in hand already (quoted in the reply)
    // is used as it is; one collected whole anyway is read with the rest of
    // its reply before its APPEND is made; a larger one, whose APPEND line
    // goes before it, is dropped, to be fetched again on its own after the
    // reply, date and flags first. A reply refused once read to its end is
    // in step, its failure kept in the message.
    later = !message_.isDrained() && message_.getSize() > ConnectionInternal::wholeBodyLimit;
    if ((later ? dropBody(message_) : message_.holdBody()) || message_.isDrained())
        return true;
    const Failure failure = bodyFailure(message_, number, from_);
    run_.fail(number, failure);
    run_.endWith(failure);
    return false;
}

bool PipelinedCopy::dropInHand()
{
    if (dropBody(message_))
        return true;
    Failure cut = message_.sourceFailure();
    cut.code = ImapConnectionError;
    run_.endWith(std::move(cut));
    return false;
}

std::string PipelinedCopy::askAgainCommand(const std::string& fetchCommand, const Answer& first)
{
    // Not when the numbers may name other messages now (an EXPUNGE came):
    // the caller finds them again by their UIDs.
    if (first.restFrom == 0 || run_.end.failed() || from_.renumbered() || source_.wasAborted())
        return std::string();
    const std::string set = run_.sequenceSetFrom(first.restFrom);
    if (set.empty())
        return std::string();
    return from_.getTag() + " FETCH " + set
        + fetchCommand.substr(messageSetAt(fetchCommand).second);
}

void PipelinedCopy::takeKeptItems(unsigned number)
{
    auto kept = items_.find(number);
    if (kept == items_.end())
        return;
    message_.addItems(kept->second);
    items_.erase(kept);
}

bool PipelinedCopy::lacksItems(const Answer& answer)
{
    // The reply, read to its end, did not give them: they may follow in a
    // reply of their own, after the body. A source asked for them first has
    // said all it will.
    if (message_.dateAndFlagsKnown() || answer.prefetched)
        return false;
    source_.noteSplitsItems();
    return true;
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
    // already in hand; before waiting for the source, they go, and the
    // messages the target has taken meanwhile are settled.
    window_.catchUp(from_.bytesInHand());
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

void PipelinedCopy::copyDeferred(const std::vector<unsigned>& numbers)
{
    for (unsigned number : numbers) {
        // Numbers that may name other messages now are left unanswered,
        // for the caller to find again.
        if (source_.wasAborted() || from_.renumbered())
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
