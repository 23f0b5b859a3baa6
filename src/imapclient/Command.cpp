#include "imapclient/Command.h"

#include "imapclient/ImapException.h"

#include <limits>
#include <new>

namespace tavir::mail {

namespace {

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The status word at `at`, as a whole word in any letter case.
bool statusWord(const std::string& text, std::size_t at, const char* word)
{
    std::size_t i = 0;
    for (; word[i] != '\0'; ++i)
        if (at + i >= text.size() || upper(text[at + i]) != word[i])
            return false;
    std::size_t end = at + i;
    return end == text.size() || text[end] == ' ' || text[end] == '\r' || text[end] == '\n';
}

bool isBye(const std::string& line)
{
    return line.size() >= 2 && line[0] == '*' && line[1] == ' ' && statusWord(line, 2, "BYE");
}

// Parses "{" digits ["+"] "}" ending at `close` (the index of "}"). The
// announced size saturates at UINT64_MAX.
bool literalBefore(const std::string& text, std::size_t close, bool requirePlus,
    std::uint64_t& size, std::size_t& open)
{
    std::size_t end = close;
    bool plus = false;
    if (end > 0 && text[end - 1] == '+') {
        plus = true;
        --end;
    }
    if (requirePlus && !plus)
        return false;
    std::size_t start = end;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9')
        --start;
    if (start == end || start == 0 || text[start - 1] != '{')
        return false;
    std::uint64_t value = 0;
    for (std::size_t i = start; i < end; ++i) {
        unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            value = std::numeric_limits<std::uint64_t>::max();
            break;
        }
        value = value * 10 + digit;
    }
    size = value;
    open = start - 1;
    return true;
}

} // namespace

Command::Command(ConnectionInternal& connection, const std::string& command)
    : tag_(connection.getTag())
    , command_(command)
    , connection_(connection)
{
    addParam(tag_);
    addParam(command_);
}

bool Command::announcesLiteral(const std::string& line, std::uint64_t& literalSize)
{
    // "...{n}" CR LF
    if (line.size() < 5 || line[line.size() - 1] != '\n' || line[line.size() - 2] != '\r'
        || line[line.size() - 3] != '}')
        return false;
    std::size_t open = 0;
    return literalBefore(line, line.size() - 3, false, literalSize, open);
}

bool Command::isWholeResponse(const std::string& line, unsigned& literalSize)
{
    std::uint64_t size = 0;
    if (!announcesLiteral(line, size))
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
        std::uint64_t size = 0;
        std::size_t start = 0;
        bool literal = i > 0 && line[i - 1] == '}' && literalBefore(line, i - 1, true, size, start);
        std::size_t next = i + 2;
        if (!literal)
            return next == n && !open; // the line's end
        if (open && next == n) {
            // The announcement that ends the command line of an APPEND:
            // the body follows separately.
            if (openLiteral)
                *openLiteral = size;
            return true;
        }
        if (size > n - next)
            return false;
        i = next + static_cast<std::size_t>(size);
    }
    return false; // no line end
}

bool Command::isTaggedResponse(const std::string& response, unsigned& status) const
{
    if (response.size() < tag_.size() || response.compare(0, tag_.size(), tag_) != 0)
        return false;
    std::size_t at = tag_.size();
    if (at < response.size() && response[at] != ' ' && response[at] != '\r' && response[at] != '\n')
        return false; // another tag that begins with ours ("K12" for "K1")
    while (at < response.size() && response[at] == ' ')
        ++at;
    if (statusWord(response, at, "OK"))
        status = OK;
    else if (statusWord(response, at, "NO"))
        status = NO;
    else if (statusWord(response, at, "BAD"))
        status = BAD;
    return true;
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
    try {
        return run(message);
    } catch (const ImapException&) {
        throw;
    } catch (const std::bad_alloc&) {
        connection_.close();
        connection_.setLastErrorResponse("OUT OF MEMORY");
        throw ImapConnectionFailed("Out of memory");
    } catch (const std::exception& e) {
        connection_.close();
        throw ImapConnectionFailed(e.what());
    }
}

unsigned Command::run(simpleimapclient::IMessage* message)
{
    if (message == nullptr) {
        completeCommandString();
        if (!isSingleCommand(get(), false, nullptr))
            throw ImapException("Refused to send a malformed command line", 0);
        connection_.send(get(), reconnect_, true);
    } else {
        sendMessage(message);
    }
    return readResponses();
}

void Command::sendMessage(simpleimapclient::IMessage* message)
{
    // The whole body is collected before the first byte of the command is
    // written, so that a source that fails leaves nothing on the target.
    std::vector<std::string> parts;
    parts.reserve(256);
    try {
        std::uint64_t announced = 0;
        if (!isSingleCommand(get(), true, &announced))
            throw IMessageLoadFailedException("The APPEND command line is malformed");
        if (announced > connection_.maxMessageSize())
            throw IMessageLoadFailedException("The message is too large");
        // Each part is read straight into its own place in the list.
        std::uint64_t total = 0;
        parts.emplace_back();
        bool more = message->getFirstDataPart(parts.back());
        while (more) {
            total += parts.back().size();
            if (total > announced)
                throw IMessageLoadFailedException("The message is longer than announced");
            parts.emplace_back();
            more = message->getNextDataPart(parts.back());
        }
        parts.pop_back();
        // A body that ended early is never sent: the literal would be
        // short and the server would take the next command as body bytes.
        if (message->getRestSize() != 0 || total != announced)
            throw IMessageLoadFailedException("The message body is incomplete");
    } catch (const IMessageAppendException&) {
        throw;
    } catch (const IMessageLoadFailedException&) {
        throw;
    } catch (const std::exception& e) {
        throw IMessageLoadFailedException(e.what());
    }
    // Until the first byte is written a broken connection may be
    // re-established (with its session restored): nothing can be appended
    // twice. After that a failed write closes the connection and is
    // reported as the lost connection it is.
    connection_.send(get(), reconnect_, false);
    for (const std::string& part : parts)
        connection_.sendLiteralData(part);
    connection_.sendLiteralData("\r\n");
    connection_.flush();
}

unsigned Command::readResponses()
{
    std::string line;
    std::string accumulator;
    line.reserve(1024);
    accumulator.reserve(1024);
    std::uint64_t collected = 0;
    const std::uint64_t maxResponse = connection_.maxResponseSize();
    for (;;) {
        connection_.recvLine(line);
        if (line.empty()) {
            connection_.setLastErrorResponse("CONNECTION TIMEOUT");
            throw ImapTimeoutException("");
        }
        if (accumulator.empty() && isBye(line)) {
            std::string bye = line;
            removeEOL(bye);
            connection_.setLastErrorResponse(bye);
            throw ImapServerBrokeConnection("");
        }
        collected += line.size();
        if (collected > maxResponse) {
            connection_.close();
            connection_.setLastErrorResponse("RESPONSE TOO LARGE");
            throw ImapConnectionFailed("Response too large");
        }
        std::uint64_t literal = 0;
        if (announcesLiteral(line, literal)) {
            if (literal > connection_.maxLiteralSize() || literal > maxResponse - collected) {
                connection_.close();
                connection_.setLastErrorResponse("RESPONSE TOO LARGE");
                throw ImapConnectionFailed("Literal too large");
            }
            accumulator.reserve(accumulator.size() + line.size() + literal + 1024);
            accumulator += line;
            unsigned want = static_cast<unsigned>(literal);
            if (connection_.recvData(accumulator, want) != want) {
                // The literal ended short. Sending the command again would
                // repeat it (an APPEND would append twice) and the bytes
                // already read can't be matched to a new answer.
                connection_.close();
                connection_.setLastErrorResponse("CONNECTION TIMEOUT");
                throw ImapTimeoutException("");
            }
            collected += literal;
            continue;
        }
        accumulator += line;
        unsigned status = BAD; // a tagged line without a status word
        if (isTaggedResponse(accumulator, status)) {
            removeEOL(accumulator);
            tagged_ = accumulator;
            if (status != OK)
                connection_.setLastErrorResponse(tagged_);
            return status;
        }
        removeEOL(accumulator);
        untagged_.push_back(accumulator);
        accumulator.clear();
    }
}

} // namespace tavir::mail
