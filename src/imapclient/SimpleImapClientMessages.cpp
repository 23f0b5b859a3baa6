// The message operations of the client: fetching, appending, the copy of one
// message from a source connection into a target connection, the frame of
// the pipelined copy of a range (PipelinedCopy), and the X-APPEND version
// test.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/CommandMessage.h"
#include "imapclient/CopyRun.h"
#include "imapclient/Parser.h"
#include "imapclient/PipelinedCopy.h"
#include "imapclient/SimpleImapClient.h"
#include "imapclient/SimpleImapClientFrame.h"

#include <algorithm>
#include <cstdlib>
#include <strings.h>

namespace tavir::mail {

using tavir::migration::unicodeToUtf7M;

SimpleImapClient::ImapClientResult SimpleImapClient::fetchDateAndFlags(
    unsigned number, FetchMessage& message)
{
    return simple(
        "FETCH", ImapFetchFailed, [&] { return readDateAndFlags(connection_, number, message); });
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetch(unsigned number, FetchMessage& message)
{
    return simple("FETCH", ImapFetchFailed, [&] {
        ImapClientResult result = readDateAndFlags(connection_, number, message);
        return result != ImapSuccess ? result : startBody(connection_, number, message);
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
            if (readDateAndFlags(connection_, number, message) != ImapSuccess)
                return ImapFetchFailed;
        } catch (const ImapException& e) {
            // Its class is dropped, so that the frame's code stands for it.
            throw ImapException(e.what(), ImapException::noCode);
        }
        return startBody(connection_, number, message);
    });
    if (started != ImapSuccess)
        return started;
    message.guid = tavir::mailserver::common::KUuid();
    ImapClientResult result = target.append(folder, &message, false, nullptr);
    const Failure& refused = message.sourceFailure();
    if (result != ImapSuccess && refused.failed() && message.isDrained()) {
        // The source's reply, read to its end, could not be taken (a line
        // over the limit after the body): the failure is the source's, and
        // both connections are in step.
        connection_.setLastErrorResponse(refused.why);
        recordError();
        return refused.code;
    }
    if (!message.isDrained()) {
        // The body (or the end of its reply) was not read: the source is in
        // the middle of the reply and is closed rather than reused. A
        // source that failed there has recorded why.
        message.release();
        if (result == ImapSuccess)
            result = ImapMessageLoadFailed;
        if (!message.sourceFailure().failed())
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
    return fetchSummaryItems(count, messageSummaryItems, summaries, ignored);
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetchSummariesWithUids(
    unsigned count, std::vector<MessageSummary>& summaries, unsigned& ignored)
{
    return fetchSummaryItems(count, messageSummaryItemsWithUid, summaries, ignored);
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetchSummaryItems(
    unsigned count, const char* items, std::vector<MessageSummary>& summaries, unsigned& ignored)
{
    summaries.assign(count, MessageSummary());
    ignored = 0;
    if (count == 0)
        return connected_ ? ImapSuccess : ImapNotConnected;
    return simple("FETCH", ImapFetchFailed, [&] {
        CommandFetchEach command(connection_, "1:" + std::to_string(count), items);
        // A message's items may come in several replies: they are gathered
        // by number and read once the answer has ended.
        std::vector<FetchResponse> gathered(count);
        const unsigned status = command.execute([&](const std::string& reply) {
            FetchResponse fetch;
            if (!readFetchReply(reply, fetch, ignored))
                return;
            if (fetch.number == 0 || fetch.number > count
                || !addSummaryItems(fetch, gathered[fetch.number - 1]))
                ++ignored;
        });
        for (unsigned n = 0; n < count; ++n)
            if (!gathered[n].items.empty() && !readMessageSummary(gathered[n], summaries[n]))
                ++ignored;
        return succeededOr(status, ImapFetchFailed);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetchUids(
    std::uint32_t fromUid, std::vector<NumberedUid>& found)
{
    found.clear();
    return simple("FETCH", ImapFetchFailed, [&] {
        CommandFetchEach command(connection_, std::to_string(fromUid) + ":*", "(UID)", true);
        const unsigned status = command.execute([&](const std::string& reply) {
            FetchResponse fetch;
            unsigned unreadable = 0;
            const std::string* uid = nullptr;
            NumberedUid message;
            if (!readFetchReply(reply, fetch, unreadable) || (uid = fetch.item("UID")) == nullptr
                || !imap::parseUnsigned32(*uid, message.uid))
                return; // news
            message.number = fetch.number;
            found.push_back(message);
        });
        // In the folder's order, each message once.
        std::sort(found.begin(), found.end(),
            [](const NumberedUid& a, const NumberedUid& b) { return a.number < b.number; });
        found.erase(std::unique(found.begin(), found.end(),
                        [](const NumberedUid& a, const NumberedUid& b) {
                            return a.number == b.number || a.uid == b.uid;
                        }),
            found.end());
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
            + " (UID INTERNALDATE FLAGS BODY.PEEK[])\r\n",
        run);
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyRun(const std::wstring& folder,
    SimpleImapClient& target, const std::string& fetchCommand, CopyRun& run)
{
    // The copy says once how it ended; each client records its own
    // server's failure: the source's through this client's frame, the
    // target's in the target client.
    const ImapClientResult source = simple("FETCH", ImapStatusFailed, [&] {
        const Failure& end
            = PipelinedCopy(*this, target, unicodeToUtf7M(folder), run).copy(fetchCommand);
        if (end.side != Side::Source || !end.failed())
            return ImapSuccess;
        connection_.setLastErrorResponse(end.why);
        return end.code;
    });
    if (source != ImapSuccess && !run.end.failed())
        run.endWith({source, Side::Source, false, lastError_});
    if (run.end.side == Side::Target && run.end.failed())
        target.setLastErrorResponse(run.end.why);
    return run.end.code;
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
