// The four text conversions the IMAP client relies on.
#include "Imap/textconv/TextConversion.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <random>
#include <string>

using namespace tavir::migration;

namespace {

// glibc's own modified UTF-7 of a wide text, an independent reference.
std::string glibcUtf7Imap(const std::wstring& text)
{
    iconv_t cd = iconv_open("UTF-7-IMAP", "UCS-4LE");
    if (cd == (iconv_t)-1)
        return "<unsupported>";
    std::string input(reinterpret_cast<const char*>(text.data()), text.size() * 4);
    std::string output(input.size() * 2 + 16, '\0');
    char* in = &input[0];
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

} // namespace

TEST(TextConversion, Rfc3501FolderName)
{
    const std::wstring name = L"~peter/mail/\u53F0\u5317/\u65E5\u672C\u8A9E";
    EXPECT_EQ(unicodeToUtf7M(name), "~peter/mail/&U,BTFw-/&ZeVnLIqe-");
    EXPECT_EQ(utf7MToUnicode("~peter/mail/&U,BTFw-/&ZeVnLIqe-"), name);
}

TEST(TextConversion, FolderNamesMatchGlibcAndRoundTrip)
{
    if (glibcUtf7Imap(L"a") == "<unsupported>")
        GTEST_SKIP() << "glibc without UTF-7-IMAP";
    std::mt19937 rng(501);
    for (int round = 0; round < 500; ++round) {
        std::wstring name;
        size_t length = 1 + rng() % 25;
        for (size_t i = 0; i < length; ++i) {
            switch (rng() % 5) {
            case 0:
                name.push_back(static_cast<wchar_t>(0x20 + rng() % 0x5F));
                break;
            case 1:
                name.push_back(L"&-/.\r\n\t"[rng() % 7]);
                break;
            case 2:
                name.push_back(static_cast<wchar_t>(0x1F300 + rng() % 0x300));
                break;
            default: {
                wchar_t c;
                do {
                    c = static_cast<wchar_t>(0x80 + rng() % 0xFF80);
                } while (c >= 0xD800 && c <= 0xDFFF);
                name.push_back(c);
            }
            }
        }
        const std::string wire = unicodeToUtf7M(name);
        ASSERT_EQ(wire, glibcUtf7Imap(name)) << "round " << round;
        for (char c : wire)
            ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << "raw byte " << int(c) << " on the wire";
        ASSERT_EQ(utf7MToUnicode(wire), name) << wire;
    }
}

TEST(TextConversion, EmojiFoldersStayApart)
{
    const std::wstring a = L"Urlaub \U0001F3D6", b = L"Urlaub \U0001F3D4";
    EXPECT_NE(unicodeToUtf7M(a), unicodeToUtf7M(b));
    EXPECT_NE(unicodeToUtf7M(a), unicodeToUtf7M(L"Urlaub "));
    EXPECT_EQ(utf7MToUnicode(unicodeToUtf7M(a)), a);
}

TEST(TextConversion, NameWithLineEndNeverReachesTheWireRaw)
{
    const std::string wire = unicodeToUtf7M(L"evil\r\nA1 DELETE INBOX");
    EXPECT_EQ(wire.find('\r'), std::string::npos);
    EXPECT_EQ(wire.find('\n'), std::string::npos);
    EXPECT_EQ(wire, "evil&AA0ACg-A1 DELETE INBOX");
}

TEST(TextConversion, Utf8BothWays)
{
    EXPECT_EQ(utf8ToUnicode("* OK Gr\xC3\xBC\xC3\x9F"
                            "e \xF0\x9F\x91\x8B"),
        L"* OK Grüße \U0001F44B");
    EXPECT_EQ(unicodeToUtf8(L"J\u00FCrgen \U0001F44B"), "J\xC3\xBCrgen \xF0\x9F\x91\x8B");
    // invalid input is left out, the rest kept; nothing throws
    EXPECT_EQ(utf8ToUnicode("a\xFF"
                            "b\xC3"),
        L"ab");
    EXPECT_EQ(unicodeToUtf8(std::wstring(L"a") + static_cast<wchar_t>(0xD800) + L"b"), "ab");
    EXPECT_EQ(utf8ToUnicode(""), L"");
    EXPECT_EQ(unicodeToUtf8(L""), "");
    EXPECT_EQ(unicodeToUtf7M(L""), "");
}

TEST(TextConversion, MalformedModifiedUtf7FromAServer)
{
    EXPECT_EQ(utf7MToUnicode("Caf\xC3\xA9"), std::wstring(L"Caf\0\0", 5));
    EXPECT_EQ(utf7MToUnicode("a&"), std::wstring(L"a\0", 2));
    EXPECT_EQ(utf7MToUnicode("&APw"), L"\u00FC") << "a run cut off at the end";
    EXPECT_EQ(utf7MToUnicode("&-&APw-&-"), L"&\u00FC&");
}
