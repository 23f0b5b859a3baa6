#include "tiny/Process.h"

#include "tiny/Descriptors.h"
#include "tiny/Time.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tavir::tiny {

namespace {

int decodeStatus(int status)
{
    if (!WIFEXITED(status))
        return -1;
    int code = WEXITSTATUS(status);
    return code == 255 ? -1 : code;
}

int waitBlocking(int pid)
{
    int status = 0;
    int result;
    do {
        result = waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    if (result != pid)
        return -1;
    return decodeStatus(status);
}

// Descriptors 0-2 that end up closed in a child are opened on /dev/null, so
// the program's first own file never becomes its standard output.
void reopenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

int startWith(const char** argv, int* handle, FdsToClose* fds)
{
    KProcWrapper wrapper(handle ? 0 : KProcWrapper::kNoHandle, -1, fds);
    if (!wrapper.runProcess(argv, false))
        return -1;
    if (handle)
        *handle = wrapper.processHandle();
    return wrapper.processId();
}

} // namespace

int createProcess(const char* cmd, const char* params, int* handle)
{
    const char* argv[] = {cmd, params, nullptr};
    return startWith(argv, handle, nullptr);
}

int createProcessCloseFd(const char* cmd, const char* params, int* handle)
{
    const char* argv[] = {cmd, params, nullptr};
    FdsToClose closeAll;
    return startWith(argv, handle, &closeAll);
}

int createProcessWithParams(const char*, const char** argv, int* handle)
{
    return startWith(argv, handle, nullptr);
}

int createProcessAndWait(const char* cmd, const char* params)
{
    int pid = createProcess(cmd, params, nullptr);
    return pid < 0 ? -1 : waitForProcess(pid);
}

int createProcessWithParamsAndWait(const char* cmd, const char** argv)
{
    int pid = createProcessWithParams(cmd, argv, nullptr);
    return pid < 0 ? -1 : waitForProcess(pid);
}

int waitForProcess(int pid)
{
    return waitBlocking(pid);
}

int waitForProcessClose(int pid)
{
    return waitBlocking(pid);
}

int waitForProcessKill(int pid, unsigned int seconds)
{
    if (seconds == 0 || seconds == 0xFFFFFFFFu)
        return waitBlocking(pid);
    const uint32_t limitMs = seconds * 1000u;
    const uint64_t start = getMs64();
    for (;;) {
        int status = 0;
        int result = waitpid(pid, &status, WNOHANG);
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return -1;
        if (result == pid)
            return decodeStatus(status);
        if (getMs64() - start > limitMs) {
            kill(pid, SIGKILL);
            waitBlocking(pid);
            return -1;
        }
        msleep(1000, false);
    }
}

bool killProcess(int pid)
{
    if (pid <= 0 || kill(pid, SIGKILL) != 0)
        return false;
    waitBlocking(pid);
    return true;
}

bool setProcessPriority(int pid, int priority)
{
    if (priority == -1)
        return false;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(pid), priority) == 0;
}

int adjustOomScore(int, int)
{
    return 0;
}

KProcWrapper::KProcWrapper(int flags, int priority, FdsToClose* fds)
    : flags_(flags)
    , priority_(priority)
    , fds_(fds)
{
    std::memset(outBuffer_, 0, sizeof outBuffer_);
    std::memset(errBuffer_, 0, sizeof errBuffer_);
    outPosition_ = outBuffer_;
    errPosition_ = errBuffer_;
    if (flags_ & kPipeStdInOut) {
        PipeServer::ServerParams in, out;
        in.mode = Pipe::kRead;
        out.mode = Pipe::kWrite;
        inOutReady_ = stdIn_.create(in) && stdOut_.create(out);
    }
    if (flags_ & kPipeStdErr) {
        PipeServer::ServerParams err;
        err.mode = Pipe::kWrite;
        errReady_ = stdErr_.create(err);
    }
}

KProcWrapper::~KProcWrapper()
{
    for (PipeServer* pipe : {&stdIn_, &stdOut_, &stdErr_}) {
        pipe->close(Pipe::kRead);
        pipe->close(Pipe::kWrite);
    }
    if ((flags_ & kKillOnDestroy) && pid_ > 0)
        killProcess(pid_);
}

bool KProcWrapper::runProcess(const char** argv, bool ignoreSigpipe)
{
    if (!argv || !argv[0])
        return false;
    if (((flags_ & kPipeStdInOut) && !inOutReady_) || ((flags_ & kPipeStdErr) && !errReady_))
        return false;
    // The child does more than exec (descriptor shuffling, closing, signal
    // set-up), which is not allowed after vfork: fork is used in every case.
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0)
        runChild(argv, ignoreSigpipe); // never returns

    pid_ = pid;
    if (ignoreSigpipe)
        signal(SIGPIPE, SIG_IGN);
    if (flags_ & kPipeStdInOut) {
        stdIn_.close(Pipe::kRead);
        stdOut_.close(Pipe::kWrite);
    }
    if (flags_ & kPipeStdErr)
        stdErr_.close(Pipe::kWrite);
    if (priority_ != -1)
        setProcessPriority(pid_, priority_);
    handle_ = pid_;
    return true;
}

void KProcWrapper::runChild(const char** argv, bool ignoreSigpipe)
{
    if (ignoreSigpipe)
        signal(SIGPIPE, SIG_IGN);
    int inRead = -1, inWrite = -1, outRead = -1, outWrite = -1, errRead = -1, errWrite = -1;
    stdIn_.getHandle(Pipe::kRead, inRead);
    stdIn_.getHandle(Pipe::kWrite, inWrite);
    stdOut_.getHandle(Pipe::kRead, outRead);
    stdOut_.getHandle(Pipe::kWrite, outWrite);
    stdErr_.getHandle(Pipe::kRead, errRead);
    stdErr_.getHandle(Pipe::kWrite, errWrite);
    if (fds_) {
        if (flags_ & kPipeStdInOut) {
            doNotCloseThisFd(inRead);
            doNotCloseThisFd(outWrite);
        }
        if (flags_ & kPipeStdErr)
            doNotCloseThisFd(errWrite);
        closeSelectedFds(*fds_);
    }
    if (flags_ & kPipeStdInOut) {
        close(inWrite);
        close(outRead);
        if (dup2(inRead, 0) == 0 && inRead != 0)
            close(inRead);
        if (dup2(outWrite, 1) == 1 && outWrite != 1)
            close(outWrite);
    }
    if (flags_ & kPipeStdErr) {
        close(errRead);
        if (dup2(errWrite, 2) == 2 && errWrite != 2)
            close(errWrite);
    }
    reopenStandardDescriptors();
    for (int attempt = 0; attempt < 3; ++attempt) {
        execvp(argv[0], const_cast<char* const*>(argv));
        if (errno == EINTR) {
            --attempt;
            continue;
        }
        if (errno != EAGAIN)
            break;
    }
    _exit(execFailExitCode_);
}

int KProcWrapper::waitForProcess()
{
    return tiny::waitForProcess(handle_);
}

int KProcWrapper::waitForProcessKill(unsigned int seconds)
{
    return tiny::waitForProcessKill(handle_, seconds);
}

long KProcWrapper::readFromPipe(PipeServer& pipe, char* buffer)
{
    unsigned long got = 0;
    if (!pipe.read(buffer, kLineBuffer - 1, got))
        return -1;
    return static_cast<long>(got);
}

unsigned long KProcWrapper::readLine(
    std::string& line, PipeServer& pipe, char* buffer, char*& position)
{
    for (;;) {
        if (position == buffer) {
            long got = readFromPipe(pipe, buffer);
            if (got <= 0)
                return line.size();
            buffer[got] = '\0';
        }
        char* newline = std::strchr(position, '\n');
        if (newline) {
            line.append(position, static_cast<size_t>(newline - position + 1));
            position = newline + 1;
            if (*position == '\0')
                position = buffer;
            return line.size();
        }
        line.append(position);
        position = buffer;
    }
}

unsigned long KProcWrapper::readLineFromStdOut(std::string& line)
{
    line.clear();
    if (!inOutReady_)
        return 0;
    return readLine(line, stdOut_, outBuffer_, outPosition_);
}

unsigned long KProcWrapper::readLineFromStdErr(std::string& line)
{
    line.clear();
    if (!errReady_)
        return 0;
    return readLine(line, stdErr_, errBuffer_, errPosition_);
}

bool KProcWrapper::readFromStd(
    PipeServer& pipe, std::string& out, char*& position, char* bufferStart)
{
    if (position != bufferStart) {
        out.append(position);
        position = bufferStart;
    }
    long got = readFromPipe(pipe, bufferStart);
    if (got <= 0)
        return false;
    out.append(bufferStart, static_cast<size_t>(got));
    return true;
}

bool KProcWrapper::readFromStdOut(std::string& out)
{
    if (!inOutReady_)
        return false;
    return readFromStd(stdOut_, out, outPosition_, outBuffer_);
}

bool KProcWrapper::readFromStdErr(std::string& out)
{
    if (!errReady_)
        return false;
    return readFromStd(stdErr_, out, errPosition_, errBuffer_);
}

unsigned long KProcWrapper::writeLineToStdIn(const std::string& line)
{
    if (!inOutReady_)
        return 0;
    std::string text = line;
    if (text.empty() || text.back() != '\n')
        text += '\n';
    unsigned long written = 0;
    if (!stdIn_.write(text.data(), text.size(), written))
        return 0;
    return written;
}

void KProcWrapper::createCmdLineString(const char** argv, std::string& out, bool quoteFirst)
{
    if (!argv || !argv[0])
        return;
    for (int i = 0; argv[i]; ++i) {
        if (i > 0)
            out += ' ';
        if (i == 0 && quoteFirst)
            out.append("\"").append(argv[0]).append("\"");
        else
            out += argv[i];
    }
}

void KProcWrapper::doNotCloseThisFd(int fd)
{
    if (!fds_)
        return;
    auto& list = fds_->fds;
    auto found = std::find(list.begin(), list.end(), fd);
    if (!fds_->closeListed) {
        if (found == list.end())
            list.push_back(fd);
    } else if (found != list.end()) {
        list.erase(found);
    }
}

} // namespace tavir::tiny
