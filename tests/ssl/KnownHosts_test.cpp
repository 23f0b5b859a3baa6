// The known-hosts file: trust on first use with private permissions (or no
// record at all where the first contact may not make one), refusal
// of another certificate with the file untouched, servers an authority
// vouched for, files edited by hand, and links and files that other users
// can change refused as they are (a lock held by a hung program:
// KnownHostsProcesses_itest).
#include "ssl/KnownHosts.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using tavir::ssl::KnownHosts;
using tavir::test::readFile;
using tavir::utils::PrivateLocation;

namespace {

unsigned mode(const std::string& path)
{
    struct stat st { };
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

TEST(KnownHosts, FirstUseIsRecordedPrivatelyAndThenKnown)
{
    tavir::test::TempDir dir;
    const std::string path = dir.file("home/.tavir/admin/known_hosts.cfg");
    KnownHosts known(PrivateLocation{dir.path(), "home/.tavir/admin/known_hosts.cfg"});
    std::string sentence;
    // Where the first contact may not record it, nothing is.
    EXPECT_EQ(KnownHosts::Verdict::Unpinned,
        known.check(
            "Mail.Example.com", 44337, "AB:cd:01", sentence, {}, KnownHosts::FirstContact::Leave));
    EXPECT_EQ("no certificate is pinned for mail.example.com:44337 in " + path, sentence);
    EXPECT_EQ("", readFile(path));
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
    EXPECT_EQ(KnownHosts::Verdict::Mismatch,
        known.check(
            "mail.example.com", 44337, "ab:cd:02", sentence, {}, KnownHosts::FirstContact::Leave))
        << "a pin is a pin, whatever a first contact may do";
    EXPECT_EQ(
        KnownHosts::Verdict::Recorded, known.check("mail.example.com", 44338, "ee:ff", sentence))
        << "the port is part of the name";
    EXPECT_EQ("mail.example.com:44337: ab:cd:01\nmail.example.com:44338: ee:ff\n", readFile(path));
}

TEST(KnownHosts, AnotherCertificateIsRefusedAndTheFileStaysAsItWas)
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

TEST(KnownHosts, AHandEditedLastLineWithoutItsEndIsEndedFirst)
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

// A server an authority vouched for once is never pinned on first use
// after that: what no authority vouches for is refused as a changed
// certificate is, whatever its fingerprint, while the pins of other servers
// (and of the same host on another port) read as they always did.
TEST(KnownHosts, AServerAnAuthorityVouchedForRefusesWhatNoneVouchesFor)
{
    tavir::test::TempDir dir;
    const std::string path = dir.file("known_hosts.cfg");
    const std::string before = "mail.example.com:44337: ab:cd:01\n";
    tavir::test::writeFile(path, before);
    KnownHosts known(path);
    std::string sentence;
    EXPECT_EQ(
        KnownHosts::Verdict::Recorded, known.vouched("Mail.Example.com", 993, "EE:01", sentence));
    EXPECT_EQ(KnownHosts::Verdict::Known, known.vouched("mail.example.com", 993, "ee:02", sentence))
        << "recorded once, whatever certificate an authority vouches for later";
    const std::string after = before + "authority@mail.example.com:993: ee:01\n";
    EXPECT_EQ(after, readFile(path));

    for (const char* fingerprint : {"99:88", "ee:01", "ee:02"}) {
        SCOPED_TRACE(fingerprint);
        EXPECT_EQ(KnownHosts::Verdict::Mismatch,
            known.check("mail.example.com", 993, fingerprint, sentence));
        const std::string parts[] = {"the certificate of mail.example.com:993 has the fingerprint "
                + std::string(fingerprint),
            "holds ee:01 (a certificate an authority vouched for) for it",
            "the connection was refused"};
        for (const std::string& part : parts)
            EXPECT_NE(std::string::npos, sentence.find(part)) << sentence;
    }
    EXPECT_EQ(
        KnownHosts::Verdict::Known, known.check("mail.example.com", 44337, "ab:cd:01", sentence));
    EXPECT_EQ(after, readFile(path)) << "a refusal changes nothing";
}

TEST(KnownHosts, NowhereToPinIsAFailureNotATrust)
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

TEST(KnownHosts, RefusesLinksAndWhatOtherUsersCanChange)
{
    const std::string relative = ".tavir/admin/known_hosts.cfg";
    // Arranges the home folder `h` and the folder `elsewhere` outside it;
    // false when this user can't.
    using Arrange = std::function<bool(const std::string& h, const std::string& elsewhere)>;
    struct Case {
        const char* name;
        Arrange arrange;
        const char* refusal; // a part of the sentence; null: the file is used
    };
    auto folders = [](const std::string& h, mode_t mode) {
        mkdir((h + "/.tavir").c_str(), 0700);
        mkdir((h + "/.tavir/admin").c_str(), 0700);
        return chmod((h + "/.tavir/admin").c_str(), mode) == 0;
    };
    auto pins = [&](const std::string& h, mode_t folderMode, mode_t fileMode) {
        folders(h, folderMode);
        tavir::test::writeFile(h + "/" + relative, "mail.example.com:993: ab:cd\n");
        return chmod((h + "/" + relative).c_str(), fileMode) == 0;
    };
    auto link = [&](const std::string& to, const std::string& at) {
        return symlink(to.c_str(), at.c_str()) == 0;
    };
    const Case cases[] = {
        {"others may read", [&](auto& h, auto&) { return pins(h, 0755, 0644); }, nullptr},
        {"file writable by all", [&](auto& h, auto&) { return pins(h, 0700, 0666); },
            "(mode 0666)"},
        {"file writable by its group", [&](auto& h, auto&) { return pins(h, 0700, 0620); },
            "(mode 0620)"},
        {"folder writable by all", [&](auto& h, auto&) { return folders(h, 0777); }, "(mode 0777)"},
        {"file is a link",
            [&](auto& h, auto& elsewhere) {
                tavir::test::writeFile(elsewhere + "/file", "kept\n");
                return folders(h, 0700) && link(elsewhere + "/file", h + "/" + relative);
            },
            "is a symbolic link"},
        {"file is a link to nowhere",
            [&](auto& h, auto& elsewhere) {
                return folders(h, 0700) && link(elsewhere + "/made", h + "/" + relative);
            },
            "is a symbolic link"},
        {"folder is a link",
            [&](auto& h, auto& elsewhere) {
                return mkdir((h + "/.tavir").c_str(), 0700) == 0
                    && link(elsewhere, h + "/.tavir/admin");
            },
            "is a symbolic link"},
        {"file is a FIFO",
            [&](auto& h, auto&) {
                return folders(h, 0700) && mkfifo((h + "/" + relative).c_str(), 0600) == 0;
            },
            "is not a regular file"},
        {"file of another user",
            [&](auto& h, auto&) {
                return pins(h, 0700, 0600)
                    && chown((h + "/" + relative).c_str(), 65534, 65534) == 0;
            },
            "belongs to another user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavir::test::TempDir home, elsewhere;
        if (!c.arrange(home.path(), elsewhere.path())) {
            EXPECT_NE(0u, geteuid()) << "only changing the owner needs root";
            continue;
        }
        const unsigned before = mode(home.file(relative));
        std::string sentence;
        auto verdict = KnownHosts(PrivateLocation{home.path(), relative})
                           .check("mail.example.com", 993, "ab:cd", sentence);
        if (!c.refusal) {
            EXPECT_EQ(KnownHosts::Verdict::Known, verdict) << sentence;
            continue;
        }
        EXPECT_EQ(KnownHosts::Verdict::Failed, verdict);
        EXPECT_NE(std::string::npos, sentence.find(c.refusal)) << sentence;
        // Refused as found: neither tightened nor written through a link.
        EXPECT_EQ(before, mode(home.file(relative)));
        EXPECT_FALSE(std::ifstream(elsewhere.file("made")).good());
        EXPECT_FALSE(std::ifstream(elsewhere.file("known_hosts.cfg")).good());
        if (std::ifstream(elsewhere.file("file")).good()) {
            EXPECT_EQ("kept\n", readFile(elsewhere.file("file")));
        }
    }
}
