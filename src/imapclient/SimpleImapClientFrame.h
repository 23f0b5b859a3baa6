#pragma once
// The frame shared by the client's operations; only the client's own source
// files include this.
#include "imapclient/Command.h"
#include "imapclient/ImapException.h"
#include "imapclient/SimpleImapClient.h"

#include <new>

namespace tavir::mail {

template <class Run>
SimpleImapClient::ImapClientResult SimpleImapClient::simple(
    const std::string& what, ImapClientResult refusal, Run run)
{
    if (!connected_)
        return ImapNotConnected;
    return guarded(what, refusal, run);
}

template <class Run>
SimpleImapClient::ImapClientResult SimpleImapClient::guarded(
    const std::string& what, ImapClientResult refusal, Run run)
{
    const unsigned long recorded = connection_.errorCount();
    ImapClientResult result = refusal;
    std::string reason;
    try {
        result = run();
    } catch (const ImapException& e) {
        result = handleImapException(e, refusal);
        reason = e.what();
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    } catch (const std::exception& e) {
        // Our own failures (a digest that could not be made, a text that
        // could not be converted) are results too: nothing but a result
        // code leaves the client.
        reason = e.what();
    } catch (...) {
    }
    if (result == ImapSuccess)
        return ImapSuccess;
    if (connection_.errorCount() == recorded)
        connection_.setLastErrorResponse(what + " on " + connection_.endpointText() + " failed"
            + (reason.empty() ? std::string() : ": " + reason));
    recordError();
    return result;
}

inline SimpleImapClient::ImapClientResult SimpleImapClient::succeededOr(
    unsigned status, ImapClientResult refusal)
{
    return status == Command::OK ? ImapSuccess : refusal;
}

} // namespace tavir::mail
