// IMAP modified UTF-7 against RFC 3501's example and glibc's own UTF-7-IMAP
// converter, in pieces, and on malformed input.
#include "utils/Utf7ImapConverter.h"

#include "utils/Exception.h"

#include "support/GlibcIconv.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

using tavir::utils::Utf7ImapConverter;
using Table = Utf7ImapConverter::utf7imap_table;
using tavir::test::glibcConvert;

namespace {

std::string utf16be(const std::u16string& text)
{
    std::string bytes;
    for (char16_t u : text) {
        bytes.push_back(static_cast<char>(u >> 8));
        bytes.push_back(static_cast<char>(u & 0xFF));
    }
    return bytes;
}

std::u16string fromUtf16be(const std::string& bytes)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>((static_cast<unsigned char>(bytes[i]) << 8)
            | static_cast<unsigned char>(bytes[i + 1])));
    return text;
}

std::string encode(const std::u16string& text)
{
    Utf7ImapConverter converter;
    Table state;
    std::string bytes = utf16be(text), out;
    converter.toUtf7Imap(bytes.data(), bytes.size(), out, state);
    Utf7ImapConverter::flushTable(state, out);
    return out;
}

std::u16string decode(const std::string& text, unsigned* failed = nullptr,
    Utf7ImapConverter converter = Utf7ImapConverter())
{
    Table state;
    std::string in = text, out;
    unsigned count = converter.fromUtf7Imap(in, out, state, true);
    EXPECT_TRUE(in.empty());
    if (failed)
        *failed = count;
    return fromUtf16be(out);
}

std::u16string randomBmpText(std::mt19937& rng, size_t length)
{
    std::u16string text;
    for (size_t i = 0; i < length; ++i) {
        switch (rng() % 4) {
        case 0: // printable ASCII, '&' and '-' included
            text.push_back(static_cast<char16_t>(0x20 + rng() % 0x5F));
            break;
        case 1:
            text.push_back(static_cast<char16_t>("&-/,+A"[rng() % 6]));
            break;
        case 2: // controls and DEL
            text.push_back(static_cast<char16_t>(rng() % 3 ? rng() % 0x20 : 0x7F));
            break;
        default: { // anything in the BMP outside the surrogates
            char16_t u;
            do {
                u = static_cast<char16_t>(0x80 + rng() % (0x10000 - 0x80));
            } while (u >= 0xD800 && u <= 0xDFFF);
            text.push_back(u);
        }
        }
    }
    return text;
}

} // namespace

TEST(Utf7Imap, Rfc3501Example)
{
    // "~peter/mail/台北/日本語"
    const std::u16string name = u"~peter/mail/\u53F0\u5317/\u65E5\u672C\u8A9E";
    const std::string wire = "~peter/mail/&U,BTFw-/&ZeVnLIqe-";
    EXPECT_EQ(encode(name), wire);
    EXPECT_EQ(decode(wire), name);
}

TEST(Utf7Imap, KnownForms)
{
    struct Case {
        std::u16string text;
        std::string wire;
    };
    const Case cases[] = {
        {u"&", "&-"},
        {u"Entw\u00FCrfe", "Entw&APw-rfe"},
        {u"\u00FC", "&APw-"},
        {u"ab", "ab"},
        {u"\u00E4\u00F6\u00FC", "&AOQA9gD8-"}, // three units: 8 characters, nothing carried
        {u"\u00E4\u00F6\u00FCx", "&AOQA9gD8-x"},
        {u"a&b-c", "a&-b-c"},
        {u"\u00FC&", "&APw-&-"},
        {u"\r\n", "&AA0ACg-"},
        {u"x\x7F", "x&AH8-"},
        {std::u16string(1, u'\0'), "&AAA-"},
        {u"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode(c.text), c.wire);
        EXPECT_EQ(decode(c.wire), c.text) << c.wire;
    }
    EXPECT_EQ(decode("&AGEAYg-"), u"ab");
}

TEST(Utf7Imap, AgreesWithGlibcOnRandomBmpText)
{
    if (glibcConvert("UTF-7-IMAP", "UTF-16BE", "\0a") == "<unsupported>")
        GTEST_SKIP() << "glibc without UTF-7-IMAP";
    std::mt19937 rng(3501);
    for (int round = 0; round < 2000; ++round) {
        std::u16string text = randomBmpText(rng, rng() % 40);
        std::string reference = glibcConvert("UTF-7-IMAP", "UTF-16BE", utf16be(text));
        ASSERT_EQ(encode(text), reference) << "round " << round;
        ASSERT_EQ(decode(reference), text) << reference;
    }
}

TEST(Utf7Imap, NoRawControlByteEverInTheOutput)
{
    std::u16string all;
    for (char16_t u = 0; u < 0x100; ++u)
        all.push_back(u);
    all += u"\u2028\uFEFF\uFFFF";
    std::mt19937 rng(13);
    std::vector<std::u16string> texts = {all};
    for (char16_t u = 0; u < 0x20; ++u)
        texts.push_back(std::u16string(u"a") + u + u"b");
    for (int i = 0; i < 500; ++i)
        texts.push_back(randomBmpText(rng, 1 + rng() % 20));
    for (const auto& text : texts) {
        std::string wire = encode(text);
        for (char c : wire)
            ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << "byte " << int(c) << " in " << wire;
        ASSERT_EQ(decode(wire), text) << wire;
    }
}

TEST(Utf7Imap, EverySplitOfTheInput)
{
    std::mt19937 rng(42);
    std::vector<std::u16string> texts = {u"~peter/mail/\u53F0\u5317/\u65E5\u672C\u8A9E",
        u"\u00E4\u00F6\u00FC\u00DFx&y", u"a\u00FC", u"\u4E2D"};
    for (int i = 0; i < 20; ++i)
        texts.push_back(randomBmpText(rng, 12));
    for (const auto& text : texts) {
        const std::string bytes = utf16be(text);
        const std::string wire = encode(text);
        // encoder: the state carries an open run from one piece to the next
        for (size_t split = 0; split <= bytes.size(); split += 2) {
            Utf7ImapConverter converter;
            Table state;
            std::string piece, out;
            converter.toUtf7Imap(bytes.data(), split, piece, state);
            out += piece;
            converter.toUtf7Imap(bytes.data() + split, bytes.size() - split, piece, state);
            out += piece;
            Utf7ImapConverter::flushTable(state, out);
            ASSERT_EQ(out, wire) << "split " << split;
        }
        // decoder: the held-back tail of the first piece leads the second
        for (size_t split = 0; split <= wire.size(); ++split) {
            Utf7ImapConverter converter;
            Table state;
            std::string in = wire.substr(0, split), out, decoded;
            converter.fromUtf7Imap(in, out, state, false);
            decoded += out;
            EXPECT_LE(in.size(), 6u);
            in += wire.substr(split);
            converter.fromUtf7Imap(in, out, state, true);
            decoded += out;
            EXPECT_TRUE(in.empty());
            ASSERT_EQ(fromUtf16be(decoded), text) << wire << " split " << split;
        }
    }
}

TEST(Utf7Imap, MalformedInput)
{
    struct Case {
        std::string wire;
        std::u16string neither;
        std::u16string lenient;
        bool throws;
    };
    const std::u16string nul(1, u'\0');
    const Case cases[] = {
        // a byte >= 0x80 is U+0000 whatever the flags
        {"a\xC3\xA4", u"a" + nul + nul, u"a" + nul + nul, false},
        // '&' with fewer than 3 characters after it
        {"x&AB", u"x" + nul + u"AB", u"x&AB", true},
        {"&", nul, u"&", true},
        // a run that ends before an ASCII character that is not base64
        {"&APw.rfe", u"\u00FC" + nul + u"rfe", u"\u00FC&rfe", true},
        {"&AP", nul + u"AP", u"&AP", true},
        // a run cut off by the end of the text: the bits read so far, and
        // nothing read beyond the end
        {"&APwA", u"\u00FC" + nul, u"\u00FC&", true},
        {"&APwAO", u"\u00FC\u0038", u"\u00FC&", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        unsigned failed = 0;
        EXPECT_EQ(decode(c.wire, &failed), c.neither);
        EXPECT_GT(failed, 0u);
        EXPECT_EQ(decode(c.wire, nullptr, Utf7ImapConverter(true, true)), c.lenient);
        if (c.throws) {
            EXPECT_THROW(
                decode(c.wire, nullptr, Utf7ImapConverter(false, true)), tavir::utils::Exception);
        }
    }
    // odd byte count into the encoder
    Utf7ImapConverter strict(false, true);
    Table state;
    std::string out;
    EXPECT_THROW(strict.toUtf7Imap("\0a\0", 3, out, state), tavir::utils::Exception);
    Utf7ImapConverter quiet;
    quiet.toUtf7Imap("\0a\0", 3, out, state);
    EXPECT_EQ(out, "a");
}

TEST(Utf7Imap, RandomMalformedInputStaysInsideTheBuffer)
{
    // Exactly sized heap buffers, so that AddressSanitizer sees any read past
    // the end; every flag combination, every split.
    const char alphabet[] = "&&&--AZaz09+,./ \x80\xFF";
    std::mt19937 rng(99);
    for (int round = 0; round < 3000; ++round) {
        size_t length = rng() % 12;
        std::unique_ptr<char[]> text(new char[length ? length : 1]);
        for (size_t i = 0; i < length; ++i)
            text[i] = alphabet[rng() % (sizeof alphabet - 1)];
        for (int flags = 0; flags < 3; ++flags) {
            Utf7ImapConverter converter(flags == 1, flags == 2);
            Table state;
            const char* p = text.get();
            const char* end = p + length;
            size_t steps = 0;
            try {
                while (p < end) {
                    unsigned short unit;
                    converter.convertFromUtf7Imap(&p, end, state, unit);
                    ASSERT_LE(p, end);
                    ASSERT_LT(++steps, 100u);
                }
            } catch (const tavir::utils::Exception&) {
                ASSERT_EQ(flags, 2);
            }
            std::string whole(text.get(), length);
            for (size_t split = 0; split <= length; ++split) {
                Table s;
                std::string in = whole.substr(0, split), out;
                try {
                    converter.fromUtf7Imap(in, out, s, false);
                    in += whole.substr(split);
                    converter.fromUtf7Imap(in, out, s, true);
                    ASSERT_TRUE(in.empty());
                } catch (const tavir::utils::Exception&) {
                    ASSERT_EQ(flags, 2);
                }
            }
        }
    }
}

TEST(Utf7Imap, NamesAndAlphabet)
{
    for (const char* name : {"utf-7-imap", "UTF-7-IMAP", "Utf-7m", "UTF-7M"})
        EXPECT_TRUE(Utf7ImapConverter::isUtf7Imap(name)) << name;
    for (const char* name : {"utf-7", "utf7-imap", "", "utf-7-imap "})
        EXPECT_FALSE(Utf7ImapConverter::isUtf7Imap(name)) << name;
    for (int v = 0; v < 64; ++v)
        EXPECT_EQ(Utf7ImapConverter::getBase64Index(Utf7ImapConverter::getBase64Char(v)), v);
    EXPECT_EQ(Utf7ImapConverter::getBase64Char(64), 0);
    EXPECT_EQ(Utf7ImapConverter::getBase64Char(-1), 0);
    EXPECT_EQ(Utf7ImapConverter::getBase64Index('/'), -1);
    EXPECT_EQ(Utf7ImapConverter::getBase64Char(63), ',');
}
