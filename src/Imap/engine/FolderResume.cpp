// Matching a source folder's messages against what its target folder holds.
#include "Imap/engine/FolderResume.h"

#include "Imap/engine/Logger.h"

#include <map>

namespace tavir::migration {

using mail::ImapClientResult;
using mail::MessageSummary;

std::vector<unsigned> messagesToCopy(
    const std::vector<MessageSummary>& source, const std::vector<MessageSummary>& target)
{
    std::map<MessageSummary, unsigned> held;
    for (const MessageSummary& message : target)
        if (message.known)
            ++held[message];
    std::vector<unsigned> wanted;
    for (std::size_t i = 0; i < source.size(); ++i) {
        auto there = source[i].known ? held.find(source[i]) : held.end();
        if (there != held.end() && there->second > 0)
            --there->second;
        else
            wanted.push_back(static_cast<unsigned>(i + 1));
    }
    return wanted;
}

ResumePlan planResume(mail::SimpleImapClient& source, mail::SimpleImapClient& target,
    const MigrationFolder& folder, unsigned sourceCount, unsigned targetCount)
{
    ResumePlan plan;
    auto failed = [&](ImapClientResult code, mail::SimpleImapClient& client) {
        plan.code = code;
        plan.targetFailed = &client == &target;
        plan.why = withoutLineEnd(client.getLastErrorResponse());
        return plan;
    };
    std::vector<MessageSummary> onTarget, onSource;
    unsigned ignored = 0;
    ImapClientResult result = target.select(folder.targetName);
    if (result != mail::ImapSuccess)
        return failed(result, target);
    result = target.fetchSummaries(targetCount, onTarget, ignored);
    if (result != mail::ImapSuccess)
        return failed(result, target);
    plan.ignored = ignored;
    result = source.fetchSummaries(sourceCount, onSource, ignored);
    if (result != mail::ImapSuccess)
        return failed(result, source);
    plan.ignored += ignored;
    plan.wanted = messagesToCopy(onSource, onTarget);
    return plan;
}

} // namespace tavir::migration
