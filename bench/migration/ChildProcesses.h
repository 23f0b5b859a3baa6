#pragma once
// Runs jobs in child processes started together and measures them: wall
// time until the last one ends, and each one's peak resident memory as the
// kernel counted it (wait4). A child starts with what it inherits at fork
// (and keeps that peak across exec), so the calling process must stay small.
#include "MeasuredRun.h"

#include <functional>
#include <string>
#include <vector>

namespace tavir::bench {

// A job runs in the child and returns its exit code; 0 is success.
using ChildJob = std::function<int()>;

// Starts every job in its own child process, waits for all of them and
// fills a RunResult; ok when every child exited with 0.
RunResult runChildren(const std::vector<ChildJob>& jobs);

// A job that runs a program with its standard output and error appended to
// `logFile`.
ChildJob programJob(const std::vector<std::string>& argv, const std::string& logFile);

} // namespace tavir::bench
