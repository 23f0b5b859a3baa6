#pragma once
// Child processes with optional pipes on their standard streams.
#include "tiny/Descriptors.h"
#include "tiny/Pipe.h"

#include <string>

namespace tavir::tiny {

// Each returns the child's process id, or -1 when no child was started.
int createProcess(const char* cmd, const char* params, int* handle);
int createProcessCloseFd(const char* cmd, const char* params, int* handle);
int createProcessWithParams(const char* cmd, const char** argv, int* handle);
// Start, then wait: the exit code, or -1.
int createProcessAndWait(const char* cmd, const char* params);
int createProcessWithParamsAndWait(const char* cmd, const char** argv);

// The exit code 0-254 of a finished child; -1 for a failed wait, a child
// ended by a signal, or exit code 255 (a program that could not be run).
int waitForProcess(int pid);
int waitForProcessClose(int pid);
// Waits at most `seconds` (checked once a second), then kills: -1 after a kill.
int waitForProcessKill(int pid, unsigned int seconds);
bool killProcess(int pid);
bool setProcessPriority(int pid, int priority);
int adjustOomScore(int pid, int score);

class KProcWrapper {
public:
    enum Flags {
        kPipeStdInOut = 1,
        kKillOnDestroy = 2,
        kNoHandle = 4,
        kUseVfork = 8,
        kPipeStdErr = 16,
    };

    KProcWrapper(int flags, int priority, FdsToClose* fds);
    ~KProcWrapper();
    KProcWrapper(const KProcWrapper&) = delete;
    KProcWrapper& operator=(const KProcWrapper&) = delete;

    bool runProcess(const char** argv, bool ignoreSigpipe);
    void setExecFailExitCode(int code) { execFailExitCode_ = code; }

    int waitForProcess();
    int waitForProcessKill(unsigned int seconds);
    int processId() const { return pid_; }
    int processHandle() const { return handle_; }

    unsigned long readLineFromStdOut(std::string& line);
    unsigned long readLineFromStdErr(std::string& line);
    bool readFromStdOut(std::string& out);
    bool readFromStdErr(std::string& out);
    unsigned long writeLineToStdIn(const std::string& line);

    static void createCmdLineString(const char** argv, std::string& out, bool quoteFirst);
    void doNotCloseThisFd(int fd);

private:
    static constexpr int kLineBuffer = 513;

    bool readFromStd(PipeServer& pipe, std::string& out, char*& position, char* bufferStart);
    static long readFromPipe(PipeServer& pipe, char* buffer);
    static unsigned long readLine(
        std::string& line, PipeServer& pipe, char* buffer, char*& position);
    void runChild(const char** argv, bool ignoreSigpipe);

    int flags_;
    char outBuffer_[kLineBuffer];
    char errBuffer_[kLineBuffer];
    int pid_ = -1;
    int handle_ = -1;
    int priority_;
    FdsToClose* fds_;
    char* outPosition_;
    char* errPosition_;
    PipeServer stdIn_;
    PipeServer stdOut_;
    PipeServer stdErr_;
    bool inOutReady_ = false;
    bool errReady_ = false;
    int execFailExitCode_ = -1;
};

} // namespace tavir::tiny
