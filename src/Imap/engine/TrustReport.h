#pragma once
// The report says once per server and process how its TLS certificate was
// trusted (a trusted authority, a pin made now, a pin that matched), however
// many connections the source test, the credential test and the workers make.
#include "Imap/engine/Logger.h"
#include "imapclient/ImapStream.h"

namespace tavir::migration {

// Writes the notice to the report unless it is empty or its server's
// notice was written before. Any thread.
void reportTrustOnce(Logger& log, const mail::TrustNotice& notice);

} // namespace tavir::migration
