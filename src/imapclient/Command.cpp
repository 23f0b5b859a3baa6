#include "imapclient/Command.h"

#include "imapclient/ImapException.h"

#include <new>

namespace tavir::mail {

Command::Command(ConnectionInternal& connection, const std::string& command)
    : tag_(connection.getTag())
    , command_(command)
    , connection_(connection)
{
    addParam(tag_);
    addParam(command_);
}

bool Command::isWholeResponse(const std::string& line, unsigned& literalSize)
{
    std::uint64_t size = 0;
    if (!ReplyReader::announcesLiteral(line, size))
        return true;
    literalSize = size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned>(size);
    return false;
}

void Command::removeEOL(std::string& text)
{
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
}

bool Command::isSingleCommand(const std::string& line, bool open, std::uint64_t* openLiteral)
{
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n) {
        char c = line[i];
        if (c == '\0')
            return false;
        if (c == '\n')
            return false; // a bare LF
        if (c != '\r') {
            ++i;
            continue;
        }
        if (i + 1 >= n || line[i + 1] != '\n')
            return false; // a bare CR
        imap::LiteralAnnouncement a;
        bool literal = imap::literalAnnouncementBefore(line, i, a) && a.plus;
        std::size_t next = i + 2;
        if (!literal)
            return next == n && !open; // the line's end
        if (open && next == n) {
            // The announcement that ends the command line of an APPEND:
            // the body follows separately.
            if (openLiteral)
                *openLiteral = a.size;
            return true;
        }
        if (a.size > n - next)
            return false;
        i = next + static_cast<std::size_t>(a.size);
    }
    return false; // no line end
}

bool Command::isTaggedResponse(const std::string& response, unsigned& status) const
{
    return ReplyReader::isTagged(response, tag_, status);
}

void Command::getResponse(std::string& tagged, std::vector<std::string>& untagged) const
{
    tagged = tagged_;
    untagged = untagged_;
}

unsigned Command::filterResponses(std::vector<ResponseResult>& results, std::uint32_t type) const
{
    unsigned count = 0;
    for (const std::string& response : untagged_) {
        ResponseResult result;
        try {
            Parser parser(response);
            parser.parseResponse(result);
        } catch (const ImapParserException&) {
            if (result.type == type && type != 0)
                throw;
            continue;
        }
        if (result.type != 0 && result.type == type) {
            results.push_back(result);
            ++count;
        }
    }
    return count;
}

unsigned Command::execute(simpleimapclient::IMessage* message)
{
    return closingOnOwnFailure([&] { return run(message); });
}

template <class Work> auto Command::closingOnOwnFailure(Work work) -> decltype(work())
{
    try {
        return work();
    } catch (const ImapException&) {
        throw;
    } catch (const std::bad_alloc&) {
        connection_.closeWithError(
            "out of memory while running " + command_ + " on " + connection_.endpointText());
    } catch (const std::exception& e) {
        connection_.closeWithError(
            command_ + " on " + connection_.endpointText() + " failed: " + e.what());
    }
}

unsigned Command::complete(const ReplyReader::Reply& tagged)
{
    tagged_ = tagged.text;
    status_ = tagged.status;
    return status_;
}

unsigned Command::run(simpleimapclient::IMessage* message)
{
    if (message == nullptr) {
        ConnectionInternal::Operation operation(connection_);
        if (!sendCommand(true))
            return status_;
        return finish();
    }
    ReplyReader reader(connection_, tag_);
    if (!sendMessage(*message, reader))
        return status_;
    // Written whole, the message may be stored whatever comes now: its
    // answer is still awaited for a moment after a stop request, so that
    // it is counted as what it became.
    ConnectionInternal::Operation operation(connection_);
    ConnectionInternal::StopGrace grace(connection_);
    return complete(reader.untilTagged(&untagged_));
}

bool Command::send(simpleimapclient::IMessage& message, bool flush)
{
    flushBody_ = flush;
    return closingOnOwnFailure([&] {
        ReplyReader reader(connection_, tag_);
        return sendMessage(message, reader);
    });
}

bool Command::send(bool flush)
{
    return closingOnOwnFailure([&] { return sendCommand(flush); });
}

void Command::completeSingleLine()
{
    completeCommandString();
    if (!isSingleCommand(get(), false, nullptr)) {
        std::string text = "refused to send a malformed " + command_ + " command line to "
            + connection_.endpointText();
        connection_.setLastErrorResponse(text);
        throw ImapException(text, ImapException::noCode);
    }
}

bool Command::sendCommand(bool flush)
{
    completeSingleLine();
    ReplyReader reader(connection_, tag_);
    return sendLine(get(), reconnect_, reader, false, flush);
}

std::string Command::lineToWriteBehind()
{
    completeSingleLine();
    const std::string& line = get();
    return line.find("\r\n") == line.size() - 2 ? line : std::string();
}

unsigned Command::finish()
{
    return closingOnOwnFailure([&] {
        ReplyReader reader(connection_, tag_);
        return complete(reader.untilTagged(&untagged_));
    });
}

bool Command::sendMessage(simpleimapclient::IMessage& message, ReplyReader& reader)
{
    const std::uint64_t size = announcedSize();
    // A body small enough is collected before the first byte of the command
    // is written, so that a source that fails leaves nothing on the target,
    // and it goes out with its line in one write. The target's deadline
    // starts after that: the source's time is not its own.
    const bool whole = size <= ConnectionInternal::wholeBodyLimit;
    const std::size_t parts = whole ? collectBody(message, size) : 0;
    ConnectionInternal::Operation operation(connection_);
    // Until the first byte is written a lost connection may be
    // re-established (with its session restored): nothing can be appended
    // twice. After that every failed write closes the connection and ends
    // the command.
    if (reconnect_)
        connection_.reconnectIfLost();
    if (!sendLine(get(), false, reader, true))
        return false;
    if (whole)
        sendBody(parts);
    else
        streamBody(message, size);
    return true;
}

std::uint64_t Command::announcedSize()
{
    std::uint64_t announced = 0;
    if (!isSingleCommand(get(), true, &announced))
        throw IMessageLoadFailedException("the " + command_ + " command line is malformed");
    if (announced > connection_.maxMessageSize())
        throw IMessageLoadFailedException("the message has " + std::to_string(announced)
            + " bytes, more than the limit of "
            + ConnectionInternal::sizeText(connection_.maxMessageSize()));
    return announced;
}

bool Command::nextPart(simpleimapclient::IMessage& message, std::string& part, bool first)
{
    try {
        return first ? message.getFirstDataPart(part) : message.getNextDataPart(part);
    } catch (const IMessageAppendException&) {
        throw;
    } catch (const IMessageLoadFailedException&) {
        throw;
    } catch (const std::exception& e) {
        throw IMessageSourceFailedException(
            std::string("reading the message from its source failed: ") + e.what());
    }
}

void Command::checkDelivered(
    simpleimapclient::IMessage& message, std::uint64_t total, std::uint64_t announced)
{
    // A body that ended early is never completed: the literal would be
    // short and the server would take the next command as body bytes.
    if (total > announced)
        throw IMessageSourceFailedException("the message source delivered more than the "
            + std::to_string(announced) + " bytes announced");
    if (message.getRestSize() != 0 || total != announced)
        throw IMessageSourceFailedException("the message source delivered "
            + std::to_string(total) + " of " + std::to_string(announced) + " bytes");
}

std::size_t Command::collectBody(simpleimapclient::IMessage& message, std::uint64_t announced)
{
    // Each part is read straight into its own place in the connection's
    // list, whose storage serves one message after the other.
    std::vector<std::string>& parts = connection_.messageParts();
    std::size_t used = 0;
    std::uint64_t total = 0;
    for (bool first = true;; first = false) {
        if (used == parts.size())
            parts.emplace_back();
        if (!nextPart(message, parts[used], first))
            break;
        total += parts[used++].size();
        if (total > announced)
            checkDelivered(message, total, announced);
    }
    checkDelivered(message, total, announced);
    return used;
}

void Command::sendBody(std::size_t parts)
{
    try {
        const std::vector<std::string>& list = connection_.messageParts();
        for (std::size_t i = 0; i < parts; ++i)
            connection_.sendLiteralData(list[i]);
        connection_.sendLiteralData("\r\n");
        if (flushBody_)
            connection_.flushOrThrow();
    } catch (const ImapConnectionFailed& e) {
        throw IMessageAppendException(e.what());
    }
}

void Command::streamBody(simpleimapclient::IMessage& message, std::uint64_t announced)
{
    // Each part goes to the server as soon as the source has delivered it.
    // A source that fails midway leaves a literal that can never be
    // completed: the connection is closed, and the server, which stores a
    // message only once its literal has come whole, stores nothing.
    std::vector<std::string>& parts = connection_.messageParts();
    if (parts.empty())
        parts.emplace_back();
    std::string& part = parts.front();
    std::uint64_t total = 0;
    try {
        bool more = nextPart(message, part, true);
        while (more) {
            total += part.size();
            if (total > announced)
                checkDelivered(message, total, announced);
            try {
                connection_.sendLiteralData(part);
            } catch (const ImapConnectionFailed& e) {
                throw IMessageAppendException(e.what());
            }
            more = nextPart(message, part, false);
        }
        checkDelivered(message, total, announced);
    } catch (const IMessageAppendException&) {
        throw;
    } catch (const ImapException&) {
        connection_.close();
        throw;
    }
    sendBody(0);
}

bool Command::sendLine(
    const std::string& line, bool reconnect, ReplyReader& reader, bool bodyFollows, bool flush)
{
    auto write = [&](const std::string& piece, bool mayReconnect, bool flushNow) {
        try {
            connection_.send(piece, mayReconnect, flushNow, numbered_);
        } catch (const ImapConnectionFailed& e) {
            // The command line of a message that can't be written is a
            // message that can't be copied now; the connection is closed,
            // and the next command starts on a new one.
            if (bodyFollows)
                throw IMessageLoadFailedException(e.what());
            throw;
        }
    };
    // Where each literal announcement ends, and whether it must wait for
    // the server's continuation. Decided before anything is written: the
    // decision may ask the server for its capabilities.
    struct Wait {
        std::size_t plus; // index of the "+" to leave out
        std::size_t resume; // where the text after the continuation starts
    };
    std::vector<Wait> waits;
    for (std::size_t i = line.find("\r\n"); i != std::string::npos; i = line.find("\r\n", i)) {
        imap::LiteralAnnouncement a;
        if (!imap::literalAnnouncementBefore(line, i, a) || !a.plus) {
            i += 2;
            continue;
        }
        if (!connection_.mayPushLiteral(a.size, reconnect))
            waits.push_back({a.end - 2, i + 2});
        i += 2 + static_cast<std::size_t>(std::min<std::uint64_t>(a.size, line.size()));
    }
    std::size_t from = 0;
    for (const Wait& wait : waits) {
        write(line.substr(from, wait.plus - from) + "}\r\n", reconnect && from == 0, true);
        for (;;) {
            ReplyReader::Reply reply = reader.next();
            if (reply.kind == ReplyReader::Kind::Continuation)
                break;
            if (reply.kind == ReplyReader::Kind::Tagged) {
                complete(reply);
                return false;
            }
            untagged_.push_back(std::move(reply.text));
        }
        from = wait.resume;
    }
    // The line of a body that follows at once is not flushed on its own:
    // with a small body it leaves in the same write.
    if (from < line.size())
        write(line.substr(from), reconnect && from == 0, flush && !bodyFollows);
    return true;
}

} // namespace tavir::mail
