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
#include "ssl/StopSignal.h"

#include <memory>
#include <string>

namespace tavir::migration {

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
    Kind kind = Stopped;
    // The report's sentence: why the login was refused (Refused) or why the
    // source can't be tested (SourceFailed); empty otherwise.
    std::wstring sentence;
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

    // At most one connection at a time, closed before it returns. Any
    // thread; the tester holds no state between calls.
    LoginVerdict test(const UserInfo& account, Logger& log) const;

private:
    // One login; Refused carries the server's answer alone, not a sentence.
    LoginVerdict tryLogin(
        const std::wstring& user, const std::wstring& password, Logger& log) const;

    ServerAddress server_;
    bool ssl_;
    std::shared_ptr<utils::StopSignal> stop_;
    unsigned timeoutMs_;
};

} // namespace tavir::migration
