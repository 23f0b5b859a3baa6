#include "imapclient/CommandMessage.h"

#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"
#include "imapclient/Synthesizer.h"

#include <cstdlib>
#include <strings.h>

namespace tavir::mail {

namespace {

bool isBye(const std::string& line)
{
    return line.size() >= 5 && line[0] == '*' && line[1] == ' '
        && strncasecmp(line.c_str() + 2, "BYE", 3) == 0;
}

// The message number of an untagged "* n FETCH" line, or 0.
unsigned int fetchNumber(const std::string& line)
{
    std::size_t at = 2;
    if (line.size() < 4 || line[0] != '*' || line[1] != ' ')
        return 0;
    std::size_t end = line.find(' ', at);
    if (end == std::string::npos)
        return 0;
    std::uint32_t number = 0;
    if (!imap::parseUnsigned32(line.substr(at, end - at), number))
        return 0;
    if (line.size() < end + 6 || strncasecmp(line.c_str() + end + 1, "FETCH", 5) != 0)
        return 0;
    return number;
}

} // namespace

CommandFetch::CommandFetch(
    ConnectionInternal& connection, unsigned int number, FetchMessage& message)
    : Command(connection, "FETCH")
    , message_(&message)
    , number_(number)
{
    addParam(number);
    addParam("(INTERNALDATE FLAGS)");
    message.setSource(&connection);
}

bool CommandFetch::getDateAndFlags(FetchMessage& message) const
{
    std::vector<ResponseResult> results;
    filterResponses(results, RespFetch);
    bool found = false;
    for (const ResponseResult& result : results) {
        // A FETCH of another message (a flag change the server reports on
        // its own) must not lend its date or flags to this one.
        if (result.getNumber() != number_)
            continue;
        std::string data = result.getString();
        Parser parser(data);
        std::string items;
        if (!parser.getNodeData(items))
            continue;
        Parser pairs(items);
        std::string name, value;
        while (pairs.getNode(name) && pairs.getNode(value))
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
    message.setSource(&connection, getTag());
}

unsigned CommandFetchBody::execute()
{
    ConnectionInternal& c = connection();
    completeCommandString();
    c.send(getCommandString(), true, true);
    std::string line;
    std::uint64_t seen = 0;
    for (;;) {
        c.recvLine(line);
        if (line.empty()) {
            // The reply may still come, body and all: the connection is
            // given up so that no later command reads it as its own.
            c.close();
            c.setLastErrorResponse("CONNECTION TIMEOUT");
            throw ImapTimeoutException("");
        }
        if (isBye(line)) {
            std::string bye = line;
            removeEOL(bye);
            c.close();
            c.setLastErrorResponse(bye);
            throw ImapServerBrokeConnection("");
        }
        unsigned status = BAD;
        if (isTaggedResponse(line, status)) {
            // The fetch ended without a body (refused, or a message that
            // is gone): nothing of the reply is left on the connection.
            removeEOL(line);
            c.setLastErrorResponse(line);
            return 1;
        }
        if (message_ != nullptr && fetchNumber(line) == number_ && message_->parseResponse(line))
            return 0;
        seen += line.size();
        if (seen > c.maxResponseSize()) {
            c.close();
            c.setLastErrorResponse("RESPONSE TOO LARGE");
            throw ImapConnectionFailed("Response too large");
        }
        std::uint64_t literal = 0;
        if (announcesLiteral(line, literal))
            skipResponseRest(c, literal);
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
    try {
        Parser parser(data);
        std::string name, value;
        if (parser.getNode(name) && parser.getNode(value) && strcasecmp(name.c_str(), "UID") == 0)
            return static_cast<unsigned int>(std::atol(value.c_str()));
    } catch (const ImapParserException&) {
    }
    return 0;
}

unsigned int extractUID(const std::string& line)
{
    try {
        Parser parser(line);
        std::string node;
        if (!parser.getNode(node) || node != "*")
            return 0;
        if (!parser.getNode(node) || !parser.getNode(node))
            return 0;
        if (strcasecmp(node.c_str(), "FETCH") != 0 && strcasecmp(node.c_str(), "AFETCH") != 0)
            return 0;
        std::string data;
        if (!parser.getNode(data))
            return 0;
        imap::trim(data);
        return extractUIDInternal(data);
    } catch (const ImapParserException&) {
        return 0;
    }
}

} // namespace tavir::mail
