// The message operations of the client: fetching, appending, the copy of one
// message from a source connection into a target connection, the pipelined
// copy of a range, and the X-APPEND version test.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/AppendWindow.h"
#include "imapclient/CommandMessage.h"
#include "imapclient/CopyRun.h"
#include "imapclient/Parser.h"
#include "imapclient/SimpleImapClient.h"
#include "imapclient/SimpleImapClientFrame.h"

#include <algorithm>
#include <cstdlib>
#include <strings.h>

namespace tavir::mail {

using tavir::migration::unicodeToUtf7M;

SimpleImapClient::ImapClientResult SimpleImapClient::readDateAndFlags(
    unsigned number, FetchMessage& message)
{
    CommandFetch command(connection_, number, message);
    if (command.execute(nullptr) != Command::OK)
        return ImapFetchFailed;
    if (!command.getDateAndFlags(message)) {
        connection_.setLastErrorResponse("the FETCH reply of " + connection_.endpointText()
            + " holds no date and flags of message " + std::to_string(number));
        return ImapFetchFailed;
    }
    return ImapSuccess;
}

SimpleImapClient::ImapClientResult SimpleImapClient::startBody(
    unsigned number, FetchMessage& message)
{
    CommandFetchBody body(connection_, number, message);
    return body.execute() == 0 ? ImapSuccess : ImapFetchFailed;
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetchDateAndFlags(
    unsigned number, FetchMessage& message)
{
    return simple("FETCH", ImapFetchFailed, [&] { return readDateAndFlags(number, message); });
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetch(unsigned number, FetchMessage& message)
{
    return simple("FETCH", ImapFetchFailed, [&] {
        ImapClientResult result = readDateAndFlags(number, message);
        return result != ImapSuccess ? result : startBody(number, message);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::append(
    const std::wstring& folder, simpleimapclient::IMessage* message, bool useXAppend, unsigned* uid)
{
    return simple("APPEND", ImapAppendFailed, [&] {
        try {
            CommandAppend command(connection_, unicodeToUtf7M(folder), message->getFlags(),
                message->getDate(), message->guid, message->getSize(), useXAppend);
            if (command.execute(message) != Command::OK)
                return ImapAppendFailed;
            if (uid != nullptr)
                *uid = command.getUid();
            return ImapSuccess;
        } catch (const ImapException& e) {
            // Whether the server stored the message is unknown and its
            // answer may still come: the connection is given up so that
            // no later command reads that answer as its own.
            if (handleImapException(e, ImapAppendFailed) == ImapConnectionError)
                connection_.close();
            throw;
        }
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyMessage(
    const std::wstring& folder, SimpleImapClient& target, unsigned number)
{
    FetchMessage message;
    // A failed date-and-flags fetch skips the message whatever went wrong
    // (ImapFetchFailed); the body fetch's own failures keep their codes.
    ImapClientResult started = simple("FETCH", ImapFetchFailed, [&] {
        try {
            if (readDateAndFlags(number, message) != ImapSuccess)
                return ImapFetchFailed;
        } catch (const ImapException& e) {
            throw ImapException(e.what(), 0);
        }
        return startBody(number, message);
    });
    if (started != ImapSuccess)
        return started;
    message.guid = tavir::mailserver::common::KUuid();
    ImapClientResult result = target.append(folder, &message, false, nullptr);
    if (!message.isDrained()) {
        // The body (or the end of its reply) was not read: the source is in
        // the middle of the reply and is closed rather than reused. A
        // source that failed there has recorded why.
        message.release();
        if (result == ImapSuccess)
            result = ImapMessageLoadFailed;
        if (message.sourceFailure().empty())
            connection_.setLastErrorResponse("message " + std::to_string(number) + " from "
                + connection_.endpointText()
                + " was not read to its end; the connection to the source is closed");
        recordError();
    }
    return result;
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetchSummaries(
    unsigned count, std::vector<MessageSummary>& summaries, unsigned& ignored)
{
    summaries.assign(count, MessageSummary());
    ignored = 0;
    if (count == 0)
        return connected_ ? ImapSuccess : ImapNotConnected;
    return simple("FETCH", ImapFetchFailed, [&] {
        CommandFetchEach command(connection_, "1:" + std::to_string(count), messageSummaryItems);
        const unsigned status = command.execute([&](const std::string& reply) {
            FetchResponse fetch;
            if (!readFetchReply(reply, fetch, ignored))
                return;
            MessageSummary summary;
            if (fetch.number == 0 || fetch.number > count || summaries[fetch.number - 1].known
                || !readMessageSummary(fetch, summary)) {
                ++ignored;
                return;
            }
            summaries[fetch.number - 1] = std::move(summary);
        });
        return succeededOr(status, ImapFetchFailed);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::parseTaggedResponse(const std::string& line)
{
    try {
        Parser parser(line);
        std::string node;
        if (parser.getNode(node) && parser.getNode(node) && strcasecmp(node.c_str(), "OK") == 0)
            return ImapSuccess;
    } catch (const ImapParserException&) {
    }
    return ImapFetchFailed;
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyFolder(const std::wstring& folder,
    SimpleImapClient& target, unsigned first, unsigned last, unsigned& copied, unsigned& failed)
{
    // "first:last" means the same messages either way round.
    std::vector<unsigned> numbers;
    for (unsigned n = std::min(first, last); last != 0 && n <= std::max(first, last); ++n)
        numbers.push_back(n);
    CopyRun run = last == 0 ? CopyRun::from(first) : CopyRun(std::move(numbers));
    const ImapClientResult result = copyMessages(folder, target, run);
    copied = run.copied();
    failed = run.failed();
    return result;
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyFolder(const std::wstring& folder,
    SimpleImapClient& target, const std::string& fetchCommand, unsigned& copied, unsigned& failed)
{
    // The numbers a ready command asks for are not known: any message is
    // taken, each once. Its tag is replaced by one of the connection's, so
    // that no two commands on it share a tag.
    CopyRun run = CopyRun::from(1);
    const std::size_t blank = fetchCommand.find(' ');
    const ImapClientResult result = copyRun(folder, target,
        blank == std::string::npos ? fetchCommand
                                   : connection_.getTag() + fetchCommand.substr(blank),
        run);
    copied = run.copied();
    failed = run.failed();
    return result;
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyMessages(
    const std::wstring& folder, SimpleImapClient& target, CopyRun& run)
{
    // A tag of its own: the late answer of an earlier FETCH (one that ended
    // early) is then never taken for this one's.
    return copyRun(folder, target,
        connection_.getTag() + " FETCH " + run.sequenceSet()
            + " (INTERNALDATE FLAGS BODY.PEEK[])\r\n",
        run);
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyRun(const std::wstring& folder,
    SimpleImapClient& target, const std::string& fetchCommand, CopyRun& run)
{
    // The source's failures go through this client's frame, the target's
    // to the target client: each client's last error is its own server's.
    const ImapClientResult source = simple("FETCH", ImapStatusFailed, [&] {
        copyRange(folder, target, fetchCommand, run);
        return run.end.side == CopyRun::Side::Source ? run.end.code : ImapSuccess;
    });
    if (source != ImapSuccess && run.end.code == ImapSuccess)
        run.endWith({source, CopyRun::Side::Source, false, lastError_});
    if (run.end.side == CopyRun::Side::Target && run.end.code != ImapSuccess)
        target.lastError_ = run.end.why;
    return run.end.code;
}

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
CopyRun::Failure bodyFailure(
    const FetchMessage& message, unsigned number, const ConnectionInternal& source)
{
    return {ImapMessageLoadFailed, CopyRun::Side::Source, message.sourceTimedOut(),
        message.sourceFailure().empty() ? "the body of message " + std::to_string(number)
                + " from " + source.endpointText() + " was not read to its end"
                                        : message.sourceFailure()};
}

// A reply that left no body on the connection: true when it is passed over
// (news such as an EXISTS or a flag change, or an answer for a number not
// asked for); false when it names the body without its literal (BODY[]
// NIL) or can't be read, which fails its message and ends the run.
bool passOver(const std::string& reply, FetchMessage& message, CopyRun& run,
    const ConnectionInternal& source)
{
    bool isFetch = false;
    loadFetchResponse(reply, message, isFetch);
    if (!isFetch)
        return true;
    const unsigned number = message.getNumber();
    if (number != 0 && !run.wants(number)) {
        run.ignore("a reply without a body for message " + std::to_string(number)
            + ", which was not asked for or was answered before");
        return true;
    }
    const CopyRun::Failure failure = {ImapFetchFailed, CopyRun::Side::Source, false,
        "a FETCH reply of " + source.endpointText()
            + " carries no body literal: " + reply.substr(0, 200)};
    if (number != 0)
        run.fail(number, failure);
    run.endWith(failure);
    return false;
}

// Reads ahead the body of a message whose date or flags may still follow it
// (RFC 3501 fixes no order of FETCH items). A body collected whole anyway is
// read with the rest of its reply before its APPEND is made; a larger one,
// whose APPEND line goes before it, is dropped, to be fetched again on its
// own after the reply, date and flags first (`later`). False when the
// source failed inside it: the message fails and the run ends.
bool readAhead(unsigned number, FetchMessage& message, CopyRun& run,
    const ConnectionInternal& source, bool& later)
{
    later = message.getSize() > ConnectionInternal::wholeBodyLimit;
    if (later ? dropBody(message) : message.holdBody())
        return true;
    run.fail(number, bodyFailure(message, number, source));
    run.endWith(bodyFailure(message, number, source));
    return false;
}

} // namespace

void SimpleImapClient::copyRange(const std::wstring& folder, SimpleImapClient& target,
    const std::string& fetchCommand, CopyRun& run)
{
    FetchMessage message;
    message.setSource(&connection_);
    message.setPartSize(ConnectionInternal::wholeBodyLimit);
    AppendWindow window(target.connection_, target.connected_, unicodeToUtf7M(folder), run);
    try {
        readRange(message, window, fetchCommand, run);
    } catch (const ImapException& e) {
        run.endWith({handleImapException(e, ImapStatusFailed), CopyRun::Side::Source,
            connection_.lastErrorWasTimeout(), e.what()});
    } catch (...) {
        // A failure of our own (no memory): the messages in flight are still
        // settled by their answers, so that none is ever sent twice.
        connection_.close();
        window.finish();
        throw;
    }
    // Whatever is left of a reply not read to its end (possibly many
    // messages) can't be matched to a later command.
    if (!run.completed)
        connection_.close();
    if (run.end.side == CopyRun::Side::Source && run.end.code != ImapSuccess)
        connection_.setLastErrorResponse(run.end.why);
    window.finish();
}

void SimpleImapClient::readRange(
    FetchMessage& message, AppendWindow& window, const std::string& fetchCommand, CopyRun& run)
{
    auto leaveBody = [&message](const std::string& reply, std::uint64_t) {
        bool isFetch = false;
        return loadFetchResponse(reply, message, isFetch);
    };
    auto end = [&](ImapClientResult code, const std::string& why) {
        run.endWith({code, CopyRun::Side::Source, false, why});
    };
    // Large bodies whose date or flags come after them, fetched again on
    // their own once the reply has ended.
    std::vector<unsigned> deferred;
    ReplyReader reader(connection_, fetchCommand.substr(0, fetchCommand.find(' ')));
    // The deadline belongs to a message: it runs from the end of the one
    // before (from the FETCH for the first) through the news and keep-alive
    // lines before its body, the body and the end of its reply. Lines that
    // answer for nothing never renew it.
    ConnectionInternal::Operation deadline(connection_);
    connection_.send(fetchCommand, true, true);
    for (;;) {
        ReplyReader::Reply reply = reader.next(leaveBody);
        if (reply.kind == ReplyReader::Kind::Tagged) {
            run.completed = true;
            copyDeferred(deferred, window, run);
            if (reply.status != Command::OK)
                end(ImapFetchFailed, reply.text);
            return;
        }
        if (reply.kind == ReplyReader::Kind::Continuation)
            return end(ImapFetchFailed,
                connection_.endpointText() + " asked for more of the FETCH: " + reply.text);
        if (!reply.literalLeft) {
            if (passOver(reply.text, message, run, connection_))
                continue;
            return;
        }
        const unsigned number = message.getNumber();
        if (!run.wants(number)) {
            // Appending it would put a message on the target twice, or one
            // that is not the message asked for in place of it.
            run.ignore(unwantedBody(run, number));
            if (!dropBody(message))
                return run.endWith({ImapConnectionError, CopyRun::Side::Source,
                    message.sourceTimedOut(), message.sourceFailure()});
            continue;
        }
        run.take(number);
        bool later = false;
        if (!message.dateAndFlagsKnown() && !readAhead(number, message, run, connection_, later))
            return;
        if (later)
            deferred.push_back(number);
        else if (!handOn(number, message, window, run, &reader))
            return;
        deadline.restart();
    }
}

bool SimpleImapClient::handOn(unsigned number, FetchMessage& message, AppendWindow& window,
    CopyRun& run, ReplyReader* reader)
{
    const bool goOn = window.append(number, message);
    if (!message.isDrained() && message.sourceFailure().empty())
        message.release();
    if (!message.isDrained()) {
        // The body (or the end of its reply) was not read: the rest of the
        // reply can't be matched to anything.
        run.endWith(bodyFailure(message, number, connection_));
        return false;
    }
    // Small APPENDs leave together while the source's next reply is
    // already in hand; before waiting for the source, they go.
    if (!connection_.bytesInHand())
        window.flush();
    if (!goOn) {
        // The target's failure ends the run; with nothing more wanted from
        // the reply, its end is read and the connection kept.
        if (reader != nullptr && !run.wantsMore()) {
            reader->untilTagged(nullptr);
            run.completed = true;
        }
        return false;
    }
    // Abort ends the copy after the message in hand, which is counted once
    // its answer has come.
    return !wasAborted();
}

void SimpleImapClient::copyDeferred(
    const std::vector<unsigned>& deferred, AppendWindow& window, CopyRun& run)
{
    for (unsigned number : deferred) {
        if (wasAborted())
            return;
        FetchMessage alone;
        alone.setPartSize(ConnectionInternal::wholeBodyLimit);
        if (readDateAndFlags(number, alone) != ImapSuccess
            || startBody(number, alone) != ImapSuccess) {
            run.fail(number,
                {ImapFetchFailed, CopyRun::Side::Source, connection_.lastErrorWasTimeout(),
                    connection_.getLastErrorResponse()});
            continue;
        }
        if (!handOn(number, alone, window, run, nullptr))
            return;
    }
}

bool SimpleImapClient::isXAppendSupported()
{
    if (!connected_)
        return false;
    try {
        Command command(connection_, "X-CHECKVERSION");
        if (command.execute(nullptr) == Command::BAD)
            return false;
        std::string tagged = command.getTaggedResponse();
        std::size_t blank = tagged.rfind(' ');
        if (blank == std::string::npos)
            return false;
        std::string version = tagged.substr(blank + 1);
        std::size_t dot = version.find('.');
        if (dot == std::string::npos || version.find('.', dot + 1) == std::string::npos)
            return false;
        int major = std::atoi(version.c_str());
        int minor = std::atoi(version.c_str() + dot + 1);
        // X-APPEND came with the target versions this system supports at
        // all (6.5 and later).
        return major > 6 || (major == 6 && minor >= 5);
    } catch (...) {
        return false;
    }
}

} // namespace tavir::mail
