// Matching a source folder's messages against what its target folder holds.
#include "Imap/engine/FolderResume.h"

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
    using mail::Side;
    ResumePlan plan;
    auto failed = [&](ImapClientResult code, const mail::SimpleImapClient& client, Side side) {
        plan.failure = client.lastFailure(code, side);
        return plan;
    };
    std::vector<MessageSummary> onTarget, onSource;
    unsigned ignored = 0;
    ImapClientResult result = target.select(folder.targetName);
    if (result != mail::ImapSuccess)
        return failed(result, target, Side::Target);
    result = target.fetchSummaries(targetCount, onTarget, ignored);
    if (result != mail::ImapSuccess)
        return failed(result, target, Side::Target);
    plan.ignored = ignored;
    result = source.fetchSummaries(sourceCount, onSource, ignored);
    if (result != mail::ImapSuccess)
        return failed(result, source, Side::Source);
    plan.ignored += ignored;
    // A message whose digest is missing can't be told apart: copied, it may
    // be there twice; passed over, it may be lost. The folder is not copied.
    auto digest = [&](mail::SimpleImapClient& client, Side side,
                      const std::vector<unsigned>& numbers, std::vector<MessageSummary>& summaries) {
        std::vector<std::string> digests;
        result = client.fetchDigests(numbers, digests, ignored);
        plan.ignored += ignored;
        if (result != mail::ImapSuccess) {
            failed(result, client, side);
            return false;
        }
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            if (digests[i].empty()) {
                plan.failure = {mail::ImapFetchFailed, side, false,
                    client.getConnection().endpointText() + " did not send all of message "
                        + std::to_string(numbers[i])
                        + ", which only its content tells apart from another"};
                return false;
            }
            summaries[numbers[i] - 1].digest = std::move(digests[i]);
        }
        return true;
    };
    const DigestsWanted unsettled = messagesToDigest(onSource, onTarget);
    if (!digest(target, Side::Target, unsettled.target, onTarget)
        || !digest(source, Side::Source, unsettled.source, onSource))
        return plan;
    plan.settledByDigest = static_cast<unsigned>(unsettled.source.size());
    plan.wanted = messagesToCopy(onSource, onTarget);
    return plan;
}

} // namespace tavir::migration
