// Whether two names a source lists open one folder, by what it said of each.
#include "Imap/engine/OpenedFolder.h"

namespace tavir::migration {

using mail::MessageSummary;

namespace {

bool needsDigest(const MessageSummary& message)
{
    return !message.known || message.messageId.empty();
}

bool sameSummary(const MessageSummary& a, const MessageSummary& b)
{
    if (a.uid == 0 || a.uid != b.uid || a.known != b.known)
        return false;
    if (a.known
        && (a.size != b.size || a.dated != b.dated || (a.dated && a.instant != b.instant)
            || a.messageId != b.messageId))
        return false;
    return !needsDigest(a) || (!a.digest.empty() && a.digest == b.digest);
}

} // namespace

std::vector<unsigned> numbersToDigest(const std::vector<MessageSummary>& messages)
{
    std::vector<unsigned> numbers;
    for (std::size_t i = 0; i < messages.size(); ++i)
        if (needsDigest(messages[i]))
            numbers.push_back(static_cast<unsigned>(i + 1));
    return numbers;
}

bool sameFolder(const OpenedFolder& a, const OpenedFolder& b)
{
    if (!a.mailbox.sameNumbering(b.mailbox) || !a.described || !b.described
        || a.messages.size() != a.mailbox.count || b.messages.size() != b.mailbox.count)
        return false;
    for (std::size_t i = 0; i < a.messages.size(); ++i)
        if (!sameSummary(a.messages[i], b.messages[i]))
            return false;
    return true;
}

} // namespace tavir::migration
