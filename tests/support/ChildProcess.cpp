#include "support/ChildProcess.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

namespace tavir::test {

ChildProcess::ChildProcess(const std::function<int()>& job, const Options& options)
{
    int input[2] = {-1, -1};
    if (options.pipeInput && pipe2(input, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const utils::Descriptor childInput(input[0]);
    utils::Descriptor parentInput(input[1]);
    std::fflush(nullptr); // nothing buffered is written twice
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) // the parent died before the line above
            _exit(1);
        if (options.ownGroup)
            setpgid(0, 0);
        setenv("TMPDIR", temporaries_.path().c_str(), 1);
        if (childInput.valid())
            dup2(childInput.get(), STDIN_FILENO);
        int code = 1;
        try {
            code = job();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child job failed: %s\n", e.what());
        }
        std::fflush(nullptr);
        _exit(code);
    }
    running_ = true;
    group_ = options.ownGroup;
    if (group_)
        setpgid(pid_, pid_); // as the child does: whichever runs first
    input_ = std::move(parentInput);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options)
    : ChildProcess([&] { return runProgram(argv, options.outputFile, options.errorFile); }, options)
{
}

ChildProcess::~ChildProcess()
{
    closeInput();
    kill();
}

namespace {

// Standard output or error (`stream`) appended to the file at `path`.
void appendTo(const std::string& path, int stream)
{
    // A terminal named here does not become the child's controlling one.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY, 0644);
    if (fd < 0)
        return;
    dup2(fd, stream);
    ::close(fd);
}

} // namespace

int ChildProcess::runProgram(
    const std::vector<std::string>& argv, const std::string& outputFile, const std::string& errorFile)
{
    if (!outputFile.empty())
        appendTo(outputFile, STDOUT_FILENO);
    const std::string& errors = errorFile.empty() ? outputFile : errorFile;
    if (!errors.empty())
        appendTo(errors, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::perror(args[0]);
    return 127;
}

bool ChildProcess::ended(int* status, rusage* usage)
{
    if (running_ && wait4(pid_, status, WNOHANG, usage) != 0)
        running_ = false;
    return !running_;
}

void ChildProcess::waitReady(const std::function<bool()>& ready, int ms, const std::string& what,
    const std::function<std::string()>& detail)
{
    if (waitUntil([&] { return ended() || ready(); }, ms) && running_)
        return;
    const std::string why = running_
        ? what + " did not start within " + std::to_string(ms / 1000) + " seconds"
        : what + " exited at start-up";
    kill();
    throw std::runtime_error(detail ? why + ": " + detail() : why);
}

int ChildProcess::wait(int ms, rusage* usage)
{
    int status = -1; // stays so when the child was reaped before: no exit code
    if (ms < 0) {
        while (running_ && wait4(pid_, &status, 0, usage) < 0 && errno == EINTR) { }
        running_ = false;
    } else if (!waitUntil([&] { return ended(&status, usage); }, ms, 10)) {
        kill();
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ChildProcess::kill(int signal, int graceMs)
{
    if (!running_)
        return false;
    const pid_t target = group_ ? -pid_ : pid_;
    const bool reached = ::kill(target, signal) == 0;
    if (graceMs <= 0 || !waitUntil([this] { return ended(); }, graceMs, 10)) {
        ::kill(target, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) { }
    }
    running_ = false;
    return reached;
}

std::string childOutput(const std::function<int(int out)>& job, int* code, rusage* usage)
{
    int pipeFd[2];
    if (pipe2(pipeFd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const utils::Descriptor reading(pipeFd[0]);
    std::unique_ptr<ChildProcess> child;
    {
        const utils::Descriptor writing(pipeFd[1]);
        child = std::make_unique<ChildProcess>([&] { return job(writing.get()); });
    }
    std::string text;
    utils::readAll(reading.get(), text.max_size(), text); // up to the child's end
    const int exitCode = child->wait(-1, usage);
    if (code)
        *code = exitCode;
    return text;
}

} // namespace tavir::test
