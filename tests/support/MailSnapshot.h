#pragma once
// Every folder and message of one account, read back from a server the way
// a check needs it: the body bytes, the standard flags and the internal
// date as an instant. From Dovecot through the raw client (read-only:
// EXAMINE and BODY.PEEK, so nothing is marked seen), from the stand-in
// target through what it stored. Nothing here depends on the code under
// test.
#include "support/StandInTarget.h"

#include <map>
#include <string>
#include <vector>

namespace tavir::test {

struct MailMessage {
    std::string data;
    // The system flags among the message's, lower case, sorted, one blank
    // between them; \Recent and keywords are left out.
    std::string standardFlags;
    // Every flag as the server gave it, keywords included, in its order,
    // but \Recent, which the next session no longer sees.
    std::string allFlags;
    long long instant = 0; // the internal date, seconds since 1970
};

struct MailFolder {
    std::string guid; // empty where the server names none
    std::vector<MailMessage> messages; // in message number (UID) order
};

// Folder name as listed (modified UTF-7) -> folder.
using MailFolders = std::map<std::string, MailFolder>;

MailFolders readDovecotAccount(int port, const std::string& user, const std::string& password);
MailFolders readStandInAccount(const StandInTarget& target, const std::string& address);

// Seconds since 1970 of an IMAP date-time ("17-Jul-1996 02:44:25 -0700");
// -1 when it is not one.
long long internalDateInstant(const std::string& text);
// The system flags of a blank-separated flag list, as MailMessage keeps them.
std::string standardFlagsOf(const std::string& flags);

} // namespace tavir::test
