#pragma once
// A scriptable migration engine for the wizard's tests: the entry functions
// and an IMigrator whose answers the test sets and whose calls it reads
// back. Calls may come from a page's thread, so the record is locked; a
// gate can hold a blocking call on its thread until the test opens it.
#include "Common/Gui/EngineEntries.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace tavir::test {

// Holds threads in wait() while closed.
class Gate {
public:
    void close();
    void open();
    void wait();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
};

// What the scripted parts record, shared by the entry functions and the
// migrator.
class CallLog {
public:
    void add(const std::string& call);
    std::vector<std::string> calls() const;
    bool contains(const std::string& call) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

class ScriptedMigrator : public migration::IMigrator {
public:
    explicit ScriptedMigrator(CallLog& log)
        : log_(log)
    {
    }

    bool init(migration::Configuration& configuration) override;
    bool loadUsers(const std::wstring& path) override;
    bool startUserTest(migration::ICallbacks* callbacks, std::vector<migration::TestStatus>& statuses) override;
    bool stopUserTest() override;
    void getUsers(std::vector<migration::UserInfoData>& users) override;
    bool start(migration::ICallbacks* callbacks) override;
    void getStatus(migration::MigrationStatus& status) override;
    bool stop() override;
    void setPassword(unsigned int index, const std::wstring& password) override;
    void setMigrate(unsigned int index, bool migrate) override;
    std::wstring getMasterPassword() override { return L"scripted"; }
    unsigned skippedAccountLines() override;

    // The credential test as the engine's tester thread reports it, played
    // from the test: started(), each account marked in test and then its
    // status with statusChanged(), stopped().
    void playTest(const std::vector<migration::TestStatus>& outcomes, bool aborted = false);
    void reportTestStatus(std::size_t account, migration::TestStatus status);

    // Answers.
    bool initResult = true;
    bool loadResult = true;
    unsigned skippedLines = 0;
    bool startTestResult = true;
    bool stopTestResult = true;
    bool startResult = true;
    bool stopResult = true;
    // When start succeeds: the run ends inside start, before any poll
    // (stopped, when abortedInsideStart).
    bool endInsideStart = false;
    bool abortedInsideStart = false;
    std::vector<migration::UserInfoData> accounts;
    migration::MigrationStatus status;
    // The name of the one call that throws instead of answering.
    std::string throwOn;
    Gate loadGate;

    // What the wizard handed over.
    migration::Configuration configuration;
    migration::ICallbacks* testCallbacks = nullptr;
    std::vector<migration::TestStatus>* testStatuses = nullptr;
    migration::ICallbacks* runCallbacks = nullptr;

private:
    void record(const std::string& call);

    CallLog& log_;
};

class ScriptedEngine {
public:
    // The entry functions over this object; createMigrator makes a fresh
    // ScriptedMigrator (owned by the caller) and keeps a pointer to it.
    gui::EngineEntries entries();

    bool initResult = true;
    bool createResult = true;
    int testImapCode = 0;
    migration::SourceTestFailure sourceFailure = migration::SourceTestFailure::Other;
    int testCvnCode = 0;
    std::string throwOn;
    Gate testGate;

    CallLog log;
    ScriptedMigrator* migrator = nullptr;
    std::wstring initReport;
    std::wstring initDebug;
    std::wstring testedServer;
    bool testedSsl = false;
    std::wstring testedUser;
    std::wstring testedPassword;

private:
    std::mutex mutex_;
};

// One account as the engine hands it over.
migration::UserInfoData account(unsigned index, const std::wstring& mailbox, const std::wstring& domain,
    const std::wstring& fullName, bool migrate = true);

} // namespace tavir::test
