#include "tiny/KDir.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>

using tavir::tiny::KDir;
using Type = KDir::DirEntry::Type;

namespace {

std::map<std::string, int> listAll(KDir& d)
{
    std::map<std::string, int> out;
    KDir::DirEntry e;
    while (d.readNextEntry(e))
        out[e.name] = e.type;
    return out;
}

} // namespace

TEST(KDir, ListsEntriesWithTypes)
{
    tavir::test::TempDir tmp;
    tavir::test::writeFile(tmp.file("plain"), "x");
    ASSERT_EQ(0, mkdir(tmp.file("sub").c_str(), 0755));
    ASSERT_EQ(0, symlink("sub", tmp.file("link").c_str()));
    ASSERT_EQ(0, mkfifo(tmp.file("fifo").c_str(), 0600));
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    std::string sockPath = tmp.file("sock");
    ASSERT_LT(sockPath.size(), sizeof un.sun_path);
    strcpy(un.sun_path, sockPath.c_str());
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&un), sizeof un));

    KDir d;
    ASSERT_TRUE(d.open(tmp.path().c_str(), KDir::wantTypes));
    EXPECT_TRUE(d.is_opened());
    std::map<std::string, int> expected = {{".", Type::directory}, {"..", Type::directory},
        {"plain", Type::file}, {"sub", Type::directory}, {"link", Type::symlink},
        {"fifo", Type::fifo}, {"sock", Type::socket}};
    EXPECT_EQ(expected, listAll(d));
    KDir::DirEntry e;
    EXPECT_FALSE(d.readNextEntry(e));
    // Again from the start.
    ASSERT_TRUE(d.rewind());
    EXPECT_EQ(expected, listAll(d));
    EXPECT_FALSE(d.open(tmp.path().c_str(), 0)); // already open
    EXPECT_TRUE(d.close());
    EXPECT_FALSE(d.close());
    EXPECT_FALSE(d.is_opened());
    EXPECT_FALSE(d.readNextEntry(e));
    EXPECT_FALSE(d.rewind());

    // Without types every entry has type 0.
    ASSERT_TRUE(d.open(tmp.path().c_str(), 0));
    for (auto& [name, type] : listAll(d))
        EXPECT_EQ(Type::none, type) << name;
    close(s);
}

TEST(KDir, DevicesAndEmptyDirectory)
{
    KDir d;
    ASSERT_TRUE(d.open("/dev", KDir::wantTypes));
    auto all = listAll(d);
    EXPECT_EQ(Type::charDevice, all["null"]);
    d.close();

    tavir::test::TempDir tmp;
    ASSERT_TRUE(d.open(tmp.path().c_str(), 0));
    EXPECT_EQ(2u, listAll(d).size()); // "." and ".."
}

TEST(KDir, RefusesWhatIsNotADirectory)
{
    tavir::test::TempDir tmp;
    tavir::test::writeFile(tmp.file("plain"), "x");
    KDir d;
    EXPECT_FALSE(d.open(nullptr, 0));
    EXPECT_FALSE(d.open(tmp.file("missing").c_str(), 0));
    EXPECT_FALSE(d.is_opened());
    EXPECT_FALSE(d.open(tmp.file("plain").c_str(), 0));
    EXPECT_FALSE(d.is_opened());
}

TEST(KDir, DirectoryGivenThroughASymlinkIsListed)
{
    tavir::test::TempDir tmp;
    ASSERT_EQ(0, mkdir(tmp.file("real").c_str(), 0755));
    tavir::test::writeFile(tmp.file("real/inside"), "x");
    ASSERT_EQ(0, symlink("real", tmp.file("alias").c_str()));
    KDir d;
    ASSERT_TRUE(d.open(tmp.file("alias").c_str(), KDir::wantTypes));
    auto all = listAll(d);
    EXPECT_EQ(1u, all.count("inside"));
}
