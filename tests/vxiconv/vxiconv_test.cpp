// The conversion library against its contract: POSIX iconv semantics, and
// "//IGNORE" skipping bad input without losing what follows it.
#include "vxiconv/vxiconv.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    std::string output;
    size_t inputLeft = 0;
    int eilseqCount = 0;
    int lastErrno = 0;
    bool ok = true;
};

// Converts `input` the way a careful caller does: output in chunks of
// `chunk` bytes, repeating on E2BIG, counting EILSEQ reports, stopping at
// EINVAL or at a second EILSEQ without progress.
Outcome convertAll(void* cd, const std::string& input, size_t chunk = 1024, bool flush = true)
{
    Outcome result;
    const char* in = input.data();
    size_t inLeft = input.size();
    std::vector<char> buffer(chunk);
    for (;;) {
        char* out = buffer.data();
        size_t outLeft = buffer.size();
        size_t before = inLeft;
        size_t r = vxiconv(cd, &in, &inLeft, &out, &outLeft);
        result.output.append(buffer.data(), buffer.size() - outLeft);
        if (r != (size_t)-1)
            break;
        result.lastErrno = errno;
        if (errno == E2BIG)
            continue;
        if (errno == EILSEQ) {
            ++result.eilseqCount;
            if (inLeft > 0 && inLeft != before)
                continue;
        }
        result.ok = false;
        break;
    }
    if (flush) {
        char* out = buffer.data();
        size_t outLeft = buffer.size();
        vxiconv(cd, nullptr, nullptr, &out, &outLeft);
        result.output.append(buffer.data(), buffer.size() - outLeft);
    }
    result.inputLeft = inLeft;
    return result;
}

std::string ucs4le(const std::u32string& text)
{
    std::string bytes;
    for (char32_t c : text)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<char>((c >> (8 * i)) & 0xFF));
    return bytes;
}

class Descriptor {
public:
    Descriptor(const char* to, const char* from)
        : cd_(vxiconv_open(to, from))
    {
    }
    ~Descriptor()
    {
        if (valid())
            vxiconv_close(cd_);
    }
    bool valid() const { return cd_ != (void*)-1; }
    void* get() const { return cd_; }

private:
    void* cd_;
};

// A 40 KB text of mixed ASCII and Latin-1 letters.
std::string longUtf8Text(size_t size)
{
    std::string text;
    int line = 0;
    while (text.size() < size)
        text += "Zeile " + std::to_string(line++) + ": Grüße aus Köln\n";
    return text;
}

} // namespace

TEST(VxIconv, BadByteEarlyInLongTextIsSkippedAndTheRestConverted)
{
    std::string text = longUtf8Text(40 * 1024);
    std::string damaged = text.substr(0, 10) + "\xFF" + text.substr(10);

    struct Target {
        const char* to;
        std::string expected;
    };
    std::string latin1;
    {
        Descriptor reference("ISO-8859-1", "UTF-8");
        ASSERT_TRUE(reference.valid());
        latin1 = convertAll(reference.get(), text).output;
    }
    std::u32string wide;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = text[i];
        if (c < 0x80) {
            wide.push_back(c);
            ++i;
        } else {
            wide.push_back(((c & 0x1F) << 6) | (text[i + 1] & 0x3F));
            i += 2;
        }
    }
    for (const Target& target : {Target{"ISO-8859-1//IGNORE", latin1},
             Target{"UCS-4LE//IGNORE", ucs4le(wide)}, Target{"UTF-16BE//IGNORE", ""}}) {
        SCOPED_TRACE(target.to);
        Descriptor cd(target.to, "UTF-8");
        ASSERT_TRUE(cd.valid());
        Outcome got = convertAll(cd.get(), damaged, 1024);
        EXPECT_EQ(got.inputLeft, 0u);
        EXPECT_EQ(got.eilseqCount, 1) << "the skip is reported once";
        if (!target.expected.empty())
            EXPECT_EQ(got.output, target.expected);
        else
            EXPECT_EQ(got.output.size(), wide.size() * 2);
    }
}

TEST(VxIconv, UnconvertibleCharacterInMultiStepConversionDoesNotStopEarly)
{
    // UCS-4LE to ISO-8859-1 goes through glibc's internal form; a skipped
    // character there used to end the call at the first internal buffer.
    std::u32string wide = U"\u20AC";
    for (int i = 0; i < 200000; ++i)
        wide.push_back(U'a' + i % 26);
    wide += U"\u4E2D end";
    std::string input = ucs4le(wide);

    std::string expected;
    for (char32_t c : wide)
        if (c < 0x100)
            expected.push_back(static_cast<char>(c));

    // One call with room for everything takes all of the input.
    {
        Descriptor cd("ISO-8859-1//IGNORE", "UCS-4LE");
        ASSERT_TRUE(cd.valid());
        const char* in = input.data();
        size_t inLeft = input.size();
        std::string buffer(input.size(), '\0');
        char* out = &buffer[0];
        size_t outLeft = buffer.size();
        errno = 0;
        EXPECT_EQ(vxiconv(cd.get(), &in, &inLeft, &out, &outLeft), (size_t)-1);
        EXPECT_EQ(errno, EILSEQ);
        EXPECT_EQ(inLeft, 0u);
        EXPECT_EQ(std::string(&buffer[0], out), expected);
    }
    // The same in small output steps.
    {
        Descriptor cd("ISO-8859-1//IGNORE", "UCS-4LE");
        ASSERT_TRUE(cd.valid());
        Outcome got = convertAll(cd.get(), input, 1024);
        EXPECT_EQ(got.inputLeft, 0u);
        EXPECT_EQ(got.output, expected);
        EXPECT_EQ(got.eilseqCount, 1);
    }
}

TEST(VxIconv, WithoutIgnoreInvalidInputStopsAtTheBadByte)
{
    Descriptor cd("UCS-4LE", "UTF-8");
    ASSERT_TRUE(cd.valid());
    std::string input = "ab\xFF"
                        "cd";
    const char* in = input.data();
    size_t inLeft = input.size();
    char buffer[64];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    errno = 0;
    EXPECT_EQ(vxiconv(cd.get(), &in, &inLeft, &out, &outLeft), (size_t)-1);
    EXPECT_EQ(errno, EILSEQ);
    EXPECT_EQ(inLeft, 3u);
    EXPECT_EQ(*in, '\xFF');
    EXPECT_EQ(std::string(buffer, out), ucs4le(U"ab"));
}

TEST(VxIconv, IncompleteUtf8TailIsLeftForTheNextCall)
{
    Descriptor cd("UCS-4LE//IGNORE", "UTF-8");
    ASSERT_TRUE(cd.valid());
    struct Case {
        std::string input;
        size_t tail;
    };
    for (const Case& c : {Case{"abc\xC3", 1}, Case{"x\xE4\xB8", 2}, Case{"\xF0\x9F\x98", 3}}) {
        const char* in = c.input.data();
        size_t inLeft = c.input.size();
        char buffer[64];
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        errno = 0;
        EXPECT_EQ(vxiconv(cd.get(), &in, &inLeft, &out, &outLeft), (size_t)-1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(inLeft, c.tail);
        EXPECT_EQ(static_cast<size_t>(out - buffer), 4 * (c.input.size() - c.tail) / 1);
        vxiconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
}

TEST(VxIconv, MultibyteCharacterSplitAcrossChunksConvertsWhole)
{
    // "日本語 🎉" fed in every possible split: the caller keeps the
    // incomplete tail of the first piece and puts it in front of the second.
    std::string text = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x8E\x89";
    std::string expected = ucs4le(U"\u65E5\u672C\u8A9E \U0001F389");
    for (size_t split = 0; split <= text.size(); ++split) {
        Descriptor cd("UCS-4LE//IGNORE", "UTF-8");
        ASSERT_TRUE(cd.valid());
        std::string pending = text.substr(0, split);
        std::string output;
        for (int piece = 0; piece < 2; ++piece) {
            if (piece == 1)
                pending += text.substr(split);
            const char* in = pending.data();
            size_t inLeft = pending.size();
            char buffer[256];
            char* out = buffer;
            size_t outLeft = sizeof buffer;
            size_t r = vxiconv(cd.get(), &in, &inLeft, &out, &outLeft);
            output.append(buffer, out);
            if (r == (size_t)-1) {
                ASSERT_EQ(errno, EINVAL) << "split " << split;
            }
            pending.erase(0, pending.size() - inLeft);
        }
        EXPECT_TRUE(pending.empty()) << "split " << split;
        EXPECT_EQ(output, expected) << "split " << split;
    }
}

TEST(VxIconv, SkippedCharacterIsReportedEvenWhenTheOutputFillsUp)
{
    // Output of 7 bytes at a time: the skip happens in one call, the input
    // ends many E2BIG rounds later; the report must still come, once.
    Descriptor cd("ISO-8859-1//IGNORE", "UTF-8");
    ASSERT_TRUE(cd.valid());
    std::string input = "ab\xE2\x82\xAC"
                        "cdefghijklmnopqrstuvwxyz";
    Outcome got = convertAll(cd.get(), input, 7);
    EXPECT_EQ(got.output, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(got.eilseqCount, 1);
    EXPECT_EQ(got.inputLeft, 0u);
}

TEST(VxIconv, UnknownCharsetIsRefused)
{
    for (auto pair : {std::pair<const char*, const char*>{"UTF-8", "X-NO-SUCH-CHARSET"},
             {"X-NO-SUCH-CHARSET//IGNORE", "UTF-8"}}) {
        errno = 0;
        void* cd = vxiconv_open(pair.first, pair.second);
        EXPECT_EQ(cd, (void*)-1);
        EXPECT_EQ(errno, EINVAL);
    }
    errno = 0;
    EXPECT_EQ(vxiconv_close((void*)-1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(VxIconv, FlushWritesTheShiftStateOfAStatefulTarget)
{
    // ISO-2022-JP leaves a JIS X 0208 shift open after "日本"; the flush call
    // must return to ASCII with ESC ( B.
    Descriptor cd("ISO-2022-JP//IGNORE", "UTF-8");
    ASSERT_TRUE(cd.valid());
    Outcome got = convertAll(cd.get(), "\xE6\x97\xA5\xE6\x9C\xAC", 64, true);
    EXPECT_EQ(got.output, "\x1B$BF|K\\\x1B(B");
}

TEST(VxIconv, ExportsExactlyTheThreeEntryPoints)
{
    if (!tavir::test::haveProgram("nm"))
        GTEST_SKIP() << "nm not available";
    std::string listing;
    ASSERT_EQ(tavir::test::runShell("nm -D --defined-only '" TAVIR_BINARY_DIR
                                    "/lib/zorp/libvxiconv.so.2' | awk '{print $3}' | sort",
                  &listing),
        0);
    EXPECT_EQ(listing, "vxiconv\nvxiconv_close\nvxiconv_open\n");
}

TEST(VxIconv, SkipsExactlyTheBadPartAndKeepsWhatFollows)
{
    struct Case {
        const char* to;
        const char* from;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        // invalid bytes of various lengths, alone and in a row
        {"UCS-4LE//IGNORE", "UTF-8",
            "\xFF\xFE"
            "ab",
            ucs4le(U"ab")},
        {"UCS-4LE//IGNORE", "UTF-8", "a\xC3(b", ucs4le(U"a(b")},
        {"UCS-4LE//IGNORE", "UTF-8", "\xE2\x82z\xC3\xA4", ucs4le(U"z\u00E4")},
        // a lone surrogate in UTF-16 input must not shift the units after it
        {"UCS-4LE//IGNORE", "UTF-16BE", std::string("\xD8\x3D\x00\x41\x00\x42", 6), ucs4le(U"AB")},
        {"UCS-4LE//IGNORE", "UTF-16BE", std::string("\x00\x41\xDC\x00\x4E\x2D", 6),
            ucs4le(U"A\u4E2D")},
        // valid input the target cannot hold
        {"ISO-8859-1//IGNORE", "UTF-8",
            "\xE2\x82\xAC\xE2\x82\xAC"
            "ab\xC3\xA4",
            "ab\xE4"},
        {"ISO-8859-1//IGNORE", "UCS-4LE", ucs4le(U"\u4E2Dx\U0001F600y"), "xy"},
        {"UTF-16BE//IGNORE", "UCS-4LE",
            ucs4le(U"a") + std::string("\x00\x00\x11\x00", 4) + ucs4le(U"b"),
            std::string("\x00"
                        "a\x00"
                        "b",
                4)},
        // both kinds, and a bad byte at the very end; TRANSLIT still applies
        {"ISO-8859-1//IGNORE", "UTF-8",
            "\xFF\xE4\xB8\xAD"
            "ok\xFF",
            "ok"},
        {"ISO-8859-1//TRANSLIT//IGNORE", "UTF-8", "\xFF\xE2\x80\x9Cok\xFF", "\"ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
        Descriptor cd(c.to, c.from);
        ASSERT_TRUE(cd.valid());
        Outcome got = convertAll(cd.get(), c.input, 256);
        EXPECT_EQ(got.output, c.expected);
        EXPECT_EQ(got.inputLeft, 0u);
        EXPECT_EQ(got.eilseqCount, 1);
    }
}
