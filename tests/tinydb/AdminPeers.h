#pragma once
// What the administration client's tests share: its outcomes as assertions,
// a stand-in target, a client pinned in a throw-away known-hosts file, and
// checks of the target's IMAP side through the IMAP client.
#include "imapclient/SimpleImapClient.h"
#include "support/StandInTarget.h"
#include "tinydb/TinyDbClient.h"

#include <gtest/gtest.h>

#include <string>

namespace tavir::test {

// An operation done, or failed with its sentence as the message.
inline ::testing::AssertionResult done(const tavir::tinydb::Outcome& outcome)
{
    return outcome ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << outcome.failure;
}

inline tavir::tinydb::TinyDbClient::Options adminOptions(
    const TempDir& dir, unsigned timeoutMs = 10000)
{
    tavir::tinydb::TinyDbClient::Options options;
    options.knownHostsFile = dir.file("known_hosts.cfg");
    options.timeoutMs = timeoutMs;
    return options;
}

// True when X-MASTERAUTH with `password` is accepted by the target's IMAP
// service (and, when given, X-SETUSER of `account` after it).
inline bool masterAuthWorks(const StandInTarget& target, const std::wstring& password,
    const std::wstring& user = L"", const std::wstring& domain = L"")
{
    tavir::mail::SimpleImapClient imap;
    imap.setReadTimeoutMs(5000);
    if (imap.connect(target.whost(), static_cast<unsigned>(target.port()), password, false)
        != tavir::mail::ImapSuccess)
        return false;
    return user.empty() || imap.setUser(user, domain) == tavir::mail::ImapSuccess;
}

// True when an IMAP server greets on the stand-in's address at `port`.
inline bool imapAnswers(const StandInTarget& target, int port, bool ssl)
{
    tavir::mail::SimpleImapClient imap;
    std::wstring greeting;
    return imap.testImapServer(target.whost(), static_cast<unsigned>(port), ssl, 5, greeting);
}

} // namespace tavir::test
