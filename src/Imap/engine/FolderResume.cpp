// Matching a source folder's messages against what its target folder holds.
#include "Imap/engine/FolderResume.h"

#include "Imap/engine/Logger.h"
#include "Imap/textconv/TextConversion.h"

#include <map>
#include <string_view>
#include <tuple>

namespace tavir::migration {

using mail::ImapClientResult;
using mail::MessageSummary;

namespace {

// What a message is matched by before its digest.
using Key = std::tuple<std::uint32_t, std::int64_t, std::string_view>;

Key keyOf(const MessageSummary& message)
{
    return Key(message.size, message.instant, message.messageId);
}

} // namespace

DigestsWanted messagesToDigest(
    const std::vector<MessageSummary>& source, const std::vector<MessageSummary>& target)
{
    // How many messages of the source and of the target hold each key.
    std::map<Key, std::pair<unsigned, unsigned>> held;
    for (const MessageSummary& message : source)
        if (message.known)
            ++held[keyOf(message)].first;
    for (const MessageSummary& message : target)
        if (message.known)
            ++held[keyOf(message)].second;
    auto unsettled = [&](const MessageSummary& message) {
        if (!message.known)
            return false;
        const auto [inSource, inTarget] = held.at(keyOf(message));
        return inSource > 0 && inTarget > 0
            && (message.messageId.empty() || inSource > 1 || inTarget > 1);
    };
    DigestsWanted wanted;
    for (std::size_t i = 0; i < source.size(); ++i)
        if (unsettled(source[i]))
            wanted.source.push_back(static_cast<unsigned>(i + 1));
    for (std::size_t i = 0; i < target.size(); ++i)
        if (unsettled(target[i]))
            wanted.target.push_back(static_cast<unsigned>(i + 1));
    return wanted;
}

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
    // A message whose digest is missing can't be told apart: copied, it may
    // be there twice; passed over, it may be lost. The folder is not copied.
    auto digest = [&](mail::SimpleImapClient& client, const std::vector<unsigned>& numbers,
                      std::vector<MessageSummary>& summaries) {
        std::vector<std::string> digests;
        result = client.fetchDigests(numbers, digests, ignored);
        plan.ignored += ignored;
        if (result != mail::ImapSuccess) {
            failed(result, client);
            return false;
        }
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            if (digests[i].empty()) {
                plan.code = mail::ImapFetchFailed;
                plan.targetFailed = &client == &target;
                plan.why = utf8ToUnicode(client.getConnection().endpointText())
                    + L" did not send all of message " + std::to_wstring(numbers[i])
                    + L", which only its content tells apart from another";
                return false;
            }
            summaries[numbers[i] - 1].digest = std::move(digests[i]);
        }
        return true;
    };
    const DigestsWanted unsettled = messagesToDigest(onSource, onTarget);
    if (!digest(target, unsettled.target, onTarget) || !digest(source, unsettled.source, onSource))
        return plan;
    plan.settledByDigest = static_cast<unsigned>(unsettled.source.size());
    plan.wanted = messagesToCopy(onSource, onTarget);
    return plan;
}

} // namespace tavir::migration
