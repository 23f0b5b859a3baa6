#include "ChildProcesses.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

namespace tavir::bench {

RunResult runChildren(const std::vector<ChildJob>& jobs)
{
    RunResult result;
    std::fflush(nullptr); // nothing buffered is written twice by the children
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (const ChildJob& job : jobs) {
        pid_t pid = fork();
        if (pid == 0) {
            int code = 1;
            try {
                code = job();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child job failed: %s\n", e.what());
            }
            std::fflush(nullptr);
            _exit(code);
        }
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

} // namespace tavir::bench
