#include "imapclient/ReplyReader.h"

#include "imapclient/Command.h"
#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"

#include <algorithm>
#include <new>

namespace tavir::mail {

namespace {

// `word` at `at` as a whole word in any letter case.
bool wordAt(const std::string& text, std::size_t at, const char* word)
{
    if (!imap::startsWithNoCase(text, at, word))
        return false;
    std::size_t end = at + std::char_traits<char>::length(word);
    return end == text.size() || text[end] == ' ' || text[end] == '\r' || text[end] == '\n';
}

} // namespace

ReplyReader::ReplyReader(ConnectionInternal& connection, std::string tag)
    : connection_(connection)
    , tag_(std::move(tag))
    , budget_(connection.maxResponseSize())
{
}

bool ReplyReader::isTagged(const std::string& reply, const std::string& tag, unsigned& status)
{
    if (tag.empty() || reply.compare(0, tag.size(), tag) != 0)
        return false;
    std::size_t at = tag.size();
    if (at < reply.size() && reply[at] != ' ' && reply[at] != '\r' && reply[at] != '\n')
        return false; // another tag that begins with ours ("K12" for "K1")
    while (at < reply.size() && reply[at] == ' ')
        ++at;
    if (wordAt(reply, at, "OK"))
        status = OK;
    else if (wordAt(reply, at, "NO"))
        status = NO;
    else if (wordAt(reply, at, "BAD"))
        status = BAD;
    return true;
}

bool ReplyReader::isBye(const std::string& line)
{
    return line.size() >= 2 && line[0] == '*' && line[1] == ' ' && wordAt(line, 2, "BYE");
}

bool ReplyReader::announcesLiteral(const std::string& line, std::uint64_t& size)
{
    imap::LiteralAnnouncement a;
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0
        || !imap::literalAnnouncementBefore(line, line.size() - 2, a))
        return false;
    size = a.size;
    return true;
}

std::string ReplyReader::answerTooLarge() const
{
    return "the answer of " + connection_.endpointText() + " to one command is larger than "
        + ConnectionInternal::sizeText(connection_.maxResponseSize());
}

std::string ReplyReader::readLine(bool insideReply, bool* overLong)
{
    std::string line;
    connection_.recvLine(line, skipOverLong_ ? overLong : nullptr);
    if (line.empty())
        connection_.failOnReadEnd(insideReply);
    return line;
}

void ReplyReader::readLiteral(std::string* into, std::uint64_t size)
{
    const std::string from = connection_.endpointText();
    if (size > connection_.maxLiteralSize())
        connection_.closeWithError(from + " announced a literal of " + std::to_string(size)
            + " bytes, more than the limit of "
            + ConnectionInternal::sizeText(connection_.maxLiteralSize()));
    // Its bytes buy time as they come (ConnectionInternal::recvData), not
    // as announced: an announcement costs nothing to make.
    std::string scratch;
    std::string& target = into != nullptr ? *into : scratch;
    if (into != nullptr && (target.size() > budget_ || size > budget_ - target.size()))
        connection_.closeWithError(answerTooLarge());
    // A kept literal grows its reply once; one that is not kept goes
    // through a scratch buffer.
    if (into != nullptr)
        target.reserve(target.size() + static_cast<std::size_t>(size) + 1024);
    std::uint64_t left = size;
    while (left > 0) {
        unsigned want = static_cast<unsigned>(std::min<std::uint64_t>(left, 1u << 20));
        if (into == nullptr)
            scratch.clear();
        if (connection_.recvData(target, want) != want) {
            // The literal ended short: what was read can't be completed,
            // and the command is never sent again (it would be repeated).
            connection_.closeAfterCutReply();
        }
        left -= want;
    }
}

ReplyReader::Reply ReplyReader::next(const LiteralDecision& leaveLiteral)
{
    try {
        Reply reply;
        connection_.stepDeadline();
        std::string line = readLine(false, &reply.overLong);
        if (reply.overLong && line.compare(0, 2, "* ") != 0)
            connection_.closeWithError(connection_.lineTooLongText());
        if (isBye(line)) {
            // The server ends the session; nothing more comes.
            Command::removeEOL(line);
            connection_.close();
            connection_.setLastErrorResponse(line);
            throw ImapServerBrokeConnection(line);
        }
        const bool untagged = line.compare(0, 2, "* ") == 0;
        if (line[0] == '+')
            reply.kind = Kind::Continuation;
        else if (isTagged(line, tag_, reply.status))
            reply.kind = Kind::Tagged;
        reply.text = line;
        for (;;) {
            if (reply.text.size() > budget_)
                connection_.closeWithError(answerTooLarge());
            // Only the line just read can announce a literal: the bytes of
            // an earlier literal are data, whatever they hold.
            std::uint64_t size = 0;
            if (!announcesLiteral(line, size))
                break;
            if (untagged && !reply.overLong && leaveLiteral && leaveLiteral(reply.text, size)) {
                reply.literalLeft = true;
                reply.literalSize = size;
                return reply;
            }
            // The literals of a reply that is dropped are not kept.
            readLiteral(reply.overLong ? nullptr : &reply.text, size);
            bool over = false;
            line = readLine(true, &over);
            reply.overLong = reply.overLong || over;
            reply.text += line;
        }
        Command::removeEOL(reply.text);
        if (reply.kind == Kind::Tagged && reply.status != OK)
            connection_.setLastErrorResponse(reply.text);
        // What a reply cut in the middle seems to say is not taken.
        if (reply.overLong)
            return reply;
        connection_.noteCapabilities(reply.text);
        if (untagged)
            connection_.noteMailbox(reply.text);
        return reply;
    } catch (const std::bad_alloc&) {
        connection_.closeWithError(
            "out of memory while reading a reply from " + connection_.endpointText());
    }
}

ReplyReader::Reply ReplyReader::untilTagged(std::vector<std::string>* kept)
{
    for (;;) {
        Reply reply = next();
        if (reply.kind == Kind::Tagged)
            return reply;
        if (kept != nullptr) {
            budget_ -= std::min<std::uint64_t>(budget_, reply.text.size());
            kept->push_back(std::move(reply.text));
        }
    }
}

ReplyReader::Reply ReplyReader::finishReply()
{
    Reply rest;
    std::string line = readLine(true, &rest.overLong);
    rest.text = line;
    std::uint64_t size = 0;
    while (announcesLiteral(line, size)) {
        // A literal's bytes are not kept: what a caller looks for after a
        // body (FLAGS, INTERNALDATE) is never one. It stands as an empty
        // string, so that the items around it can still be read.
        imap::LiteralAnnouncement a;
        imap::literalAnnouncementBefore(rest.text, rest.text.size() - 2, a);
        rest.text.replace(a.open, std::string::npos, "\"\"");
        readLiteral(nullptr, size);
        bool over = false;
        line = readLine(true, &over);
        rest.overLong = rest.overLong || over;
        rest.text += line;
        if (rest.text.size() > budget_)
            connection_.closeWithError(answerTooLarge());
    }
    Command::removeEOL(rest.text);
    return rest;
}

} // namespace tavir::mail
