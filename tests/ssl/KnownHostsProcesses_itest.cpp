// Several processes pinning servers in one known-hosts file at the same
// moment: no line is lost, and a server they all meet is recorded once.
#include "ssl/KnownHosts.h"

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>

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
