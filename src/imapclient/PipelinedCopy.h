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

    SimpleImapClient& source_;
    ConnectionInternal& from_; // the source's connection
    CopyRun& run_;
    FetchMessage message_;
    AppendWindow window_;
    // Large bodies whose date or flags came after them, fetched again on
    // their own once the reply has ended.
    std::vector<unsigned> deferred_;
    bool fetchWritten_ = false;
};

} // namespace tavir::mail
