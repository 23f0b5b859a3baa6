#pragma once
// The wizard's one door to the migration engine: the configuration the pages
// fill in, the accounts file and the log names, and the engine operations
// the pages need. MigThread is its only caller.
#include "Common/Gui/EngineEntries.h"
#include "Common/Tools/MigrationRecords.h"

#include <QString>

#include <string>
#include <vector>

namespace tavir::gui {

class MigExecuter {
public:
    // Names the log folder and starts the engine's services through
    // entries.init; whether that worked is kept (engineStarted()).
    explicit MigExecuter(EngineEntries entries);
    virtual ~MigExecuter();
    MigExecuter(const MigExecuter&) = delete;
    MigExecuter& operator=(const MigExecuter&) = delete;

    virtual bool initConfiguration() = 0;
    virtual bool loadUsers() = 0;
    // The executer's own account vector, refilled on every call.
    virtual std::vector<migration::UserInfoData>* getUsers() = 0;
    virtual bool startUserTest(
        migration::ICallbacks* callbacks, std::vector<migration::TestStatus>& statuses)
        = 0;
    virtual bool stopUserTest() = 0;
    virtual int testServer() = 0;
    // After a failed testServer: whether the source's certificate is not
    // the one pinned for it, or the source takes no password this tool can
    // send on the connection (with SSL off: none without TLS).
    virtual migration::SourceTestFailure sourceTestFailure() = 0;
    virtual int testCvn() = 0;
    virtual bool startMigration(migration::ICallbacks* callbacks) = 0;
    virtual bool stopMigration() = 0;
    virtual bool getStatus(migration::MigrationStatus& status) = 0;
    virtual void setMigrate(unsigned int index, bool migrate) = 0;
    virtual void setPassword(unsigned int index, std::wstring& password) = 0;
    // Lines of the accounts file last loaded that were skipped.
    virtual unsigned skippedAccountLines() = 0;
    // What each account's login test found beyond its status, in list
    // order: why its login was refused, or why the source could not take it
    // now (empty for the others).
    virtual std::vector<migration::LoginTestSentences> loginTestSentences() = 0;

    // True when the logs and the conversion library were opened and the
    // engine object exists: a run started otherwise could not report.
    virtual bool engineReady() const = 0;

    void generateLogNames();
    void setServer(const QString& host, bool ssl);
    void setCvn(const QString& host, const QString& user, const QString& password, bool ssl);

    migration::Configuration configuration;
    QString usersFile;

protected:
    EngineEntries entries;
    bool engineStarted = false;
};

// The user's log folder: $XDG_STATE_HOME, else ~/.local/state.
QString getTempPath();
// True when the folder exists, made with any missing parents if need be.
bool createDirectoryIfNotExists(const QString& path);

} // namespace tavir::gui
