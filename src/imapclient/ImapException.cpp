#include "imapclient/ImapException.h"

namespace tavir::mail {

ImapException::~ImapException() = default;
ImapConnectionFailed::~ImapConnectionFailed() = default;
ImapTimeoutException::~ImapTimeoutException() = default;
ImapServerBrokeConnection::~ImapServerBrokeConnection() = default;
AuthenticateFailedException::~AuthenticateFailedException() = default;
ImapParserException::~ImapParserException() = default;
IMessageAppendException::~IMessageAppendException() = default;
IMessageLoadFailedException::~IMessageLoadFailedException() = default;
IMessageSourceFailedException::~IMessageSourceFailedException() = default;

ImapClientResult handleImapException(const ImapException& e, ImapClientResult fallback)
{
    if (dynamic_cast<const ImapTimeoutException*>(&e))
        return ImapConnectionError;
    if (dynamic_cast<const ImapConnectionFailed*>(&e))
        return ImapConnectionError;
    if (dynamic_cast<const AuthenticateFailedException*>(&e))
        return ImapLoginFailed;
    if (dynamic_cast<const ImapServerBrokeConnection*>(&e))
        return ImapConnectionError;
    if (dynamic_cast<const IMessageLoadFailedException*>(&e))
        return ImapMessageLoadFailed;
    if (dynamic_cast<const IMessageAppendException*>(&e))
        return ImapAppendFailed;
    return fallback;
}

} // namespace tavir::mail
