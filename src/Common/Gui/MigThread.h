#pragma once
// One blocking engine call at a time, away from the GUI thread. Every page
// owns one; finished() brings the page back to read the result. The same
// class carries the engine calls the pages make directly on the GUI thread,
// and the opening of the report and the debug log in the desktop's viewer.
#include "Common/Gui/MigExecuter.h"

#include <QThread>

#include <atomic>
#include <cstdint>

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
    bool startUserTest(migration::ICallbacks* callbacks, std::vector<migration::TestStatus>& statuses);
    bool stopUserTest();
    bool startMigration(migration::ICallbacks* callbacks);
    bool stopMigration();
    bool getStatus(migration::MigrationStatus& status);
    void setMigrate(unsigned int index, bool migrate);
    void setPassword(unsigned int index, std::wstring& password);

    // Show the report or the debug log; false when the viewer did not end
    // with exit code 0, so the caller can offer the path instead.
    bool openReportFile() const;
    bool openLogFile() const;

protected:
    void run() override;

private:
    void startAction(Action code);
    std::uint64_t runAction(Action code);
    static bool openFile(const std::wstring& path);
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

} // namespace tavir::gui
