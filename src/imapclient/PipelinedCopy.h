#pragma once
// The pipelined copy of a run of messages from the selected folder of the
// source client into a folder of the target client: one FETCH asks the
// source for the whole run, each body asked for goes to the target as an
// APPEND as soon as it is in (AppendWindow), and every reply is tied to the
// number it answers (CopyRun). The copy holds both clients while it runs
// and says once how it ended; each client then records its own server's
// failure (SimpleImapClient::copyMessages).
#include "imapclient/AppendWindow.h"
#include "imapclient/CopyRun.h"
#include "imapclient/Failure.h"
#include "imapclient/FetchMessage.h"
#include "imapclient/ReplyReader.h"

#include <map>
#include <string>
#include <vector>

namespace tavir::mail {

class SimpleImapClient;

class PipelinedCopy {
public:
    // `folder` is the target folder's wire name (modified UTF-7).
    PipelinedCopy(
        SimpleImapClient& source, SimpleImapClient& target, std::string folder, CopyRun& run);
    PipelinedCopy(const PipelinedCopy&) = delete;
    PipelinedCopy& operator=(const PipelinedCopy&) = delete;

    // Sends `fetchCommand` (the FETCH of the run, tagged) to the source and
    // appends each body asked for; once only. Returns what ended the run
    // (run.end, its code ImapSuccess when nothing did): the servers'
    // failures are caught and said there, our own (no memory) leave as
    // exceptions. Either way every APPEND written has its answer read (or
    // lost), and a source whose reply was not read to its end is closed.
    const Failure& copy(const std::string& fetchCommand);

private:
    // What one FETCH answer has given and left to do, made anew for each
    // answer: the run's, and the one that asks again.
    struct Answer {
        // The one message the answer asked for; 0 when it asked for several.
        unsigned only = 0;
        // The date and the flags were asked for before the bodies.
        bool prefetched = false;
        // The first message whose body came without its date or flags: from
        // it on, the bodies of this answer are dropped, to be asked for
        // again.
        unsigned restFrom = 0;
        // Large bodies whose date or flags came after them, fetched again on
        // their own once the answer has ended.
        std::vector<unsigned> deferred;
    };
    // What follows a reply: the next reply; the next message, whose
    // deadline starts now; or nothing (the answer or the run has ended).
    enum class Next { Reply, Message, End };

    // Sends the FETCH, the date and the flags asked for first where the
    // source splits them, and takes its replies until the answer ends or
    // something ends the run; the source's failures throw.
    Answer readAnswer(const std::string& fetchCommand);
    // One reply of the answer, by what it is: the tagged end, an EXPUNGE, a
    // reply over the line limit, a part of a body, news, or a body.
    Next takeReply(const ReplyReader::Reply& reply, ReplyReader& reader, Answer& answer);
    // What the FETCH reply of message `number` said of it, once that reply
    // has ended (or the run ended inside it), wherever in the reply it
    // stood, before the body or after it: the run notes the UID, by which
    // the message is found again once an EXPUNGE numbers the folder
    // otherwise. The one place where a reply's items reach the run; a
    // number not asked for is nobody's.
    void noteItems(unsigned number);
    // The answer's tagged end: the messages the source gave no body for
    // are settled where it says why, and the deferred bodies are fetched.
    Next endAnswer(const ReplyReader::Reply& tagged, const Answer& answer);
    // A message asked for alone that got no body (none came, or NIL came in
    // its place), in an answer whose tagged line says EXPUNGEISSUED (RFC
    // 5530: another session expunged messages asked for), is gone from the
    // source: Removed, not failed. Of several messages asked for at once,
    // the code does not say which are gone: those are failed or left
    // unanswered here, and their caller asks for each alone.
    void settleGone(const ReplyReader::Reply& tagged, const Answer& answer);
    // Fails the messages whose body the source gave as NIL and that nothing
    // settled otherwise.
    void failWithheld();
    // What ends the run early, said by the source.
    Next endRun(ImapClientResult code, const std::string& why);
    // A reply, loaded into the message in hand, that gave no body for
    // message `number`: news, or items of a message asked for, kept; or a
    // body given as NIL, withheld until the answer's end.
    Next takeNews(unsigned number, bool answersForBody);
    // The body of message `number` (0: none known) in hand: dropped when
    // it was not asked for or is to be asked for again, else read ahead
    // where it must be, and handed on, deferred or refused.
    Next takeBody(unsigned number, ReplyReader& reader, Answer& answer);
    // Reads ahead the body in hand, whose date or flags may still follow
    // it: with the rest of its reply before its APPEND is made, or dropped
    // to be fetched later where it is too large to hold (`later`). False
    // when the source failed inside it: the message fails and the run ends.
    // A reply refused once read to its end leaves its failure in the
    // message (FetchMessage::sourceFailure), and the run goes on.
    bool readAhead(unsigned number, bool& later);
    // Hands a body asked for to the window: false when the run can't go on
    // (run.end says why, or it was aborted). `reader` is the FETCH's, while
    // its reply is being read: the end of the reply is then read when the
    // target ended the run and nothing more is wanted of it.
    bool handOn(unsigned number, FetchMessage& message, ReplyReader* reader);
    // Copies the messages whose bodies came before their date and flags and
    // were too large to hold: each on its own, date and flags first.
    void copyDeferred(const std::vector<unsigned>& numbers);
    // The number the FETCH asked for the message `reply` answers: its
    // number in the answer with the EXPUNGEs before it taken into account,
    // or the number its UID was noted for; 0 when its UID belongs to no
    // message known and its number to another.
    unsigned askedNumber(const FetchMessage& reply) const;
    // Keeps what a reply without a body gave of message `number` (its date,
    // flags and UID): one answer may split a message's items over replies.
    void keepItems(unsigned number, FetchMessage& reply);
    // Gives the message in hand what was kept for it.
    void takeKeptItems(unsigned number);
    // True when the message in hand still lacks its date or flags once its
    // reply has ended, where they were not asked for first: the source is
    // noted as one that splits its replies.
    bool lacksItems(const Answer& answer);
    // Reads and drops the body in hand; false when the source failed inside
    // it, which ends the run.
    bool dropInHand();
    // The FETCH that asks again, once the first answer has ended, for the
    // messages from the first that lacked its date or flags on
    // (first.restFrom), their date and flags first; empty when none is to
    // be asked for again.
    std::string askAgainCommand(const std::string& fetchCommand, const Answer& first);
    // Asks for the date and the flags of the FETCH's messages first: true
    // when the source answered OK.
    bool prefetchItems(const std::string& fetchCommand);
    // A reply over the line limit, read and dropped: the message it
    // answers fails, and the run goes on.
    void refuseOverLong(const std::string& head);
    // A reply that gives a part of the body (BODY[]<0>): the message fails,
    // the part is dropped.
    Next refusePartial(unsigned number, const ReplyReader::Reply& reply);

    SimpleImapClient& source_;
    ConnectionInternal& from_; // the source's connection
    CopyRun& run_;
    FetchMessage message_;
    AppendWindow window_;
    // What replies without a body gave of messages asked for, until their
    // bodies come (in this answer or the one that asks again).
    std::map<unsigned, FetchMessage::Items> items_;
    bool fetchWritten_ = false;
};

} // namespace tavir::mail
