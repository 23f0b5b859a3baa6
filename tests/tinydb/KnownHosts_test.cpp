// The known-hosts file: trust on first use with private permissions, refusal
// of another certificate with the file untouched, and files edited by hand.
#include "tinydb/KnownHosts.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

using namespace tavir::tinydb;
using tavir::test::readFile;

namespace {

unsigned mode(const std::string& path)
{
    struct stat st { };
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

TEST(TinyDbKnownHosts, FirstUseIsRecordedPrivatelyAndThenKnown)
{
    tavir::test::TempDir dir;
    const std::string path = dir.file("home/.tavir/admin/known_hosts.cfg");
    KnownHosts known(path);
    std::string sentence;
    EXPECT_EQ(KnownHosts::Verdict::Recorded,
        known.check("Mail.Example.com", 44337, "AB:cd:01", sentence));
    EXPECT_NE(std::string::npos, sentence.find("mail.example.com:44337")) << sentence;
    EXPECT_NE(std::string::npos, sentence.find("ab:cd:01")) << sentence;
    EXPECT_EQ("mail.example.com:44337: ab:cd:01\n", readFile(path));
    EXPECT_EQ(0600u, mode(path));
    EXPECT_EQ(0700u, mode(dir.file("home/.tavir/admin")));
    EXPECT_EQ(0700u, mode(dir.file("home/.tavir")));

    sentence.clear();
    EXPECT_EQ(
        KnownHosts::Verdict::Known, known.check("mail.example.com", 44337, "ab:CD:01", sentence));
    EXPECT_EQ(
        KnownHosts::Verdict::Recorded, known.check("mail.example.com", 44338, "ee:ff", sentence))
        << "the port is part of the name";
    EXPECT_EQ("mail.example.com:44337: ab:cd:01\nmail.example.com:44338: ee:ff\n", readFile(path));
}

TEST(TinyDbKnownHosts, AnotherCertificateIsRefusedAndTheFileStaysAsItWas)
{
    tavir::test::TempDir dir;
    const std::string path = dir.file("known_hosts.cfg");
    const std::string before = "# kept as it is\nother.host:44337: 11:22\n"
                               "mail.example.com:44337: ab:cd:01\nnot a line\n";
    tavir::test::writeFile(path, before);
    std::string sentence;
    EXPECT_EQ(KnownHosts::Verdict::Mismatch,
        KnownHosts(path).check("mail.example.com", 44337, "99:88:77", sentence));
    for (const char* part : {"mail.example.com:44337", "99:88:77", "ab:cd:01", "refused"})
        EXPECT_NE(std::string::npos, sentence.find(part)) << sentence;
    EXPECT_EQ(before, readFile(path));
}

TEST(TinyDbKnownHosts, AHandEditedLastLineWithoutItsEndIsEndedFirst)
{
    tavir::test::TempDir dir;
    const std::string path = dir.file("known_hosts.cfg");
    tavir::test::writeFile(path, "other.host:44337: 11:22");
    std::string sentence;
    EXPECT_EQ(
        KnownHosts::Verdict::Known, KnownHosts(path).check("other.host", 44337, "11:22", sentence));
    EXPECT_EQ(KnownHosts::Verdict::Recorded,
        KnownHosts(path).check("new.host", 44337, "33:44", sentence));
    EXPECT_EQ("other.host:44337: 11:22\nnew.host:44337: 33:44\n", readFile(path));
}

TEST(TinyDbKnownHosts, NowhereToPinIsAFailureNotATrust)
{
    const char* home = std::getenv("HOME");
    std::string saved = home ? home : "";
    unsetenv("HOME");
    EXPECT_EQ("", KnownHosts::defaultPath());
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ("/home/someone/.tavir/admin/known_hosts.cfg", KnownHosts::defaultPath());
    if (home)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");

    std::string sentence;
    EXPECT_EQ(KnownHosts::Verdict::Failed, KnownHosts("").check("h", 44337, "aa", sentence));
    EXPECT_NE(std::string::npos, sentence.find("HOME")) << sentence;
    tavir::test::TempDir dir;
    tavir::test::writeFile(dir.file("file"), "");
    EXPECT_EQ(KnownHosts::Verdict::Failed,
        KnownHosts(dir.file("file/known_hosts.cfg")).check("h", 44337, "aa", sentence));
}
