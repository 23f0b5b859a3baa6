#include "imapclient/FetchMessage.h"

#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"
#include "imapclient/ReplyReader.h"
#include "imapclient/Synthesizer.h"
#include "utils/StringUtils.h"

#include <algorithm>
#include <strings.h>

namespace tavir::mail {

const char* const StdImapFlag[5] = {"\\Seen", "\\Answered", "\\Flagged", "\\Deleted", "\\Draft"};

namespace {

// The flags of a flag list, each whole.
std::vector<std::string> flagWords(const std::string& flags)
{
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
    return words;
}

// The standard flags among `words` (any letter case), in table order,
// spelled as in the table and separated by one blank.
std::string standardFlags(const std::vector<std::string>& words)
{
    std::string result;
    for (const char* flag : StdImapFlag) {
        bool found = std::any_of(words.begin(), words.end(),
            [flag](const std::string& word) { return utils::iEqual(word, flag); });
        if (!found)
            continue;
        if (!result.empty())
            result += ' ';
        result += flag;
    }
    return result;
}

// True when `words` hold a keyword ($Forwarded, $Label1, NonJunk: a flag
// without a backslash), which the copy leaves behind.
bool holdsKeyword(const std::vector<std::string>& words)
{
    return std::any_of(
        words.begin(), words.end(), [](const std::string& word) { return word[0] != '\\'; });
}

// Passes the name and value pairs of a FETCH item list to the message up to
// the body's name, and stops there: true when it came. The message keeps
// the date, the flags and the UID; other items (RFC822.SIZE and the like,
// which a server may add) are passed over.
bool takeItemsUpToBody(Parser& items, FetchMessage& message)
{
    std::string name;
    std::string value;
    while (items.getItemName(name)) {
        if (strcasecmp(name.c_str(), "BODY[]") == 0)
            return true;
        if (strncasecmp(name.c_str(), "BODY[]<", 7) == 0) {
            // A part of the body from an origin (RFC 3501 6.4.5): it "MAY be
            // truncated", where the whole message was asked for.
            message.setPartialBody(name);
            return false;
        }
        if (!items.getNode(value))
            return false;
        message.setData(name, value);
    }
    return false;
}

} // namespace

std::string messageLabel(unsigned number, std::uint32_t uid)
{
    return "message " + std::to_string(number)
        + (uid != 0 ? " (UID " + std::to_string(uid) + ")" : std::string());
}

std::string overLongReplyText(const ConnectionInternal& connection, const std::string& message)
{
    return "the FETCH reply of " + connection.endpointText() + " for " + message
        + " has a line longer than " + ConnectionInternal::sizeText(connection.maxLineLength())
        + " (the limit of a reply line), which was read and dropped";
}

std::string partialBodyText(
    const std::string& endpoint, const std::string& message, const std::string& name)
{
    return "the FETCH reply of " + endpoint + " for " + message + " gives " + name
        + ", a part of the message that may be cut short, where the whole message (BODY[]) was "
          "asked for";
}

std::string removeNonStandartFlags(const std::string& flags)
{
    return standardFlags(flagWords(flags));
}

bool loadFetchResponseInsideInfo(const std::string& items, FetchMessage& message)
{
    // Items that can't be read answer for a body that failed.
    message.setAnswersForBody(true);
    try {
        Parser parser(items);
        const bool bodyNamed = takeItemsUpToBody(parser, message);
        message.setAnswersForBody(bodyNamed || !message.partialBody().empty());
        std::string rest;
        if (!bodyNamed || !parser.getRest(rest))
            return false;
        if (message.setSize(rest) || message.takeQuotedBody(rest))
            return true;
        message.takeNilBody(rest);
        return false;
    } catch (const ImapParserException&) {
        return false;
    }
}

bool loadFetchResponse(const std::string& line, FetchMessage& message, bool& answersForBody)
{
    message.reset();
    answersForBody = false;
    std::uint32_t number = 0;
    std::size_t at = 0;
    if (!fetchResponseStart(line, number, at))
        return false;
    // The number ties the reply to the message it answers.
    message.setNumber(number);
    at = line.find_first_not_of(' ', at);
    if (at == std::string::npos || line[at] != '(')
        return false;
    std::string items = line.substr(at + 1);
    // A reply read whole ends with the list's ")", which an atom, read up
    // to the next blank, would take with it: "UID 4)" is no UID.
    if (!items.empty() && items.back() == ')')
        items.insert(items.size() - 1, 1, ' ');
    const bool loaded = loadFetchResponseInsideInfo(items, message);
    answersForBody = message.answersForBody();
    return loaded;
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
    number_ = 0;
    uid_ = 0;
    dateKnown_ = false;
    dateReadable_ = false;
    flagsKnown_ = false;
    keywords_ = false;
    answersForBody_ = false;
    bodyWithheld_ = false;
    partialBody_.clear();
    held_.clear();
    holding_ = false;
    announced_ = false;
    drained_ = false;
    failure_ = Failure();
}

bool FetchMessage::setData(const std::string& name, const std::string& value)
{
    if (strcasecmp(name.c_str(), "INTERNALDATE") == 0) {
        std::time_t instant = 0;
        const bool readable = readInternalDate(value, instant);
        if (readable || !dateReadable_) {
            date_ = value;
            dateReadable_ = readable;
        }
        dateKnown_ = true;
        return true;
    }
    if (strcasecmp(name.c_str(), "FLAGS") == 0) {
        setFlags(value);
        return true;
    }
    if (strcasecmp(name.c_str(), "UID") == 0)
        return imap::parseUnsigned32(value, uid_);
    return false;
}

FetchMessage::Items FetchMessage::items() const
{
    return {date_, flags_, dateKnown_, dateReadable_, flagsKnown_, keywords_, uid_};
}

void FetchMessage::addItems(const Items& other)
{
    if (other.dateKnown && (!dateKnown_ || (other.dateReadable && !dateReadable_))) {
        date_ = other.date;
        dateKnown_ = true;
        dateReadable_ = other.dateReadable;
    }
    if (!flagsKnown_ && other.flagsKnown) {
        flags_ = other.flags;
        keywords_ = other.keywords;
        flagsKnown_ = true;
    }
    if (uid_ == 0)
        uid_ = other.uid;
}

bool FetchMessage::setFlags(std::string value)
{
    if (value.size() < 2 || value.front() != '(' || value.back() != ')')
        return false;
    // One reading of the list for both.
    const std::string list = value.substr(1, value.size() - 2);
    flags_ = removeNonStandartFlags(list);
    keywords_ = holdsKeyword(flagWords(list));
    flagsKnown_ = true;
    return true;
}

bool FetchMessage::setSize(std::string text)
{
    // "{" digits "}" CR LF, as the reply reader leaves the announcement.
    imap::LiteralAnnouncement a;
    if (!imap::literalAnnouncementAt(text, 0, a) || a.plus || a.size > 0xFFFFFFFFu
        || text.compare(a.end, std::string::npos, "\r\n") != 0)
        return false;
    announceBody(static_cast<std::uint32_t>(a.size));
    return true;
}

bool FetchMessage::takeQuotedBody(const std::string& rest)
{
    if (rest.empty() || rest[0] != '"')
        return false;
    try {
        Parser parser(rest);
        std::string body;
        std::string after;
        if (!parser.getNode(body))
            return false;
        parser.getRest(after);
        takeItemsAfterBody(after);
        // A quoted string holds no line end, so it is far below 4 GiB.
        size_ = rest_ = static_cast<std::uint32_t>(body.size());
        held_ = std::move(body);
    } catch (const ImapParserException&) {
        return false;
    }
    holding_ = true;
    announced_ = true;
    drained_ = true;
    return true;
}

bool FetchMessage::takeNilBody(const std::string& rest)
{
    // NIL as a word of its own: "NILS" would be an atom, no NIL.
    if (!imap::startsWithNoCase(rest, 0, "NIL")
        || (rest.size() > 3 && rest[3] != ' ' && rest[3] != ')'))
        return false;
    takeItemsAfterBody(rest.substr(3));
    bodyWithheld_ = true;
    return true;
}

void FetchMessage::announceBody(std::uint32_t size)
{
    size_ = size;
    rest_ = size;
    announced_ = true;
    drained_ = false;
}

bool FetchMessage::parseResponse(const std::string& line)
{
    try {
        FetchResponse fetch;
        if (!parseFetchResponse(line, fetch) || !fetch.bodyIsOpen() || fetch.openSize > 0xFFFFFFFFu)
            return false;
        announceBody(static_cast<std::uint32_t>(fetch.openSize));
        return true;
    } catch (const ImapParserException&) {
        return false;
    }
}

bool FetchMessage::getFirstDataPart(std::string& part)
{
    return getNextDataPart(part);
}

bool FetchMessage::holdBody()
{
    if (source_ == nullptr || !announced_ || drained_)
        return drained_;
    try {
        held_.clear();
        if (source_->recvData(held_, rest_) != rest_) {
            source_->recordReadEnd();
            abandon(source_->getLastErrorResponse(), source_->lastErrorWasTimeout());
            return false;
        }
        finishReply();
    } catch (const ImapException&) {
        return false; // abandoned, with the failure kept
    }
    holding_ = true;
    return !failure_.failed();
}

bool FetchMessage::getNextDataPart(std::string& part)
{
    throwIfRefused();
    if (holding_) {
        const std::size_t want = std::min<std::size_t>(rest_, partSize_);
        if (want == held_.size()) {
            part.swap(held_);
            held_.clear();
        } else {
            part.assign(held_, size_ - rest_, want);
        }
        rest_ -= static_cast<std::uint32_t>(want);
        return want != 0;
    }
    if (source_ == nullptr || !announced_ || rest_ == 0) {
        part.clear();
        // A body of no bytes: the reply around it is still to be read.
        if (source_ != nullptr && announced_ && !drained_) {
            finishReply();
            throwIfRefused();
        }
        return false;
    }
    const unsigned want = static_cast<unsigned>(std::min<std::uint64_t>(rest_, partSize_));
    // Read over the part's old bytes: only storage it never had is filled
    // before the read.
    part.resize(want);
    const unsigned got = source_->recvData(&part[0], want);
    if (got != want) {
        // The source ended, timed out or broke inside the body. The bytes
        // already read can't be completed, and the connection is in the
        // middle of a literal: it is closed, never used again as it is.
        part.clear();
        source_->recordReadEnd();
        abandon(source_->getLastErrorResponse(), source_->lastErrorWasTimeout());
        return false;
    }
    rest_ -= got;
    if (rest_ == 0) {
        finishReply();
        throwIfRefused();
    }
    return true;
}

void FetchMessage::throwIfRefused() const
{
    if (failure_.failed() && drained_)
        throw IMessageSourceFailedException(failure_.why);
}

void FetchMessage::finishReply()
{
    // The rest of the FETCH response after the literal (normally ")"),
    // then, for a single fetch, everything up to its tagged completion, so
    // that the next command on the connection starts on a clean reply. A
    // line over the limit is read and dropped as one before the body is:
    // the items it holds can't be read, and the message fails alone.
    try {
        ReplyReader reader(*source_, tag_);
        reader.skipOverLongReplies();
        const ReplyReader::Reply rest = reader.finishReply();
        if (rest.overLong)
            failure_ = {ImapFetchFailed, Side::Source, false,
                overLongReplyText(*source_, messageLabel(number_, uid_))};
        else
            takeItemsAfterBody(rest.text);
        if (!tag_.empty())
            reader.untilTagged(nullptr);
    } catch (const ImapException& e) {
        abandon(e.what(), source_->lastErrorWasTimeout());
        throw;
    }
    drained_ = true;
}

void FetchMessage::takeItemsAfterBody(std::string rest)
{
    // RFC 3501 fixes no order of FETCH items: the date and the flags may
    // follow the body (" FLAGS (\Seen))"). Only a list that ends where it
    // should is read; what can't be read leaves the message as it was.
    while (!rest.empty() && rest.back() == ' ')
        rest.pop_back();
    if (rest.empty() || rest.back() != ')')
        return;
    rest.pop_back();
    try {
        Parser items(rest);
        takeItemsUpToBody(items, *this);
    } catch (const ImapParserException&) {
    }
}

void FetchMessage::abandon(const std::string& why, bool timedOut)
{
    failure_ = {ImapMessageLoadFailed, Side::Source, timedOut, why};
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
