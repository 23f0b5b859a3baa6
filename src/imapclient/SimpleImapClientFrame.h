#pragma once
// The frame shared by the client's operations that send one command; only
// the client's own source files include this.
#include "imapclient/ImapException.h"
#include "imapclient/SimpleImapClient.h"

namespace tavir::mail {

// The frame of an operation that sends one command: `run` builds and runs
// it and returns the completion status (OK, NO, BAD) or a result code of its
// own (above BAD) after its success step.
template <class Run>
SimpleImapClient::ImapClientResult SimpleImapClient::simple(ImapClientResult refusal, Run run)
{
    if (!connected_)
        return ImapNotConnected;
    try {
        ImapClientResult result = run();
        if (result == ImapSuccess)
            return ImapSuccess;
        recordError();
        return refusal;
    } catch (const ImapException& e) {
        recordError();
        return handleImapException(e, refusal);
    }
}

} // namespace tavir::mail
