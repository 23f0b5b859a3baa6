// Matching a source folder's messages against what its target folder holds.
#include "Imap/engine/FolderResume.h"

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <tuple>

namespace tavir::migration {

using mail::ImapClientResult;
using mail::MessageSummary;

namespace {

using Summaries = std::vector<MessageSummary>;

// What a message is matched by before its digest.
using Key = std::tuple<std::uint32_t, std::int64_t, std::string_view>;

// A message of known size and date has a key; one whose date is not known
// is left to the second stage.
bool hasKey(const MessageSummary& message)
{
    return message.known && message.dated;
}

Key keyOf(const MessageSummary& message)
{
    return Key(message.size, message.instant, message.messageId);
}

// Which messages of each side the first stage matched.
struct Matched {
    std::vector<bool> source, target;
};

// The multiset match by key, and by digest where the key was not enough.
Matched matchByKey(const Summaries& source, const Summaries& target)
{
    Matched matched{std::vector<bool>(source.size()), std::vector<bool>(target.size())};
    std::map<std::pair<Key, std::string_view>, std::deque<std::size_t>> held;
    for (std::size_t j = 0; j < target.size(); ++j)
        if (hasKey(target[j]))
            held[{keyOf(target[j]), target[j].digest}].push_back(j);
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (!hasKey(source[i]))
            continue;
        auto there = held.find({keyOf(source[i]), source[i].digest});
        if (there == held.end() || there->second.empty())
            continue;
        matched.source[i] = true;
        matched.target[there->second.front()] = true;
        there->second.pop_front();
    }
    return matched;
}

// The second stage's view of the messages the first left over.
class Leftovers {
public:
    Leftovers(const Summaries& source, const Summaries& target, const Matched& matched)
        : sides_{&source, &target}
        , matched_{&matched.source, &matched.target}
    {
        for (int side : {0, 1})
            for (std::size_t i = 0; i < sides_[side]->size(); ++i) {
                const MessageSummary& message = (*sides_[side])[i];
                if (message.known && !message.messageId.empty())
                    ++ids_[message.messageId][side];
                leftover_[side] = leftover_[side] || left(side, i);
                undescribed_[side] = undescribed_[side] || undescribed(side, i);
            }
    }

    bool left(int side, std::size_t i) const
    {
        return (*sides_[side])[i].known && !(*matched_[side])[i];
    }

    // A message its server did not describe whole (no size, no Message-ID
    // field, no answer): it may be any message of the other side that is
    // not accounted for, and only its content can say which.
    bool undescribed(int side, std::size_t i) const { return !(*sides_[side])[i].known; }

    // Whether `side` holds a message the keys left over, and one not
    // described whole: either may be the copy of an undescribed message of
    // the other side.
    bool holdsLeftover(int side) const { return leftover_[side]; }
    bool holdsUndescribed(int side) const { return undescribed_[side]; }

    // A Message-ID held by one message on each side names the same message
    // on both, whatever its date.
    bool uniqueId(std::string_view id) const
    {
        auto found = ids_.find(id);
        return found != ids_.end() && found->second[0] == 1 && found->second[1] == 1;
    }

    const Summaries& side(int side) const { return *sides_[side]; }

private:
    const Summaries* sides_[2];
    const std::vector<bool>* matched_[2];
    std::map<std::string_view, std::array<unsigned, 2>> ids_;
    std::array<bool, 2> leftover_{}, undescribed_{};
};

// Whether `held` holds a value other than `value`.
template <class T> bool another(const std::set<T>& held, const T& value)
{
    return held.size() > 1 || (held.size() == 1 && *held.begin() != value);
}

// Takes the first message held under `key` that is not taken yet.
std::optional<std::size_t> takeFirst(std::map<std::string_view, std::deque<std::size_t>>& held,
    std::string_view key, const std::vector<bool>& taken)
{
    auto found = held.find(key);
    while (found != held.end() && !found->second.empty()) {
        const std::size_t j = found->second.front();
        found->second.pop_front();
        if (!taken[j])
            return j;
    }
    return std::nullopt;
}

} // namespace

DigestsWanted messagesToDigest(const Summaries& source, const Summaries& target)
{
    // How many messages of the source and of the target hold each key.
    std::map<Key, std::pair<unsigned, unsigned>> held;
    for (const MessageSummary& message : source)
        if (hasKey(message))
            ++held[keyOf(message)].first;
    for (const MessageSummary& message : target)
        if (hasKey(message))
            ++held[keyOf(message)].second;
    auto unsettled = [&](const MessageSummary& message) {
        if (!hasKey(message))
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

DigestsWanted leftoversToDigest(const Summaries& source, const Summaries& target)
{
    const Matched matched = matchByKey(source, target);
    const Leftovers left(source, target, matched);
    // What each side left over holds: the sizes under a date and a
    // Message-ID (a size that disagrees), the Message-IDs under a size and
    // a date (a Message-ID read two ways), and per size and Message-ID how
    // many messages are dated and undated (a date that can't be read).
    std::map<std::pair<std::int64_t, std::string_view>, std::array<std::set<std::uint32_t>, 2>>
        sizesByDate;
    std::map<std::pair<std::uint32_t, std::int64_t>, std::array<std::set<std::string_view>, 2>>
        idsBySizeAndDate;
    struct Held {
        std::array<unsigned, 2> dated{}, undated{};
    };
    std::map<std::pair<std::uint32_t, std::string_view>, Held> bySize;
    std::map<std::string_view, std::array<const MessageSummary*, 2>> byUniqueId;
    for (int side : {0, 1})
        for (std::size_t i = 0; i < left.side(side).size(); ++i) {
            if (!left.left(side, i))
                continue;
            const MessageSummary& m = left.side(side)[i];
            if (m.dated) {
                sizesByDate[{m.instant, m.messageId}][side].insert(m.size);
                idsBySizeAndDate[{m.size, m.instant}][side].insert(m.messageId);
            }
            Held& held = bySize[{m.size, m.messageId}];
            ++(m.dated ? held.dated : held.undated)[side];
            if (left.uniqueId(m.messageId))
                byUniqueId[m.messageId][side] = &m;
        }
    auto wanted = [&](int side, const MessageSummary& m) {
        const int other = 1 - side;
        if (left.holdsUndescribed(other))
            return true;
        if (m.dated
            && (another(sizesByDate.at({m.instant, m.messageId})[other], m.size)
                || another(idsBySizeAndDate.at({m.size, m.instant})[other],
                    std::string_view(m.messageId))))
            return true;
        if (left.uniqueId(m.messageId)) {
            // Matched by its Message-ID when either is undated and the sizes
            // agree; by the digests when they do not.
            const MessageSummary* twin = byUniqueId.at(m.messageId)[other];
            return twin != nullptr && (!m.dated || !twin->dated) && twin->size != m.size;
        }
        const Held& held = bySize.at({m.size, m.messageId});
        return held.undated[other] > 0 || (!m.dated && held.dated[other] > 0);
    };
    DigestsWanted digests;
    for (int side : {0, 1})
        for (std::size_t i = 0; i < left.side(side).size(); ++i) {
            const MessageSummary& m = left.side(side)[i];
            if (!m.digest.empty())
                continue;
            const bool ask = left.undescribed(side, i)
                ? left.holdsLeftover(1 - side) || left.holdsUndescribed(1 - side)
                : left.left(side, i) && wanted(side, m);
            if (ask)
                (side == 0 ? digests.source : digests.target)
                    .push_back(static_cast<unsigned>(i + 1));
        }
    return digests;
}

std::vector<unsigned> messagesToCopy(const Summaries& source, const Summaries& target)
{
    Matched matched = matchByKey(source, target);
    const Leftovers left(source, target, matched);
    // The target's messages left over: by digest (equal digests are the
    // same bytes, whatever the sizes and dates the servers give), and by a
    // Message-ID held once on each side.
    std::map<std::string_view, std::deque<std::size_t>> byDigest;
    std::map<std::string_view, std::size_t> byUniqueId;
    for (std::size_t j = 0; j < target.size(); ++j) {
        if (!left.left(1, j) && !left.undescribed(1, j))
            continue;
        if (!target[j].digest.empty())
            byDigest[target[j].digest].push_back(j);
        if (left.left(1, j) && left.uniqueId(target[j].messageId))
            byUniqueId[target[j].messageId] = j;
    }
    std::vector<bool>& taken = matched.target;
    // A leftover source message's copy on the target, if there is one.
    auto copyOf = [&](const MessageSummary& s) -> std::optional<std::size_t> {
        auto twin = s.known ? byUniqueId.find(s.messageId) : byUniqueId.end();
        if (twin != byUniqueId.end()) {
            const MessageSummary& t = target[twin->second];
            if (!taken[twin->second] && t.size == s.size && (!s.dated || !t.dated))
                return twin->second;
        }
        if (s.digest.empty())
            return std::nullopt;
        return takeFirst(byDigest, s.digest, taken);
    };
    std::vector<unsigned> wanted;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (matched.source[i])
            continue;
        if (const std::optional<std::size_t> j = copyOf(source[i])) {
            taken[*j] = true;
            continue;
        }
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
    // So too a message described in part, whose content was its last
    // chance.
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
                const std::string server = asked.client.getConnection().endpointText();
                const std::string message = "message " + std::to_string(numbers[i]);
                plan.failure = {mail::ImapFetchFailed, asked.side, false,
                    summaries[numbers[i] - 1].known
                        ? server + " did not send all of " + message
                            + ", which only its content tells apart from another"
                        : server + " did not give the size, date and Message-ID of " + message
                            + " whole, nor all of its content, which would tell it apart from "
                              "another"};
                return false;
            }
            summaries[numbers[i] - 1].digest = std::move(digests[i]);
        }
        return true;
    };
    // The digests the keys need, then those the messages they leave over
    // need (none, unless a server bends the rules): a second FETCH on a side
    // only where there are such messages.
    for (auto wanted : {messagesToDigest, leftoversToDigest}) {
        const DigestsWanted unsettled = wanted(sourceSummaries, targetSummaries);
        if (!digest(onTarget, unsettled.target, targetSummaries)
            || !digest(onSource, unsettled.source, sourceSummaries))
            return plan;
        plan.settledByDigest += static_cast<unsigned>(unsettled.source.size());
    }
    plan.wanted = messagesToCopy(sourceSummaries, targetSummaries);
    return plan;
}

} // namespace tavir::migration
