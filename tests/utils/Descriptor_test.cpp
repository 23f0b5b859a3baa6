#include "utils/Descriptor.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

using tavir::utils::Descriptor;

namespace {

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

} // namespace

TEST(Descriptor, ClosesWhenItGoesOrIsReplacedAndNotWhenMovedOrReleased)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    {
        Descriptor first(ends[0]);
        Descriptor second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_TRUE(isOpen(ends[0]));
        second.reset(ends[1]);
        EXPECT_FALSE(isOpen(ends[0]));
        Descriptor third;
        third = std::move(second);
        EXPECT_TRUE(isOpen(ends[1]));
    }
    EXPECT_FALSE(isOpen(ends[1]));

    ASSERT_EQ(::pipe(ends), 0);
    const int kept = Descriptor(ends[0]).release();
    EXPECT_TRUE(isOpen(kept));
    EXPECT_EQ(::close(kept), 0);
    Descriptor same(ends[1]);
    same.reset(ends[1]);
    EXPECT_TRUE(isOpen(ends[1]));
}

// Sizes on either side of the limit and of the first read's guess: a file
// sized by what it says, a file read from where it stands, and a pipe that
// says nothing.
TEST(Descriptor, ReadAllTakesUpToTheLimitAndRefusesMore)
{
    tavir::test::TempDir dir;
    struct Case {
        const char* name;
        std::size_t size;
        std::size_t limit;
        bool pipe;
        off_t from;
        bool whole;
    } cases[] = {
        {"empty file", 0, 10, false, 0, true},
        {"at the limit", 10, 10, false, 0, true},
        {"one byte over", 11, 10, false, 0, false},
        {"beyond the first read", 100000, 1 << 20, false, 0, true},
        {"from its position", 5000, 4000, false, 1000, true},
        {"pipe at the limit", 9000, 9000, true, 0, true},
        {"pipe one byte over", 9001, 9000, true, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes(c.size, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>('a' + i % 26);
        Descriptor fd;
        if (c.pipe) {
            int ends[2];
            ASSERT_EQ(::pipe(ends), 0);
            fd.reset(ends[0]);
            const Descriptor writing(ends[1]);
            ASSERT_TRUE(tavir::utils::writeAll(writing.get(), bytes));
        } else {
            const std::string path = dir.file(c.name);
            tavir::test::writeFile(path, bytes);
            fd.reset(::open(path.c_str(), O_RDONLY));
            ASSERT_EQ(::lseek(fd.get(), c.from, SEEK_SET), c.from);
        }
        std::string out = "left over";
        errno = 0;
        EXPECT_EQ(c.whole, tavir::utils::readAll(fd.get(), c.limit, out));
        if (c.whole)
            EXPECT_EQ(bytes.substr(static_cast<std::size_t>(c.from)), out);
        else
            EXPECT_EQ(EFBIG, errno);
    }
}
