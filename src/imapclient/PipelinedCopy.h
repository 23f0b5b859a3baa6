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

#include <map>
#include <string>
#include <vector>

namespace tavir::mail {

class ReplyReader;
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
    // Sends the FETCH and hands each body asked for to the window, until
    // the reply ends or something ends the run; the source's failures throw.
    void readRange(const std::string& fetchCommand);
    // Hands a body asked for to the window: false when the run can't go on
    // (run.end says why, or it was aborted). `reader` is the FETCH's, while
    // its reply is being read: the end of the reply is then read when the
    // target ended the run and nothing more is wanted of it.
    bool handOn(unsigned number, FetchMessage& message, ReplyReader* reader);
    // Copies the messages whose bodies came before their date and flags and
    // were too large to hold: each on its own, date and flags first.
    void copyDeferred();
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
    bool lacksItems();
    // Reads and drops the body in hand; false when the source failed inside
    // it, which ends the run.
    bool dropInHand();
    // Once the answer has ended: asks again for the messages from the first
    // that lacked its date or flags on (restFrom_), their date and flags
    // first.
    void askAgain(const std::string& fetchCommand);
    // Asks for the date and the flags of the FETCH's messages first.
    void prefetchItems(const std::string& fetchCommand);
    // A reply over the line limit, read and dropped: the message it
    // answers fails, and the run goes on.
    void refuseOverLong(const std::string& head);
    // A reply that gives a part of the body (BODY[]<0>): the message fails,
    // the part is dropped. False when the source failed inside it.
    bool refusePartial(unsigned number, bool literalLeft);

    SimpleImapClient& source_;
    ConnectionInternal& from_; // the source's connection
    CopyRun& run_;
    FetchMessage message_;
    AppendWindow window_;
    // Large bodies whose date or flags came after them, fetched again on
    // their own once the reply has ended.
    std::vector<unsigned> deferred_;
    // What replies without a body gave of messages asked for, until their
    // bodies come.
    std::map<unsigned, FetchMessage::Items> items_;
    // The date and the flags were asked for before the bodies.
    bool prefetched_ = false;
    // The first message whose body came without its date or flags: from it
    // on, the bodies of this answer are dropped, to be asked for again.
    unsigned restFrom_ = 0;
    bool fetchWritten_ = false;
};

} // namespace tavir::mail
