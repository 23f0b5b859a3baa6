// The page's background action thread and the wizard's direct engine calls.
#include "Common/Gui/MigThread.h"

#include <QDebug>
#include <QProcess>

#include <algorithm>
#include <exception>
#include <utility>

namespace tavir::gui {

MigExecuter* MigThread::exec_ = nullptr;
QString MigThread::viewer_ = QStringLiteral("xdg-open");
std::atomic<std::uint64_t> MigThread::handOvers_{0};

namespace {

// How long a viewer may take to start (not to end).
constexpr int ViewerStartMs = 30000;

// Runs one engine call; an exception from the engine must not end the
// program: it is written to the debug output and the call counts as failed.
template <class Result, class Call> Result guarded(const char* what, Result failure, Call call)
{
    try {
        return call();
    } catch (const std::exception& e) {
        qWarning("Engine call %s failed: %s", what, e.what());
    } catch (...) {
        qWarning("Engine call %s failed with an unknown exception", what);
    }
    return failure;
}

} // namespace

MigThread::MigThread() = default;

void MigThread::setExecuter(MigExecuter* executer)
{
    exec_ = executer;
}

void MigThread::takeOver()
{
    handOvers_.load(std::memory_order_acquire);
}

void MigThread::clearExecuter()
{
    takeOver();
    delete exec_;
    exec_ = nullptr;
}

QString MigThread::reportFilePath()
{
    return QString::fromStdWString(exec_->configuration.reportFile);
}

void MigThread::setViewer(const QString& program)
{
    viewer_ = program;
}

void MigThread::startAction(Action code)
{
    takeOver();
    action_.store(code, std::memory_order_relaxed);
    start();
}

void MigThread::initialize()
{
    startAction(Initialize);
}

void MigThread::testServer(const QString& host, bool ssl)
{
    takeOver();
    exec_->setServer(host, ssl);
    startAction(TestServer);
}

void MigThread::testCvn(const QString& host, const QString& user, const QString& password, bool ssl)
{
    takeOver();
    exec_->setCvn(host, user, password, ssl);
    startAction(TestCvn);
}

void MigThread::initConfiguration()
{
    startAction(InitConfiguration);
}

void MigThread::loadUsers(const QString& path)
{
    takeOver();
    exec_->usersFile = path;
    startAction(LoadUsers);
}

void MigThread::getUsers()
{
    startAction(GetUsers);
}

std::uint64_t MigThread::getResult()
{
    takeOver();
    action_.store(NoAction, std::memory_order_relaxed);
    return result_.load(std::memory_order_relaxed);
}

void MigThread::run()
{
    const std::uint32_t action = action_.load(std::memory_order_relaxed);
    if (action >= Initialize && action <= GetUsers)
        result_.store(runAction(static_cast<Action>(action)), std::memory_order_relaxed);
    handOvers_.fetch_add(1, std::memory_order_acq_rel);
}

std::uint64_t MigThread::runAction(Action code)
{
    // Each failure value is the one the page already shows a message for:
    // the source and target tests as "no connection", the other actions as
    // "not done" (for the account list, no list).
    switch (code) {
    case Initialize:
        // The engine's start-up happened with the executer; a failure there
        // means no report can be written, which the welcome page must tell.
        return exec_->engineReady() ? 1 : 0;
    case TestServer:
        return static_cast<std::uint32_t>(
            guarded("testImap", 1, [] { return exec_->testServer(); }));
    case TestCvn:
        return static_cast<std::uint32_t>(guarded("testCvn", 1, [] { return exec_->testCvn(); }));
    case InitConfiguration:
        return guarded("init", false, [] { return exec_->initConfiguration(); }) ? 1 : 0;
    case LoadUsers:
        return guarded("loadUsers", false, [] { return exec_->loadUsers(); }) ? 1 : 0;
    case GetUsers: {
        auto* users = guarded<std::vector<migration::UserInfoData>*>(
            "getUsers", nullptr, [] { return exec_->getUsers(); });
        return reinterpret_cast<std::uintptr_t>(users);
    }
    case NoAction:
        break;
    }
    return result_.load(std::memory_order_relaxed);
}

bool MigThread::startUserTest(
    migration::ICallbacks* callbacks, std::vector<migration::TestStatus>& statuses)
{
    return guarded(
        "startUserTest", false, [&] { return exec_->startUserTest(callbacks, statuses); });
}

bool MigThread::stopUserTest()
{
    return guarded("stopUserTest", false, [] { return exec_->stopUserTest(); });
}

bool MigThread::startMigration(migration::ICallbacks* callbacks)
{
    return guarded("start", false, [&] { return exec_->startMigration(callbacks); });
}

bool MigThread::stopMigration()
{
    return guarded("stop", false, [] { return exec_->stopMigration(); });
}

bool MigThread::getStatus(migration::MigrationStatus& status)
{
    guarded("getStatus", false, [&] { return exec_->getStatus(status); });
    return true;
}

void MigThread::setMigrate(unsigned int index, bool migrate)
{
    guarded("setMigrate", false, [&] {
        exec_->setMigrate(index, migrate);
        return true;
    });
}

void MigThread::setPassword(unsigned int index, std::wstring& password)
{
    guarded("setPassword", false, [&] {
        exec_->setPassword(index, password);
        return true;
    });
}

migration::SourceTestFailure MigThread::sourceTestFailure()
{
    return guarded("sourceTestFailure", migration::SourceTestFailure::Other,
        [] { return exec_->sourceTestFailure(); });
}

unsigned MigThread::skippedAccountLines()
{
    return guarded("skippedAccountLines", 0u, [] { return exec_->skippedAccountLines(); });
}

std::vector<migration::LoginTestSentences> MigThread::loginTestSentences()
{
    std::vector<migration::LoginTestSentences> sentences;
    guarded("loginTestSentences", false, [&] {
        sentences = exec_->loginTestSentences();
        return true;
    });
    return sentences;
}

bool MigThread::openFile(const std::wstring& path, std::function<void(bool shown)> ended) const
{
    const QString name = QString::fromStdWString(path);
    qDebug("%s", name.toLocal8Bit().constData());
    // Never a program called "open": on this system that is another tool.
    // The process object has no parent and frees itself when the viewer
    // ends, also after this thread object has gone. Destroying it earlier
    // would kill xdg-open, so a wizard that ends first leaves it be.
    auto* viewer = new QProcess;
    viewer->setProgram(viewer_);
    viewer->setArguments({name});
    // Nothing reads the viewer's output, which would fill a pipe and stop it.
    viewer->setProcessChannelMode(QProcess::ForwardedChannels);
    viewer->setStandardInputFile(QProcess::nullDevice());
    connect(viewer, &QProcess::finished, this, [ended](int exitCode, QProcess::ExitStatus status) {
        if (ended)
            ended(status == QProcess::NormalExit && exitCode == 0);
    });
    connect(viewer, &QProcess::finished, viewer, &QObject::deleteLater);
    viewer->start();
    // Only until the program runs, not until it ends.
    if (viewer->waitForStarted(ViewerStartMs))
        return true;
    delete viewer;
    return false;
}

bool MigThread::openReportFile(std::function<void(bool shown)> ended) const
{
    return openFile(exec_->configuration.reportFile, std::move(ended));
}

bool MigThread::openLogFile(std::function<void(bool shown)> ended) const
{
    return openFile(exec_->configuration.debugFile, std::move(ended));
}

bool MigThread::viewFile(const QString& program, const QString& path) const
{
    // Detached, so that the program is neither waited for nor killed when
    // this call returns.
    return QProcess::startDetached(program, {path});
}

std::wstring fixPathString(const std::wstring& path)
{
    std::wstring fixed = path;
    std::replace(fixed.begin(), fixed.end(), L'/', L'\\');
    return fixed;
}

} // namespace tavir::gui
