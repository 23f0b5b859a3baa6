#include "tiny/Descriptors.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace tavir::tiny;

namespace {

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// Runs `body` in a forked child and returns the text it returned, written
// to the pipe `body` is given.
template <typename F> std::string inChild(F body)
{
    int code = -1;
    std::string text = tavir::test::childOutput(
        [&](int pipeFd) {
            std::string out = body(pipeFd);
            return write(pipeFd, out.data(), out.size()) < 0 ? 2 : 0;
        },
        &code);
    EXPECT_EQ(0, code);
    return text;
}

std::vector<int> openSome(int count)
{
    std::vector<int> fds;
    for (int i = 0; i < count; ++i)
        fds.push_back(open("/dev/null", O_RDONLY));
    return fds;
}

// "o" or "c" for each descriptor.
std::string states(const std::vector<int>& fds)
{
    std::string s;
    for (int fd : fds)
        s += isOpen(fd) ? 'o' : 'c';
    return s;
}

} // namespace

class Descriptors : public ::testing::TestWithParam<bool> {
protected:
    // With the listing of /dev/fd, or by number as when it can't be listed.
    static void closeThem(FdsToClose& set, bool byListing)
    {
        if (byListing)
            closeSelectedFds(set);
        else
            closeSelectedFdsByNumber(set);
    }
};

INSTANTIATE_TEST_SUITE_P(Ways, Descriptors, ::testing::Values(true, false));

TEST_P(Descriptors, KeepOnlyListed)
{
    const bool byListing = GetParam(); // read before fork
    std::vector<int> fds = openSome(4);
    std::string out = inChild([&](int pipeFd) {
        FdsToClose set;
        set.closeListed = false;
        set.fds = {pipeFd, fds[1], fds[3]};
        closeThem(set, byListing);
        return states(fds) + (isOpen(0) ? "0" : "-") + (isOpen(2) ? "2" : "-");
    });
    EXPECT_EQ("coco--", out);
    // The parent's descriptors are untouched.
    EXPECT_EQ("oooo", states(fds));
    for (int fd : fds)
        close(fd);
}

TEST_P(Descriptors, CloseOnlyListed)
{
    const bool byListing = GetParam(); // read before fork
    std::vector<int> fds = openSome(3);
    std::string out = inChild([&](int) {
        FdsToClose set;
        set.closeListed = true;
        set.fds = {fds[0], fds[2], 100000};
        closeThem(set, byListing);
        return states(fds);
    });
    EXPECT_EQ("coc", out);
    for (int fd : fds)
        close(fd);
}

TEST_P(Descriptors, HighDescriptorsAreClosedToo)
{
    const bool byListing = GetParam(); // read before fork
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    int high = static_cast<int>(std::min<rlim_t>(rl.rlim_cur, 4096) - 10);
    int fd = dup2(STDERR_FILENO, high);
    ASSERT_EQ(high, fd);
    std::string out = inChild([&](int pipeFd) {
        FdsToClose set;
        set.fds = {pipeFd};
        closeThem(set, byListing);
        return std::string(isOpen(high) ? "open" : "closed");
    });
    EXPECT_EQ("closed", out);
    close(high);
}

TEST(DescriptorsDir, DirFd)
{
    DIR* d = opendir("/");
    ASSERT_NE(nullptr, d);
    int fd = getDirfd(d);
    EXPECT_TRUE(isOpen(fd));
    closedir(d);
}
