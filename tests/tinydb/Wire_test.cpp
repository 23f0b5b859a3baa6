// The tinydb frame and result-set decoders over hand-written bytes: what they
// accept, and that every malformed, cut or oversized message is refused with a
// WireError (never a crash or another exception).
#include "tinydb/Wire.h"

#include "support/GlibcIconv.h"
#include "tinydb/ServerFrames.h"

#include <gtest/gtest.h>

#include <random>

using namespace tavir::tinydb;
namespace w = tavir::test::tinydbwire;

namespace {

// The payload of a frame built by the test's own encoder (type byte off).
std::string payloadOf(const std::string& frame)
{
    return frame.substr(5);
}

} // namespace

TEST(TinyDbWire, Utf8AgreesWithTheTableAndWithGlibc)
{
    struct Case {
        const char* name;
        std::string bytes;
        bool valid;
    } cases[] = {
        {"empty", "", true},
        {"ascii", "plain text", true},
        {"two-byte", "\xC3\xA9", true},
        {"three-byte", "\xE2\x82\xAC", true},
        {"four-byte", "\xF0\x9F\x98\x80", true},
        {"highest code point", "\xF4\x8F\xBF\xBF", true},
        {"NUL is a character", std::string("a\0b", 3), true},
        {"lone continuation", "\x80", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three-byte", "\xE0\x80\xAF", false},
        {"overlong four-byte", "\xF0\x80\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"cut at the end", "ab\xE2\x82", false},
        {"bad continuation", "\xE2\x28\xA1", false},
        {"FF byte", "\xFF", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.valid, isUtf8(c.bytes));
    }

    // glibc's UTF-8 decoder as a reference nobody here wrote, over random
    // short byte strings biased towards the interesting lead bytes.
    if (tavir::test::glibcConvert("UTF-32LE", "UTF-8", "a") == "<unsupported>")
        GTEST_SKIP() << "glibc without UTF-32LE";
    std::mt19937 rng(15);
    const unsigned char leads[] = {0x41, 0x80, 0xBF, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5,
        0x9F, 0xA0, 0x8F, 0x90, 0xC0};
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        for (int i = 0, n = 1 + static_cast<int>(rng() % 5); i < n; ++i)
            bytes += static_cast<char>(rng() % 3 ? leads[rng() % sizeof leads] : rng() % 256);
        if (bytes.find('\0') != std::string::npos)
            continue;
        bool glibc = tavir::test::glibcConvert("UTF-32LE", "UTF-8", bytes) != "<error>";
        ASSERT_EQ(glibc, isUtf8(bytes)) << "round " << round;
    }
}

TEST(TinyDbWire, FrameLengthIsBoundedBeforeAnythingIsRead)
{
    struct Case {
        std::string header;
        bool valid;
        std::uint32_t length;
    } cases[] = {
        {w::be(0, 4), false, 0},
        {w::be(1, 4), true, 1},
        {w::be(maxFrameSize, 4), true, maxFrameSize},
        {w::be(maxFrameSize + 1, 4), false, 0},
        {w::be(0xFFFFFFFFu, 4), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        if (c.valid)
            EXPECT_EQ(c.length, frameLength(c.header.data()));
        else
            EXPECT_THROW(frameLength(c.header.data()), WireError);
    }
}

TEST(TinyDbWire, ClientFramesAreTheDocumentedBytes)
{
    EXPECT_EQ(
        std::string("\x00\x00\x00\x0c\x01\x00\x01\x00\x00\x00\x05Tavir", 16), helloFrame("Tavir"));
    EXPECT_EQ(std::string("\x00\x00\x00\x0b\x02\x00\x00\x00\x01u\x00\x00\x00\x01p", 15),
        loginFrame("u", "p"));
    EXPECT_EQ(std::string("\x00\x00\x00\x0a\x03\x00\x00\x00\x05SELEC", 14), queryFrame("SELEC"));
    EXPECT_EQ(std::string("\x00\x00\x00\x01\x04", 5), byeFrame());
}

TEST(TinyDbWire, ResultSetsDecodeWithTheirTypes)
{
    ResultSet r = decodeResult(payloadOf(w::result({{"Id", 1}, {"Name", 2}},
        {{w::integer(-5), w::str("caf\xC3\xA9")}, {w::null(), w::null()},
            {w::integer(INT64_MAX), w::str("")}},
        7)));
    EXPECT_EQ(7, r.changed);
    ASSERT_EQ(2u, r.columns.size());
    EXPECT_EQ("Id", r.columns[0].name);
    EXPECT_EQ(Value::Integer, r.columns[0].type);
    EXPECT_EQ(Value::Text, r.columns[1].type);
    ASSERT_EQ(3u, r.rows.size());
    EXPECT_EQ(Value::of(std::int64_t{-5}), r.rows[0][0]);
    EXPECT_EQ(Value::of(std::string("caf\xC3\xA9")), r.rows[0][1]);
    EXPECT_EQ(Value::null(), r.rows[1][0]);
    EXPECT_EQ(Value::null(), r.rows[1][1]);
    EXPECT_EQ(Value::of(std::int64_t{INT64_MAX}), r.rows[2][0]);

    ResultSet empty = decodeResult(payloadOf(w::done(3)));
    EXPECT_EQ(3, empty.changed);
    EXPECT_TRUE(empty.columns.empty());
    EXPECT_TRUE(empty.rows.empty());
}

TEST(TinyDbWire, MalformedResultSetsAreRefused)
{
    const std::string head = w::be(0, 8);
    const std::string oneInteger = head + w::be(1, 2) + w::text("N") + "\x01";
    struct Case {
        const char* name;
        std::string payload;
        const char* says;
    } cases[] = {
        {"row with too few values", oneInteger + w::be(1, 4) + w::be(0, 2), "0 values"},
        {"row with too many values",
            oneInteger + w::be(1, 4) + w::be(2, 2) + w::integer(1) + w::integer(2), "2 values"},
        {"unknown column type", head + w::be(1, 2) + w::text("N") + "\x07" + w::be(0, 4),
            "unknown column type 7"},
        {"unknown value tag", oneInteger + w::be(1, 4) + w::be(1, 2) + "\x09", "unknown value tag"},
        {"text in an integer column", oneInteger + w::be(1, 4) + w::be(1, 2) + w::str("x"),
            "another type"},
        {"negative text length", head + w::be(1, 2) + w::be(0xFFFFFFFF, 4) + "\x02" + w::be(0, 4),
            "negative length"},
        {"negative value length",
            head + w::be(1, 2) + w::text("T") + "\x02" + w::be(1, 4) + w::be(1, 2) + "\x02"
                + w::be(0x80000000u, 4),
            "negative length"},
        {"text beyond the message", head + w::be(1, 2) + w::be(100, 4) + "abc", "ends inside"},
        {"column count beyond the message", head + w::be(60000, 2), "count exceeds"},
        {"row count beyond the message", oneInteger + w::be(0xFFFFFFFF, 4), "count exceeds"},
        {"column name not UTF-8", head + w::be(1, 2) + w::text("\xC0\xAF") + "\x02" + w::be(0, 4),
            "not UTF-8"},
        {"bytes left over", w::resultPayload({}, {}) + "x", "left over"},
        {"empty", "", "ends inside"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            decodeResult(c.payload);
            ADD_FAILURE() << "accepted";
        } catch (const WireError& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says)) << e.what();
        }
    }
}

TEST(TinyDbWire, EveryCutOfAResultIsRefused)
{
    const std::string payload = payloadOf(w::result(
        {{"A", 1}, {"B", 2}}, {{w::integer(1), w::str("one")}, {w::null(), w::str("two")}}));
    ASSERT_NO_THROW(decodeResult(payload));
    for (std::size_t cut = 0; cut < payload.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_THROW(decodeResult(payload.substr(0, cut)), WireError);
    }
}

TEST(TinyDbWire, HandshakeLoginAndErrorMessages)
{
    Welcome welcome = decodeWelcome(payloadOf(w::welcome("6.5.2", 1)));
    EXPECT_EQ(1, welcome.protocol);
    EXPECT_EQ("6.5.2", welcome.productVersion);

    struct Case {
        std::uint8_t answer;
        LoginAnswer expected;
    } answers[] = {{0, LoginAnswer::Full}, {1, LoginAnswer::ReadOnly}, {2, LoginAnswer::Refused}};
    for (const auto& c : answers)
        EXPECT_EQ(c.expected, decodeLoggedIn(payloadOf(w::loggedIn(c.answer))));
    EXPECT_THROW(decodeLoggedIn(payloadOf(w::loggedIn(3))), WireError);
    EXPECT_THROW(decodeLoggedIn(""), WireError);
    EXPECT_THROW(decodeLoggedIn("\x00\x00"), WireError);

    ServerError error = decodeError(payloadOf(w::error(4, "the row exists already")));
    EXPECT_EQ(4, error.code);
    EXPECT_EQ("the row exists already", error.sentence);
    EXPECT_THROW(decodeError(payloadOf(w::error(4, "\xFF"))), WireError);
    EXPECT_THROW(decodeWelcome(payloadOf(w::welcome("6.5.2")) + "z"), WireError);
}
