#include "utils/Exception.h"
#include "utils/StringUtils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <string>
#include <vector>

using namespace tavir::utils;

TEST(StringUtils, SnprintfxAgreesWithGlibcAndAlwaysTerminates)
{
    struct Case {
        size_t size;
        const char* fmt;
        int arg;
    };
    const Case cases[] = {
        {8, "%s", 0},
        {11, "%s", 0},
        {10, "%s", 0},
        {2, "%d", 12345},
        {64, "%d-%s", 7},
        {6, "%05d", 42},
        {5, "%05d", 42},
        {100, "", 0},
    };
    const char* text = "0123456789"; // 10 characters
    for (const Case& c : cases) {
        char ours[128];
        char ref[128];
        std::memset(ours, 'Z', sizeof ours);
        int n;
        int full;
        if (std::strcmp(c.fmt, "%s") == 0) {
            n = snprintfx(ours, c.size, "%s", text);
            full = std::snprintf(ref, c.size, "%s", text);
        } else if (std::strcmp(c.fmt, "%d-%s") == 0) {
            n = snprintfx(ours, c.size, "%d-%s", c.arg, text);
            full = std::snprintf(ref, c.size, "%d-%s", c.arg, text);
        } else if (std::strcmp(c.fmt, "") == 0) {
            n = snprintfx(ours, c.size, "%s", "");
            full = std::snprintf(ref, c.size, "%s", "");
        } else {
            n = snprintfx(ours, c.size, c.fmt, c.arg);
            full = std::snprintf(ref, c.size, c.fmt, c.arg);
        }
        SCOPED_TRACE(std::string(c.fmt) + " size " + std::to_string(c.size));
        EXPECT_STREQ(ours, ref);
        const int expected = full >= static_cast<int>(c.size) ? static_cast<int>(c.size) - 1 : full;
        EXPECT_EQ(n, expected);
        EXPECT_EQ(ours[c.size - 1 < 127 ? c.size : 127], 'Z') << "wrote past the buffer";
    }
}

TEST(StringUtils, SnprintfxEdges)
{
    char buf[4] = {'q', 'q', 'q', 'q'};
    EXPECT_EQ(snprintfx(buf, 0, "%s", "abc"), 0);
    EXPECT_EQ(buf[0], 'q');
    EXPECT_EQ(snprintfx(nullptr, 10, "%s", "abc"), 0);
    EXPECT_EQ(snprintfx(buf, 1, "%s", "abc"), 0);
    EXPECT_STREQ(buf, "");
    char eight[8];
    EXPECT_EQ(snprintfx(eight, sizeof eight, "%s", "abcdefghij"), 7);
    EXPECT_STREQ(eight, "abcdefg");
}

TEST(StringUtils, SnprintfaddAppendsWithinRoom)
{
    char buf[10] = "abc";
    EXPECT_EQ(snprintfadd(buf, sizeof buf, "%d", 12), 5);
    EXPECT_STREQ(buf, "abc12");
    EXPECT_EQ(snprintfadd(buf, sizeof buf, "%s", "XYZWV"), 9);
    EXPECT_STREQ(buf, "abc12XYZW");
    EXPECT_EQ(snprintfadd(buf, sizeof buf, "%s", "more"), 9);
    EXPECT_STREQ(buf, "abc12XYZW");
    char one[1] = {'x'};
    EXPECT_EQ(snprintfadd(one, 1, "%s", "a"), 0);
    EXPECT_EQ(one[0], '\0');
}

TEST(StringUtils, SprintfAppendsAndGrows)
{
    std::string s = "x";
    tavir::utils::sprintf(s, "%d", 5);
    EXPECT_EQ(s, "x5");
    sprintfadd(s, "-%s", "y");
    EXPECT_EQ(s, "x5-y");
    const std::string big(10000, 'k');
    std::string t;
    tavir::utils::sprintf(t, "<%s>", big.c_str());
    EXPECT_EQ(t, "<" + big + ">");
}

TEST(StringUtils, HexConversions)
{
    const std::string bytes("\x00\x01\x7f\x80\xfe\xff", 6);
    EXPECT_EQ(stringToHex(bytes), "00017f80feff");
    EXPECT_EQ(hexToString("00017F80FEFF"), bytes);
    EXPECT_EQ(hexToString("414"), "A"); // trailing odd digit ignored
    EXPECT_EQ(hexToString("4"), "");
    for (int c = 0; c < 256; ++c) {
        char s[2] = {static_cast<char>(c), 0};
        const bool isHex = std::strchr("0123456789abcdefABCDEF", c) && c != 0;
        if (isHex) {
            EXPECT_EQ(hexToNibbleThrowing(static_cast<char>(c)), std::strtoul(s, nullptr, 16));
            EXPECT_EQ(hexToNibbleTable[c], std::strtoul(s, nullptr, 16));
        } else {
            EXPECT_EQ(hexToNibbleTable[c], 255) << c;
        }
    }
    try {
        hexToNibbleThrowing('g');
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Wrong hex character.");
    }
}

TEST(StringUtils, HexBufferFunctions)
{
    const unsigned char data[3] = {0xab, 0x01, 0xff};
    char out[7];
    EXPECT_TRUE(bytesToHexesZ(out, sizeof out, data, 3));
    EXPECT_STREQ(out, "ab01ff");
    EXPECT_FALSE(bytesToHexesZ(out, 6, data, 3));
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(bytesToHexesZ(out, 6, data, 0));
    EXPECT_FALSE(bytesToHexesZ(nullptr, 6, data, 1));
    EXPECT_FALSE(bytesToHexesZ(out, 7, nullptr, 3));

    unsigned char bytes[3] = {0, 0, 0};
    EXPECT_TRUE(hexesToBytes(bytes, 3, "AB01Ff", 6));
    EXPECT_EQ(bytes[0], 0xab);
    EXPECT_EQ(bytes[2], 0xff);
    EXPECT_FALSE(hexesToBytes(bytes, 2, "AB01Ff", 6));
    EXPECT_TRUE(hexesToBytes(nullptr, 0, nullptr, 0));
    EXPECT_FALSE(hexesToBytes(bytes, 3, nullptr, 2));

    char sep[9];
    EXPECT_STREQ(strhex(sep, sizeof sep, ':', data, 3), "ab:01:ff");
    EXPECT_STREQ(strhex(sep, 8, ':', data, 3), "");
    EXPECT_STREQ(strhex(sep, sizeof sep, ':', data, 0), "");
}

TEST(StringUtils, NumbersAgreeWithGlibc)
{
    const unsigned long long values[] = {0, 1, 7, 8, 255, 256, 0x7fffffffffffffffull,
        0x8000000000000000ull, 0xffffffffffffffffull, 1234567890123ull};
    for (unsigned long long v : values) {
        for (int radix : {2, 8, 10, 16, 36}) {
            char buf[80];
            i64toa(static_cast<long long>(v), buf, radix);
            EXPECT_EQ(std::strtoull(buf, nullptr, radix), v) << buf << " radix " << radix;
            if (radix == 16) {
                char ref[40];
                std::snprintf(ref, sizeof ref, "%llx", v);
                EXPECT_STREQ(buf, ref);
            }
        }
        char ref[40];
        std::snprintf(ref, sizeof ref, "%o", static_cast<unsigned>(v));
        EXPECT_EQ(toOctal(static_cast<unsigned>(v)), ref);
    }
    char buf[8];
    EXPECT_EQ(i64toan(255, buf, 2, 16), 1u);
    EXPECT_STREQ(buf, "f");
    EXPECT_EQ(i64toan(123456, buf, 4, 10), 3u);
    EXPECT_STREQ(buf, "456");
    EXPECT_EQ(i64toan(5, buf, 1, 10), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(i64toan(5, buf, 0, 10), static_cast<size_t>(-1));

    const char* texts[] = {"0", "  42", "\t-17x", "+9", "abc", "", "-9223372036854775807",
        " 9223372036854775807", "12 34"};
    for (const char* t : texts)
        EXPECT_EQ(atoi64(t), std::strtoll(t, nullptr, 10)) << t;
}

TEST(StringUtils, ByteOrderAndAddresses)
{
    EXPECT_EQ(hton64(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(ntoh64(hton64(0x1122334455667788ull)), 0x1122334455667788ull);
    const unsigned char addr[4] = {192, 168, 1, 20};
    unsigned int ip;
    std::memcpy(&ip, addr, 4);
    char dst[32];
    EXPECT_STREQ(strip(dst, ip), "192.168.1.20");
    EXPECT_STREQ(stripport(dst, ip, htons(993)), "192.168.1.20:993");
}

TEST(StringUtils, HumanReadableSizesAndDurations)
{
    struct Case {
        long long bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 B"},
        {4096, "4096 B"},
        {4097, "4.00 kB"},
        {-2048, "-2048 B"},
        {0x100000, "1024.00 kB"},
        {0x100001, "1.00 MB"},
        {0x40000000, "1024.00 MB"},
        {0x40000001, "1.00 GB"},
        {-3LL * 0x40000000, "-3.00 GB"},
    };
    for (const Case& c : cases) {
        char buf[32];
        EXPECT_EQ(strSize(buf, sizeof buf, c.bytes), static_cast<int>(std::strlen(c.text)));
        EXPECT_STREQ(buf, c.text);
    }
    char buf[32];
    EXPECT_STREQ(strSecond(0, buf), "00:00:00");
    EXPECT_STREQ(strSecond(86399, buf), "23:59:59");
    EXPECT_STREQ(strSecond(86400 + 3600 + 61, buf), "1 day 01:01:01");
    EXPECT_STREQ(strSecond(2 * 86400, buf), "2 days 00:00:00");
    // Time-outs as sentences name them: seconds, whatever the milliseconds.
    const std::pair<unsigned, const char*> timeouts[] = {{0, "0 s"}, {1, "0.001 s"},
        {250, "0.25 s"}, {1000, "1 s"}, {1500, "1.5 s"}, {30000, "30 s"}, {30010, "30.01 s"},
        {4294967295u, "4294967.295 s"}};
    for (const auto& [ms, text] : timeouts)
        EXPECT_EQ(secondsText(ms), text) << ms;
}

TEST(StringUtils, CopyAndPrefix)
{
    char dst[4];
    EXPECT_STREQ(strncpys(dst, "abcdef", sizeof dst), "abc");
    EXPECT_STREQ(strncpys(dst, "ab", sizeof dst), "ab");
    EXPECT_EQ(strbeginstr("abcdef", "abc"), 0);
    EXPECT_EQ(strbeginstr("ab", "abc"), -1);
    EXPECT_NE(strbeginstr("abd", "abc"), 0);
    EXPECT_EQ(stribeginstr("ABCdef", "abc"), 0);
    EXPECT_EQ(stribeginstr(nullptr, "abc"), 0x7fffffff);
    EXPECT_EQ(stribeginstr("a", "abc"), -1);
}

TEST(StringUtils, CaseInsensitiveSearchAgreesWithGlibcStrcasestr)
{
    const char* hay[] = {"Hello World", "aaaaab", "abababc", "", "xyz", "ABCabcABD", "mississippi",
        "MISSISSIPPI", "aab", "a", "foo.Bar.BAZ"};
    const char* needles[] = {"WORLD", "aab", "ababc", "x", "issip", "abd", "b", "bar.baz", "zz"};
    for (const char* h : hay) {
        for (const char* n : needles) {
            const char* ref = *h ? strcasestr(h, n) : nullptr;
            EXPECT_EQ(stristr(h, n), ref) << h << " / " << n;
        }
    }
    EXPECT_EQ(strinstr("xxHELLO", "hello", 7), static_cast<const char*>("xxHELLO") + 2);
    const char* text = "xxHELLO";
    EXPECT_EQ(strinstr(text, "hello", 7), text + 2);
    EXPECT_EQ(strinstr(text, "hello", 6), nullptr);
    EXPECT_EQ(strinstr(text, "hello", 0), text + 2);

    int* table = kmp_compute_retarget("ABAB");
    ASSERT_NE(table, nullptr);
    const int expected[] = {-1, 0, 0, 1, 2};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(table[i], expected[i]);
    const char* t2 = "zzabaab";
    EXPECT_EQ(kmp_match(t2, "ABAB", 0, table), nullptr);
    kmp_free_retarget(table);
    size_t* t64 = kmp_compute_retarget_x64("aab");
    ASSERT_NE(t64, nullptr);
    EXPECT_EQ(t64[0], static_cast<size_t>(-1));
    EXPECT_EQ(kmp_match_x64(t2, "aab", 0, t64), t2 + 4);
    EXPECT_EQ(kmp_match_x64(t2, "aab", 6, t64), nullptr);
    kmp_free_retarget_x64(t64);
}

TEST(StringUtils, EditInPlace)
{
    char a[] = "Text \t\r\n";
    EXPECT_STREQ(strip_crlf(a), "Text");
    char b[] = "a.b.c";
    EXPECT_EQ(strreplchr(b, '.', '/'), 2);
    EXPECT_STREQ(b, "a/b/c");
    char c[] = "MiXeD";
    EXPECT_STREQ(k_strlwr(c), "mixed");

    char src[] = "name <user@host> rest";
    char dst[16];
    EXPECT_EQ(strextr(dst, src, sizeof dst, '<', '>'), dst);
    EXPECT_STREQ(dst, "user@host");
    EXPECT_EQ(strextr(dst, src, 10, '<', '>'), nullptr); // 9 bytes need more than size - 1
    EXPECT_STREQ(dst, "");
    EXPECT_TRUE(strgetstr(src, '<', '>', dst, 11));
    EXPECT_FALSE(strgetstr(src, '[', ']', dst, sizeof dst));
    dst[0] = 'k';
    EXPECT_FALSE(strgetstr(src, '<', '>', dst, 0));
    EXPECT_EQ(dst[0], 'k');

    char r[] = "a(b)c(d(e)f)g(h";
    EXPECT_STREQ(strremovestr(r, '(', ')'), "acf)g(h");

    char s[16] = "a-b-c";
    EXPECT_TRUE(strreplstr(s, sizeof s, "-", "--"));
    EXPECT_STREQ(s, "a--b--c");
    EXPECT_FALSE(strreplstr(s, 9, "--", "+++"));
    EXPECT_STREQ(s, "a+++b--c"); // the first replacement stays
    EXPECT_TRUE(strreplstr(s, sizeof s, "+++", ""));
    EXPECT_STREQ(s, "ab--c");
    EXPECT_TRUE(strreplstr(s, sizeof s, "", "x")); // nothing to replace, no endless loop
    EXPECT_STREQ(s, "ab--c");
    char loop[16] = "aaa";
    EXPECT_TRUE(strreplstr(loop, sizeof loop, "a", "aa")); // inserted text not searched again
    EXPECT_STREQ(loop, "aaaaaa");
}

TEST(StringUtils, Tokenisers)
{
    char text[] = "  one,two;;three ";
    char* cursor = text;
    char tok[8];
    std::vector<std::string> got;
    while (strEnum(&cursor, " ,;", tok, sizeof tok))
        got.push_back(tok);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two", "three"}));

    char longer[] = "abcdefgh x";
    cursor = longer;
    EXPECT_FALSE(strEnum(&cursor, " ", tok, sizeof tok)); // 8 bytes do not fit in 8
    EXPECT_STREQ(tok, "");

    char quoted[] = "a \"b c\" 'd e' \"unterminated f";
    cursor = quoted;
    got.clear();
    char qtok[32];
    while (strEnum2(&cursor, " ", '"', '"', qtok, sizeof qtok))
        got.push_back(qtok);
    EXPECT_EQ(got, (std::vector<std::string>{"a", "\"b c\"", "'d", "e'", "\"unterminated f"}));

    char parts[] = "x:y::z";
    char* save = nullptr;
    std::vector<std::string> st;
    for (char* p = k_strtok_r(parts, ":", &save); p; p = k_strtok_r(nullptr, ":", &save))
        st.push_back(p);
    EXPECT_EQ(st, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(StringUtils, CaseHelpers)
{
    EXPECT_TRUE(iEqual(std::string("INBOX"), "inbox"));
    EXPECT_FALSE(iEqual(std::string("INBOX"), "inbox2"));
    EXPECT_FALSE(iEqual(std::string("INBOX"), static_cast<const char*>(nullptr)));
    const char arr[8] = "Sent";
    EXPECT_TRUE(iEqual(std::string("sENT"), arr));
    EXPECT_FALSE(iEqual(std::string("\xc4"), "\xe4")); // no facet: only A-Z fold
    EXPECT_TRUE(iEqual(std::string("ABC"), "abc", detail::Locale(std::locale::classic())));

    EXPECT_EQ(
        detail::strChangeCaseImpl(std::wstring(L"ABC\u00c4z"), detail::Tolower_noLoc<wchar_t>()),
        L"abc\u00c4z");
    EXPECT_EQ(
        detail::strChangeCaseImpl(std::string("abcZ"), detail::Toupper_noLoc<char>()), "ABCZ");
    EXPECT_EQ(detail::strChangeCaseImpl(L"MiX", detail::Tolower_basic<wchar_t>()), L"mix");

    EXPECT_EQ(trimRight("text \r\n", nullptr), "text");
    EXPECT_EQ(trimRight("host:1: fp\r\n", "\r\n"), "host:1: fp");
    EXPECT_EQ(trimRight("", nullptr), "");
    EXPECT_EQ(trimRight("\r\n", "\r\n"), "");
    EXPECT_EQ(trimRight("a b ", "\r\n"), "a b ");
}
