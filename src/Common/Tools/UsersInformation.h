#pragma once
// The engine's account list. Every access takes the list's lock, and nothing
// hands out a reference into it: callers get copies, and every state change
// goes through the table of allowed changes.
#include "Common/Tools/MigrationRecords.h"
#include "Common/Tools/UserInfo.h"
#include "tiny/KMutex.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tavir::migration {

class UsersInformation {
public:
    UsersInformation() = default;
    explicit UsersInformation(std::vector<UserInfo> users);
    UsersInformation(const UsersInformation&) = delete;
    UsersInformation& operator=(const UsersInformation&) = delete;

    std::size_t size() const;
    // A copy of the account at `index`; false when there is none.
    bool get(std::size_t index, UserInfo& out) const;
    // Empties `out` and fills it with a copy of every account, in list order.
    void copyTo(std::vector<UserInfoData>& out) const;

    // Every setter ignores an index beyond the list.
    // Sets the migrate flag; an account not yet in progress becomes
    // "to migrate" or "not selected" with it.
    void setMigrate(std::size_t index, bool migrate);
    // A new password needs a new login test.
    void setPassword(std::size_t index, const std::wstring& password);
    void setTestStatus(std::size_t index, TestStatus status);
    // The report's lines on why the credential test found the login
    // refused, or found that the source could not take it now.
    void setTestSentences(std::size_t index, const LoginTestSentences& sentences);
    void setAlreadyExists(std::size_t index, bool exists);
    // The report's line on why the account failed.
    void setFailure(std::size_t index, const std::wstring& failure);
    // A stop ended the account before its road did; `sentence` says so, as
    // the report's line on why it failed.
    void setStopped(std::size_t index, const std::wstring& sentence);
    // False (and nothing changes) for a change the table refuses.
    bool changeState(std::size_t index, UserState to);
    // Runs `update` on the account's progress under the lock.
    void updateProgress(std::size_t index, const std::function<void(UserProgress&)>& update);

    // The first account in state "to migrate" whose login test accepted
    // it, moved to "in progress" in the same hold of the lock, so that two
    // workers never take the same one. False when none is left.
    bool takeNextToMigrate(std::size_t& index, UserInfo& account);
    // Every account to migrate whose login test refused it is marked not
    // to be migrated.
    void leaveOutRefused();
    // Whether an account in state "to migrate" was accepted by its login
    // test.
    bool hasAcceptedToMigrate() const;
    // How many accounts in state "to migrate" have a login not tested.
    std::size_t untestedToMigrate() const;
    // The first account in state "to migrate" whose login was not tested,
    // marked as in its test in the same hold of the lock. False when none
    // is left.
    bool takeNextToTest(std::size_t& index, UserInfo& account);

    // Fills every field of `status` afresh but the start and end times, the
    // start and accounts-file failures and what was not counted, which are
    // the run's.
    void fillStatus(MigrationStatus& status) const;

private:
    // Where a look-up starts: no account before it matches, unless a change
    // since made one match, which moves the look-up's start back to that
    // account (rewindTo). So a run scans its list about once per look-up
    // kind, not once per account taken.
    struct Cursor {
        std::size_t next = 0;
    };
    // From the cursor on, the first account `matches` takes, or the list's
    // size when none does; the cursor passes the accounts before it.
    template <class Match>
    std::size_t scan(Cursor& cursor, Match matches) const TAVIR_REQUIRES(mutex_);
    // The first account from the cursor on that `matches` takes, changed by
    // `take` and copied out in the same hold of the lock; false when none.
    template <class Match, class Take>
    bool takeFirst(Cursor UsersInformation::*cursor, Match matches, Take take, std::size_t& index,
        UserInfo& account);
    // The account at `index` changed in a way that may make it match a
    // look-up again (put back, selected again, accepted or untested anew).
    void rewindTo(std::size_t index) TAVIR_REQUIRES(mutex_);

    mutable tiny::KMutex mutex_;
    std::vector<UserInfo> users_ TAVIR_GUARDED_BY(mutex_);
    // The accounts to migrate whose login was accepted, and those whose
    // login is not tested yet.
    mutable Cursor toMigrate_ TAVIR_GUARDED_BY(mutex_);
    mutable Cursor toTest_ TAVIR_GUARDED_BY(mutex_);
};

} // namespace tavir::migration
