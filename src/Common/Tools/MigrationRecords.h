#pragma once
// The records that cross between the wizard and the migration engine. They
// are plain copyable values: the wizard fills Configuration, the engine fills
// the rest. Field order is the order both sides rely on.
#include "ssl/FirstUse.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavir::migration {

// What the wizard hands to the engine. Servers are "host" or "host:port".
struct Configuration {
    std::wstring sourceServer;
    std::wstring sourceServer2; // kept for other wizards; this one leaves it empty
    bool sourceSsl = false;
    bool targetSsl = false;
    std::wstring targetServer;
    std::wstring adminUser;
    std::wstring adminPassword;
    std::wstring reportFile;
    std::wstring debugFile;
    std::wstring logDirectory;
    // With sourceSsl: what the run's first connection to a source that no
    // trusted authority vouches for and that has no pin may pin. The
    // wizard's test and run pin whatever it shows; zorp-engine-run only
    // the certificate the user accepted.
    ssl::FirstUse sourceFirstUse;
};

// One account's credential test; the tester thread writes it in place.
enum TestStatus : std::int32_t {
    TestNotTested = 0,
    TestTesting = 1,
    TestLoginAccepted = 2,
    TestLoginRefused = 3,
};

// The tester thread writes an account's status while the wizard reads it:
// each is one word, published whole with these two and no other way.
inline void publishTestStatus(TestStatus& slot, TestStatus status)
{
    __atomic_store_n(&slot, status, __ATOMIC_RELEASE);
}
inline TestStatus readTestStatus(const TestStatus& slot)
{
    return __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
}

// The copy of one account handed to the wizard.
struct UserInfoData {
    std::uint32_t index = 0; // the account's index in the engine's list
    std::wstring mailbox;
    std::wstring domain;
    std::wstring smtpAddress;
    std::wstring fullName;
    std::wstring password;
    bool migrate = false;
    // A run took the account up: it is in progress, finished or failed.
    bool started = false;
    // Why the account failed (or was stopped half-way, which counts as
    // failed), as the report's line says it (passwords shown as "***");
    // empty unless it failed.
    std::wstring failure;
    // Why the credential test found the account's login refused, as the
    // report's line says it; empty unless it did.
    std::wstring loginRefusal;
    // Why the source could not take the account's login now (at a limit of
    // the account's own, unavailable), as the report's line says it: the
    // test did not judge the account. Empty unless so.
    std::wstring loginNotNow;
};

// What one account's credential test found beyond its status, as the
// report's lines say it: why the login was refused, or why the source could
// not take it now; each empty unless so.
struct LoginTestSentences {
    std::wstring refusal;
    std::wstring notNow;
};

// Where a start was when a stop ended it before its run began.
enum class StartPhase : std::int32_t {
    None = 0, // no stop ended it (it went ahead, or failed by itself)
    BeforeTheLogins, // before any login was tested
    LoginsTested, // while the first logins were tested
    TargetPrepared, // while the target server was prepared
};

// What a failed source test found beyond its code, where the wizard can
// say what to do about it.
enum class SourceTestFailure : std::int32_t {
    Other = 0, // nothing more to say than the report's sentence
    CertificateChanged, // another certificate than the one pinned for it
    TakesNoPassword, // greeted, but takes no password this tool can send there
};

// One account in progress.
struct ActualUserStatus {
    std::wstring fullName;
    std::wstring folder;
    std::uint32_t folderMessages = 0;
    std::uint32_t messagesDone = 0;
    std::uint32_t messageErrors = 0;
};

// The totals of a run, polled by the wizard.
struct MigrationStatus {
    std::int64_t startTime = 0; // seconds since 1970, 0 before the run starts
    std::uint32_t accounts = 0;
    std::uint32_t selectedAccounts = 0; // not UserNotSelected
    std::uint32_t finishedAccounts = 0; // UserFinished
    std::uint32_t failedAccounts = 0; // UserFailed
    std::uint32_t foldersDone = 0;
    std::uint32_t folderErrors = 0;
    std::uint32_t messagesDone = 0;
    std::uint32_t messageErrors = 0;
    std::vector<ActualUserStatus> inProgress; // accounts UserInProgress
    // What an account left when it stopped or failed: its folders not
    // reached, and the messages of those whose messages had been counted;
    // and the messages found on the target already and not copied again.
    // With them, every message counted on the source is in one count.
    std::uint32_t foldersNotReached = 0;
    std::uint32_t messagesNotReached = 0;
    std::uint32_t messagesAlreadyThere = 0;
    // Of the folders not reached, those whose messages were never counted
    // (all but a folder in hand whose count had been read): what they hold
    // is in no message count.
    std::uint32_t foldersNotCounted = 0;
    // When the run ended, as the report's summary says it (seconds since
    // 1970); 0 while it goes on and before it starts.
    std::int64_t endTime = 0;
    // Once a run, or a start that did not go ahead after its tests began,
    // has ended: the report's summary as it was written, one sentence a
    // line with its full stop, from how and when the run ended to whose
    // messages were not counted (RunSummary.h builds it); empty before, and
    // while the run goes on.
    std::wstring summary;
    // Once the run has ended: the addresses, in list order, of the accounts
    // it made on the target ahead of their turn and left there empty (a
    // stop came before a worker took them up); empty otherwise.
    std::vector<std::wstring> madeAhead;
    // Why the last start did not go ahead, as the report's lines say it
    // (one per line, passwords shown as "***"); empty before any start, once
    // one went ahead, and after one refused without a sentence.
    std::wstring startFailure;
    // Why the last accounts file could not be read, as the report's line
    // says it; empty when it was.
    std::wstring accountsFailure;
    // The accounts whose login test has ended (accepted or refused), and
    // of them those refused: never migrated, never made on the target.
    std::uint32_t loginsTested = 0;
    std::uint32_t loginsRefused = 0;
    // Messages another session removed from the source between the
    // comparison and the copy (gone, not failed): with the counts above,
    // every message counted on the source is in one count.
    std::uint32_t messagesRemoved = 0;
    // Of the failed accounts, those a stop ended before their road did: they
    // count as failed all the same, and are said beside that count.
    std::uint32_t accountsStopped = 0;
    // The accounts whose login a run's own tests are trying right now.
    std::uint32_t loginsInTest = 0;
    // The first addresses (up to namedAtMost, RunSummary.h), in list order,
    // of the accounts to migrate that no run has taken up; the summary
    // names them, and accountsNotStarted counts them all.
    std::vector<std::wstring> notStartedFirst;
    // Why the source server can't be tested, as the report says it, once
    // the latest login test (the wizard's test of the accounts, or a run's
    // own) found it so; empty otherwise.
    std::wstring sourceUntestable;
    // When the source can't be tested because its certificate is neither
    // vouched for by a trusted authority nor pinned, and the run may not pin
    // it (Configuration::sourceFirstUse): that certificate's SHA-256
    // fingerprint ("SHA256:..."), which the user may accept; empty otherwise.
    std::string sourceCertificateUnknown;
    // Once the source refused one more connection while the run held
    // others: "The source server accepted at most 4 connections at once;
    // the migration went on with 4." Empty otherwise.
    std::wstring sourceLimit;
    // Once a stop ended the last start before its run began: where that
    // start was (RunSummary.h says it in words); StartPhase::None otherwise.
    StartPhase stoppedBeforeTheRun = StartPhase::None;
    // While the target server is put back (after the run's workers, or once
    // a stop or a failure cut the preparation short, until the end is
    // written): true; and while the administration service keeps that
    // waiting, how many seconds the wait can still last at most, rounded up
    // (0: nothing is awaited). Once the process ends on a signal, the end's
    // deadline bounds the wait and everything after it; otherwise the
    // exchange's own time-out does (TargetRestoreText.h says it in words).
    bool puttingTargetBack = false;
    std::uint32_t targetWaitSeconds = 0;
    // Once the run has ended, when a setting did not go back at once: what
    // putting the target back said in the report, one sentence a line (each
    // setting put back or left for the next start, and where the journal
    // is); empty otherwise. A start cut short says it in startFailure.
    std::wstring targetRestore;
};

// How long a run took, or has taken by `now` while it goes on, in whole
// seconds, as the report and zorp-engine-run count it (and the wizard).
inline std::int64_t runSeconds(std::int64_t startTime, std::int64_t endOrNow)
{
    return startTime == 0 || endOrNow < startTime ? 0 : endOrNow - startTime;
}

} // namespace tavir::migration
