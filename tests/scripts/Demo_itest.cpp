// The demo's stand-in target (scripts/demo.py, which run.sh --demo and
// --target start) as a user meets it: a run into it, the demo stopped and
// started again, a second run that finds everything there, and a start
// afresh that empties it. The runs are zorp-engine-run's, from a Dovecot
// source.
#include "support/ChildProcess.h"
#include "support/Dovecot.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace tavir::test {
namespace {

// The demo script with `keep` as its keeping folder, until stop().
class RunningDemo {
public:
    RunningDemo(const TempDir& keep, bool fresh)
    {
        std::vector<std::string> argv = {"python3", std::string(TAVIR_SOURCE_DIR) + "/scripts/demo.py",
            "--target-only"};
        if (fresh)
            argv.push_back("--fresh");
        argv.push_back(keep.path());
        argv.push_back(files_.file("ready"));
        ChildProcess::Options options;
        options.outputFile = files_.file("said");
        options.ownGroup = true;
        process_ = std::make_unique<ChildProcess>(argv, options);
        process_->waitReady([this] { return std::filesystem::exists(files_.file("ready")); }, 60000,
            "the demo", [this] { return said(); });
    }

    std::string said() const { return readFile(files_.file("said")); }
    // "127.0.0.N:port", the stand-in's IMAP service as the guide gives it.
    std::string target() const
    {
        std::smatch found;
        const std::string text = said();
        return std::regex_search(text, found,
                   std::regex(R"(Hostname  (127\.0\.0\.\d+:\d+)  \("Use SSL connection" off\))"))
            ? found[1].str()
            : std::string();
    }
    // Stops it as Ctrl-C does; what it said, the listing of what the
    // target holds last.
    std::string stop()
    {
        EXPECT_TRUE(process_->kill(SIGINT, 20000));
        return said();
    }

private:
    TempDir files_;
    std::unique_ptr<ChildProcess> process_;
};

TEST(Demo, TheStandInKeepsWhatARunLeftForASecondRunUntilStartedAfresh)
{
    if (!Dovecot::available())
        GTEST_SKIP() << Dovecot::unavailable();
    Dovecot source(std::map<std::string, std::string>{{"alice@demo.test", "Pw-alice"}});
    {
        RawImap imap(source.port());
        ASSERT_TRUE(imap.login("alice@demo.test", "Pw-alice"));
        for (int i = 1; i <= 3; ++i)
            ASSERT_TRUE(imap.append("INBOX", "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n"));
    }
    TempDir keep, home, files;
    writeFile(files.file("accounts.txt"), "alice@demo.test;Pw-alice\n");
    ScopedEnv password("ZORP_ADMIN_PASSWORD", "demo-admin");
    const struct {
        const char* name;
        bool fresh;
        const char* guide; // what the guide says of the stand-in's folder
        const char* run; // what the run says of the messages
    } rows[] = {
        {"the first run", false, "\nfrom this run on. Start it again for a second run",
            "\nzorp-engine-run: Messages: 3 copied, 0 failed, 0 not reached, 0 on the target "
            "already"},
        {"a second run", false,
            "\nas the last run left them: 1 mailbox, 3 messages. Start it again",
            "\nzorp-engine-run: Messages: 0 copied, 0 failed, 0 not reached, 3 on the target "
            "already"},
        {"started afresh", true, "\nfrom this run on. Start it again for a second run",
            "\nzorp-engine-run: Messages: 3 copied, 0 failed, 0 not reached, 0 on the target "
            "already"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RunningDemo demo(keep, row.fresh);
        EXPECT_NE(std::string::npos,
            demo.said().find("The stand-in keeps its accounts, mail and settings in\n  "
                + keep.file("target-mail") + row.guide))
            << demo.said();
        const std::string target = demo.target();
        ASSERT_FALSE(target.empty()) << demo.said();
        // The guide fits an 80-column terminal: only a path wider than
        // that has a line of its own beyond it.
        std::istringstream guide(demo.said());
        for (std::string line; std::getline(guide, line);) {
            const std::size_t words = line.find_first_not_of(' ');
            EXPECT_TRUE(line.size() <= 80
                || line.find(' ', words == std::string::npos ? 0 : words) == std::string::npos)
                << line.size() << ": " << line;
        }
        TempDir logs;
        ChildProcess::Options output;
        output.outputFile = logs.file("said");
        ChildProcess run({std::string(TAVIR_BINARY_DIR) + "/bin/zorp-engine-run", "--home",
                             home.path(), "--admin", "admin",
                             "127.0.0.1:" + std::to_string(source.port()), target,
                             files.file("accounts.txt"), logs.path()},
            output);
        EXPECT_EQ(0, run.wait(120000)) << readFile(logs.file("said"));
        EXPECT_NE(std::string::npos, readFile(logs.file("said")).find(row.run))
            << readFile(logs.file("said"));
        const std::string said = demo.stop();
        EXPECT_NE(std::string::npos,
            said.find("What the stand-in target holds (kept in " + keep.file("target-mail")
                + "):\n"))
            << said;
        EXPECT_NE(std::string::npos, said.find("  alice@demo.test  INBOX: 3 messages\n")) << said;
        if (HasFailure())
            return;
    }
}

} // namespace
} // namespace tavir::test
