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
    // Each client with the side it is asked as: a failure is that side's.
    struct Asked {
        mail::SimpleImapClient& client;
        mail::Side side;
    };
    const Asked onSource{source, mail::Side::Source}, onTarget{target, mail::Side::Target};
    ResumePlan plan;
    auto failed = [&](ImapClientResult code, const Asked& asked) {
        plan.failure = asked.client.lastFailure(code, asked.side);
        return plan;
    };
    std::vector<MessageSummary> targetSummaries, sourceSummaries;
    unsigned ignored = 0;
    ImapClientResult result = target.select(folder.targetName);
    if (result != mail::ImapSuccess)
        return failed(result, onTarget);
    result = target.fetchSummaries(targetCount, targetSummaries, ignored);
    if (result != mail::ImapSuccess)
        return failed(result, onTarget);
    plan.ignored = ignored;
    result = source.fetchSummaries(sourceCount, sourceSummaries, ignored);
    if (result != mail::ImapSuccess)
        return failed(result, onSource);
    plan.ignored += ignored;
    // A message whose digest is missing can't be told apart: copied, it may
    // be there twice; passed over, it may be lost. The folder is not copied.
    auto digest = [&](const Asked& asked, const std::vector<unsigned>& numbers,
                      std::vector<MessageSummary>& summaries) {
        std::vector<std::string> digests;
        result = asked.client.fetchDigests(numbers, digests, ignored);
        plan.ignored += ignored;
        if (result != mail::ImapSuccess) {
            failed(result, asked);
            return false;
        }
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            if (digests[i].empty()) {
                plan.failure = {mail::ImapFetchFailed, asked.side, false,
                    asked.client.getConnection().endpointText() + " did not send all of message "
                        + std::to_string(numbers[i])
                        + ", which only its content tells apart from another"};
                return false;
            }
            summaries[numbers[i] - 1].digest = std::move(digests[i]);
        }
        return true;
    };
    const DigestsWanted unsettled = messagesToDigest(sourceSummaries, targetSummaries);
    if (!digest(onTarget, unsettled.target, targetSummaries)
        || !digest(onSource, unsettled.source, sourceSummaries))
        return plan;
    plan.settledByDigest = static_cast<unsigned>(unsettled.source.size());
    plan.wanted = messagesToCopy(sourceSummaries, targetSummaries);
    return plan;
}

} // namespace tavir::migration
