// The direct converter and its free functions.
#include "utils/CharsetConverter.h"
#include "utils/Exception.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace tavir::utils;

TEST(CharsetConverter, ReversibleConversionReportsLossButKeepsWhatCameBefore)
{
    std::string out;
    EXPECT_TRUE(charsetRecodeReversible("utf-8", "iso-8859-1",
        "Gr\xC3\xBC\xC3\x9F"
        "e",
        out));
    EXPECT_EQ(out,
        "Gr\xFC\xDF"
        "e");
    EXPECT_FALSE(charsetRecodeReversible("utf-8", "iso-8859-1", "ab\xE2\x82\xAC", out));
    EXPECT_EQ(out.substr(0, 2), "ab");
    EXPECT_FALSE(convertCharset("utf-8", "iso-8859-1", "\xE2\x82\xAC", out));
}

TEST(CharsetConverter, InvalidInputInOnePieceKeepsAllLaterPieces)
{
    // More than 1024 bytes: the bad byte sits in the first piece.
    std::string text;
    while (text.size() < 5000)
        text += "K\xC3\xB6ln ";
    std::string damaged = "x\xFF" + text;
    std::string expected, out;
    ASSERT_TRUE(charsetRecode("utf-8", "iso-8859-1", "x" + text, expected, false));
    EXPECT_FALSE(charsetRecode("utf-8", "iso-8859-1", damaged, out, false));
    EXPECT_EQ(out, expected) << "reported, but nothing after the bad byte lost";
    EXPECT_TRUE(charsetRecode("utf-8", "iso-8859-1", damaged, out, true));
    EXPECT_EQ(out, expected);
}

TEST(CharsetConverter, IncompleteSequenceAtTheEnd)
{
    std::string out;
    EXPECT_TRUE(charsetRecode("utf-8", "utf-16be", "ab\xE6\x97", out, true));
    EXPECT_EQ(out, std::string("\0a\0b", 4));
    EXPECT_FALSE(charsetRecode("utf-8", "utf-16be", "ab\xE6\x97", out, false));
    EXPECT_EQ(out, std::string("\0a\0b", 4));
}

TEST(CharsetConverter, PieceBoundaryInsideAMultibyteSequence)
{
    for (size_t prefix = 1020; prefix <= 1026; ++prefix) {
        std::string text = std::string(prefix, 'a') + "\xE6\x97\xA5\xF0\x9F\x8E\x89" + "z";
        std::string out;
        ASSERT_TRUE(charsetRecode("utf-8", "ucs-4le", text, out, false)) << prefix;
        ASSERT_EQ(out.size(), 4 * (prefix + 3)) << prefix;
        EXPECT_EQ(out.substr(4 * prefix), std::string("\xE5\x65\0\0\x89\xF3\x01\0z\0\0\0", 12))
            << prefix;
    }
}

TEST(CharsetConverter, ModifiedUtf7BothWays)
{
    std::string out;
    EXPECT_TRUE(charsetRecode("utf-8", "utf-7-imap",
        "~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", out, false));
    EXPECT_EQ(out, "~peter/mail/&U,BTFw-/&ZeVnLIqe-");
    EXPECT_TRUE(charsetRecode("utf-7-imap", "utf-8", "Entw&APw-rfe", out, false));
    EXPECT_EQ(out, "Entw\xC3\xBCrfe");
    // a supplementary character, and a long text crossing the 1024-byte pieces
    EXPECT_TRUE(charsetRecode("utf-8", "UTF-7M", "\xF0\x9F\x8E\x89", out, false));
    EXPECT_EQ(out, "&2DzfiQ-");
    std::string longName;
    for (int i = 0; i < 600; ++i)
        longName += "\xC3\xA4";
    std::string wire, back;
    EXPECT_TRUE(charsetRecode("utf-8", "utf-7-imap", longName, wire, false));
    EXPECT_EQ(wire.find('&', 1), std::string::npos);
    EXPECT_TRUE(charsetRecode("utf-7-imap", "utf-8", wire, back, false));
    EXPECT_EQ(back, longName);
    // a failed modified UTF-7 step makes the conversion irreversible
    EXPECT_FALSE(charsetRecodeReversible("utf-7-imap", "utf-8", "a&A", out));
    EXPECT_TRUE(charsetRecodeReversible("utf-7-imap", "utf-8", "a&-b", out));
    EXPECT_EQ(out, "a&b");
}

TEST(CharsetConverter, RemapAndUnknownCharsets)
{
    std::string out;
    // "us-ascii" is read as cp1252, so 0x80 is the euro sign
    EXPECT_TRUE(charsetRecodeWithRemap("us-ascii", "utf-8", "\x80", out, false));
    EXPECT_EQ(out, "\xE2\x82\xAC");
    EXPECT_FALSE(charsetRecode("x-no-such-charset", "utf-8", "abc", out, true));
    std::vector<char> range = {'a', 'b'};
    EXPECT_TRUE(charsetRecode("iso-8859-1", "utf-8", range.begin(), range.end(), out, false));
    EXPECT_EQ(out, "ab");
    EXPECT_TRUE(charsetRecode("x-no-such-charset", "utf-8", range.end(), range.end(), out, false));

    EXPECT_THROW(CharsetConverter("x-no-such-charset", "utf-8", true, false), std::runtime_error);
    try {
        CharsetConverter converter("x-no-such-charset", "utf-8", true, false);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
            "CharsetConverter: failed to initialize string conversion from "
            "\"x-no-such-charset\" encoding to \"utf-8\" encoding");
    }
    CharsetConverter quiet("x-no-such-charset", "utf-8", false, false);
    EXPECT_FALSE(quiet.isOpen());
    EXPECT_FALSE(quiet.convert("abc", out));
}

TEST(CharsetConverter, ThrowOnErrorReachesMalformedModifiedUtf7)
{
    struct Case {
        const char* input;
        bool throwOnError, lenient;
        bool throws;
    } cases[] = {
        {"a&A", true, false, true}, // a stray '&' at the end
        {"a&Jj!x-b", true, false, true}, // a run broken by a character outside base64
        {"a&A", true, true, false},
        {"a&A", false, false, false},
        {"Entw&APw-rfe", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.input) + (c.throwOnError ? " throwOnError" : "")
            + (c.lenient ? " lenient" : ""));
        CharsetConverter converter("utf-7-imap", "utf-8", c.throwOnError, c.lenient);
        std::string out;
        if (c.throws)
            EXPECT_THROW(converter.convert(c.input, out), Exception);
        else
            EXPECT_NO_THROW(converter.convert(c.input, out));
    }
}

TEST(CharsetConverter, BufferInterfaceHandsOutThePiecesOfTheResult)
{
    CharsetConverter converter("iso-8859-1", "utf-8", false, false);
    const std::string input = "\xE4\xF6\xFC"
                              "abc";
    const char* in = input.data();
    size_t inLeft = input.size();
    std::string result;
    int calls = 0;
    while (inLeft > 0 && calls < 20) {
        char buffer[4];
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        ASSERT_TRUE(converter.convert(&in, inLeft, &out, outLeft));
        result.append(buffer, sizeof buffer - outLeft);
        ++calls;
    }
    EXPECT_EQ(result,
        "\xC3\xA4\xC3\xB6\xC3\xBC"
        "abc");
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(in, input.data() + input.size());
}
