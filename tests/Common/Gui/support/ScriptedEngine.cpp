// The scripted engine of the wizard's tests.
#include "support/ScriptedEngine.h"

#include <stdexcept>

namespace tavir::test {

using namespace migration;

void Gate::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
}

void Gate::open()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

void Gate::wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
}

void CallLog::add(const std::string& call)
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
}

std::vector<std::string> CallLog::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

bool CallLog::contains(const std::string& call) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& c : calls_) {
        if (c == call)
            return true;
    }
    return false;
}

void CallLog::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

void ScriptedMigrator::record(const std::string& call)
{
    log_.add(call);
    if (call.rfind(throwOn, 0) == 0 && !throwOn.empty())
        throw std::runtime_error("scripted failure in " + call);
}

bool ScriptedMigrator::init(Configuration& handedOver)
{
    configuration = handedOver;
    record("init");
    return initResult;
}

bool ScriptedMigrator::loadUsers(const std::wstring& path)
{
    loadGate.wait();
    record("loadUsers " + std::string(path.begin(), path.end()));
    return loadResult;
}

bool ScriptedMigrator::startUserTest(ICallbacks* callbacks, std::vector<TestStatus>& statuses)
{
    record("startUserTest " + std::to_string(statuses.size()));
    testCallbacks = callbacks;
    testStatuses = &statuses;
    return startTestResult;
}

bool ScriptedMigrator::stopUserTest()
{
    record("stopUserTest");
    return stopTestResult;
}

void ScriptedMigrator::getUsers(std::vector<UserInfoData>& users)
{
    record("getUsers");
    users = accounts;
}

bool ScriptedMigrator::start(ICallbacks* callbacks)
{
    record("start");
    runCallbacks = callbacks;
    if (!startResult)
        return false;
    callbacks->started();
    if (endInsideStart)
        callbacks->stopped(abortedInsideStart);
    return true;
}

void ScriptedMigrator::getStatus(MigrationStatus& out)
{
    record("getStatus");
    out = status;
}

bool ScriptedMigrator::stop()
{
    record("stop");
    return stopResult;
}

void ScriptedMigrator::setPassword(unsigned int index, const std::wstring& password)
{
    record("setPassword " + std::to_string(index) + " " + std::string(password.begin(), password.end()));
}

void ScriptedMigrator::setMigrate(unsigned int index, bool migrate)
{
    record("setMigrate " + std::to_string(index) + (migrate ? " true" : " false"));
}

unsigned ScriptedMigrator::skippedAccountLines()
{
    record("skippedAccountLines");
    return skippedLines;
}

void ScriptedMigrator::reportTestStatus(std::size_t account, TestStatus value)
{
    publishTestStatus((*testStatuses)[account], value);
    testCallbacks->statusChanged();
}

void ScriptedMigrator::playTest(const std::vector<TestStatus>& outcomes, bool aborted)
{
    testCallbacks->started();
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        // As the engine's tester: the account in test is marked without a
        // callback.
        publishTestStatus((*testStatuses)[i], TestTesting);
        reportTestStatus(i, outcomes[i]);
    }
    testCallbacks->stopped(aborted);
}

gui::EngineEntries ScriptedEngine::entries()
{
    gui::EngineEntries e;
    e.init = [this](const std::wstring& report, const std::wstring& debug) {
        initReport = report;
        initDebug = debug;
        log.add("engine init");
        return initResult;
    };
    e.done = [this] { log.add("engine done"); };
    e.createMigrator = [this](IMigrator** out) {
        log.add("createMigrator");
        if (!createResult)
            return false;
        migrator = new ScriptedMigrator(log);
        *out = migrator;
        return true;
    };
    e.testImap = [this](const std::wstring& server, bool ssl) {
        testGate.wait();
        std::lock_guard<std::mutex> lock(mutex_);
        testedServer = server;
        testedSsl = ssl;
        log.add("testImap");
        if (throwOn == "testImap")
            throw std::runtime_error("scripted failure in testImap");
        return testImapCode;
    };
    e.sourceTestFailure = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        log.add("sourceTestFailure");
        if (throwOn == "sourceTestFailure")
            throw std::runtime_error("scripted failure in sourceTestFailure");
        return sourceFailure;
    };
    e.testCvn = [this](const std::wstring& server, const std::wstring& user, const std::wstring& password) {
        testGate.wait();
        std::lock_guard<std::mutex> lock(mutex_);
        testedServer = server;
        testedUser = user;
        testedPassword = password;
        log.add("testCvn");
        if (throwOn == "testCvn")
            throw std::runtime_error("scripted failure in testCvn");
        return testCvnCode;
    };
    return e;
}

UserInfoData account(unsigned index, const std::wstring& mailbox, const std::wstring& domain,
    const std::wstring& fullName, bool migrate)
{
    UserInfoData data;
    data.index = index;
    data.mailbox = mailbox;
    data.domain = domain;
    data.smtpAddress = mailbox + L"@" + domain;
    data.fullName = fullName;
    data.password = L"secret";
    data.migrate = migrate;
    return data;
}

} // namespace tavir::test
