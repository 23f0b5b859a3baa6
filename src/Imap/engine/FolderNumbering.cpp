// The numbering of one folder's messages as its copy knows it, and how the
// messages not yet settled are found again by their UIDs.
#include "Imap/engine/FolderNumbering.h"

#include "Imap/engine/Logger.h"

#include <algorithm>

namespace tavir::migration {

namespace {

using NumberedUid = mail::SimpleImapClient::NumberedUid;

// A stretch of the old numbering between two known UIDs, and the messages
// of the new one whose UIDs lie between them.
struct Stretch {
    unsigned first = 1, last = 0; // old numbers, none of them with a known UID
    std::vector<NumberedUid>::const_iterator begin, end; // the messages found there
    bool bounded = true; // false after the last known UID: mail may have arrived
};

void findStretch(const OldNumbering& old, const Stretch& stretch, NewNumbering& out)
{
    const unsigned slots = stretch.last >= stretch.first ? stretch.last - stretch.first + 1 : 0;
    const unsigned found = static_cast<unsigned>(stretch.end - stretch.begin);
    unsigned left = 0;
    for (unsigned n = stretch.first; n <= stretch.last; ++n)
        left += static_cast<unsigned>(old.left.count(n));
    auto copyAll = [&] {
        for (auto it = stretch.begin; it != stretch.end; ++it)
            out.pending.push_back(it->number);
    };
    if (left == 0) {
        // Only messages settled here: what is found is theirs, except after
        // the last known UID, where only what comes after no message can
        // be told to have arrived.
        if (!stretch.bounded && slots == 0) {
            copyAll();
            out.arrived += found;
        }
        return;
    }
    if (found == slots && stretch.bounded) {
        // As many as there were, where none can have arrived: the same
        // messages, in order.
        auto it = stretch.begin;
        for (unsigned n = stretch.first; n <= stretch.last; ++n, ++it)
            if (old.left.count(n)) {
                out.pending.push_back(it->number);
                out.originals[it->number] = n;
            }
        return;
    }
    if (left == slots) {
        // Every message here was left: all found are copied, whichever of
        // them are gone (or, after the last known UID, arrived).
        copyAll();
        out.gone += slots > found ? slots - found : 0;
        // Only where none is found is it known which ones are gone.
        if (found == 0)
            for (unsigned n = stretch.first; n <= stretch.last; ++n)
                out.goneNamed.push_back(n);
        out.arrived += found > slots ? found - slots : 0;
        return;
    }
    for (unsigned n = stretch.first; n <= stretch.last; ++n)
        if (old.left.count(n))
            out.lost.push_back(n);
}

} // namespace

NewNumbering renumberByUid(const OldNumbering& old, const std::vector<NumberedUid>& found)
{
    NewNumbering out;
    std::vector<NumberedUid> above;
    for (const NumberedUid& message : found)
        if (message.uid >= old.fromUid)
            above.push_back(message);
    std::sort(above.begin(), above.end(),
        [](const NumberedUid& a, const NumberedUid& b) { return a.uid < b.uid; });
    // The known UIDs after `from`, and the bound between the messages there
    // at the SELECT and those that arrived after it, in the old order.
    struct Cut {
        unsigned number;
        std::uint32_t uid;
        bool message; // false for the bound
    };
    std::vector<Cut> cuts;
    bool boundHolds = old.boundUid != 0 && old.boundNumber >= old.from;
    std::uint32_t lastUid = 0;
    for (const auto& [number, uid] : old.uids) {
        if (number <= old.from || number > old.count)
            continue;
        if (uid <= lastUid || uid < old.fromUid) {
            // UIDs that do not ascend with the numbers tell nothing.
            for (unsigned n : old.left)
                out.lost.push_back(n);
            return out;
        }
        lastUid = uid;
        boundHolds = boundHolds && (number <= old.boundNumber) == (uid < old.boundUid);
        cuts.push_back({number, uid, true});
    }
    if (boundHolds) {
        auto at = std::find_if(
            cuts.begin(), cuts.end(), [&](const Cut& c) { return c.number > old.boundNumber; });
        cuts.insert(at, {old.boundNumber, old.boundUid, false});
    }
    Stretch stretch;
    stretch.first = old.from + 1;
    stretch.begin = above.begin();
    for (const Cut& cut : cuts) {
        stretch.last = std::min(cut.message ? cut.number - 1 : cut.number, old.count);
        stretch.end = std::find_if(
            stretch.begin, above.cend(), [&](const NumberedUid& m) { return m.uid >= cut.uid; });
        findStretch(old, stretch, out);
        stretch.begin = stretch.end;
        stretch.first = cut.number + 1;
        if (!cut.message)
            continue;
        const bool there = stretch.begin != above.cend() && stretch.begin->uid == cut.uid;
        if (old.left.count(cut.number)) {
            if (there) {
                out.pending.push_back(stretch.begin->number);
                out.originals[stretch.begin->number] = cut.number;
            } else {
                ++out.gone;
                out.goneNamed.push_back(cut.number);
            }
        }
        if (there)
            ++stretch.begin;
    }
    stretch.last = old.count;
    stretch.end = above.cend();
    stretch.bounded = false;
    findStretch(old, stretch, out);
    std::sort(out.goneNamed.begin(), out.goneNamed.end());
    std::sort(out.pending.begin(), out.pending.end());
    out.pending.erase(std::unique(out.pending.begin(), out.pending.end()), out.pending.end());
    return out;
}

FolderNumbering::FolderNumbering(std::uint32_t uidValidity, unsigned count, std::uint32_t uidNext)
    : highest_(count)
    , uidValidity_(uidValidity)
    , boundNumber_(count)
    , boundUid_(uidNext)
{
}

void FolderNumbering::takeIn(unsigned count)
{
    highest_ = std::max(highest_, count);
}

void FolderNumbering::noteUid(unsigned number, std::uint32_t uid)
{
    uids_[number] = uid;
}

bool FolderNumbering::sameUidSeries(std::uint32_t uidValidity) const
{
    return uidValidity_ != 0 && uidValidity == uidValidity_;
}

OldNumbering FolderNumbering::before(const std::set<unsigned>& left) const
{
    OldNumbering old;
    old.count = highest_;
    old.left = left;
    old.uids = uids_;
    old.boundNumber = boundNumber_;
    old.boundUid = boundUid_;
    // The messages before the first one left are settled.
    auto above = uids_.lower_bound(left.empty() ? highest_ + 1 : *left.begin());
    if (above != uids_.begin()) {
        old.from = std::prev(above)->first;
        old.fromUid = std::prev(above)->second + 1;
    }
    return old;
}

void FolderNumbering::foundAgain(const OldNumbering& old, const NewNumbering& anew,
    const std::vector<NumberedUid>& found, unsigned counted)
{
    // Each message keeps the number it had when the folder was selected.
    std::map<unsigned, unsigned> originals;
    for (const auto& [number, before] : anew.originals) {
        auto first = originals_.find(before);
        if (!foundAgain_ || first != originals_.end())
            originals[number] = foundAgain_ ? first->second : before;
    }
    originals_ = std::move(originals);
    foundAgain_ = true;
    uids_.clear();
    for (const NumberedUid& message : found)
        uids_[message.number] = message.uid;
    // "n:*" names the folder's last message whatever its UID: the new
    // numbering is taken in up to it, and what arrives later has UIDs above
    // it. Messages counted beyond it (a server that left the last one out,
    // or mail announced after the answer) are not taken for arrivals to
    // copy: the next run finds what they are.
    const unsigned lastFound = found.empty() ? 0 : found.back().number;
    highest_ = std::max(lastFound, counted);
    boundNumber_ = highest_;
    boundUid_ = highest_ == 0 ? old.fromUid : lastFound == highest_ ? found.back().uid + 1 : 0;
}

std::wstring FolderNumbering::label(unsigned number) const
{
    if (!foundAgain_)
        return std::to_wstring(number);
    auto uid = uids_.find(number);
    auto original = originals_.find(number);
    if (uid == uids_.end())
        return original == originals_.end() ? std::to_wstring(number)
                                            : std::to_wstring(original->second);
    if (original == originals_.end())
        return sentence(L"with UID %1%", uid->second);
    return sentence(L"%1% (UID %2%)", original->second, uid->second);
}

std::wstring FolderNumbering::labels(const std::vector<unsigned>& numbers) const
{
    std::wstring text;
    for (unsigned n : numbers)
        text += (text.empty() ? L"" : L", ") + label(n);
    return text;
}

} // namespace tavir::migration
