#include "ChildProcesses.h"

#include "tiny/ScopeExit.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <stdexcept>

namespace tavir::bench {

using tavir::test::ChildProcess;
using tavir::utils::writeAll;

namespace {

// Adds what the other end has written by now to `text`.
void readFrom(int fd, std::string& text)
{
    char chunk[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 0);
        if (ready < 0 && errno == EINTR)
            continue;
        const ssize_t n = ready > 0 ? read(fd, chunk, sizeof chunk) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.append(chunk, static_cast<std::size_t>(n));
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
    std::vector<std::unique_ptr<ChildProcess>> children;
    try {
        for (const ChildJob& job : jobs)
            children.push_back(std::make_unique<ChildProcess>(job));
    } catch (const std::runtime_error& e) {
        result.error = e.what();
    }
    bool allExited = result.error.empty();
    // Each child by its id: the servers the benchmark started are children
    // of this process too.
    for (const auto& child : children) {
        rusage usage{};
        const int code = child->wait(-1, &usage);
        result.peakKb = std::max(result.peakKb, usage.ru_maxrss);
        result.peakSumKb += usage.ru_maxrss;
        result.cpuSeconds += cpuSeconds(usage);
        if (code != 0) {
            allExited = false;
            if (result.error.empty())
                result.error = "a child process failed (exit code " + std::to_string(code) + ")";
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
    return [argv, logFile] { return ChildProcess::runProgram(argv, logFile); };
}

std::string answerFromChild(const std::function<std::string()>& job)
{
    int code = -1;
    std::string answer;
    try {
        answer = tavir::test::childOutput(
            [&](int out) {
                try {
                    writeAll(out, job());
                } catch (const std::exception& e) {
                    writeAll(out, std::string("failed: ") + e.what());
                }
                return 0;
            },
            &code);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    if (code != 0 && answer.empty())
        return "the child process ended with exit code " + std::to_string(code);
    return answer;
}

ServerChild::ServerChild(const Serve& serve)
{
    int pipeFd[2];
    if (pipe2(pipeFd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const tavir::tiny::ScopeExit closeReadingEnd([&] { close(pipeFd[0]); });
    {
        const tavir::tiny::ScopeExit closeWritingEnd([&] { close(pipeFd[1]); });
        child_ = std::make_unique<ChildProcess>([&] {
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
    }
    std::string said;
    const auto word = [&] {
        readFrom(pipeFd[0], said);
        return said.empty() ? std::string("no word from it") : said.substr(0, said.find('\n'));
    };
    const auto lineCame = [&] {
        word();
        return said.find('\n') != std::string::npos;
    };
    child_->waitReady(lineCame, 20000, "a server of the benchmark", word);
    if (said.compare(0, 6, "ready ") != 0) {
        child_.reset();
        throw std::runtime_error("a server of the benchmark did not start: " + word());
    }
    told_ = word().substr(6);
}

ServerChild::~ServerChild() = default;

} // namespace tavir::bench
