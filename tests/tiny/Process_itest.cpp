// Child processes run real programs (sh, cat, sleep, head) and are checked
// through their exit codes, their pipes and /proc.
#include "tiny/Process.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

using namespace tavir::tiny;

namespace {

int runShellCode(const char* script)
{
    const char* argv[] = {"sh", "-c", script, nullptr};
    return createProcessWithParamsAndWait(nullptr, argv);
}

bool processGone(int pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

TEST(Process, ExitCodesDecodeAsDocumented)
{
    struct Case {
        const char* script;
        int expected;
    } cases[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"exit 254", 254},
        {"exit 255", -1}, // indistinguishable from a program that could not run
        {"kill -9 $$", -1}, // ended by a signal
        {"kill -TERM $$", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runShellCode(c.script), c.expected) << c.script;
}

TEST(Process, MissingProgramStartsButWaitsAsFailure)
{
    int handle = -1;
    int pid = createProcess("/nonexistent/program-for-zorp", nullptr, &handle);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(handle, pid);
    EXPECT_EQ(waitForProcess(pid), -1);
}

TEST(Process, ParamsIsOneArgumentNotSplit)
{
    tavir::test::TempDir dir;
    std::string script = dir.file("count.sh");
    tavir::test::writeFile(script, "#!/bin/sh\nexit $#\n");
    chmod(script.c_str(), 0755);
    EXPECT_EQ(createProcessAndWait(script.c_str(), "a b c"), 1);
    EXPECT_EQ(createProcessAndWait(script.c_str(), nullptr), 0);
}

TEST(Process, WaitWithLimitKillsARunawayChild)
{
    int handle = -1;
    int pid = createProcess("sleep", "30", &handle);
    ASSERT_GT(pid, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitForProcessKill(handle, 1), -1);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_TRUE(processGone(pid));
}

TEST(Process, WaitWithLimitReturnsTheCodeOfAQuickChild)
{
    int handle = -1;
    ASSERT_GT(createProcess("true", nullptr, &handle), 0);
    EXPECT_EQ(waitForProcessKill(handle, 5), 0);
}

TEST(Process, KillProcessReapsTheChild)
{
    int pid = createProcess("sleep", "30", nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(killProcess(pid));
    EXPECT_TRUE(processGone(pid));
    EXPECT_FALSE(setProcessPriority(getpid(), -1));
}

TEST(ProcWrapper, ReadsLinesKeepingTheirLineFeed)
{
    KProcWrapper child(KProcWrapper::kPipeStdInOut, -1, nullptr);
    const char* argv[] = {"printf", "a\\nb", nullptr};
    ASSERT_TRUE(child.runProcess(argv, true));
    std::string line;
    EXPECT_EQ(child.readLineFromStdOut(line), 2u);
    EXPECT_EQ(line, "a\n");
    EXPECT_EQ(child.readLineFromStdOut(line), 1u);
    EXPECT_EQ(line, "b");
    EXPECT_EQ(child.readLineFromStdOut(line), 0u);
    EXPECT_EQ(line, "");
    EXPECT_EQ(child.waitForProcess(), 0);
}

TEST(ProcWrapper, LinesLongerThanTheBufferArriveWhole)
{
    KProcWrapper child(KProcWrapper::kPipeStdInOut, -1, nullptr);
    const char* argv[]
        = {"sh", "-c", "head -c 1500 /dev/zero | tr '\\0' x; echo; echo end", nullptr};
    ASSERT_TRUE(child.runProcess(argv, true));
    std::string line;
    EXPECT_EQ(child.readLineFromStdOut(line), 1501u);
    EXPECT_EQ(line, std::string(1500, 'x') + "\n");
    child.readLineFromStdOut(line);
    EXPECT_EQ(line, "end\n");
    child.waitForProcess();
}

TEST(ProcWrapper, WritesLinesToStandardInput)
{
    KProcWrapper child(KProcWrapper::kPipeStdInOut, -1, nullptr);
    const char* argv[] = {"head", "-n", "2", nullptr};
    ASSERT_TRUE(child.runProcess(argv, true));
    EXPECT_EQ(child.writeLineToStdIn("a"), 2u);
    EXPECT_EQ(child.writeLineToStdIn("b\n"), 2u);
    std::string out;
    while (child.readFromStdOut(out)) { }
    EXPECT_EQ(out, "a\nb\n");
    EXPECT_EQ(child.waitForProcess(), 0);
}

TEST(ProcWrapper, StandardErrorHasItsOwnPipe)
{
    KProcWrapper child(KProcWrapper::kPipeStdInOut | KProcWrapper::kPipeStdErr, -1, nullptr);
    const char* argv[] = {"sh", "-c", "echo out; echo err >&2", nullptr};
    ASSERT_TRUE(child.runProcess(argv, true));
    std::string line;
    child.readLineFromStdErr(line);
    EXPECT_EQ(line, "err\n");
    child.readLineFromStdOut(line);
    EXPECT_EQ(line, "out\n");
    child.waitForProcess();
}

TEST(ProcWrapper, WithoutPipesNothingIsRead)
{
    KProcWrapper child(0, -1, nullptr);
    std::string text = "kept";
    EXPECT_FALSE(child.readFromStdOut(text));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(child.writeLineToStdIn("x"), 0u);
}

TEST(ProcWrapper, KillOnDestroyEndsTheChild)
{
    int pid;
    {
        KProcWrapper child(KProcWrapper::kKillOnDestroy, -1, nullptr);
        const char* argv[] = {"sleep", "30", nullptr};
        ASSERT_TRUE(child.runProcess(argv, true));
        pid = child.processId();
    }
    EXPECT_TRUE(processGone(pid));
}

TEST(ProcWrapper, NoDescriptorLeaksIntoTheChild)
{
    // Opened without close-on-exec, as a careless caller would.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    FdsToClose keepNone; // nothing listed to keep: close everything not needed
    KProcWrapper child(KProcWrapper::kPipeStdInOut, -1, &keepNone);
    const char* argv[] = {"sh", "-c", "ls /proc/$$/fd", nullptr};
    ASSERT_TRUE(child.runProcess(argv, true));
    std::string listing;
    while (child.readFromStdOut(listing)) { }
    child.waitForProcess();
    close(leaked);
    std::istringstream names(listing);
    std::string name;
    std::vector<int> open;
    while (names >> name)
        open.push_back(std::stoi(name));
    // stdin and stdout are the pipes, stderr was closed and reopened on /dev/null.
    EXPECT_EQ(open, (std::vector<int>{0, 1, 2})) << listing;
}

TEST(ProcWrapper, ClosedStandardDescriptorsAreReopenedOnDevNull)
{
    // The child closes everything, standard descriptors included; a program
    // that then opens a file must not get descriptor 1 for it.
    tavir::test::TempDir dir;
    std::string script = dir.file("probe.sh");
    std::string result = dir.file("result");
    tavir::test::writeFile(
        script, "#!/bin/sh\nt=$(readlink /proc/$$/fd/1)\necho \"$t\" > " + result + "\n");
    chmod(script.c_str(), 0755);
    int handle;
    ASSERT_GT(createProcessCloseFd(script.c_str(), nullptr, &handle), 0);
    EXPECT_EQ(waitForProcess(handle), 0);
    EXPECT_EQ(tavir::test::readFile(result), "/dev/null\n");
}

TEST(Pipe, HandleTextParsing)
{
    struct Case {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"12", true, 12},
        {"-3", true, -3},
        {"", false, 0},
        {"12a", false, 0},
        {"2147483648", false, 0},
        {"2147483647", true, 2147483647},
    };
    for (const auto& c : cases) {
        int handle = 77;
        EXPECT_EQ(Pipe::getHandleFromString(c.text, handle), c.ok) << c.text;
        EXPECT_EQ(handle, c.ok ? c.value : 77) << c.text;
    }
}

TEST(Pipe, AnonymousPipeCarriesBytesAndClosesEnds)
{
    PipeServer pipe;
    PipeServer::ServerParams params;
    ASSERT_TRUE(pipe.create(params));
    EXPECT_FALSE(pipe.create(params)) << "already open";
    unsigned long count = 0;
    ASSERT_TRUE(pipe.write("hello", 5, count));
    EXPECT_EQ(count, 5u);
    char buffer[16];
    ASSERT_TRUE(pipe.read(buffer, sizeof buffer, count));
    EXPECT_EQ(std::string(buffer, count), "hello");
    EXPECT_TRUE(pipe.close(Pipe::kWrite));
    EXPECT_FALSE(pipe.read(buffer, sizeof buffer, count)) << "end of data";
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(pipe.close(3));
    std::string text;
    EXPECT_TRUE(pipe.getHandleString(Pipe::kRead, text));
    EXPECT_FALSE(text.empty());

    PipeServer named;
    params.name = "named";
    EXPECT_FALSE(named.create(params));
}

TEST(ProcWrapper, CommandLineText)
{
    const char* argv[] = {"prog", "-a", "b c", nullptr};
    std::string out;
    KProcWrapper::createCmdLineString(argv, out, true);
    EXPECT_EQ(out, "\"prog\" -a b c");
    const char* none[] = {nullptr};
    std::string untouched = "x";
    KProcWrapper::createCmdLineString(none, untouched, false);
    EXPECT_EQ(untouched, "x");
}
