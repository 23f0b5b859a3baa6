#pragma once
// One account's login test on the source, as the wizard's credential test
// and a run's own tests make it: the full address, then the bare mailbox
// when the source refuses the address. A source that can't be reached (no
// connection, no greeting, a failed TLS handshake, no IMAP greeting, a
// login left unanswered) or that greets as logged in already (PREAUTH) is
// said as such, about the server, never as a refused login.
#include "Common/Tools/UserInfo.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/ServerAddress.h"
#include "imapclient/SimpleImapClient.h"
#include "ssl/StopSignal.h"

#include <memory>
#include <string>

namespace tavir::migration {

// A connection to the source that a login test logged in as an account,
// kept for the account's road; no client when none was kept.
struct SourceLogin {
    std::unique_ptr<mail::SimpleImapClient> client;
    // The name it logged in as: the full address, or the bare mailbox.
    std::wstring user;
};

struct LoginVerdict {
    enum Kind {
        Accepted,
        // The source answered both logins with a refusal.
        Refused,
        // The source itself failed the test: every account would meet it.
        SourceFailed,
        // A stop ended the test first: neither accepted nor refused.
        Stopped,
    };
    LoginVerdict(Kind outcome = Stopped, std::wstring why = {}, SourceLogin kept = {})
        : kind(outcome)
        , sentence(std::move(why))
        , login(std::move(kept))
    {
    }

    Kind kind;
    // The report's sentence: why the login was refused (Refused) or why the
    // source can't be tested (SourceFailed); empty otherwise.
    std::wstring sentence;
    // Accepted, by a test asked to keep it: the connection, logged in.
    SourceLogin login;
};

class LoginTester {
public:
    // A test login that the server leaves unanswered ends after this long
    // (milliseconds), so a stop request or closing the program never waits
    // for the client's much longer transfer time-out.
    static constexpr unsigned defaultTimeoutMs = 60000;

    // `stop` ends the login in hand at once when raised.
    LoginTester(const ServerAddress& server, bool ssl, std::shared_ptr<utils::StopSignal> stop,
        unsigned timeoutMs = defaultTimeoutMs);

    // What becomes of the connection a login was accepted on.
    enum class Accepted { Close, Keep };

    // At most one connection at a time, closed before it returns unless
    // the login was accepted and `accepted` says to keep it: the verdict
    // then carries it, logged in, with the same deadline and stop signal
    // as the test's (whoever takes it sets its own). Any thread; the tester
    // holds no state between calls.
    LoginVerdict test(
        const UserInfo& account, Logger& log, Accepted accepted = Accepted::Close) const;

private:
    // One login; Refused carries the server's answer alone, not a sentence.
    LoginVerdict tryLogin(const std::wstring& user, const std::wstring& password, Logger& log,
        Accepted accepted) const;

    ServerAddress server_;
    bool ssl_;
    std::shared_ptr<utils::StopSignal> stop_;
    unsigned timeoutMs_;
};

} // namespace tavir::migration
