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
    // The report's line on why the credential test found the login refused.
    void setTestRefusal(std::size_t index, const std::wstring& refusal);
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
    // The first account in state "to migrate" whose login was not tested,
    // marked as in its test in the same hold of the lock. False when none
    // is left.
    bool takeNextToTest(std::size_t& index, UserInfo& account);

    // Fills every field of `status` afresh but the start and end times, the
    // start and accounts-file failures and what was not counted, which are
    // the run's.
    void fillStatus(MigrationStatus& status) const;

private:
    mutable tiny::KMutex mutex_;
    std::vector<UserInfo> users_;
};

} // namespace tavir::migration
