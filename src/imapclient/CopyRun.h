#pragma once
// The messages one pipelined copy asks the source for, and what became of
// each. Every FETCH reply is tied to the number it answers: a body for a
// number that was not asked for, or a second body for one number, is read
// and dropped (and said so), never appended; a number that got no answer
// is known by name, so the caller can try it again or count it. A message
// that failed carries its failure (code, side and sentence), and so does a
// run that ended early: nobody has to find out afterwards which connection
// failed.
#include "imapclient/Failure.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tavir::mail {

// A FETCH's message set for `numbers` (ascending, distinct): "1:5,7,9:12".
std::string sequenceSet(const std::vector<unsigned>& numbers);

class CopyRun {
public:
    enum class Fate : std::uint8_t {
        Unanswered, // no body came for it (yet)
        Copied, // appended, and the target said OK
        Failed, // its body came, but it is not known to be on the target
        // The source said it is gone: another session expunged it after it
        // was counted, and no body came for it. Neither copied nor failed.
        Removed,
    };

    // The messages `numbers` (ascending, distinct, none 0).
    explicit CopyRun(std::vector<unsigned> numbers);
    // Every message from `first` on, however many the source has ("first:*").
    static CopyRun from(unsigned first);

    const std::vector<unsigned>& numbers() const { return numbers_; }
    // The FETCH's message set: "1:5,7,9:12", or "first:*".
    std::string sequenceSet() const;
    // The message set of the numbers from `first` on that are still wanted.
    std::string sequenceSetFrom(unsigned first) const;

    // True when `number` was asked for, whatever became of it.
    bool asks(unsigned number) const;
    // True when `number` was asked for and its body has not come yet: its
    // body may be appended.
    bool wants(unsigned number) const;
    // The source named the body of `number` and gave none in its place
    // (BODY[] NIL): no body is taken for it any more, and what became of it
    // is settled once the answer has ended, whose tagged line may say that
    // another session expunged it.
    void withhold(unsigned number) { withheld_.insert(number); }
    const std::set<unsigned>& withheld() const { return withheld_; }
    bool withheld(unsigned number) const { return withheld_.count(number) != 0; }
    // Records that the body of a number asked for came and went to the
    // target, whose answer settles it later.
    void take(unsigned number) { taken_.insert(number); }
    // Records the UID a reply gave for a number asked for; uid() is 0 for
    // a number none was given for. The first UID given for a number holds,
    // and a UID noted for one number is never taken for another: a reply
    // that says otherwise (a second body, news after an EXPUNGE miscounted)
    // changes neither.
    void noteUid(unsigned number, std::uint32_t uid);
    std::uint32_t uid(unsigned number) const;
    bool taken(unsigned number) const { return taken_.count(number) != 0; }
    // The number a UID was noted for; 0 when none was.
    unsigned numberOfUid(std::uint32_t uid) const;
    // An EXPUNGE inside the FETCH's answer (RFC 3501 forbids it there; some
    // servers send it anyway): the message the answer now numbers `current`
    // is gone, and the answer numbers every message after it one lower.
    // Returns the number the FETCH asked for it by.
    unsigned expunge(unsigned current);
    // The number the FETCH asked for the message that the answer numbers
    // `current`, the EXPUNGEs in it so far taken into account.
    unsigned asked(unsigned current) const;
    // The numbers asked for that the answer expunged, ascending.
    const std::vector<unsigned>& expunged() const { return expunged_; }
    // True while some number asked for has no answer.
    bool wantsMore() const { return open_ || answered_.size() < numbers_.size(); }
    // Records the answer for a number; a number is settled once.
    void settle(unsigned number, Fate fate);
    // Called, when set, after each number is settled, on the thread that
    // settles it: the copy's progress message by message, where the run's
    // counts are known only once the whole run has ended.
    std::function<void(const CopyRun&)> onSettled;
    // Settles a number as Failed, with why.
    void fail(unsigned number, Failure failure);
    Fate fate(unsigned number) const;
    // Why a Failed number failed; null for the others.
    const Failure* failure(unsigned number) const;
    // The first failure that leaves the target holding a message nobody
    // knows about (an APPEND written whole whose answer was lost), or null:
    // such a message must never be sent again.
    const Failure* lostAnswer() const;
    // The Failed numbers whose APPEND answer was lost, in order.
    std::vector<unsigned> lostAnswers() const;
    unsigned copied() const { return copied_; }
    unsigned failed() const { return failed_; }
    // The numbers settled as Removed, in order.
    std::vector<unsigned> removedNumbers() const;
    // Records that message `number` carries keywords ($Forwarded, $Label1),
    // which its copy leaves behind: the target keeps the standard flags.
    void leavesKeywords(unsigned number) { keywords_.insert(number); }
    // The messages copied whose keywords were left behind.
    unsigned keywordsLeft() const { return keywordsLeft_; }
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
    // unanswered is one it did not send. `end`: what ended the run early
    // (the first failure that did), its code ImapSuccess when nothing did.
    bool completed = false;
    Failure end;
    // Records what ended the run, unless something already had.
    void endWith(Failure failure);

private:
    // An APPEND whose answer never came: its connection broke or fell
    // silent while the answer was awaited.
    static bool isLostAnswer(const Failure& failure);

    std::vector<unsigned> numbers_;
    bool open_ = false; // every number from numbers_[0] on
    std::map<unsigned, Fate> answered_;
    std::map<unsigned, Failure> failures_;
    std::set<unsigned> taken_;
    std::set<unsigned> withheld_;
    std::set<unsigned> keywords_; // messages whose keywords are not copied
    std::map<unsigned, std::uint32_t> uids_;
    std::map<std::uint32_t, unsigned> numbersByUid_;
    std::vector<unsigned> expunged_;
    unsigned copied_ = 0;
    unsigned keywordsLeft_ = 0;
    unsigned failed_ = 0;
    unsigned highest_ = 0;
    std::vector<std::string> ignored_;
    unsigned ignoredCount_ = 0;
};

} // namespace tavir::mail
