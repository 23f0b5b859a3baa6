// The message operations of the client: fetching, appending, the copy of one
// message from a source connection into a target connection, the pipelined
// copy of a range, and the X-APPEND version test.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/CommandMessage.h"
#include "imapclient/Parser.h"
#include "imapclient/SimpleImapClient.h"

#include <cstdlib>
#include <strings.h>

namespace tavir::mail {

using tavir::migration::unicodeToUtf7M;

SimpleImapClient::ImapClientResult SimpleImapClient::fetchDateAndFlags(
    unsigned number, FetchMessage& message)
{
    if (!connected_)
        return ImapNotConnected;
    try {
        CommandFetch command(connection_, number, message);
        if (command.execute(nullptr) == Command::OK && command.getDateAndFlags(message))
            return ImapSuccess;
        recordError();
        return ImapFetchFailed;
    } catch (const ImapException& e) {
        recordError();
        return handleImapException(e, ImapFetchFailed);
    }
}

SimpleImapClient::ImapClientResult SimpleImapClient::fetch(unsigned number, FetchMessage& message)
{
    if (!connected_)
        return ImapNotConnected;
    try {
        CommandFetch command(connection_, number, message);
        if (command.execute(nullptr) != Command::OK) {
            recordError();
            return ImapFetchFailed;
        }
        if (!command.getDateAndFlags(message))
            return ImapFetchFailed;
        CommandFetchBody body(connection_, number, message);
        if (body.execute() != 0) {
            recordError();
            return ImapFetchFailed;
        }
        return ImapSuccess;
    } catch (const ImapException& e) {
        recordError();
        return handleImapException(e, ImapFetchFailed);
    }
}

SimpleImapClient::ImapClientResult SimpleImapClient::append(
    const std::wstring& folder, simpleimapclient::IMessage* message, bool useXAppend, unsigned* uid)
{
    if (!connected_)
        return ImapNotConnected;
    try {
        CommandAppend command(connection_, unicodeToUtf7M(folder), message->getFlags(),
            message->getDate(), message->guid, message->getSize(), useXAppend);
        if (command.execute(message) != Command::OK) {
            recordError();
            return ImapAppendFailed;
        }
        if (uid != nullptr)
            *uid = command.getUid();
        return ImapSuccess;
    } catch (const ImapException& e) {
        recordError();
        ImapClientResult result = handleImapException(e, ImapAppendFailed);
        if (result == ImapConnectionError) {
            // Whether the server stored the message is unknown and its
            // answer may still come: the connection is given up so that
            // no later command reads that answer as its own.
            connection_.close();
        }
        return result;
    }
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyMessage(
    const std::wstring& folder, SimpleImapClient& target, unsigned number)
{
    if (!connected_)
        return ImapNotConnected;
    FetchMessage message;
    if (fetchDateAndFlags(number, message) != ImapSuccess)
        return ImapFetchFailed;
    try {
        CommandFetchBody body(connection_, number, message);
        if (body.execute() != 0) {
            recordError();
            return ImapFetchFailed;
        }
    } catch (const ImapException& e) {
        recordError();
        return handleImapException(e, ImapFetchFailed);
    }
    message.guid = tavir::mailserver::common::KUuid();
    ImapClientResult result = target.append(folder, &message, false, nullptr);
    if (!message.isDrained()) {
        // The body (or the end of its reply) was not read: the source is in
        // the middle of the reply and is closed rather than reused.
        message.release();
        if (result == ImapSuccess)
            result = ImapMessageLoadFailed;
        lastError_ = connection_.getLastErrorResponse();
    }
    return result;
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

bool loadFetchResponseInsideInfo(const std::string& items, FetchMessage& message)
{
    Parser parser(items);
    std::string name, value;
    while (parser.getNode(name)) {
        if (strcasecmp(name.c_str(), "INTERNALDATE") == 0) {
            if (!parser.getNodeData(value))
                return false;
            message.setData(name, value);
        } else if (strcasecmp(name.c_str(), "FLAGS") == 0) {
            if (!parser.getNode(value))
                return false;
            message.setFlags(value);
        } else if (strcasecmp(name.c_str(), "BODY[]") == 0) {
            std::string rest;
            return parser.getRest(rest) && message.setSize(rest);
        } else {
            return false;
        }
    }
    return false;
}

bool loadFetchResponse(const std::string& line, FetchMessage& message, bool& isFetch)
{
    message.reset();
    isFetch = false;
    try {
        Parser parser(line);
        std::string node;
        if (!parser.getNode(node) || node != "*")
            return false;
        if (!parser.getNode(node) || !parser.getNode(node)
            || strcasecmp(node.c_str(), "FETCH") != 0)
            return false;
        std::string rest;
        if (!parser.getRest(rest) || rest.empty() || rest[0] != '(')
            return false;
        isFetch = true;
        return loadFetchResponseInsideInfo(rest.substr(1), message);
    } catch (const ImapParserException&) {
        return false;
    }
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyFolder(const std::wstring& folder,
    SimpleImapClient& target, unsigned first, unsigned last, unsigned& copied, unsigned& failed)
{
    std::string command = "a FETCH " + std::to_string(first) + ":"
        + (last == 0 ? std::string("*") : std::to_string(last))
        + " (INTERNALDATE FLAGS BODY.PEEK[])\r\n";
    return copyFolder(folder, target, command, copied, failed);
}

SimpleImapClient::ImapClientResult SimpleImapClient::copyFolder(const std::wstring& folder,
    SimpleImapClient& target, const std::string& fetchCommand, unsigned& copied, unsigned& failed)
{
    copied = 0;
    failed = 0;
    if (!connected_)
        return ImapNotConnected;
    FetchMessage message;
    message.setSource(&connection_);
    // Stopping before the reply is read to its end leaves the rest of it
    // (possibly many messages) on the connection: it is closed instead, so
    // that no later command reads those bytes as its own.
    auto stop = [&](ImapClientResult result) {
        connection_.close();
        return result;
    };
    try {
        connection_.send(fetchCommand, true, true);
        std::string line;
        for (;;) {
            connection_.recvLine(line);
            if (line.empty()) {
                connection_.setLastErrorResponse("CONNECTION TIMEOUT");
                throw ImapTimeoutException("");
            }
            if (line[0] != '*') {
                ImapClientResult result = parseTaggedResponse(line);
                if (result != ImapSuccess) {
                    Command::removeEOL(line);
                    connection_.setLastErrorResponse(line);
                    lastError_ = line;
                }
                return result;
            }
            bool isFetch = false;
            bool loaded = loadFetchResponse(line, message, isFetch);
            if (!loaded) {
                std::uint64_t literal = 0;
                if (!isFetch) {
                    // Another kind of untagged response (EXISTS ...).
                    if (Command::announcesLiteral(line, literal))
                        skipResponseRest(connection_, literal);
                    continue;
                }
                ++failed;
                return stop(ImapFetchFailed);
            }
            ImapClientResult appended = target.append(folder, &message, false, nullptr);
            if (!message.isDrained()) {
                ++failed;
                lastError_ = connection_.getLastErrorResponse();
                return stop(appended == ImapSuccess ? ImapMessageLoadFailed : appended);
            }
            if (wasAborted())
                return stop(ImapSuccess);
            if (appended != ImapSuccess) {
                ++failed;
                return stop(ImapAppendFailed);
            }
            ++copied;
        }
    } catch (const ImapException& e) {
        recordError();
        connection_.close();
        return handleImapException(e, ImapStatusFailed);
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
    } catch (const ImapException&) {
        return false;
    }
}

} // namespace tavir::mail
