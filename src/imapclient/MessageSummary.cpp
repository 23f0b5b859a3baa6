// Reading a message's size, internal date and Message-ID from a FETCH reply.
#include "imapclient/MessageSummary.h"

#include "imapclient/ImapException.h"
#include "imapclient/Synthesizer.h"

#include <strings.h>

namespace tavir::mail {

const char* const messageSummaryItems
    = "(RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])";
const char* const messageSummaryItemsWithUid
    = "(UID RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])";

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::string messageIdField(const std::string& header)
{
    static const char name[] = "message-id:";
    const std::size_t nameLength = sizeof name - 1;
    for (std::size_t line = 0; line < header.size();) {
        std::size_t end = header.find('\n', line);
        if (end == std::string::npos)
            end = header.size();
        if (header.size() - line >= nameLength
            && strncasecmp(header.c_str() + line, name, nameLength) == 0) {
            // The field goes on over the lines that begin with a blank.
            std::string value;
            std::size_t from = line + nameLength;
            for (;;) {
                value.append(header, from, end - from);
                if (end + 1 >= header.size() || (header[end + 1] != ' ' && header[end + 1] != '\t'))
                    break;
                from = end + 1;
                end = header.find('\n', from);
                if (end == std::string::npos)
                    end = header.size();
            }
            std::size_t first = 0, last = value.size();
            while (first < last && isBlank(value[first]))
                ++first;
            while (last > first && isBlank(value[last - 1]))
                --last;
            std::string trimmed;
            for (std::size_t i = first; i < last; ++i)
                if (value[i] != '\r' && value[i] != '\n')
                    trimmed += value[i];
            return trimmed;
        }
        line = end + 1;
    }
    return std::string();
}

bool readFetchReply(const std::string& reply, FetchResponse& fetch, unsigned& unreadable)
{
    try {
        return parseFetchResponse(reply, fetch);
    } catch (const ImapParserException&) {
        ++unreadable;
        return false;
    }
}

namespace {

bool isHeaderItem(const std::string& name)
{
    return strncasecmp(name.c_str(), "BODY[HEADER.FIELDS", 18) == 0;
}

bool isSummaryItem(const std::string& name)
{
    return strcasecmp(name.c_str(), "RFC822.SIZE") == 0
        || strcasecmp(name.c_str(), "INTERNALDATE") == 0 || strcasecmp(name.c_str(), "UID") == 0
        || isHeaderItem(name);
}

const std::string* headerItem(const FetchResponse& fetch)
{
    for (const auto& [name, value] : fetch.items)
        if (isHeaderItem(name))
            return &value;
    return nullptr;
}

} // namespace

bool addSummaryItems(const FetchResponse& reply, FetchResponse& gathered)
{
    bool added = false;
    for (const auto& [name, value] : reply.items) {
        const bool had = isHeaderItem(name) ? headerItem(gathered) != nullptr
                                            : gathered.item(name.c_str()) != nullptr;
        if (isSummaryItem(name) && !had) {
            gathered.items.emplace_back(name, value);
            added = true;
        }
    }
    return added;
}

bool readMessageSummary(const FetchResponse& fetch, MessageSummary& summary)
{
    const std::string* size = fetch.item("RFC822.SIZE");
    const std::string* date = fetch.item("INTERNALDATE");
    const std::string* header = headerItem(fetch);
    const std::string* uid = fetch.item("UID");
    if (uid == nullptr || !imap::parseUnsigned32(*uid, summary.uid))
        summary.uid = 0;
    if (size == nullptr || header == nullptr || !imap::parseUnsigned32(*size, summary.size))
        return false;
    std::time_t instant = 0;
    summary.dated = date != nullptr && readInternalDate(*date, instant);
    summary.instant = instant;
    summary.messageId = messageIdField(*header);
    summary.known = true;
    return true;
}

} // namespace tavir::mail
