#pragma once
// The two ends of a message copy against real peers: the target logged in
// with the master password and switched to the account, and the source
// logged in as the account with INBOX selected. Header-only: it needs the
// IMAP client, which the support library does not link.
#include "imapclient/SimpleImapClient.h"
#include "support/StandInTarget.h"

#include <string>

namespace tavir::test {

// A stand-in target with the account alice@example.com (password
// "alice-pw") and a fault plan.
inline StandInTarget::Options aliceTargetOptions(const std::string& faults = "")
{
    StandInTarget::Options options;
    options.accounts["alice@example.com"] = "alice-pw";
    options.faults = faults;
    return options;
}

inline tavir::mail::SimpleImapClient::ImapClientResult connectTarget(
    tavir::mail::SimpleImapClient& to, const StandInTarget& target, unsigned timeoutMs,
    bool tls = false)
{
    to.setReadTimeoutMs(timeoutMs);
    auto result = to.connect(target.whost(),
        static_cast<unsigned>(tls ? target.tlsPort() : target.port()), L"master-secret", tls);
    return result != tavir::mail::ImapSuccess ? result : to.setUser(L"alice", L"example.com");
}

// How the source logs in; TLS and CRAM-MD5 are chosen apart.
struct SourceLogin {
    bool tls = false;
    bool cramMD5 = false;
};

inline tavir::mail::SimpleImapClient::ImapClientResult connectSource(
    tavir::mail::SimpleImapClient& source, int port, const std::wstring& password,
    unsigned timeoutMs, SourceLogin how = {})
{
    source.setReadTimeoutMs(timeoutMs);
    auto result = source.connect(
        L"127.0.0.1", static_cast<unsigned>(port), L"alice", password, how.cramMD5, how.tls);
    return result != tavir::mail::ImapSuccess ? result : source.select(L"INBOX");
}

} // namespace tavir::test
