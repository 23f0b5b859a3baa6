// The tests' own temporary folders leave nothing behind: a TempDir goes with
// everything in it (and nothing a link inside it points to), and whatever a
// child process makes in its TMPDIR goes once the child is reaped, however
// it ended.
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

namespace tavir::test {
namespace {

namespace fs = std::filesystem;

bool isEmptyFolder(const std::string& path)
{
    return fs::is_directory(path) && fs::is_empty(path);
}

TEST(TestTemporaries, ATempDirGoesWithItsNestedContentButNotWhatItsLinksReach)
{
    TempDir outside;
    writeFile(outside.file("kept.txt"), "not the folder's own");
    std::string path;
    {
        TempDir dir;
        path = dir.path();
        EXPECT_EQ(0, mkdir(dir.file("a").c_str(), 0700));
        EXPECT_EQ(0, mkdir(dir.file("a/b").c_str(), 0500)); // not writable
        writeFile(dir.file("a/deep.txt"), "x");
        fs::create_directory_symlink(outside.path(), dir.file("link"));
        writeFile(dir.file("key.pem"), "secret");
        chmod(dir.file("key.pem").c_str(), 0400);
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ("not the folder's own", readFile(outside.file("kept.txt")));
}

TEST(TestTemporaries, WhatAChildMakesInItsTmpdirGoesHoweverItEnds)
{
    enum class End { Returns, Killed, Signalled };
    const struct {
        const char* name;
        End end;
    } rows[] = {{"returns, then _exit, without its destructors", End::Returns},
        {"killed while it runs", End::Killed}, {"ended by a signal of its own", End::Signalled}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir base;
        ScopedEnv tmpdir("TMPDIR", base.path());
        std::string made;
        {
            int told[2];
            ASSERT_EQ(0, pipe(told));
            ChildProcess child([&] {
                close(told[0]);
                // Not destroyed: the child ends in each way before its end.
                auto* dir = new TempDir;
                writeFile(dir->file("cert.pem"), "x");
                const std::string path = dir->path() + "\n";
                if (write(told[1], path.data(), path.size()) < 0)
                    return 2;
                close(told[1]);
                switch (row.end) {
                case End::Returns:
                    return 0;
                case End::Killed:
                    pause();
                    return 0;
                case End::Signalled:
                    raise(SIGTERM);
                    return 0;
                }
                return 0;
            });
            close(told[1]);
            char c = 0;
            while (read(told[0], &c, 1) == 1 && c != '\n')
                made += c;
            close(told[0]);
            ASSERT_FALSE(made.empty());
            // In a folder of the child's own inside this TMPDIR.
            EXPECT_EQ(0u, made.find(base.path() + "/"));
            EXPECT_NE(base.path(), fs::path(made).parent_path().string());
            EXPECT_TRUE(fs::exists(made + "/cert.pem"));
            if (row.end == End::Killed)
                EXPECT_TRUE(child.kill());
            else
                child.wait(10000);
        }
        EXPECT_TRUE(isEmptyFolder(base.path())) << made;
    }
}

} // namespace
} // namespace tavir::test
