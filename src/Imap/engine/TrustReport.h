#pragma once
// The report says once per server and process how its TLS certificate was
// trusted (a trusted authority, a pin made now, a pin that matched), however
// many connections the source test, the credential test and the workers make.
#include "Imap/engine/Logger.h"
#include "imapclient/ImapStream.h"

namespace tavir::migration {

// A notice of the TLS layer (a clause, as it also stands inside other
// sentences) as a sentence of the report of its own: capitalised, ended
// with a period.
std::wstring trustSentence(const std::string& notice);

// Writes the notice to the report unless it is empty or its server's
// notice was written before. Where this process recorded the server in the
// known-hosts file (pinned it, or noted that an authority vouches for it),
// that is what is written, whichever connection's notice comes first: the
// connections of a run and of the wizard's tests meet a server at once,
// and one that found the pin a moment after another made it only matched
// it. Any thread.
void reportTrustOnce(Logger& log, const mail::TrustNotice& notice);

} // namespace tavir::migration
