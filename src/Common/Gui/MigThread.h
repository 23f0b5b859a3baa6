#pragma once
// One blocking engine call at a time, away from the GUI thread. Every page
// owns one; finished() brings the page back to read the result. The same
// class carries the engine calls the pages make directly on the GUI thread,
// and the opening of the report and the debug log in the desktop's viewer.
#include "Common/Gui/MigExecuter.h"

#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>

namespace tavir::gui {

class MigThread : public QThread {
public:
    enum Action : std::uint32_t {
        NoAction = 0,
        Initialize = 1,
        TestServer = 2,
        TestCvn = 3,
        InitConfiguration = 4,
        LoadUsers = 5,
        GetUsers = 6,
    };

    MigThread();

    // The process's one executer, set before the window is shown and
    // deleted after the event loop has ended.
    static void setExecuter(MigExecuter* executer);
    static void clearExecuter();
    static MigExecuter* executer() { return exec_; }
    // Where the report is written, for the sentences that send the user
    // there.
    static QString reportFilePath();
    // The program that shows a file ("xdg-open"); tests put a stand-in here.
    static void setViewer(const QString& program);

    // The thread actions. Each stores its data, then starts the thread.
    void initialize();
    void testServer(const QString& host, bool ssl);
    void testCvn(const QString& host, const QString& user, const QString& password, bool ssl);
    void initConfiguration();
    void loadUsers(const QString& path);
    void getUsers();

    // The last action's result; the thread is idle again afterwards.
    std::uint64_t getResult();

    // Direct calls on the calling thread. An engine exception is logged and
    // reported as a failure.
    bool startUserTest(
        migration::ICallbacks* callbacks, std::vector<migration::TestStatus>& statuses);
    bool stopUserTest();
    bool startMigration(migration::ICallbacks* callbacks);
    bool stopMigration();
    bool getStatus(migration::MigrationStatus& status);
    void setMigrate(unsigned int index, bool migrate);
    void setPassword(unsigned int index, std::wstring& password);
    // After a failed source test: whether the server showed another
    // certificate than the one pinned for it, or takes no password this tool
    // can send on the connection.
    migration::SourceTestFailure sourceTestFailure();
    // After a load: how many lines of the accounts file were skipped.
    unsigned skippedAccountLines();
    // After the credential test: what each account's test found beyond its
    // status, in list order, as the report says it.
    std::vector<migration::LoginTestSentences> loginTestSentences();

    // Show the report or the debug log in the desktop's viewer and return
    // at once: on desktops that xdg-open does not know it runs as long as
    // the viewer it started. False when the viewer could not be started.
    // One that started calls `ended` on the GUI thread as it ends, unless
    // this object is gone by then, with false when it failed (no
    // application for the file, exit code not 0); either way the caller
    // can offer the path.
    bool openReportFile(std::function<void(bool shown)> ended = {}) const;
    bool openLogFile(std::function<void(bool shown)> ended = {}) const;
    // Starts `program` with `path` as its one argument, detached: it runs on
    // after this call and after the wizard. True when it started.
    bool viewFile(const QString& program, const QString& path) const;

protected:
    void run() override;

private:
    void startAction(Action code);
    std::uint64_t runAction(Action code);
    bool openFile(const std::wstring& path, std::function<void(bool shown)> ended) const;
    // The GUI thread's side of the hand-over: everything a finished run()
    // wrote (its result, what it left in the executer) is visible after it.
    static void takeOver();

    static MigExecuter* exec_;
    static QString viewer_;
    // Every run() ends with a release on this count and the GUI thread
    // acquires it before it reads a result, starts the next action or lets
    // the executer go. QThread::wait() and finished() order the two threads
    // as well, but through Qt's own locks, which a race detector does not
    // see.
    static std::atomic<std::uint64_t> handOvers_;
    std::atomic<std::uint32_t> action_{NoAction};
    std::atomic<std::uint64_t> result_{0};
};

// A copy of the path with every "/" turned into a backslash, the form that
// tools of systems with that separator take.
std::wstring fixPathString(const std::wstring& path);

} // namespace tavir::gui
