#pragma once
// Child processes of the benchmark, all started here: jobs started together
// and measured (wall time until the last one ends; each one's peak resident
// memory and CPU time as the kernel counted them, wait4), a job whose answer
// comes back as text, and servers that run beside the copies until they
// are let go. A child starts with what it inherits at fork (and keeps that
// peak across exec), so the calling process must stay small, and it must
// have no thread of its own when it forks.
#include "MeasuredRun.h"
#include "support/ChildProcess.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavir::bench {

// A job runs in the child and returns its exit code; 0 is success.
using ChildJob = std::function<int()>;

// Starts every job in its own child process, waits for all of them and
// fills a RunResult; ok when every child exited with 0.
RunResult runChildren(const std::vector<ChildJob>& jobs);
// The same with `count` children, child k running job(k).
RunResult runChildren(unsigned count, const std::function<int(unsigned)>& job);

// A job that runs a program with its standard output and error appended to
// `logFile`.
ChildJob programJob(const std::vector<std::string>& argv, const std::string& logFile);

// Runs `job` in a child process and returns the text it returned (or the
// sentence of what it threw, or of how the child ended), so that whatever
// the job reads into memory never swells this process.
std::string answerFromChild(const std::function<std::string()>& job);

// A server in a child process of its own (a relay, the instant target),
// killed when this object goes away or the benchmark ends.
class ServerChild {
public:
    // Runs in the child: sets the server up, calls ready() with what the
    // benchmark needs to know (the address it took), then serves until the
    // child is killed. What it throws before ready() ends the child.
    using Serve = std::function<void(const std::function<void(const std::string&)>& ready)>;

    // Throws std::runtime_error with the child's sentence when it ends, or
    // says nothing for 20 seconds, before it is ready.
    explicit ServerChild(const Serve& serve);
    ~ServerChild();
    ServerChild(const ServerChild&) = delete;
    ServerChild& operator=(const ServerChild&) = delete;

    // What the child passed to ready().
    const std::string& told() const { return told_; }

private:
    std::unique_ptr<tavir::test::ChildProcess> child_;
    std::string told_;
};

} // namespace tavir::bench
