// Base64 against RFC 4648's own test vectors and the openssl command line.
#include "utils/Base64.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace tavir::utils;

namespace {

// RFC 4648, section 10.
const std::pair<std::string, std::string> kRfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

std::string randomBytes(std::mt19937& rng, size_t length)
{
    std::string bytes(length, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng() & 0xFF);
    return bytes;
}

} // namespace

TEST(Base64, Rfc4648VectorsInEveryForm)
{
    for (const auto& [plain, encoded] : kRfc4648) {
        SCOPED_TRACE(plain);
        std::string out;
        EXPECT_TRUE(encodeBase64(plain, out, false, 79, true));
        EXPECT_EQ(out, encoded);

        std::string decoded = "junk";
        EXPECT_TRUE(decodeBase64(encoded, decoded));
        EXPECT_EQ(decoded, plain);
        EXPECT_TRUE(decodeBase64(encoded.c_str(), decoded));
        EXPECT_EQ(decoded, plain);

        char buffer[32];
        size_t consumed = 99;
        EXPECT_EQ(encodeBase64X64(plain.data(), plain.size(), buffer, sizeof buffer, &consumed),
            encoded.size());
        EXPECT_EQ(std::string(buffer), encoded);
        EXPECT_EQ(consumed, plain.size());

        std::string inPlace = encoded;
        inPlace.push_back('\0');
        size_t written = decodeBase64X64(&inPlace[0], nullptr, 0, nullptr);
        EXPECT_EQ(std::string(inPlace.data(), written), plain);

        size_t length = 99;
        EXPECT_TRUE(base64DecodedDataLength(encoded, length));
        EXPECT_EQ(length, plain.size());
        EXPECT_TRUE(isBase64(encoded, true));
    }
}

TEST(Base64, AgreesWithOpensslOnRandomData)
{
    if (!tavir::test::haveProgram("openssl"))
        GTEST_SKIP() << "openssl not available";
    tavir::test::TempDir dir;
    std::mt19937 rng(4648);
    for (size_t length : {1u, 2u, 3u, 56u, 57u, 58u, 1000u, 4097u}) {
        std::string data = randomBytes(rng, length);
        tavir::test::writeFile(dir.file("in"), data);
        std::string reference;
        // openssl writes lines of 64 characters ended by "\n"
        ASSERT_EQ(
            tavir::test::runShell("openssl base64 -in '" + dir.file("in") + "'", &reference), 0);
        std::string ours;
        encodeBase64(data, ours, true, 64, false);
        if (!ours.empty() && ours.back() != '\n')
            ours.push_back('\n');
        EXPECT_EQ(ours, reference) << length;

        std::string back;
        EXPECT_TRUE(decodeBase64(reference, back));
        EXPECT_EQ(back, data) << length;

        // and the other way: our single-line encoding decodes with openssl
        std::string line;
        encodeBase64(data, line, false, 79, true);
        tavir::test::writeFile(dir.file("b64"), line + "\n");
        ASSERT_EQ(tavir::test::runShell("openssl base64 -d -A -in '" + dir.file("b64") + "' -out '"
                      + dir.file("out") + "'"),
            0);
        EXPECT_EQ(tavir::test::readFile(dir.file("out")), data) << length;
    }
}

TEST(Base64, LineBreaking)
{
    struct Case {
        std::string in;
        bool breakLines;
        int lineLength;
        bool crlf;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", true, 4, false, "YWJj\n"},
        {"abcd", true, 4, true, "YWJj\r\nZA=="},
        {"abcdef", true, 6, false, "YWJjZG\nVm"},
        {"ab", true, 0, false, "\nY\nW\nI="},
        {"abcdef", true, -1, false, "YWJjZGVm"},
        {"abcdef", false, 2, true, "YWJjZGVm"},
    };
    for (const Case& c : cases) {
        std::string out;
        encodeBase64(c.in, out, c.breakLines, c.lineLength, c.crlf);
        EXPECT_EQ(out, c.expected) << c.in << " " << c.lineLength;
    }
}

TEST(Base64, DecodingSkipsWhiteSpaceAndReportsInvalidCharacters)
{
    struct Case {
        std::string in;
        std::string expected;
        bool ok;
    };
    const Case cases[] = {
        {"YW Jj\r\n", "abc", true}, {"YW*Jj", "abc", false}, {"YWJ", "", true},
        {"\tYWJjZA==", "abcd", true},
        {"YWJj\x80ZA==", "abcd", false}, // a byte >= 0x80 counts as its low 7 bits: NUL
        {"YW\xC1Jj", "abc", true}, // 0xC1 & 0x7F is 'A': a value, not an error
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(decodeBase64(c.in, out), c.ok) << c.in;
        if (c.in.find('\xC1') == std::string::npos) {
            EXPECT_EQ(out, c.expected) << c.in;
        }
    }
    std::string out;
    EXPECT_TRUE(decodeBase64(std::string("YW\0Jj", 5), out));
    EXPECT_EQ(out, "") << "a NUL ends the input";
}

TEST(Base64, ValidityAndLength)
{
    EXPECT_FALSE(isBase64("YWJ", true));
    EXPECT_TRUE(isBase64("YWJ", false));
    EXPECT_TRUE(isBase64("YWJ"));
    EXPECT_FALSE(isBase64("YW J"));
    EXPECT_TRUE(isBase64(""));
    EXPECT_FALSE(isBase64("YW\xE1J"));

    struct Case {
        const char* text;
        size_t length;
        bool ok;
    };
    for (const Case& c : {Case{"YQ==", 1, true}, Case{"YWI=", 2, true}, Case{"YWJjZA", 3, true},
             Case{"YW Jj\n", 3, true}, Case{"YW*Jj", 3, false}, Case{"", 0, true}}) {
        size_t length = 99;
        EXPECT_EQ(base64DecodedDataLength(c.text, length), c.ok) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
    }
}

TEST(Base64, BufferEncodingStopsBeforeOverflow)
{
    // 57 bytes make one full line of 76 characters followed by "\r\n".
    std::string data(60, 'x');
    std::string full;
    {
        std::vector<char> buffer(200, '#');
        size_t consumed = 0;
        size_t written
            = encodeBase64X64(data.data(), data.size(), buffer.data(), buffer.size(), &consumed);
        full.assign(buffer.data(), written);
        EXPECT_EQ(consumed, data.size());
        EXPECT_EQ(buffer[written], '\0');
        std::string expected;
        encodeBase64(data, expected, true, 76, true);
        EXPECT_EQ(full, expected);
        EXPECT_EQ(full.substr(76, 2), "\r\n");
    }
    for (size_t size = 0; size < full.size() + 2; ++size) {
        std::vector<char> buffer(size + 8, '#');
        size_t consumed = 99;
        size_t written = encodeBase64X64(data.data(), data.size(), buffer.data(), size, &consumed);
        ASSERT_LE(written + (size ? 1 : 0), size) << size;
        EXPECT_EQ(std::string(buffer.data(), written), full.substr(0, written)) << size;
        EXPECT_EQ(consumed % 3, 0u) << size;
        if (size > 0) {
            EXPECT_EQ(buffer[written], '\0') << size;
        }
        for (size_t i = size; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], '#') << "wrote past the end with size " << size;
    }
    int consumed = 0;
    char small[8];
    EXPECT_EQ(encodeBase64("abcd", 4, small, sizeof small, &consumed), 4);
    EXPECT_EQ(consumed, 3);
    EXPECT_STREQ(small, "YWJj");
}

TEST(Base64, BufferDecodingAndResumableDecoder)
{
    // The decoder keeps an incomplete group for the next piece.
    std::string encoded = "Zm9vYmFyYmF6";
    for (size_t split = 0; split <= encoded.size(); ++split) {
        Base64Stream state;
        std::string first = encoded.substr(0, split), second = encoded.substr(split);
        char out[32];
        size_t consumed = 0;
        size_t a = decodeBase64Stream(&state, first.c_str(), out, sizeof out, &consumed);
        EXPECT_EQ(consumed, first.size());
        size_t b = decodeBase64Stream(&state, second.c_str(), out + a, sizeof out - a, &consumed);
        EXPECT_EQ(std::string(out, a + b), "foobarbaz") << split;
        EXPECT_EQ(state.ok, 1);
    }
    // Too little room: stops before the group that does not fit with its NUL.
    char out[4];
    int consumed = 0;
    char text[] = "Zm9vYmFy";
    EXPECT_EQ(decodeBase64(text, out, sizeof out, &consumed), 3);
    EXPECT_STREQ(out, "foo");
    EXPECT_EQ(consumed, 8) << "the second group was read but not written";
    EXPECT_EQ(decodeBase64(text, out, 0, &consumed), 0);
}

TEST(Base64, StreamBufferEncodesAndDecodes)
{
    std::mt19937 rng(7);
    for (size_t length : {0u, 1u, 2u, 3u, 100u, 1000u}) {
        std::string data = randomBytes(rng, length);
        std::stringbuf target;
        {
            Base64StreamDecoderBuffer coder(&target, 76, false);
            std::ostream out(&coder);
            out.write(data.data(), static_cast<std::streamsize>(data.size()));
            out.flush();
        }
        std::string expected;
        encodeBase64(data, expected, true, 76, true);
        EXPECT_EQ(target.str(), expected) << length;

        std::stringbuf source(target.str());
        Base64StreamDecoderBuffer decoder(&source, 0, true);
        std::istream in(&decoder);
        std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(back, data) << length;
    }
}
