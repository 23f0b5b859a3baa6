#pragma once
// The wizard's credential test: tests every account's login on the source in
// list order, one at a time (LoginCheck, on connections counted as a run
// counts its own), records each verdict as a run's own tests do
// (LoginVerdicts), and writes each account's result in place into the
// wizard's status vector. A source that can't be tested is said once and
// ends the test; the accounts left stay untested.
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/CallbacksWrapper.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/LoginCheck.h"
#include "Imap/engine/LoginVerdicts.h"
#include "Imap/engine/ServerAddress.h"
#include "Imap/engine/SourceConnections.h"
#include "Imap/engine/Thread.h"
#include "ssl/StopSignal.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

class ImapUserTesterThread : public Thread {
public:
    // `statuses` holds one element per account of `users` and must outlive
    // the thread's stopped() call; `server` is the wizard's "host[:port]".
    ImapUserTesterThread(std::shared_ptr<UsersInformation> users, const std::wstring& server,
        bool ssl, ICallbacks* callbacks, std::vector<TestStatus>& statuses,
        unsigned timeoutMs = LoginCheck::defaultTimeoutMs);

    // started(); then per account, unless a stop was requested: 1, the
    // logins, its status (testStatusOf), statusChanged(); finally
    // stopped(aborted), aborted only after a stop request.
    void execute() override;
    // A stop also ends the login in hand at once (it stays untested).
    void setTerminated(bool terminated) override;
    // True once stopped() has been passed on: what is left of the thread
    // is only its return, so a new test may start after joining it.
    bool hasEnded() { return callbacks_.hasStopped(); }
    // Why the source can't be tested, as the report says it, once the test
    // found so; empty otherwise. Any thread.
    std::wstring sourceFailure() const;

protected:
    // What broke outside an account's test: the account in hand stays
    // untested, and the test ends, aborted only if a stop was asked for.
    void recover(const std::wstring& sentence) override;

private:
    // The account's verdict; an error of the test's own is the account's
    // failure, with its reason.
    LoginVerdict testAccount(const UserInfo& account, Logger& log);
    void setStatus(std::size_t index, TestStatus status);

    std::shared_ptr<UsersInformation> users_;
    // Why no account can log in when the source's address is not one;
    // empty otherwise.
    const std::wstring notAnAddress_;
    const ServerAddress server_;
    CallbacksWrapper callbacks_;
    std::vector<TestStatus>& statuses_;
    const std::shared_ptr<utils::StopSignal> stop_ = std::make_shared<utils::StopSignal>();
    const unsigned timeoutMs_;
    // One connection at a time; a source that turns one away is met as a
    // run meets it.
    SourceConnections connections_;
    const LoginCheck check_;
    LoginVerdicts verdicts_;
    static constexpr std::size_t noAccount = static_cast<std::size_t>(-1);
    std::size_t inHand_ = noAccount;
};

} // namespace tavir::migration
