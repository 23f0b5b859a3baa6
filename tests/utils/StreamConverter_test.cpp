// The stream converter and the wide-string conversions, checked against
// glibc's own converters where one exists.
#include "utils/StreamConverter.h"

#include "utils/CharsetNames.h"
#include "utils/Exception.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <random>
#include <string>

using namespace tavir::utils;

namespace {

// glibc's own conversion of a whole text, as an independent reference.
std::string glibc(const char* to, const char* from, const std::string& input)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return "<unsupported>";
    std::string output(input.size() * 8 + 16, '\0');
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char* out = &output[0];
    size_t outLeft = output.size();
    size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
    if (r != (size_t)-1)
        r = iconv(cd, nullptr, nullptr, &out, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1)
        return "<error>";
    output.resize(output.size() - outLeft);
    return output;
}

std::string wideBytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring toWide(const std::string& charset, const std::string& in, bool throwOnError = false,
    bool* ok = nullptr)
{
    std::wstring out;
    bool result = charsetToUnicode(charset, in, out, throwOnError);
    if (ok)
        *ok = result;
    return out;
}

std::string fromWide(const std::string& charset, const std::wstring& in, bool throwOnError = false,
    bool* ok = nullptr)
{
    std::string out;
    bool result = unicodeToCharset(charset, in, out, throwOnError);
    if (ok)
        *ok = result;
    return out;
}

} // namespace

TEST(StreamConverter, ModifiedUtf7FolderNames)
{
    struct Case {
        std::wstring name;
        std::string wire;
    };
    const Case cases[] = {
        {L"Entw\u00FCrfe", "Entw&APw-rfe"},
        {L"~peter/mail/\u53F0\u5317/\u65E5\u672C\u8A9E", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {L"Tom & Jerry", "Tom &- Jerry"},
        {L"INBOX", "INBOX"},
    };
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(fromWide("utf-7-imap", c.name, false, &ok), c.wire);
        EXPECT_TRUE(ok);
        EXPECT_EQ(toWide("UTF-7M", c.wire, false, &ok), c.name);
        EXPECT_TRUE(ok);
    }
}

TEST(StreamConverter, SupplementaryCharactersSurviveModifiedUtf7)
{
    // Two folders that differ only in an emoji must not get the same name.
    const std::wstring party = L"Feier \U0001F389", cake = L"Feier \U0001F382";
    const std::string a = fromWide(cp::UTF_7_IMAP, party), b = fromWide(cp::UTF_7_IMAP, cake);
    EXPECT_NE(a, b);
    EXPECT_EQ(toWide(cp::UTF_7_IMAP, a), party);
    EXPECT_EQ(toWide(cp::UTF_7_IMAP, b), cake);
    // the surrogate pair in base64, as glibc writes it
    std::string reference = glibc("UTF-7-IMAP", "UCS-4LE", wideBytes(party));
    if (reference != "<unsupported>") {
        EXPECT_EQ(a, reference);
    }
    EXPECT_EQ(a, "Feier &2DzfiQ-");
}

TEST(StreamConverter, AgreesWithGlibcOnRandomText)
{
    std::mt19937 rng(2026);
    for (int round = 0; round < 300; ++round) {
        std::wstring text;
        size_t length = rng() % 30;
        for (size_t i = 0; i < length; ++i) {
            wchar_t c;
            switch (rng() % 4) {
            case 0:
                c = static_cast<wchar_t>(0x20 + rng() % 0x5F);
                break;
            case 1:
                c = static_cast<wchar_t>(rng() % 0x20);
                break;
            case 2:
                c = static_cast<wchar_t>(0x10000 + rng() % 0x100000);
                break;
            default:
                do {
                    c = static_cast<wchar_t>(0x80 + rng() % 0xFF80);
                } while (c >= 0xD800 && c <= 0xDFFF);
            }
            text.push_back(c);
        }
        for (const char* charset : {"utf-8", "UTF-7-IMAP", "utf-16le"}) {
            std::string reference = glibc(charset, "UCS-4LE", wideBytes(text));
            if (reference == "<unsupported>")
                continue;
            std::string ours = fromWide(charset, text);
            ASSERT_EQ(ours, reference) << charset << " round " << round;
            ASSERT_EQ(toWide(charset, ours), text) << charset << " round " << round;
        }
    }
}

TEST(StreamConverter, LongNameOverflowsThePutAreaAndStaysOneRun)
{
    std::wstring name(300, L'\u00E4');
    std::string wire = fromWide(cp::UTF_7_IMAP, name);
    ASSERT_GE(wire.size(), 2u);
    EXPECT_EQ(wire.front(), '&');
    EXPECT_EQ(wire.back(), '-');
    EXPECT_EQ(wire.find('&', 1), std::string::npos) << "one continuous base64 run";
    EXPECT_EQ(wire.size(), 2 + (300 * 16 + 5) / 6);
    EXPECT_EQ(toWide(cp::UTF_7_IMAP, wire), name);
}

TEST(StreamConverter, BadCharacterEarlyInALongTextCostsOnlyItself)
{
    std::string text;
    while (text.size() < 40 * 1024)
        text += "Gr\xC3\xBC\xC3\x9F"
                "e aus K\xC3\xB6ln. ";
    std::wstring expected = toWide(cp::UTF_8, text);
    ASSERT_FALSE(expected.empty());
    std::string damaged = text.substr(0, 7) + "\xFF\xFE" + text.substr(7);
    bool ok = false;
    EXPECT_EQ(toWide(cp::UTF_8, damaged, false, &ok), expected);
    EXPECT_TRUE(ok);

    // unconvertible characters on the way out, in a multi-step conversion
    std::wstring wide = L"\u4E2D" + std::wstring(100000, L'x') + L"\u20AC!";
    std::string latin1 = fromWide(cp::ISO_8859_1, wide);
    EXPECT_EQ(latin1, std::string(100000, 'x') + "!");

    bool threw = false;
    try {
        StreamConverter strict(cp::UTF_8, cp::UCS_4_LE, true, false);
        strict.write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
        strict.get(true);
    } catch (const Exception& e) {
        threw = true;
        EXPECT_STREQ(e.what(), "Invalid multibyte sequence is encountered in the input.");
    }
    EXPECT_TRUE(threw);
}

TEST(StreamConverter, MultibyteCharacterSplitAcrossWrites)
{
    const std::string text = "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\x89 \xC3\xA4";
    const std::wstring expected = L"\u65E5\u672C \U0001F389 \u00E4";
    for (size_t split = 0; split <= text.size(); ++split) {
        StreamConverter converter(cp::UTF_8, cp::UCS_4_LE, false, false);
        converter.write(text.data(), static_cast<std::streamsize>(split));
        converter.flush();
        std::string bytes = converter.get(false);
        converter.write(text.data() + split, static_cast<std::streamsize>(text.size() - split));
        bytes += converter.get(true);
        EXPECT_EQ(bytes, wideBytes(expected)) << split;
    }
    // byte by byte through the put area, modified UTF-7 in both directions
    const std::string wire = "~peter/mail/&U,BTFw-/&ZeVnLIqe-";
    StreamConverter decoder(cp::UTF_7_IMAP, cp::UTF_8, false, false);
    for (char c : wire) {
        decoder.put(c);
        decoder.flush();
    }
    EXPECT_EQ(decoder.get(true),
        "~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
    // the object takes a new text after get(true)
    decoder << "&APw-";
    EXPECT_EQ(decoder.get(true), "\xC3\xBC");
}

TEST(StreamConverter, IncompleteTailIsDropped)
{
    bool ok = false;
    EXPECT_EQ(toWide(cp::UTF_8, "abc\xE6\x97", false, &ok), L"abc");
    EXPECT_TRUE(ok);
    EXPECT_EQ(toWide(cp::UTF_8, "\xC3", false, &ok), L"");
}

TEST(StreamConverter, MalformedModifiedUtf7GivesNulCharacters)
{
    EXPECT_EQ(toWide(cp::UTF_7_IMAP, "a\xC3\xA4"), std::wstring(L"a\0\0", 3));
    EXPECT_EQ(toWide(cp::UTF_7_IMAP, "x&A"), std::wstring(L"x\0A", 3));
    bool ok = true;
    toWide(cp::UTF_7_IMAP, "x&A", true, &ok);
    EXPECT_FALSE(ok) << "with throwOnError the malformed run is reported";
    // a lone surrogate from a server is dropped, the rest kept
    EXPECT_EQ(toWide(cp::UTF_7_IMAP, "a&2D0-b"), L"ab");
}

TEST(StreamConverter, UnknownCharsetAndEmptyInput)
{
    bool ok = false;
    EXPECT_EQ(toWide("x-no-such-charset", "abc", false, &ok), L"");
    EXPECT_TRUE(ok);
    EXPECT_EQ(toWide("x-no-such-charset", "abc", true, &ok), L"");
    EXPECT_FALSE(ok);
    EXPECT_EQ(fromWide("x-no-such-charset", L"abc", true, &ok), "");
    EXPECT_FALSE(ok);

    try {
        StreamConverter converter("x-no-such-charset", cp::UTF_8, true, false);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
            "The conversion from x-no-such-charset to utf-8 is not supported by the "
            "implementation.");
    }
    StreamConverter quiet("x-no-such-charset", cp::UTF_8, false, false);
    EXPECT_TRUE(quiet.isError());
    quiet << "abc";
    EXPECT_EQ(quiet.get(true), "");

    EXPECT_EQ(toWide("x-no-such-charset", "", true, &ok), L"");
    EXPECT_TRUE(ok) << "an empty input needs no converter";
}

TEST(StreamConverter, ByteStringForms)
{
    std::string utf16, back;
    EXPECT_TRUE(charsetToUnicode(cp::UTF_8, "a\xF0\x9F\x8E\x89", utf16, false));
    EXPECT_EQ(utf16, std::string("a\0\x3C\xD8\x89\xDF", 6));
    EXPECT_TRUE(unicodeToCharset(cp::UTF_8, utf16, back, false));
    EXPECT_EQ(back, "a\xF0\x9F\x8E\x89");
    std::string ucs4;
    EXPECT_TRUE(charsetToPlatformUnicode(cp::ISO_8859_1, "\xE4", ucs4, false));
    EXPECT_EQ(ucs4, std::string("\xE4\0\0\0", 4));
    EXPECT_TRUE(platformUnicodeToCharset(cp::UTF_8, ucs4, back, false));
    EXPECT_EQ(back, "\xC3\xA4");
}

TEST(StreamConverter, CharsetNames)
{
    EXPECT_TRUE(haveCharset("utf-7-imap"));
    EXPECT_TRUE(haveCharset("UTF-7M"));
    EXPECT_TRUE(haveCharset("iso-8859-2"));
    EXPECT_FALSE(haveCharset("x-no-such-charset"));

    struct Case {
        const char* name;
        const char* result;
        bool replaced;
    };
    const Case cases[] = {
        {"KS_C_5601-1987", "cp949", true},
        {"ISO-8859-1", "cp1252", true},
        {"us-ascii", "cp1252", true},
        {"none", "cp1252", true},
        {"iso-8859-8-i", "iso-8859-8", true},
        {"GB2312", "gb18030", true},
        {"utf-7-imap", "utf-7-imap", false},
        {"koi8-r", "koi8-r", false},
        {"windows-9999", "cp9999", true},
        {"WINDOWS-9999", "cp1252", true},
        {"x-unknown", "cp1252", true},
    };
    for (const Case& c : cases) {
        std::string result;
        EXPECT_EQ(remapCharset(result, c.name), c.replaced) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
    }

    EXPECT_EQ(cp::ISO_LATIN_5, "iso-8859-5");
    EXPECT_EQ(&cp::UTF_7_M, &cp::UTF_7_IMAP);
    EXPECT_EQ(cp::UNICODE_CURRENT_OS, "ucs-4le");
    EXPECT_EQ(cp::UNICODE2, "ucs-2le");
}

TEST(StreamConverter, FirstUtf8Char)
{
    struct Case {
        std::string text;
        bool result;
        std::string ch;
        std::string rest;
    };
    const Case cases[] = {
        {"ab", true, "a", "b"},
        {"\xC3\xA4x", true, "\xC3\xA4", "x"},
        {"\x80\x80\xE2\x82\xAC", true, "\xE2\x82\xAC", ""},
        {"\xF0\x9F\x8E\x89", true, "\xF0\x9F\x8E\x89", ""},
        {"\xC3", false, "", ""},
        {"\xE2\x82", false, "", ""},
        {"\x80", false, "", ""},
        {"", false, "", ""},
        {"\xFE"
         "a",
            false, "",
            "\xFE"
            "a"},
    };
    for (const Case& c : cases) {
        std::string text = c.text, ch = "junk";
        EXPECT_EQ(firstUtf8Char(text, ch), c.result);
        EXPECT_EQ(ch, c.ch);
        EXPECT_EQ(text, c.rest);
    }
}
