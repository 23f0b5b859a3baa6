// The challenge-response logins of a connection, run by the authentication
// commands.
#include "imapclient/CommandAuth.h"
#include "imapclient/ConnectionInternal.h"
#include "imapclient/ImapException.h"

namespace tavir::mail {

void ConnectionInternal::masterAuthenticate(const AfterChallenge& afterChallenge)
{
    CommandXMasterAuth command(*this, password_);
    // Part of (re)connecting: a broken connection is not re-established here.
    command.setReconnect(false);
    if (command.execute(afterChallenge ? afterChallenge() : std::string()) != Command::OK)
        throw AuthenticateFailedException("Authentication failed - Master Authentication");
    setState(Authenticated);
}

void ConnectionInternal::authenticateCramMD5()
{
    CommandAuthCramMD5 command(*this, user_, password_);
    command.setReconnect(false);
    const unsigned status = command.execute();
    loginReplies_ = command.getUntaggedResponses();
    if (status != Command::OK) {
        // The server's own refusal, as a refused LOGIN leaves it.
        std::string refusal = command.getTaggedResponse();
        Command::removeEOL(refusal);
        if (!refusal.empty())
            setLastErrorResponse(refusal);
        throw AuthenticateFailedException("Authentication failed - Authentication CRAM-MD5");
    }
    setState(Authenticated);
}

} // namespace tavir::mail
