#include "utils/KFile.h"
#include "utils/KStdIStream.h"
#include "utils/KStream.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

using tavir::test::readFile;
using tavir::test::TempDir;
using tavir::test::writeFile;
using tavir::utils::KFile;
using tavir::utils::KStdIStream;
using tavir::utils::KStream;

namespace {

// An in-memory peer: reads hand out `input` in chunks of at most `chunk`
// bytes; writes go to `output` until `failAfter` bytes have been taken, after
// which every write fails (until `failAfter` is raised again).
class MemoryStream : public KStream {
public:
    std::string input;
    size_t inputPos = 0;
    size_t chunk = 1u << 30;
    int failReadsAt = -1; // the i_read call with this index fails
    std::string output;
    size_t failAfter = static_cast<size_t>(-1);
    int reads = 0;
    int writes = 0;

    int i_read(char* buf, unsigned int len) override
    {
        if (reads++ == failReadsAt)
            return -1;
        size_t n = std::min<size_t>({len, chunk, input.size() - inputPos});
        input.copy(buf, n, inputPos);
        inputPos += n;
        return static_cast<int>(n);
    }
    int i_write(const char* buf, unsigned int len) override
    {
        ++writes;
        if (output.size() >= failAfter)
            return -1;
        size_t n = std::min<size_t>(len, failAfter - output.size());
        n = std::min<size_t>(n, chunk);
        output.append(buf, n);
        return static_cast<int>(n);
    }
};

// Splits `text` the way getstr(buf, size) must: lines with their '\n', long
// lines in parts of size - 1 bytes.
std::vector<std::string> expectedParts(const std::string& text, size_t size)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        const size_t n = std::min(end - pos, size - 1);
        out.push_back(text.substr(pos, n));
        pos += n;
    }
    return out;
}

std::vector<std::string> readParts(KStream& s, unsigned size)
{
    std::vector<std::string> out;
    std::vector<char> buf(size);
    for (;;) {
        const unsigned n = s.getstr(buf.data(), size);
        EXPECT_EQ(n, std::strlen(buf.data()));
        if (n == 0)
            break;
        out.emplace_back(buf.data(), n);
    }
    return out;
}

} // namespace

TEST(KStream, GetstrKeepsCarriageReturnsAndSplitsLongLines)
{
    TempDir tmp;
    writeFile(tmp.file("crlf"), "a\r\nb");
    KFile f;
    ASSERT_TRUE(f.wOpen(tmp.file("crlf").c_str(), "rb"));
    char buf[512];
    EXPECT_EQ(f.getstr(buf, sizeof buf), 3u);
    EXPECT_STREQ(buf, "a\r\n");
    EXPECT_EQ(f.getstr(buf, sizeof buf), 1u);
    EXPECT_STREQ(buf, "b");
    EXPECT_EQ(f.getstr(buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");

    writeFile(tmp.file("long"), std::string(999, 'x') + "\n");
    ASSERT_TRUE(f.open(tmp.file("long").c_str(), "r"));
    EXPECT_EQ(f.getstr(buf, sizeof buf), 511u);
    EXPECT_EQ(f.getstr(buf, sizeof buf), 489u);
    EXPECT_EQ(buf[488], '\n');
    EXPECT_EQ(f.getstr(buf, sizeof buf), 0u);
    buf[0] = 'q';
    EXPECT_EQ(f.getstr(buf, 0), 0u);
    EXPECT_EQ(buf[0], 'q');
}

// Lines of many lengths around the 4096-byte buffer boundary, lines longer
// than the buffer, CR/LF and a last line without '\n', read through files
// and through streams whose reads return short chunks.
TEST(KStream, GetstrAcrossTheBufferBoundary)
{
    std::string text;
    const size_t lengths[] = {4094, 1, 0, 4095, 4096, 4097, 3, 8191, 8192, 8193, 12000, 7, 2};
    for (size_t i = 0; i < sizeof lengths / sizeof lengths[0]; ++i) {
        std::string line(lengths[i], static_cast<char>('a' + i));
        if (i % 3 == 0 && !line.empty())
            line.back() = '\r';
        text += line + "\n";
    }
    text += "tail without newline";
    TempDir tmp;
    writeFile(tmp.file("lines"), text);
    for (unsigned size : {2u, 3u, 512u, 4096u, 4097u, 20000u}) {
        KFile f;
        ASSERT_TRUE(f.open(tmp.file("lines").c_str(), "rb"));
        EXPECT_EQ(readParts(f, size), expectedParts(text, size)) << "buffer " << size;
        for (size_t chunk : {1u, 100u, 4095u}) {
            MemoryStream m;
            m.input = text;
            m.chunk = chunk;
            EXPECT_EQ(readParts(m, size), expectedParts(text, size))
                << "buffer " << size << " chunk " << chunk;
        }
    }
}

TEST(KStream, GetsReturnsOnlyWholeLines)
{
    MemoryStream m;
    m.input = "short\n" + std::string(20, 'L') + "\nnext\r\nlast";
    char buf[16];
    EXPECT_EQ(m.gets(buf, sizeof buf, false), 6u);
    EXPECT_STREQ(buf, "short\n");
    EXPECT_EQ(m.gets(buf, sizeof buf, false), 0u); // does not fit: consumed, empty
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(m.gets(buf, sizeof buf, false), 6u); // the rest of the long line
    EXPECT_STREQ(buf, "LLLLL\n");
    EXPECT_EQ(m.gets(buf, sizeof buf, false), 6u);
    EXPECT_STREQ(buf, "next\r\n");
    MemoryStream copy;
    copy.input = "last";
    EXPECT_EQ(m.gets(buf, sizeof buf, false), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(copy.gets(buf, sizeof buf, true), 4u);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(copy.gets(buf, sizeof buf, true), 0u);
}

TEST(KStream, ReadGivesBufferedBytesThenOneRefill)
{
    TempDir tmp;
    writeFile(tmp.file("f"), std::string(9000, 'z'));
    KFile f;
    ASSERT_TRUE(f.open(tmp.file("f").c_str(), "rb"));
    std::vector<char> buf(10000);
    EXPECT_EQ(f.read(buf.data(), 10000), 4096u);
    EXPECT_EQ(f.read(buf.data(), 10000), 4096u);
    EXPECT_EQ(f.read(buf.data(), 10000), 808u);
    EXPECT_EQ(f.read(buf.data(), 10000), 0u);
    EXPECT_FALSE(f.lastReadFailed());
    EXPECT_EQ(f.read(buf.data(), 0), 0u);

    MemoryStream m;
    m.input = "0123456789";
    char small[4];
    EXPECT_EQ(m.read(small, 4), 4u);
    EXPECT_FALSE(m.isReadEof());
    EXPECT_EQ(m.read(small, 4), 4u);
    EXPECT_EQ(m.read(small, 4), 2u); // what is buffered, no second refill
    EXPECT_TRUE(m.isReadEof());
    EXPECT_EQ(m.reads, 1);
}

TEST(KStream, WriteBuffersUntilFullOrFlushed)
{
    TempDir tmp;
    const std::string path = tmp.file("out");
    auto size = [&] {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1L;
    };
    KFile f;
    ASSERT_TRUE(f.open(path.c_str(), "w"));
    const std::string block(4096, 'w');
    EXPECT_EQ(f.write(block.data(), 4096), 4096u);
    EXPECT_EQ(size(), 4096); // a full buffer goes out at once
    EXPECT_EQ(f.write(block.data(), 4095), 4095u);
    EXPECT_EQ(size(), 4096);
    EXPECT_EQ(f.flush(), 0);
    EXPECT_EQ(size(), 8191);
    const std::string big(10000, 'b');
    EXPECT_EQ(f.write(big.data(), big.size()), big.size());
    EXPECT_EQ(f.printf("%s-%d", std::string(700, 'p').c_str(), 42), true); // above 512 bytes
    EXPECT_TRUE(f.puts(std::string("end")));
    EXPECT_FALSE(f.puts(""));
    EXPECT_FALSE(f.printf("%s", ""));
    EXPECT_TRUE(f.close());
    EXPECT_EQ(readFile(path), block + block.substr(1) + big + std::string(700, 'p') + "-42end");
}

TEST(KStream, FailedWritesKeepTheRestPending)
{
    MemoryStream m;
    m.failAfter = 10;
    m.chunk = 4;
    EXPECT_EQ(m.write("abcdefghijklmnop", 16), 16u); // buffered, nothing written yet
    EXPECT_EQ(m.flush(), -1);
    EXPECT_EQ(m.output, "abcdefghij");
    m.failAfter = static_cast<size_t>(-1);
    EXPECT_EQ(m.flush(), 0); // the unwritten rest goes out, nothing lost or doubled
    EXPECT_EQ(m.output, "abcdefghijklmnop");

    MemoryStream full;
    full.failAfter = 100;
    const std::string block(5000, 'x');
    EXPECT_EQ(full.write(block.data(), block.size()), 0u);
    EXPECT_EQ(full.directWrite("x", 0x80000000u), -1);
}

TEST(KStream, CopyToStopsAtTheFirstFailedWrite)
{
    MemoryStream src;
    for (int i = 0; i < 3000; ++i)
        src.input += std::to_string(i) + ",";
    MemoryStream ok;
    EXPECT_TRUE(src.copyTo(ok));
    EXPECT_EQ(ok.flush(), 0);
    EXPECT_EQ(ok.output, src.input);

    src.inputPos = 0;
    MemoryStream broken;
    broken.failAfter = 5000; // fails while the second buffer is written out
    EXPECT_FALSE(src.copyTo(broken));
    // Whatever reached the peer is an unbroken prefix of the source, and the
    // source was not read on after the failure.
    EXPECT_EQ(broken.output, src.input.substr(0, broken.output.size()));
    EXPECT_LT(src.inputPos, src.input.size());

    MemoryStream part;
    part.input = src.input;
    MemoryStream dest;
    EXPECT_TRUE(part.copyToSize(dest, 2500));
    EXPECT_EQ(dest.flush(), 0);
    EXPECT_EQ(dest.output, src.input.substr(0, 2500));

    MemoryStream failingSource;
    failingSource.input = std::string(10000, 'r');
    failingSource.chunk = 4096;
    failingSource.failReadsAt = 1; // the second refill fails
    MemoryStream sink;
    EXPECT_FALSE(failingSource.copyTo(sink));
    EXPECT_TRUE(failingSource.lastReadFailed());

    // A source that can't write out its own pending bytes can't read on
    // either: that is a failure, not the end of the data.
    MemoryStream stuck;
    stuck.input = "unread";
    stuck.failAfter = 0;
    EXPECT_EQ(stuck.write("pending", 7), 7u);
    MemoryStream sink2;
    EXPECT_FALSE(stuck.copyTo(sink2));
    EXPECT_EQ(stuck.inputPos, 0u);
}

TEST(KStream, StdIStreamReadsLinesAndSeeks)
{
    std::istringstream in("first\nsecond\r\nthird");
    KStdIStream s(&in);
    char buf[64];
    EXPECT_EQ(s.getstr(buf, sizeof buf), 6u);
    EXPECT_STREQ(buf, "first\n");
    EXPECT_EQ(s.i_tell(), 6); // where the caller is, not the read-ahead
    EXPECT_EQ(s.getstr(buf, sizeof buf), 8u);
    EXPECT_EQ(s.getstr(buf, sizeof buf), 5u);
    EXPECT_STREQ(buf, "third");
    EXPECT_EQ(s.getstr(buf, sizeof buf), 0u);
    EXPECT_EQ(s.i_seek(6, 0), 0);
    EXPECT_EQ(s.getstr(buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "second\r\n");
    EXPECT_EQ(s.i_seek(-5, 2), 0);
    EXPECT_EQ(s.getstr(buf, sizeof buf), 5u);
    EXPECT_STREQ(buf, "third");
    EXPECT_EQ(s.i_seek(-100, 0), -1);
    EXPECT_EQ(s.i_write("ignored", 7), 7);
    EXPECT_EQ(s.flush(), 0);
    EXPECT_EQ(s.i_seek64(0, 0), 0);
    EXPECT_EQ(s.i_tell64(), 0);
}
