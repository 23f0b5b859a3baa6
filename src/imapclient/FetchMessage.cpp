#include "imapclient/FetchMessage.h"

#include "imapclient/Command.h"
#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"

#include <algorithm>
#include <strings.h>

namespace tavir::mail {

const char* const StdImapFlag[5] = {"\\Seen", "\\Answered", "\\Flagged", "\\Deleted", "\\Draft"};

std::string removeNonStandartFlags(const std::string& flags)
{
    // Whole flags only: "\Seen" inside a longer flag ("\Seenx") is another
    // flag, and a message must not arrive marked read when it was not.
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < flags.size()) {
        while (at < flags.size() && (flags[at] == ' ' || flags[at] == '(' || flags[at] == ')'))
            ++at;
        std::size_t end = at;
        while (end < flags.size() && flags[end] != ' ' && flags[end] != '(' && flags[end] != ')')
            ++end;
        if (end > at)
            words.push_back(flags.substr(at, end - at));
        at = end;
    }
    std::string result;
    for (const char* flag : StdImapFlag) {
        bool found = std::any_of(words.begin(), words.end(),
            [flag](const std::string& word) { return strcasecmp(word.c_str(), flag) == 0; });
        if (!found)
            continue;
        if (!result.empty())
            result += ' ';
        result += flag;
    }
    return result;
}

void skipResponseRest(ConnectionInternal& connection, std::uint64_t size)
{
    std::string scratch;
    std::string line;
    std::uint64_t skipped = 0;
    for (;;) {
        skipped += size;
        if (size > connection.maxLiteralSize() || skipped > connection.maxResponseSize()) {
            connection.close();
            connection.setLastErrorResponse("RESPONSE TOO LARGE");
            throw ImapConnectionFailed("Literal too large");
        }
        while (size > 0) {
            unsigned want = static_cast<unsigned>(std::min<std::uint64_t>(size, 1u << 20));
            scratch.clear();
            if (connection.recvData(scratch, want) != want) {
                connection.close();
                connection.setLastErrorResponse("CONNECTION TIMEOUT");
                throw ImapTimeoutException("");
            }
            size -= want;
        }
        connection.recvLine(line);
        if (line.empty()) {
            connection.close();
            connection.setLastErrorResponse("CONNECTION TIMEOUT");
            throw ImapTimeoutException("");
        }
        skipped += line.size();
        if (!Command::announcesLiteral(line, size))
            return;
    }
}

FetchMessage::FetchMessage() = default;
FetchMessage::~FetchMessage() = default;

void FetchMessage::setSource(ConnectionInternal* source, const std::string& tag)
{
    source_ = source;
    tag_ = tag;
}

void FetchMessage::reset()
{
    date_.clear();
    flags_.clear();
    size_ = 0;
    rest_ = 0;
    announced_ = false;
    drained_ = false;
}

bool FetchMessage::setData(const std::string& name, const std::string& value)
{
    if (strcasecmp(name.c_str(), "INTERNALDATE") == 0) {
        date_ = value;
        return true;
    }
    if (strcasecmp(name.c_str(), "FLAGS") == 0) {
        setFlags(value);
        return true;
    }
    return false;
}

bool FetchMessage::setFlags(std::string value)
{
    if (value.size() < 2 || value.front() != '(' || value.back() != ')')
        return false;
    flags_ = removeNonStandartFlags(value.substr(1, value.size() - 2));
    return true;
}

bool FetchMessage::setSize(std::string text)
{
    // "{" digits "}" CR LF, as recvLine returns the announcement.
    if (text.size() < 5 || text.front() != '{' || text.compare(text.size() - 3, 3, "}\r\n") != 0)
        return false;
    std::string digits = text.substr(1, text.size() - 4);
    std::uint32_t size = 0;
    if (!imap::parseUnsigned32(digits, size))
        return false;
    size_ = size;
    rest_ = size;
    announced_ = true;
    drained_ = false;
    return true;
}

bool FetchMessage::parseResponse(const std::string& line)
{
    try {
        Parser parser(line);
        std::string node;
        if (!parser.getNode(node) || node != "*")
            return false;
        if (!parser.getNode(node) || !Parser::isNumber(node))
            return false;
        if (!parser.getNode(node) || strcasecmp(node.c_str(), "FETCH") != 0)
            return false;
        std::string rest;
        if (!parser.getRest(rest) || rest.empty() || rest[0] != '(')
            return false;
        rest.erase(0, 1);
        Parser items(rest);
        for (;;) {
            if (!items.getNode(node))
                return false;
            if (strcasecmp(node.c_str(), "BODY[]") == 0)
                break;
            if (!items.getNode(node))
                return false;
        }
        std::string size;
        if (!items.getRest(size))
            return false;
        return setSize(size);
    } catch (const ImapParserException&) {
        return false;
    }
}

bool FetchMessage::getFirstDataPart(std::string& part)
{
    return getNextDataPart(part);
}

bool FetchMessage::getNextDataPart(std::string& part)
{
    part.clear();
    if (source_ == nullptr || !announced_)
        return false;
    if (rest_ == 0) {
        // A body of no bytes: the reply around it is still to be read.
        if (!drained_)
            finishReply();
        return false;
    }
    unsigned want = std::min<std::uint32_t>(rest_, ConnectionInternal::dataPartSize);
    unsigned got = source_->recvData(part, want);
    if (got != want) {
        // The source ended, timed out or broke inside the body. The bytes
        // already read can't be completed, and the connection is in the
        // middle of a literal: it is closed, never used again as it is.
        part.clear();
        abandon();
        return false;
    }
    rest_ -= got;
    if (rest_ == 0)
        finishReply();
    return true;
}

void FetchMessage::finishReply()
{
    // The rest of the FETCH response after the literal (normally ")"),
    // with any further literal in it.
    ConnectionInternal& c = *source_;
    std::string line;
    c.recvLine(line);
    if (line.empty()) {
        abandon();
        c.setLastErrorResponse("CONNECTION TIMEOUT");
        throw ImapTimeoutException("");
    }
    std::uint64_t literal = 0;
    if (Command::announcesLiteral(line, literal))
        skipResponseRest(c, literal);
    // Then, for a single fetch, everything up to its tagged completion, so
    // that the next command on the connection starts on a clean reply.
    if (!tag_.empty()) {
        for (;;) {
            c.recvLine(line);
            if (line.empty()) {
                abandon();
                c.setLastErrorResponse("CONNECTION TIMEOUT");
                throw ImapTimeoutException("");
            }
            if (Command::announcesLiteral(line, literal)) {
                skipResponseRest(c, literal);
                continue;
            }
            if (line.size() > tag_.size() && line.compare(0, tag_.size(), tag_) == 0
                && line[tag_.size()] == ' ')
                break;
        }
    }
    drained_ = true;
}

void FetchMessage::abandon()
{
    if (source_ != nullptr)
        source_->close();
    drained_ = false;
}

void FetchMessage::release()
{
    if (source_ != nullptr && announced_ && !drained_)
        source_->close();
}

bool FetchMessage::resend()
{
    return false;
}

} // namespace tavir::mail
