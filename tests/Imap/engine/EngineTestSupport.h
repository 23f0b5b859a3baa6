#pragma once
// Shared by the engine tests: logs opened into a temporary folder, and
// callbacks that record what the engine's threads report.
#include "Imap/engine/IMigrator.h"
#include "Imap/engine/LogManager.h"
#include "Imap/textconv/TextConversion.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tavir::test {

// The process's logs, opened afresh in a temporary folder.
class TempLogs {
public:
    TempLogs() { EXPECT_TRUE(migration::LogManager::instance().open(reportFile(), debugFile())); }
    ~TempLogs() { migration::LogManager::instance().close(); }

    std::string reportFile() const { return dir_.file("report.txt"); }
    std::string debugFile() const { return dir_.file("debug.log"); }
    std::string report() const { return readFile(reportFile()); }
    std::string debug() const { return readFile(debugFile()); }

private:
    TempDir dir_;
};

// Every callback as one word, in order: "started", "status", "stopped" or
// "aborted".
class RecordingCallbacks : public migration::ICallbacks {
public:
    void started() override { add("started"); }
    void statusChanged() override
    {
        add("status");
        if (onStatus)
            onStatus();
    }
    void stopped(bool aborted) override { add(aborted ? "aborted" : "stopped"); }

    // Waits (bounded) for stopped(); true when it came.
    bool waitStopped(int seconds = 60)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(seconds), [this] {
            return !calls_.empty() && (calls_.back() == "stopped" || calls_.back() == "aborted");
        });
    }
    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    // Run on the engine's thread after each statusChanged().
    std::function<void()> onStatus;

private:
    void add(const char* call)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
};

} // namespace tavir::test
