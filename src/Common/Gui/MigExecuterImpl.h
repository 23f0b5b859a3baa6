#pragma once
// The executer over the engine interface: every operation forwards to the
// engine object or to an entry function. The executer owns the engine.
#include "Common/Gui/MigExecuter.h"

namespace tavir::gui {

template <class Engine> class MigExecuterImpl : public MigExecuter {
public:
    using MigExecuter::MigExecuter;
    ~MigExecuterImpl() override { delete engine; }

    bool initConfiguration() override { return engine && engine->init(configuration); }
    bool loadUsers() override { return engine && engine->loadUsers(usersFile.toStdWString()); }
    std::vector<migration::UserInfoData>* getUsers() override
    {
        usersData.clear();
        if (engine)
            engine->getUsers(usersData);
        return &usersData;
    }
    bool startUserTest(
        migration::ICallbacks* callbacks, std::vector<migration::TestStatus>& statuses) override
    {
        return engine && engine->startUserTest(callbacks, statuses);
    }
    bool stopUserTest() override { return engine && engine->stopUserTest(); }
    int testServer() override
    {
        return entries.testImap(configuration.sourceServer, configuration.sourceSsl);
    }
    migration::SourceTestFailure sourceTestFailure() override
    {
        return entries.sourceTestFailure();
    }
    // The target's SSL choice reaches the engine with the configuration only.
    int testCvn() override
    {
        return entries.testCvn(
            configuration.targetServer, configuration.adminUser, configuration.adminPassword);
    }
    bool startMigration(migration::ICallbacks* callbacks) override
    {
        return engine && engine->start(callbacks);
    }
    bool stopMigration() override { return engine && engine->stop(); }
    bool getStatus(migration::MigrationStatus& status) override
    {
        if (engine)
            engine->getStatus(status);
        return true;
    }
    void setMigrate(unsigned int index, bool migrate) override
    {
        if (engine)
            engine->setMigrate(index, migrate);
    }
    void setPassword(unsigned int index, std::wstring& password) override
    {
        if (engine)
            engine->setPassword(index, password);
    }
    unsigned skippedAccountLines() override { return engine ? engine->skippedAccountLines() : 0; }
    std::vector<migration::LoginTestSentences> loginTestSentences() override
    {
        std::vector<migration::UserInfoData> users;
        if (engine)
            engine->getUsers(users);
        std::vector<migration::LoginTestSentences> sentences;
        for (const migration::UserInfoData& user : users)
            sentences.push_back({user.loginRefusal, user.loginNotNow});
        return sentences;
    }
    bool engineReady() const override { return engineStarted && engine; }

    // Set by the engine's createMigrator right after construction.
    Engine* engine = nullptr;
    std::vector<migration::UserInfoData> usersData;
};

} // namespace tavir::gui
