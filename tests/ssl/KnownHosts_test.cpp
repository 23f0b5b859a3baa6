// The known-hosts file: trust on first use with private permissions (or no
// record at all where the first contact may not make one), refusal
// of another certificate with the file untouched, servers an authority
// vouched for, files edited by hand, the lines this process wrote (known
// as its own before the file shows them), and links and files that other
// users can change refused as they are (a lock held by a hung program:
// KnownHostsProcesses_itest).
#include "ssl/KnownHosts.h"

#include "support/TestSupport.h"
#include "tiny/ScopeExit.h"
#include "utils/Descriptor.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
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
    EXPECT_FALSE(known.pinnedHere("mail.example.com", 44337, "ab:cd:01"));
    EXPECT_EQ(KnownHosts::Verdict::Recorded,
        known.check("Mail.Example.com", 44337, "AB:cd:01", sentence));
    // Pinned by this process, as any KnownHosts of the file tells; not the
    // same file's under another name, nor another fingerprint or port.
    EXPECT_TRUE(known.pinnedHere("MAIL.example.com", 44337, "ab:CD:01"));
    EXPECT_TRUE(KnownHosts(path).pinnedHere("mail.example.com", 44337, "ab:cd:01"));
    EXPECT_FALSE(
        KnownHosts(dir.file("other.cfg")).pinnedHere("mail.example.com", 44337, "ab:cd:01"));
    EXPECT_FALSE(known.pinnedHere("mail.example.com", 44337, "ab:cd:0"));
    EXPECT_FALSE(known.pinnedHere("mail.example.com", 4433, "ab:cd:01"));
    EXPECT_FALSE(known.vouchedHere("mail.example.com", 44337));
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
    EXPECT_FALSE(KnownHosts(path).pinnedHere("other.host", 44337, "11:22"))
        << "a line written by hand is not this process's pin";
    EXPECT_EQ(KnownHosts::Verdict::Recorded,
        KnownHosts(path).check("new.host", 44337, "33:44", sentence));
    EXPECT_EQ("other.host:44337: 11:22\nnew.host:44337: 33:44\n", readFile(path));
    EXPECT_TRUE(KnownHosts(path).pinnedHere("new.host", 44337, "33:44"));
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
    EXPECT_TRUE(known.vouchedHere("mail.example.com", 993));
    EXPECT_FALSE(known.pinnedHere("mail.example.com", 993, "ee:01")) << "no pin";
    EXPECT_FALSE(known.vouchedHere("mail.example.com", 99));
    EXPECT_FALSE(known.vouchedHere("mail.example.com", 44337));
    EXPECT_FALSE(known.pinnedHere("mail.example.com", 44337, "ab:cd:01")) << "written by hand";
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

// A pin is known to be this process's before the file holds it: a check on
// another thread that finds the line the moment it is written, before the
// writer has gone on, learns that this process wrote it. The writer runs at
// idle priority on the reader's one processor, so the reader, woken by the
// write (inotify), runs first.
TEST(KnownHosts, APinIsThisProcesssBeforeTheFileShowsIt)
{
    cpu_set_t before;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof before, &before));
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(0, sched_setaffinity(0, sizeof one, &one));
    const tavir::tiny::ScopeExit restore(
        [&before] { sched_setaffinity(0, sizeof before, &before); });
    tavir::test::TempDir dir;
    // A round whose reader runs only once the writer is done proves
    // nothing; five make it unlikely that every one is such a round.
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const std::string path = dir.file(std::to_string(round) + ".cfg");
        tavir::test::writeFile(path, "");
        ASSERT_EQ(0, chmod(path.c_str(), 0600));
        const tavir::utils::Descriptor watch(inotify_init1(IN_CLOEXEC));
        ASSERT_TRUE(watch.valid());
        ASSERT_GE(inotify_add_watch(watch.get(), path.c_str(), IN_MODIFY), 0);
        const KnownHosts known(path);
        KnownHosts::Verdict verdict = KnownHosts::Verdict::Failed;
        std::thread writer([&] {
            // On the one processor, as its creator is.
            const sched_param idle{};
            pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
            std::string sentence;
            verdict = known.check("mail.example.com", 993, "ab:cd", sentence);
        });
        pollfd written{watch.get(), POLLIN, 0};
        const bool woken = poll(&written, 1, 10000) == 1;
        const bool pinnedHere = known.pinnedHere("mail.example.com", 993, "ab:cd");
        writer.join();
        ASSERT_TRUE(woken);
        EXPECT_EQ(KnownHosts::Verdict::Recorded, verdict);
        EXPECT_TRUE(pinnedHere);
    }
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

    // A pin the file would not take (no byte may be written to any file):
    // not pinned, by this process or at all.
    const KnownHosts full(dir.file("full.cfg"));
    {
        rlimit limit{};
        ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &limit));
        const rlimit none{0, limit.rlim_max};
        const auto action = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &none));
        const KnownHosts::Verdict verdict = full.check("h", 44337, "aa", sentence);
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, action);
        EXPECT_EQ(KnownHosts::Verdict::Failed, verdict);
    }
    EXPECT_NE(std::string::npos, sentence.find("can't be written: File too large")) << sentence;
    EXPECT_FALSE(full.pinnedHere("h", 44337, "aa"));
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
