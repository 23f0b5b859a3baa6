#include "utils/FileNameMatch.h"

#include <gtest/gtest.h>

#include <fnmatch.h>
#include <string>

using namespace tavir::utils;

namespace {

int glibcFlags(int ours)
{
    int f = 0;
    if (ours & FnmNoEscape)
        f |= FNM_NOESCAPE;
    if (ours & FnmPathname)
        f |= FNM_PATHNAME;
    if (ours & FnmPeriod)
        f |= FNM_PERIOD;
    if (ours & FnmCaseFold)
        f |= FNM_CASEFOLD;
    return f;
}

std::wstring widen(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

} // namespace

// Every pattern against every name under every flag combination, checked
// against the C library's fnmatch; the wide form must agree with the byte form.
TEST(FileNameMatch, AgreesWithGlibc)
{
    const char* patterns[]
        = {"*", "*.txt", "?.c", "a*b*c", "[abc]x", "[!abc]x", "[^a-c]x", "[a-c]*", "\\*", "a\\b",
            "*/*", "a/*", "a?b", ".*", "*x*y*z*", "[[:digit:]]*", "[]]", "[!]]", "a[", "[a-]",
            "*.TXT", "A*", "", "a/b", "*/.x", "a*/b", "[.]x", "**", "x[/]y", "\\"};
    const char* names[] = {"", "a", "b.txt", "x.c", "abc", "aXbYc", "ax", "dx", "*", "ab", "a/b",
        "a/c/b", ".hidden", "a/.x", "xyz", "x1y2z3", "7up", "]", "a[", "-", "B.TXT", "a\\b", "x/y",
        "\\"};
    int checked = 0;
    for (int flags = 0; flags < 16; ++flags) {
        for (const char* p : patterns) {
            for (const char* n : names) {
                const int expected = ::fnmatch(p, n, glibcFlags(flags)) == 0 ? 0 : 1;
                const int got = fnmatch<unsigned char>(reinterpret_cast<const unsigned char*>(p),
                    reinterpret_cast<const unsigned char*>(n), flags);
                EXPECT_EQ(got, expected)
                    << "pattern '" << p << "' name '" << n << "' flags " << flags;
                const std::wstring wp = widen(p), wn = widen(n);
                EXPECT_EQ(fnmatch<wchar_t>(wp.c_str(), wn.c_str(), flags), expected)
                    << "wide pattern '" << p << "' name '" << n << "' flags " << flags;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 10000);
}

TEST(FileNameMatch, ManyStarsStayFast)
{
    const std::string name(2000, 'a');
    const std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*b";
    EXPECT_FALSE(fileNameMatch(pattern, name, false));
    EXPECT_TRUE(fileNameMatch(pattern, name + "b", false));
}

TEST(FileNameMatch, FileNameForms)
{
    EXPECT_TRUE(fileNameMatch(std::string("*.EML"), std::string("mail.eml"), true));
    EXPECT_FALSE(fileNameMatch(std::string("*.EML"), std::string("mail.eml"), false));
    EXPECT_TRUE(fileNameMatch("a\\b", "a\\b", false)); // backslash is ordinary
    EXPECT_FALSE(fileNameMatch(static_cast<const char*>(nullptr), "a", false));
    EXPECT_TRUE(fileNameMatch(std::wstring(L"*\u00e9*"), std::wstring(L"caf\u00e9s"), false));
    EXPECT_TRUE(fileNameMatch(L"[\u00e0-\u00ff]", L"\u00e9", false));

    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"readme.", "readme", true},
        {"readme.", "readme.txt", false},
        {"*.*", "Makefile", true},
        {"*.*", "a.b", true},
        {"data.*", "data", true},
        {"data.*", "database", false},
        {"*.", "a.b", false},
        {"x.txt", "x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fileNameMatchWindows(c.pattern, c.name, false), c.match)
            << c.pattern << " vs " << c.name;
}
