// The numbers of one pipelined copy and the fate of each.
#include "imapclient/CopyRun.h"

#include <algorithm>

namespace tavir::mail {

CopyRun::CopyRun(std::vector<unsigned> numbers)
    : numbers_(std::move(numbers))
{
}

CopyRun CopyRun::from(unsigned first)
{
    CopyRun run({first});
    run.open_ = true;
    return run;
}

std::string sequenceSet(const std::vector<unsigned>& numbers)
{
    std::string set;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t end = i;
        while (end + 1 < numbers.size() && numbers[end + 1] == numbers[end] + 1)
            ++end;
        if (!set.empty())
            set += ',';
        set += std::to_string(numbers[i]);
        if (end > i)
            set += ':' + std::to_string(numbers[end]);
        i = end + 1;
    }
    return set;
}

std::string CopyRun::sequenceSet() const
{
    if (open_)
        return std::to_string(numbers_.front()) + ":*";
    return mail::sequenceSet(numbers_);
}

std::string CopyRun::sequenceSetFrom(unsigned first) const
{
    if (open_)
        return std::to_string(first) + ":*";
    std::vector<unsigned> left;
    for (unsigned number : numbers_)
        if (number >= first && wants(number))
            left.push_back(number);
    return mail::sequenceSet(left);
}

bool CopyRun::asks(unsigned number) const
{
    if (number == 0)
        return false;
    if (open_)
        return number >= numbers_.front();
    return std::binary_search(numbers_.begin(), numbers_.end(), number);
}

bool CopyRun::wants(unsigned number) const
{
    return asks(number) && !answered_.count(number) && !taken(number) && !withheld(number);
}

void CopyRun::noteUid(unsigned number, std::uint32_t uid)
{
    if (uid == 0 || uids_.count(number) != 0 || numbersByUid_.count(uid) != 0)
        return;
    uids_[number] = uid;
    numbersByUid_[uid] = number;
}

std::uint32_t CopyRun::uid(unsigned number) const
{
    auto found = uids_.find(number);
    return found == uids_.end() ? 0 : found->second;
}

unsigned CopyRun::numberOfUid(std::uint32_t uid) const
{
    auto found = numbersByUid_.find(uid);
    return found == numbersByUid_.end() ? 0 : found->second;
}

unsigned CopyRun::expunge(unsigned current)
{
    const unsigned number = asked(current);
    expunged_.insert(std::upper_bound(expunged_.begin(), expunged_.end(), number), number);
    return number;
}

unsigned CopyRun::asked(unsigned current) const
{
    // Each message expunged before it moved it one down.
    unsigned number = current;
    for (unsigned gone : expunged_)
        if (gone <= number)
            ++number;
    return number;
}

void CopyRun::settle(unsigned number, Fate fate)
{
    if (!answered_.emplace(number, fate).second)
        return;
    copied_ += fate == Fate::Copied;
    failed_ += fate == Fate::Failed;
    keywordsLeft_ += fate == Fate::Copied && keywords_.count(number) != 0;
    highest_ = std::max(highest_, number);
    if (onSettled)
        onSettled(*this);
}

void CopyRun::fail(unsigned number, Failure failure)
{
    if (answered_.count(number))
        return;
    settle(number, Fate::Failed);
    failures_.emplace(number, std::move(failure));
}

const Failure* CopyRun::failure(unsigned number) const
{
    auto found = failures_.find(number);
    return found == failures_.end() ? nullptr : &found->second;
}

bool CopyRun::isLostAnswer(const Failure& failure)
{
    return failure.side == Side::Target && failure.code == ImapConnectionError;
}

const Failure* CopyRun::lostAnswer() const
{
    for (const auto& [number, failure] : failures_)
        if (isLostAnswer(failure))
            return &failure;
    return nullptr;
}

std::vector<unsigned> CopyRun::lostAnswers() const
{
    std::vector<unsigned> lost;
    for (const auto& [number, failure] : failures_)
        if (isLostAnswer(failure))
            lost.push_back(number);
    return lost;
}

void CopyRun::endWith(Failure failure)
{
    if (end.code == ImapSuccess)
        end = std::move(failure);
}

CopyRun::Fate CopyRun::fate(unsigned number) const
{
    auto found = answered_.find(number);
    return found == answered_.end() ? Fate::Unanswered : found->second;
}

std::vector<unsigned> CopyRun::removedNumbers() const
{
    std::vector<unsigned> removed;
    for (const auto& [number, fate] : answered_)
        if (fate == Fate::Removed)
            removed.push_back(number);
    return removed;
}

std::vector<unsigned> CopyRun::unanswered() const
{
    std::vector<unsigned> left;
    if (open_)
        return left;
    for (unsigned number : numbers_)
        if (!answered_.count(number))
            left.push_back(number);
    return left;
}

void CopyRun::ignore(const std::string& what)
{
    if (ignored_.size() < ignoredKept)
        ignored_.push_back(what);
    ++ignoredCount_;
}

} // namespace tavir::mail
