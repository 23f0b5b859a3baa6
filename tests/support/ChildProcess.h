#pragma once
// The one way tests and benchmarks start a process of their own: forked,
// running a job or (through exec) a program, killed by the kernel when the
// process that started it dies (a test that aborts without its destructors
// leaves nothing behind to hold its output pipe open), optionally leading a
// process group so that whatever it starts ends with it, waited for with a
// deadline, and ended (killed and reaped) at the latest when the object goes.
// Its temporary files and folders (TMPDIR) go into a folder of its own,
// removed once it is reaped: a child that ends without its destructors (by
// a signal, by _exit) leaves nothing behind either.
#include "support/TestSupport.h"
#include "utils/Descriptor.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace tavir::test {

struct ChildOptions {
    // A program's standard output and error, appended; empty: inherited.
    std::string outputFile;
    // Standard input is a pipe that write() feeds; otherwise inherited.
    bool pipeInput = false;
    // The child leads a process group, which kill() signals whole.
    bool ownGroup = false;
    // Its standard error apart, appended (a file, or a terminal by its
    // name); empty: with the output.
    std::string errorFile;
};

class ChildProcess {
public:
    using Options = ChildOptions;

    // Runs `job` in the child, which exits with what the job returns (1 when
    // it throws). Throws std::runtime_error when no child can be made.
    explicit ChildProcess(const std::function<int()>& job, const Options& options = {});
    // Runs the program argv[0], looked up on PATH.
    explicit ChildProcess(const std::vector<std::string>& argv, const Options& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // In a child: its standard output and error appended to `outputFile`
    // when one is named (standard error to `errorFile` when that is), then
    // the program in its place; 127 when it can't be run.
    static int runProgram(const std::vector<std::string>& argv, const std::string& outputFile = {},
        const std::string& errorFile = {});

    // Its process id, also once it has ended.
    pid_t pid() const { return pid_; }
    // Asks `ready` every 20 ms until it says yes. When the child ends first
    // or `ms` pass, the child is ended and std::runtime_error thrown:
    // "<what> exited at start-up" or "<what> did not start within N
    // seconds", followed by ": " and detail() when it is given.
    void waitReady(const std::function<bool()>& ready, int ms, const std::string& what,
        const std::function<std::string()>& detail = {});
    // Waits at most `ms` for the child's end (negative: as long as it takes,
    // for the measured jobs of benchmarks), then kills it. Its exit code, or
    // -1 when it was killed, ended by a signal, timed out or was reaped
    // before; `usage` gets what it used, as wait4 tells it.
    int wait(int ms, rusage* usage = nullptr);
    // Sends `signal` (to its whole group when it leads one) and, when it has
    // not ended within `graceMs`, SIGKILL; then reaps it. True when the
    // child was there to receive the signal.
    bool kill(int signal = SIGKILL, int graceMs = 0);
    // Feeds its standard input (pipeInput).
    void write(const std::string& bytes) { utils::writeAll(input_.get(), bytes); }
    void closeInput() { input_.reset(); }

private:
    // Reaps the child if it has ended; true when it has (or was reaped before).
    bool ended(int* status = nullptr, rusage* usage = nullptr);

    // The child's TMPDIR, removed once the destructor has reaped the child.
    TempDir temporaries_;

    pid_t pid_ = -1;
    bool running_ = false;
    bool group_ = false;
    utils::Descriptor input_;
};

// What `job`, run in a child process, writes to `out` (a pipe) until it
// ends; `code` gets its exit code and `usage` what it used, as
// ChildProcess::wait tells them.
std::string childOutput(
    const std::function<int(int out)>& job, int* code = nullptr, rusage* usage = nullptr);

} // namespace tavir::test
