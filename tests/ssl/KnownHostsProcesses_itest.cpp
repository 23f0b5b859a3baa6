// Several processes pinning servers in one known-hosts file at the same
// moment: no line is lost, and a server they all meet is recorded once; a
// program that holds the file and hangs delays a check only within its
// bounds.
#include "ssl/KnownHosts.h"

#include "ssl/StopSignal.h"
#include "support/ChildProcess.h"
#include "support/LockHolder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

using tavir::ssl::KnownHosts;

TEST(KnownHostsProcesses, ConcurrentWritersLoseNoLine)
{
    constexpr int processes = 6;
    constexpr int hostsEach = 30;
    tavir::test::TempDir dir;
    const std::string path = dir.file("admin/known_hosts.cfg");
    tavir::utils::PrivateLocation where{dir.path(), "admin/known_hosts.cfg"};
    int go[2];
    ASSERT_EQ(0, pipe(go));
    std::vector<std::unique_ptr<tavir::test::ChildProcess>> children;
    for (int p = 0; p < processes; ++p) {
        children.push_back(std::make_unique<tavir::test::ChildProcess>([&] {
            close(go[1]);
            char start;
            if (read(go[0], &start, 1) != 0) // released together when the pipe closes
                return 3;
            KnownHosts known(where);
            int failures = 0;
            std::string sentence;
            for (int h = 0; h < hostsEach; ++h) {
                std::string host = "host" + std::to_string(p) + "-" + std::to_string(h);
                failures += known.check(host, 44337, "aa:" + std::to_string(p), sentence)
                    != KnownHosts::Verdict::Recorded;
                auto shared = known.check("shared.host", 44337, "ff:ff", sentence);
                failures += shared != KnownHosts::Verdict::Recorded
                    && shared != KnownHosts::Verdict::Known;
            }
            return failures == 0 ? 0 : 1;
        }));
    }
    close(go[0]);
    close(go[1]);
    for (const auto& child : children)
        EXPECT_EQ(0, child->wait(60000));

    std::map<std::string, int> seen;
    std::istringstream lines(tavir::test::readFile(path));
    std::string line;
    while (std::getline(lines, line))
        ++seen[line.substr(0, line.find(": "))];
    EXPECT_EQ(static_cast<std::size_t>(processes * hostsEach + 1), seen.size());
    EXPECT_EQ(1, seen["shared.host:44337"]);
    for (const auto& [key, count] : seen)
        EXPECT_EQ(1, count) << key;
}

// The wait for another program's lock on the file ends at the connection's
// deadline, or at once when the connection is stopped; a server on record as
// it is needs no lock. The holder is another process, as a hung program is.
TEST(KnownHostsProcesses, TheLockIsWaitedForWithinTheDeadlineAndUntilAStop)
{
    using namespace std::chrono;
    tavir::test::TempDir dir;
    const std::string path = dir.file("known_hosts.cfg");
    tavir::test::writeFile(path, "");
    struct Case {
        const char* name;
        int deadlineMs; // from the start of the check
        int stopAfterMs; // -1: no stop
        int releaseAfterMs; // -1: held throughout
        KnownHosts::Verdict verdict;
        const char* says;
        int tookMs; // about
    } cases[] = {
        {"held past the deadline", 300, -1, -1, KnownHosts::Verdict::Failed,
            "stayed locked by another program for 0.3 s", 300},
        {"stopped while it waits", 5000, 200, -1, KnownHosts::Verdict::Failed,
            "the check of the certificate of h:993 was stopped", 200},
        {"stopped before", 5000, 0, -1, KnownHosts::Verdict::Failed, "was stopped", 0},
        {"released within the deadline", 5000, -1, 200, KnownHosts::Verdict::Recorded,
            "first connection to h:993", 200},
        {"on record as it is: no wait for the lock", 5000, -1, -1, KnownHosts::Verdict::Known, "",
            0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavir::utils::StopSignal stop;
        tavir::test::LockHolder holder(path, "r+");
        ASSERT_TRUE(holder.opened());
        std::thread other([&] {
            const int first = c.stopAfterMs >= 0 ? c.stopAfterMs : c.releaseAfterMs;
            if (first < 0)
                return;
            std::this_thread::sleep_for(milliseconds(first));
            if (c.stopAfterMs >= 0)
                stop.raise();
            else
                holder.release();
        });
        const auto start = steady_clock::now();
        std::string sentence;
        EXPECT_EQ(c.verdict,
            KnownHosts(path).check("h", 993, "aa", sentence,
                KnownHosts::Wait{start + milliseconds(c.deadlineMs), &stop}));
        const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
        other.join();
        EXPECT_NE(std::string::npos, sentence.find(c.says)) << sentence;
        EXPECT_GE(took, c.tookMs - 5);
        EXPECT_LT(took, c.tookMs + 1000) << "a wait that outlives its bound";
    }
}
