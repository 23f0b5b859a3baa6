#pragma once
// Shared by the engine tests: logs opened into a temporary folder,
// callbacks that record what the engine's threads report, and a source that
// quotes refused logins back.
#include "Imap/engine/IMigrator.h"
#include "Imap/engine/LogManager.h"
#include "Imap/textconv/TextConversion.h"

#include "support/Loopback.h"
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

// A source server that refuses every LOGIN and quotes it back whole, the
// way some servers answer ("<tag> NO [AUTHENTICATIONFAILED] You sent:
// <command>"), a literal's bytes included; LOGOUT gets its BYE.
inline LoopbackServer::Handler echoingLoginRefusals()
{
    return [](PeerSocket& peer) {
        peer.say("* OK [CAPABILITY IMAP4rev1 LITERAL+] echoing\r\n");
        for (std::string command = peer.readLine(); !command.empty(); command = peer.readLine()) {
            // A literal's bytes come on the next line.
            if (command.size() > 2 && command.compare(command.size() - 2, 2, "+}") == 0)
                command += "\r\n" + peer.readLine();
            const std::string tag = PeerSocket::tagOf(command);
            if (command.find(" LOGOUT") != std::string::npos) {
                peer.say("* BYE logging out\r\n" + tag + " OK LOGOUT done\r\n");
                return;
            }
            peer.say(tag + " NO [AUTHENTICATIONFAILED] You sent: " + command + "\r\n");
        }
    };
}

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
