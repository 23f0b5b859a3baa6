#pragma once
// The engine as the wizard sees it: one IMigrator per program, and the
// callbacks through which the engine's threads report back. Callbacks only
// record a state; the wizard polls getStatus for the numbers.
#include "Common/Tools/MigrationRecords.h"

#include <string>
#include <vector>

namespace tavir::migration {

class ICallbacks {
public:
    virtual void started() = 0;
    virtual void statusChanged() = 0;
    // Called once, after every engine thread of the run has ended; aborted
    // is true when the run was ended by a stop request.
    virtual void stopped(bool aborted) = 0;

protected:
    ~ICallbacks() = default;
};

class IMigrator {
public:
    virtual ~IMigrator() = default;

    // Copies the configuration into the engine; true.
    virtual bool init(Configuration& configuration) = 0;
    // Replaces the account list with the accounts file's; every account is
    // marked to be migrated. False when the file can't be read.
    virtual bool loadUsers(const std::wstring& path) = 0;
    // Starts the credential test of every account on its own thread; false,
    // starting nothing, when statuses.size() differs from the account count
    // or a test is already running. statuses is written in place.
    virtual bool startUserTest(ICallbacks* callbacks, std::vector<TestStatus>& statuses) = 0;
    // Asks a running test to stop before its next account; no callback.
    virtual bool stopUserTest() = 0;
    // Fills users with a copy of every account, in list order.
    virtual void getUsers(std::vector<UserInfoData>& users) = 0;
    // Prepares the target (blocking), starts the run and calls started() on
    // the calling thread. False when callbacks is null or preparation fails;
    // getStatus then gives the report's sentences on why (startFailure).
    virtual bool start(ICallbacks* callbacks) = 0;
    // Fills status afresh; callable at any time.
    virtual void getStatus(MigrationStatus& status) = 0;
    // Raises the stop flags and returns without waiting.
    virtual bool stop() = 0;
    // Both ignore an index beyond the list.
    virtual void setPassword(unsigned int index, const std::wstring& password) = 0;
    virtual void setMigrate(unsigned int index, bool migrate) = 0;
    // The temporary master password of the run in hand (empty before one).
    virtual std::wstring getMasterPassword() = 0;
    // How many lines of the accounts file last loaded were skipped, each
    // named with its reason in the report; 0 before a file was loaded.
    virtual unsigned skippedAccountLines() = 0;
};

} // namespace tavir::migration
