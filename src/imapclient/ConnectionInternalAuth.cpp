// The challenge-response logins of a connection. Their exchanges belong to
// the authentication commands (CommandXMasterAuth, CommandAuthCramMD5), which
// replace this file with the calls into them; until they exist, both
// methods refuse.
#include "imapclient/ConnectionInternal.h"

#include "imapclient/ImapException.h"

namespace tavir::mail {

void ConnectionInternal::masterAuthenticate()
{
    throw AuthenticateFailedException("Authentication failed - Master Authentication");
}

void ConnectionInternal::authenticateCramMD5()
{
    throw AuthenticateFailedException("Authentication failed - Authentication CRAM-MD5");
}

} // namespace tavir::mail
