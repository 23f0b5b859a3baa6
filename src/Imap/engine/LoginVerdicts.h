#pragma once
// What follows the verdict of one account's login test, written once for
// the wizard's test of the accounts and a run's own tests: the verdict's
// sentence in the report, the account's test status and sentence in the
// account list, what the account becomes in a run, and a source that can't
// be tested said once however many tests meet it.
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/LoginCheck.h"
#include "tiny/KMutex.h"

#include <cstddef>
#include <memory>
#include <string>

namespace tavir::migration {

class LoginVerdicts {
public:
    // Whose tests: the wizard's leaves each account to its page, which
    // greys out what can't be migrated; a run's own takes an account whose
    // login failed out of the run before any batch can take it (never made
    // on the target), and fails one whose login the source could not take
    // now (it was selected, and is not migrated).
    enum class Tests { Wizard, Run };

    LoginVerdicts(std::shared_ptr<UsersInformation> users, Tests tests);

    // Records the verdict on the account at `index`: its sentence goes to
    // `log`'s report lines (the caller writes or holds them) and is kept
    // with the account as the report has it (passwords masked); the
    // account's test status (testStatusOf) is set last, and returned. A
    // source that can't be tested goes to the report the first time only.
    // Any thread.
    TestStatus record(std::size_t index, const LoginVerdict& verdict, Logger& log);
    // Why the source can't be tested, as the report says it, once a test
    // found so; empty otherwise. Any thread.
    std::wstring sourceFailure() const;
    // When that was a certificate the tests may not pin, its fingerprint
    // (LoginVerdict::unknownCertificate); empty otherwise. Any thread.
    std::string unknownCertificate() const;

private:
    // Keeps the verdict as the source's failure and writes its sentence to
    // `log`'s report lines, unless one was kept before.
    void sourceFailed(const LoginVerdict& verdict, Logger& log);

    const std::shared_ptr<UsersInformation> users_;
    const Tests tests_;
    mutable tiny::KMutex lock_;
    std::wstring sourceFailure_ TAVIR_GUARDED_BY(lock_);
    std::string unknownCertificate_ TAVIR_GUARDED_BY(lock_);
};

} // namespace tavir::migration
