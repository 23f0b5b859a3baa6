#include "imapclient/FetchMessage.h"

#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"
#include "imapclient/ReplyReader.h"

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
    failure_.clear();
    failureTimedOut_ = false;
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
    // "{" digits "}" CR LF, as the reply reader leaves the announcement.
    imap::LiteralAnnouncement a;
    if (!imap::literalAnnouncementAt(text, 0, a) || a.plus || a.size > 0xFFFFFFFFu
        || text.compare(a.end, std::string::npos, "\r\n") != 0)
        return false;
    announceBody(static_cast<std::uint32_t>(a.size));
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

bool FetchMessage::getNextDataPart(std::string& part)
{
    if (source_ == nullptr || !announced_ || rest_ == 0) {
        part.clear();
        // A body of no bytes: the reply around it is still to be read.
        if (source_ != nullptr && announced_ && !drained_)
            finishReply();
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
    if (rest_ == 0)
        finishReply();
    return true;
}

void FetchMessage::finishReply()
{
    // The rest of the FETCH response after the literal (normally ")"),
    // then, for a single fetch, everything up to its tagged completion, so
    // that the next command on the connection starts on a clean reply.
    try {
        ReplyReader reader(*source_, tag_);
        reader.finishReply();
        if (!tag_.empty())
            reader.untilTagged(nullptr);
    } catch (const ImapException& e) {
        abandon(e.what(), source_->lastErrorWasTimeout());
        throw;
    }
    drained_ = true;
}

void FetchMessage::abandon(const std::string& why, bool timedOut)
{
    failure_ = why;
    failureTimedOut_ = timedOut;
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
