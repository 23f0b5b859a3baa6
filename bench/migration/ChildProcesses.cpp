#include "ChildProcesses.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace tavir::bench {

namespace {

// Forks a child that runs `job` and exits with its code (1 when it
// throws); the child dies with the benchmark. -1 when fork fails.
pid_t startChild(const ChildJob& job)
{
    std::fflush(nullptr); // nothing buffered is written twice by the children
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int code = 1;
    if (getppid() == parent) {
        try {
            code = job();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child job failed: %s\n", e.what());
        }
    }
    std::fflush(nullptr);
    _exit(code);
}

void writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// What the other end writes until it closes, or until `untilLine` and a
// line end came, or until `timeoutMs` passed without a byte (-1: no limit).
std::string readFrom(int fd, bool untilLine, int timeoutMs)
{
    std::string text;
    char chunk[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return text;
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(chunk, static_cast<std::size_t>(n));
        if (untilLine && text.find('\n') != std::string::npos)
            return text;
    }
}

double cpuSeconds(const rusage& usage)
{
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

RunResult runChildren(const std::vector<ChildJob>& jobs)
{
    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (const ChildJob& job : jobs) {
        const pid_t pid = startChild(job);
        if (pid < 0) {
            result.error = "fork failed";
            break;
        }
        children.push_back(pid);
    }
    bool allExited = result.error.empty();
    // Each child by its id: the servers the benchmark started are children
    // of this process too.
    for (pid_t child : children) {
        int status = 0;
        rusage usage{};
        if (wait4(child, &status, 0, &usage) != child) {
            result.error = "wait4 failed";
            allExited = false;
            continue;
        }
        result.peakKb = std::max(result.peakKb, usage.ru_maxrss);
        result.peakSumKb += usage.ru_maxrss;
        result.cpuSeconds += cpuSeconds(usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            allExited = false;
            if (result.error.empty())
                result.error = "a child process failed (status " + std::to_string(status) + ")";
        }
    }
    result.seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.ok = allExited;
    return result;
}

RunResult runChildren(unsigned count, const std::function<int(unsigned)>& job)
{
    std::vector<ChildJob> jobs;
    for (unsigned k = 0; k < count; ++k)
        jobs.push_back([&job, k] { return job(k); });
    return runChildren(jobs);
}

ChildJob programJob(const std::vector<std::string>& argv, const std::string& logFile)
{
    return [argv, logFile]() -> int {
        int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::perror(args[0]);
        return 127;
    };
}

std::string answerFromChild(const std::function<std::string()>& job)
{
    int pipeFd[2];
    if (pipe(pipeFd) != 0)
        return "pipe failed";
    const pid_t pid = startChild([&] {
        close(pipeFd[0]);
        std::string answer;
        try {
            answer = job();
        } catch (const std::exception& e) {
            answer = std::string("failed: ") + e.what();
        }
        writeAll(pipeFd[1], answer);
        return 0;
    });
    close(pipeFd[1]);
    if (pid < 0) {
        close(pipeFd[0]);
        return "fork failed";
    }
    std::string answer = readFrom(pipeFd[0], false, -1);
    close(pipeFd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if ((!WIFEXITED(status) || WEXITSTATUS(status) != 0) && answer.empty())
        return "the child process ended with status " + std::to_string(status);
    return answer;
}

ServerChild::ServerChild(const Serve& serve)
{
    int pipeFd[2];
    if (pipe(pipeFd) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = startChild([&] {
        close(pipeFd[0]);
        try {
            serve([&](const std::string& text) {
                writeAll(pipeFd[1], "ready " + text + "\n");
                close(pipeFd[1]);
            });
        } catch (const std::exception& e) {
            writeAll(pipeFd[1], std::string("error ") + e.what() + "\n");
        }
        return 1;
    });
    close(pipeFd[1]);
    const std::string said = pid_ < 0 ? "error fork failed\n" : readFrom(pipeFd[0], true, 20000);
    close(pipeFd[0]);
    const std::string line = said.substr(0, said.find('\n'));
    if (line.compare(0, 6, "ready ") == 0) {
        told_ = line.substr(6);
        return;
    }
    stop();
    throw std::runtime_error("a server of the benchmark did not start: "
        + (line.compare(0, 6, "error ") == 0 ? line.substr(6) : std::string("no word from it")));
}

ServerChild::~ServerChild()
{
    stop();
}

void ServerChild::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

} // namespace tavir::bench
