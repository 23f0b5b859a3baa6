#pragma once
// The messages one pipelined copy asks the source for, and what became of
// each. Every FETCH reply is tied to the number it answers: a body for a
// number that was not asked for, or a second body for one number, is read
// and dropped (and said so), never appended; a number that got no answer
// is known by name, so the caller can try it again or count it.
#include "imapclient/ImapException.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavir::mail {

class CopyRun {
public:
    enum class Fate : std::uint8_t {
        Unanswered, // no body came for it (yet)
        Copied, // appended, and the target said OK
        Failed, // its body came, but it is not known to be on the target
    };

    // The messages `numbers` (ascending, distinct, none 0).
    explicit CopyRun(std::vector<unsigned> numbers);
    // Every message from `first` on, however many the source has ("first:*").
    static CopyRun from(unsigned first);

    const std::vector<unsigned>& numbers() const { return numbers_; }
    // The FETCH's message set: "1:5,7,9:12", or "first:*".
    std::string sequenceSet() const;

    // True when `number` was asked for and has no answer yet: its body may
    // be appended.
    bool wants(unsigned number) const;
    // True while some number asked for has no answer.
    bool wantsMore() const { return open_ || answered_.size() < numbers_.size(); }
    // Records the answer for a number; a number is settled once.
    void settle(unsigned number, Fate fate);
    Fate fate(unsigned number) const;
    unsigned copied() const { return copied_; }
    unsigned failed() const { return failed_; }
    // The highest number that got an answer, 0 before any.
    unsigned highestAnswered() const { return highest_; }
    // The numbers asked for that have no answer, in order (none for an open run).
    std::vector<unsigned> unanswered() const;

    // A reply that was read and not used, as a few words ("a body for
    // message 999, which was not asked for"). The first few are kept for the
    // log; all are counted.
    void ignore(const std::string& what);
    const std::vector<std::string>& ignored() const { return ignored_; }
    unsigned ignoredCount() const { return ignoredCount_; }
    static constexpr std::size_t ignoredKept = 10;

    // What the run ended on, set by the copy. `completed`: the source's
    // tagged answer to the FETCH was read, so every number it left
    // unanswered is one it did not send. `sourceTimedOut`: the source did
    // not answer in time. `appendResult`: the result of the APPEND that
    // ended the run, when the target's side ended it. `why`: one sentence
    // naming what ended the run early, empty otherwise.
    bool completed = false;
    bool sourceTimedOut = false;
    ImapClientResult appendResult = ImapSuccess;
    std::string why;

private:
    std::vector<unsigned> numbers_;
    bool open_ = false; // every number from numbers_[0] on
    std::map<unsigned, Fate> answered_;
    unsigned copied_ = 0;
    unsigned failed_ = 0;
    unsigned highest_ = 0;
    std::vector<std::string> ignored_;
    unsigned ignoredCount_ = 0;
};

} // namespace tavir::mail
