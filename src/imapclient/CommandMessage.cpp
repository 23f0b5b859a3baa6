#include "imapclient/CommandMessage.h"

#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"
#include "imapclient/Synthesizer.h"

#include <cstdlib>
#include <strings.h>

namespace tavir::mail {

CommandFetch::CommandFetch(
    ConnectionInternal& connection, unsigned int number, FetchMessage& message)
    : Command(connection, "FETCH")
    , number_(number)
{
    addParam(number);
    addParam("(INTERNALDATE FLAGS)");
    setNumbered();
    message.setSource(&connection);
}

bool CommandFetch::getDateAndFlags(FetchMessage& message) const
{
    bool found = false;
    for (const std::string& response : getUntaggedResponses()) {
        FetchResponse fetch;
        // A FETCH of another message (a flag change the server reports on
        // its own) must not lend its date or flags to this one, nor fail it.
        try {
            if (!parseFetchResponse(response, fetch) || fetch.number != number_)
                continue;
        } catch (const ImapParserException&) {
            if (fetch.number != number_)
                continue;
            throw;
        }
        for (const auto& [name, value] : fetch.items)
            message.setData(name, value);
        found = true;
    }
    return found;
}

CommandFetchBody::CommandFetchBody(
    ConnectionInternal& connection, unsigned int number, FetchMessage& message)
    : Command(connection, "FETCH")
    , message_(&message)
    , number_(number)
{
    addParam(number);
    addParam("BODY.PEEK[]");
    setNumbered();
    message.setSource(&connection, getTag());
}

unsigned CommandFetchBody::execute()
{
    ConnectionInternal& c = connection();
    // The fetch, its body (read later by the message) and the end of its
    // reply share one deadline, which the body's size extends.
    ConnectionInternal::Operation operation(c);
    ReplyReader reader(c, getTag());
    completeCommandString();
    if (!sendLine(getCommandString(), true, reader))
        return NoBody;
    // Replies before the body (EXISTS, RECENT, EXPUNGE, FETCH of other
    // messages or without the body) are passed over; the body's literal is
    // left on the connection for the message to read.
    auto isBody = [this](const std::string& reply, std::uint64_t size) {
        FetchResponse fetch;
        try {
            return parseFetchResponse(reply, fetch) && fetch.number == number_ && fetch.bodyIsOpen()
                && size <= 0xFFFFFFFFu;
        } catch (const ImapParserException&) {
            return false;
        }
    };
    // A part of the body (BODY[]<0>) given in place of it, to say so.
    std::string partial;
    try {
        for (;;) {
            ReplyReader::Reply reply = reader.next(isBody);
            if (reply.kind == ReplyReader::Kind::Untagged && partial.empty())
                partial = partialBodyName(reply.text);
            if (reply.literalLeft) {
                message_->setNumber(number_);
                message_->announceBody(static_cast<std::uint32_t>(reply.literalSize));
                return BodyStarted;
            }
            if (reply.kind == ReplyReader::Kind::Untagged && takeQuotedBody(reply.text)) {
                // The body came in the reply: the rest is read to its end.
                const ReplyReader::Reply tagged = reader.untilTagged(nullptr);
                if (tagged.status == OK)
                    return BodyStarted;
                complete(tagged);
                return NoBody;
            }
            if (reply.kind != ReplyReader::Kind::Tagged)
                continue;
            // The fetch ended without a body (refused, or a message that is
            // gone): nothing of the reply is left on the connection.
            if (reply.status == OK)
                c.setLastErrorResponse(partial.empty()
                        ? "the FETCH reply of " + c.endpointText() + " holds no body of message "
                            + std::to_string(number_)
                        : partialBodyText(
                            c.endpointText(), "message " + std::to_string(number_), partial));
            complete(reply);
            return NoBody;
        }
    } catch (const ImapException&) {
        // The reply may still come, body and all: the connection is given
        // up so that no later command reads it as its own.
        c.close();
        throw;
    }
}

std::string CommandFetchBody::partialBodyName(const std::string& reply) const
{
    FetchResponse fetch;
    try {
        if (!parseFetchResponse(reply, fetch) || fetch.number != number_)
            return std::string();
    } catch (const ImapParserException&) {
        return std::string();
    }
    for (const auto& [name, value] : fetch.items)
        if (strncasecmp(name.c_str(), "BODY[]<", 7) == 0)
            return name;
    return std::string();
}

bool CommandFetchBody::takeQuotedBody(const std::string& reply)
{
    // Only a reply that names this message's body is read into the message:
    // news about it (a flag changed by another session) leaves the date
    // and the flags of the fetch before as they are.
    FetchResponse fetch;
    try {
        if (!parseFetchResponse(reply, fetch) || fetch.number != number_
            || fetch.item("BODY[]") == nullptr)
            return false;
    } catch (const ImapParserException&) {
        return false;
    }
    std::uint32_t number = 0;
    std::size_t at = 0;
    fetchResponseStart(reply, number, at);
    at = reply.find('(', at);
    return loadFetchResponseInsideInfo(reply.substr(at + 1), *message_) && message_->isDrained();
}

ImapClientResult readDateAndFlags(
    ConnectionInternal& connection, unsigned number, FetchMessage& message)
{
    CommandFetch command(connection, number, message);
    if (command.execute(nullptr) != Command::OK)
        return ImapFetchFailed;
    if (!command.getDateAndFlags(message)) {
        connection.setLastErrorResponse("the FETCH reply of " + connection.endpointText()
            + " holds no date and flags of message " + std::to_string(number));
        return ImapFetchFailed;
    }
    return ImapSuccess;
}

ImapClientResult startBody(ConnectionInternal& connection, unsigned number, FetchMessage& message)
{
    CommandFetchBody body(connection, number, message);
    return body.execute() == CommandFetchBody::BodyStarted ? ImapSuccess : ImapFetchFailed;
}

CommandFetchEach::CommandFetchEach(ConnectionInternal& connection, const std::string& messages,
    const std::string& items, bool byUid)
    : Command(connection, byUid ? "UID FETCH" : "FETCH")
{
    addParam(messages);
    addParam(items);
    if (!byUid)
        setNumbered();
}

unsigned CommandFetchEach::execute(const std::function<void(const std::string& reply)>& each)
{
    ConnectionInternal& c = connection();
    ReplyReader reader(c, getTag());
    completeCommandString();
    // Each message answered gives the next one a deadline of its own (a
    // folder of many messages may take long on a slow server); news and
    // keep-alive lines ("* OK Still here") never do. Servers answer in
    // ascending order: a number not above the last one renews nothing, so
    // no repeated answer keeps the wait going.
    ConnectionInternal::Operation deadline(c);
    std::uint32_t highest = 0;
    // A command that could not be written leaves no reply to tell apart.
    if (!sendLine(getCommandString(), true, reader))
        return BAD;
    try {
        for (;;) {
            ReplyReader::Reply reply = reader.next();
            if (reply.kind == ReplyReader::Kind::Tagged)
                return complete(reply);
            std::uint32_t number = 0;
            std::size_t at = 0;
            if (fetchResponseStart(reply.text, number, at) && number > highest) {
                highest = number;
                deadline.restart();
            }
            each(reply.text);
        }
    } catch (const ImapException&) {
        c.close();
        throw;
    }
}

CommandAppend::CommandAppend(ConnectionInternal& connection, const std::string& folder,
    const std::string& flags, const std::string& date, unsigned int size, bool xappend)
    : Command(connection, xappend ? "X-APPEND" : "APPEND")
{
    params(folder, flags, date);
    announce(size);
}

CommandAppend::CommandAppend(ConnectionInternal& connection, const std::string& folder,
    const std::string& flags, const std::string& date, const tavir::mailserver::common::KUuid& guid,
    unsigned int size, bool xappend)
    : Command(connection, xappend ? "X-APPEND" : "APPEND")
{
    params(folder, flags, date);
    if (!guid.isNull())
        addParam("\"" + guid.toString(false) + "\"");
    announce(size);
}

void CommandAppend::params(
    const std::string& folder, const std::string& flags, const std::string& date)
{
    addParamString(folder);
    if (!flags.empty())
        addParamVector(flags);
    std::string fixed = fixInternalDate(date);
    if (!fixed.empty())
        addParamString(fixed);
}

void CommandAppend::announce(unsigned int size)
{
    addParam("{" + std::to_string(size) + "+}");
    append("\r\n");
}

unsigned int CommandAppend::getUid() const
{
    ResponseResult result;
    const std::string tagged = getTaggedResponse();
    Parser parser(tagged);
    parser.parseResponse(result);
    std::string code = result.getCode();
    if (code.size() < 2)
        return 0;
    code = code.substr(1, code.size() - 2);
    Parser nodes(code);
    std::string a, b, c;
    if (nodes.getNode(a) && nodes.getNode(b) && nodes.getNode(c))
        return static_cast<unsigned int>(std::atoi(c.c_str()));
    return 0;
}

CommandStore::CommandStore(ConnectionInternal& connection, unsigned int uid,
    const AnnotationList& annotations, bool astore)
    : CommandStore(connection, uid, annotations.createStringForStore(), astore)
{
}

CommandStore::CommandStore(
    ConnectionInternal& connection, unsigned int uid, const std::string& annotations, bool astore)
    : Command(connection, getCommandStoreString(astore))
{
    params(uid, uid);
    addParam(annotations);
}

void CommandStore::params(unsigned int uid, unsigned int)
{
    addParam(std::to_string(uid) + ":" + std::to_string(uid));
}

std::string CommandStore::getCommandStoreString(bool astore)
{
    return astore ? "UID ASTORE" : "UID STORE";
}

unsigned int extractUIDInternal(const std::string& data)
{
    // RFC 3501 fixes no order of FETCH items, and servers put UID where
    // they like (after FLAGS in a flag change, say): UID is looked for among
    // all the pairs, not in the first one only.
    try {
        Parser items(data);
        std::string name;
        std::string value;
        while (items.getItemName(name) && items.getNode(value)) {
            std::uint32_t uid = 0;
            if (strcasecmp(name.c_str(), "UID") == 0)
                return imap::parseUnsigned32(value, uid) ? uid : 0;
        }
    } catch (const ImapParserException&) {
    }
    return 0;
}

unsigned int extractUID(const std::string& line)
{
    std::uint32_t number = 0;
    std::size_t at = 0;
    if (!fetchResponseStart(line, number, at))
        return 0;
    try {
        const std::string rest = line.substr(at);
        Parser parser(rest);
        std::string data;
        if (!parser.getNode(data) || data.empty() || data[0] != '(')
            return 0;
        imap::trim(data);
        return extractUIDInternal(data);
    } catch (const ImapParserException&) {
        return 0;
    }
}

} // namespace tavir::mail
