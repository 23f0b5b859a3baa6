#include "support/TestSupport.h"
#include "utils/DirTree.h"
#include "utils/PathUtils.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <vector>

using tavir::utils::DirTree;

namespace {

// root/
//   a.txt  B.TXT  notes.md  dangling -> missing
//   tmp/x.txt
//   data.txt/d.txt
//   empty/
//   sub/c.txt  sub/inner/file.txt  sub/inner/TMP
//   sub/loop -> ..  sub/self -> .  sub/back -> ../sub   (link cycles)
class Tree : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* d : {"tmp", "data.txt", "empty", "sub", "sub/inner"})
            ASSERT_EQ(mkdir(dir.file(d).c_str(), 0700), 0) << d;
        for (const char* f : {"a.txt", "B.TXT", "notes.md", "tmp/x.txt", "data.txt/d.txt",
                 "sub/c.txt", "sub/inner/file.txt", "sub/inner/TMP"})
            tavir::test::writeFile(dir.file(f), f);
        ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
        ASSERT_EQ(symlink("..", dir.file("sub/loop").c_str()), 0);
        ASSERT_EQ(symlink(".", dir.file("sub/self").c_str()), 0);
        ASSERT_EQ(symlink("../sub", dir.file("sub/back").c_str()), 0);
    }

    // Walks with operator++ and returns the relative names in walk order.
    static std::vector<std::string> walk(DirTree& tree)
    {
        std::vector<std::string> names;
        for (int guard = 0; !tree.end() && guard < 10000; ++tree, ++guard)
            names.push_back(tree.getRelName());
        return names;
    }

    static std::set<std::string> asSet(const std::vector<std::string>& v)
    {
        return std::set<std::string>(v.begin(), v.end());
    }

    tavir::test::TempDir dir;
};

} // namespace

TEST_F(Tree, FlatListing)
{
    DirTree files(true, false, dir.path());
    EXPECT_EQ(asSet(walk(files)),
        (std::set<std::string>{"a.txt", "B.TXT", "notes.md", "tmp", "data.txt", "empty", "sub"}));
    DirTree dirs(false, false, dir.path() + "/");
    EXPECT_EQ(asSet(walk(dirs)), (std::set<std::string>{"tmp", "data.txt", "empty", "sub"}));
}

TEST_F(Tree, RecursiveWalkIsPreOrderAndEndsDespiteLinkCycles)
{
    DirTree tree(true, true, dir.path());
    std::vector<std::string> order = walk(tree);
    EXPECT_TRUE(tree.end());
    const std::set<std::string> expected = {"a.txt", "B.TXT", "notes.md", "tmp", "tmp/x.txt",
        "data.txt", "data.txt/d.txt", "empty", "sub", "sub/c.txt", "sub/inner",
        "sub/inner/file.txt", "sub/inner/TMP", "sub/loop", "sub/self", "sub/back"};
    EXPECT_EQ(asSet(order), expected);
    EXPECT_EQ(order.size(), expected.size()); // nothing twice
    // Every entry comes after its directory.
    for (size_t i = 0; i < order.size(); ++i) {
        size_t slash = order[i].rfind('/');
        if (slash == std::string::npos)
            continue;
        auto parent = std::find(order.begin(), order.end(), order[i].substr(0, slash));
        ASSERT_NE(parent, order.end()) << order[i];
        EXPECT_LT(parent - order.begin(), static_cast<long>(i)) << order[i];
    }
}

TEST_F(Tree, LinkToADirectoryOutsideTheWalkIsEntered)
{
    tavir::test::TempDir other;
    ASSERT_EQ(mkdir(other.file("outside").c_str(), 0700), 0);
    tavir::test::writeFile(other.file("outside/o.txt"), "o");
    ASSERT_EQ(symlink(other.file("outside").c_str(), dir.file("empty/out").c_str()), 0);
    DirTree tree(true, true, dir.file("empty"));
    EXPECT_EQ(walk(tree), (std::vector<std::string>{"out", "out/o.txt"}));
}

TEST_F(Tree, Filters)
{
    struct Case {
        std::string pattern;
        bool exclude;
        std::set<std::string> expected;
    };
    const std::vector<Case> table = {
        // Including by name: non-matching directories are neither listed nor entered.
        {"\\.txt$", false, {"a.txt", "B.TXT", "data.txt", "data.txt/d.txt"}},
        // Excluding by whole name, any case, at any depth.
        {"^tmp$", true,
            {"a.txt", "B.TXT", "notes.md", "data.txt", "data.txt/d.txt", "empty", "sub",
                "sub/c.txt", "sub/inner", "sub/inner/file.txt", "sub/loop", "sub/self",
                "sub/back"}},
        // Excluding by relative path (the pattern has a "/").
        {"^sub/(inner|loop|self|back)$", true,
            {"a.txt", "B.TXT", "notes.md", "tmp", "tmp/x.txt", "data.txt", "data.txt/d.txt",
                "empty", "sub", "sub/c.txt"}},
        // Excluding by full path (the pattern can match "/").
        {"^/.*/(sub|tmp|data\\.txt)$", true, {"a.txt", "B.TXT", "notes.md", "empty"}},
        // Including by relative path keeps only what matches at every level.
        {"^(sub|sub/inner|sub/inner/f.*)$", false, {"sub", "sub/inner", "sub/inner/file.txt"}},
    };
    for (const auto& c : table) {
        DirTree tree(c.pattern, c.exclude, true, true, dir.path());
        EXPECT_EQ(asSet(walk(tree)), c.expected) << c.pattern;
    }
}

TEST_F(Tree, FilterBookkeeping)
{
    DirTree tree;
    EXPECT_TRUE(tree.end());
    EXPECT_EQ(tree.addFilter("", false), -1);
    EXPECT_EQ(tree.addFilter("\\.md$", false), 1);
    EXPECT_EQ(tree.addFilter("^B", true), 2);
    EXPECT_EQ(tree.addFilter("\\.txt$", false), 3);
    EXPECT_THROW(tree.addFilter("(unclosed", false), boost::regex_error);
    EXPECT_TRUE(tree.open(true, false, dir.path()));
    EXPECT_EQ(asSet(walk(tree)), (std::set<std::string>{"notes.md", "a.txt", "data.txt"}));

    tree.clearFilter(0); // ignored
    tree.clearFilter(9); // ignored
    tree.clearFilter(2); // the "^B" exclusion
    EXPECT_TRUE(tree.open(true, false, dir.path()));
    EXPECT_EQ(asSet(walk(tree)), (std::set<std::string>{"notes.md", "a.txt", "B.TXT", "data.txt"}));

    // "." and ".." stay hidden after clearing.
    tree.clearFilters();
    EXPECT_FALSE(tree.filterMatch("."));
    EXPECT_FALSE(tree.filterMatch(".."));
    EXPECT_TRUE(tree.filterMatch("..."));
    EXPECT_TRUE(tree.filterMatch(".hidden"));
    EXPECT_TRUE(tree.open(true, false, dir.path()));
    EXPECT_EQ(walk(tree).size(), 7u);
}

TEST_F(Tree, StepByStep)
{
    DirTree tree(false, false, dir.path());
    ASSERT_FALSE(tree.end());
    EXPECT_FALSE(tree.up()); // at the root level
    ASSERT_FALSE(tree.end());
    EXPECT_EQ(tree.getRelName(), tree.getName());
    EXPECT_EQ(tree.getFullName(), dir.path() + "/" + tree.getName());
    while (!tree.end() && tree.getName() != "sub")
        tree.next();
    ASSERT_EQ(tree.getName(), "sub");
    EXPECT_TRUE(tree.isDir());
    EXPECT_FALSE(tree.isFile());
    EXPECT_TRUE(S_ISDIR(tree.getAttr()));
    EXPECT_GT(tree.getTime(), 0);

    ASSERT_TRUE(tree.down());
    std::set<std::string> dirs;
    for (; !tree.end(); tree.nextDir())
        dirs.insert(tree.getRelName());
    EXPECT_EQ(dirs, (std::set<std::string>{"sub/inner", "sub/loop", "sub/self", "sub/back"}));
    EXPECT_TRUE(tree.end());
    EXPECT_EQ(tree.getName(), "");
    EXPECT_EQ(tree.getFullName(), "");
    EXPECT_EQ(tree.getAttr(), 0);
    EXPECT_EQ(tree.getTime(), 0);
    EXPECT_FALSE(tree.isDir());
    EXPECT_FALSE(tree.next());

    EXPECT_TRUE(tree.up());
    EXPECT_EQ(tree.getName(), "sub");
    ASSERT_TRUE(tree.down());
    std::set<std::string> files;
    for (; !tree.end(); tree.nextFile())
        files.insert(tree.getName());
    // nextFile sees files even though this walk lists only directories.
    EXPECT_EQ(files.count("c.txt"), 1u);
    EXPECT_EQ(files.count("inner"), 0u);

    // A file can't be entered.
    DirTree flat(true, false, dir.path());
    while (!flat.end() && flat.getName() != "a.txt")
        flat.next();
    ASSERT_FALSE(flat.end());
    EXPECT_FALSE(flat.down());
    EXPECT_EQ(flat.getName(), "a.txt");
}

TEST_F(Tree, OpeningEmptyMissingAndRelativeRoots)
{
    DirTree empty;
    EXPECT_TRUE(empty.open(true, true, dir.file("empty")));
    EXPECT_TRUE(empty.end());
    ++empty;
    EXPECT_TRUE(empty.end());

    DirTree missing;
    EXPECT_FALSE(missing.open(true, true, dir.file("nothing")));
    EXPECT_TRUE(missing.end());
    DirTree nullPath(true, false, static_cast<const char*>(nullptr)); // the working directory
    EXPECT_FALSE(nullPath.end());

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    DirTree relative(true, false, "sub/inner/");
    std::vector<std::string> names = walk(relative);
    DirTree reopened(true, false, dir.path());
    reopened.open(true, false, "data.txt"); // an open walker starts afresh
    std::vector<std::string> reopenedNames = walk(reopened);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(asSet(names), (std::set<std::string>{"file.txt", "TMP"}));
    EXPECT_EQ(reopenedNames, (std::vector<std::string>{"d.txt"}));

    DirTree fsRoot(false, false, "/");
    ASSERT_FALSE(fsRoot.end());
    EXPECT_EQ(fsRoot.getFullName(), "/" + fsRoot.getName());
}

TEST_F(Tree, RemoveFiles)
{
    tavir::test::TempDir work;
    for (const char* f : {"a.log", "B.LOG", "keep.txt", "log.keep"})
        tavir::test::writeFile(work.file(f), f);
    ASSERT_EQ(mkdir(work.file("dir.log").c_str(), 0700), 0);
    tavir::test::writeFile(work.file("dir.log/inner.log"), "x");

    EXPECT_TRUE(tavir::utils::removeFiles(work.path(), "\\.log$"));
    EXPECT_FALSE(tavir::utils::fileExists(work.file("a.log").c_str(), true));
    EXPECT_FALSE(tavir::utils::fileExists(work.file("B.LOG").c_str(), true));
    EXPECT_TRUE(tavir::utils::fileExists(work.file("keep.txt").c_str(), true));
    EXPECT_TRUE(tavir::utils::fileExists(work.file("log.keep").c_str(), true));
    EXPECT_TRUE(tavir::utils::fileExists(work.file("dir.log/inner.log").c_str(), true));

    EXPECT_TRUE(tavir::utils::removeFiles(work.path(), "nothing-matches"));
    EXPECT_FALSE(tavir::utils::removeFiles(work.path(), "(unclosed"));
    EXPECT_TRUE(tavir::utils::fileExists(work.file("keep.txt").c_str(), true));

    EXPECT_TRUE(tavir::utils::removeFiles(work.path(), ""));
    EXPECT_FALSE(tavir::utils::fileExists(work.file("keep.txt").c_str(), true));
    EXPECT_FALSE(tavir::utils::fileExists(work.file("log.keep").c_str(), true));
    EXPECT_TRUE(tavir::utils::fileExists(work.file("dir.log").c_str(), true));
}
