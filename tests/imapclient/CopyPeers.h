#pragma once
// The two ends of a message copy in the integration tests: the target logged
// in with the master password and switched to the account, and the source
// logged in as the account with INBOX selected.
#include "imapclient/SimpleImapClient.h"
#include "support/StandInTarget.h"

#include <string>

namespace tavir::test {

inline tavir::mail::SimpleImapClient::ImapClientResult connectTarget(
    tavir::mail::SimpleImapClient& to, const StandInTarget& target, unsigned timeoutMs,
    bool tls = false)
{
    to.setReadTimeoutMs(timeoutMs);
    auto result = to.connect(target.whost(),
        static_cast<unsigned>(tls ? target.tlsPort() : target.port()), L"master-secret", tls);
    return result != tavir::mail::ImapSuccess ? result : to.setUser(L"alice", L"example.com");
}

inline tavir::mail::SimpleImapClient::ImapClientResult connectSource(
    tavir::mail::SimpleImapClient& source, int port, const std::wstring& password,
    unsigned timeoutMs, bool tls = false)
{
    source.setReadTimeoutMs(timeoutMs);
    auto result
        = source.connect(L"127.0.0.1", static_cast<unsigned>(port), L"alice", password, tls, tls);
    return result != tavir::mail::ImapSuccess ? result : source.select(L"INBOX");
}

} // namespace tavir::test
