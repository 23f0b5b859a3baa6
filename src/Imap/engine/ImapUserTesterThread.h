#pragma once
// The credential test: logs into the source server as every account in turn,
// first with the full address, then with the bare mailbox, and writes each
// account's result in place into the wizard's status vector.
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/CallbacksWrapper.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/ServerAddress.h"
#include "Imap/engine/Thread.h"
#include "ssl/StopSignal.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

class ImapUserTesterThread : public Thread {
public:
    // A test login that the server leaves unanswered ends after this long
    // (milliseconds), so a stop request or closing the program never waits
    // for the client's much longer transfer time-out.
    static constexpr unsigned loginTimeoutMs = 60000;

    // `statuses` holds one element per account of `users` and must outlive
    // the thread's stopped() call; `server` is the wizard's "host[:port]".
    ImapUserTesterThread(std::shared_ptr<UsersInformation> users, const std::wstring& server,
        bool ssl, ICallbacks* callbacks, std::vector<TestStatus>& statuses);

    // started(); then per account, unless a stop was requested: 1, the
    // logins, 2 or 3, statusChanged(); finally stopped(aborted).
    void execute() override;
    // A stop also ends the login in hand at once (it counts as refused).
    void setTerminated(bool terminated) override;
    // True once stopped() has been passed on: what is left of the thread
    // is only its return, so a new test may start after joining it.
    bool hasEnded() { return callbacks_.hasStopped(); }

protected:
    // The account in hand counts as refused and the test ends aborted.
    void recover(const std::wstring& sentence) override;

private:
    // Refused: `refusal` is the report's line on why.
    TestStatus testAccount(const UserInfo& account, Logger& log, std::wstring& refusal);
    bool tryLogin(
        const std::wstring& user, const std::wstring& password, std::wstring& refusal, Logger& log);
    void setStatus(std::size_t index, TestStatus status);

    std::shared_ptr<UsersInformation> users_;
    std::wstring serverText_;
    bool ssl_;
    ServerAddress server_;
    bool serverValid_;
    CallbacksWrapper callbacks_;
    std::vector<TestStatus>& statuses_;
    const std::shared_ptr<utils::StopSignal> stop_ = std::make_shared<utils::StopSignal>();
    static constexpr std::size_t noAccount = static_cast<std::size_t>(-1);
    std::size_t inHand_ = noAccount;
};

} // namespace tavir::migration
