#include "utils/FileNameMatch.h"

#include <cctype>
#include <cstring>
#include <cwctype>

namespace tavir::utils {

namespace {

constexpr int kMatch = 0;
constexpr int kNoMatch = 1;

inline unsigned char foldChar(unsigned char c)
{
    return static_cast<unsigned char>(std::tolower(c));
}
inline wchar_t foldChar(wchar_t c)
{
    return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
}

inline bool classMatch(unsigned char c, const char* name)
{
    const wctype_t type = std::wctype(name);
    if (type == 0)
        return false;
    const wint_t wc = std::btowc(c);
    return wc != WEOF && std::iswctype(wc, type);
}
inline bool classMatch(wchar_t c, const char* name)
{
    const wctype_t type = std::wctype(name);
    return type != 0 && std::iswctype(static_cast<wint_t>(c), type);
}

enum class Bracket { Match, NoMatch, Malformed };

// Matches one character against the bracket expression that starts after
// the '['; on success `p` is left after the closing ']'.
template <typename CharT> Bracket bracketMatch(const CharT*& p, CharT test, int flags)
{
    const bool fold = flags & FnmCaseFold;
    const bool escape = !(flags & FnmNoEscape);
    if (fold)
        test = foldChar(test);
    const CharT* q = p;
    bool negate = false;
    if (*q == CharT('!') || *q == CharT('^')) {
        negate = true;
        ++q;
    }
    bool ok = false;
    bool first = true;
    for (;;) {
        CharT c = *q;
        if (c == CharT(']') && !first) {
            ++q;
            break;
        }
        if (c == 0)
            return Bracket::Malformed;
        first = false;
        if (c == CharT('[') && q[1] == CharT(':')) {
            const CharT* end = q + 2;
            while (*end != 0 && !(end[0] == CharT(':') && end[1] == CharT(']')))
                ++end;
            if (*end == 0)
                return Bracket::Malformed;
            char name[32];
            size_t len = static_cast<size_t>(end - (q + 2));
            bool valid = len < sizeof(name);
            for (size_t i = 0; valid && i < len; ++i) {
                const CharT ch = q[2 + i];
                if (ch <= 0 || ch > 0x7f)
                    valid = false;
                else
                    name[i] = static_cast<char>(ch);
            }
            if (!valid)
                return Bracket::Malformed;
            name[len] = '\0';
            if (std::wctype(name) == 0)
                return Bracket::Malformed;
            if (classMatch(test, name))
                ok = true;
            q = end + 2;
            continue;
        }
        if (c == CharT('\\') && escape) {
            c = *++q;
            if (c == 0)
                return Bracket::Malformed;
        }
        ++q;
        if (*q == CharT('-') && q[1] != 0 && q[1] != CharT(']')) {
            CharT hi = q[1];
            q += 2;
            if (hi == CharT('\\') && escape) {
                hi = *q++;
                if (hi == 0)
                    return Bracket::Malformed;
            }
            CharT lo = c;
            if (fold) {
                lo = foldChar(lo);
                hi = foldChar(hi);
            }
            if (lo <= test && test <= hi)
                ok = true;
        } else {
            if (fold)
                c = foldChar(c);
            if (c == test)
                ok = true;
        }
    }
    p = q;
    return ok != negate ? Bracket::Match : Bracket::NoMatch;
}

} // namespace

// Iterative matcher: a star only ever needs the latest star as its
// backtracking point, so the time stays linear in pattern times string
// (no exponential blow-up with many stars). With FnmPathname a star can't
// cross '/', so a matched '/' drops the backtracking point.
template <typename CharT> int fnmatch(const CharT* pattern, const CharT* string, int flags)
{
    if (!pattern || !string)
        return kNoMatch;
    const bool pathname = flags & FnmPathname;
    const bool period = flags & FnmPeriod;
    const bool escape = !(flags & FnmNoEscape);
    const bool fold = flags & FnmCaseFold;
    const CharT* const start = string;
    auto leadingPeriod = [&](const CharT* s) {
        return period && *s == CharT('.') && (s == start || (pathname && s[-1] == CharT('/')));
    };

    const CharT* p = pattern;
    const CharT* s = string;
    const CharT* starP = nullptr; // pattern after the latest star
    const CharT* starS = nullptr; // where that star's match currently ends

    for (;;) {
        bool mismatch = false;
        const CharT c = *p;
        if (c == 0) {
            if (*s == 0)
                return kMatch;
            mismatch = true;
        } else if (c == CharT('?')) {
            if (*s == 0)
                return kNoMatch;
            if ((pathname && *s == CharT('/')) || leadingPeriod(s)) {
                mismatch = true;
            } else {
                ++p;
                ++s;
            }
        } else if (c == CharT('*')) {
            while (*p == CharT('*'))
                ++p;
            if (leadingPeriod(s)) {
                mismatch = true;
            } else if (*p == 0) {
                if (!pathname)
                    return kMatch;
                for (const CharT* r = s; *r != 0; ++r)
                    if (*r == CharT('/'))
                        return kNoMatch;
                return kMatch;
            } else {
                starP = p;
                starS = s;
                continue;
            }
        } else if (c == CharT('[')) {
            if (*s == 0)
                return kNoMatch;
            const CharT* q = p + 1;
            // '/' (with FnmPathname) and a leading '.' are never matched by a
            // bracket expression; neither is '[' itself, so a malformed one
            // can't match them as a literal either.
            Bracket b = Bracket::NoMatch;
            if (!(pathname && *s == CharT('/')) && !leadingPeriod(s))
                b = bracketMatch(q, *s, flags);
            if (b == Bracket::Malformed) {
                // A '[' without its ']' is an ordinary character.
                if (*s == CharT('[')) {
                    ++p;
                    ++s;
                } else {
                    mismatch = true;
                }
            } else if (b == Bracket::Match) {
                p = q;
                ++s;
            } else {
                mismatch = true;
            }
        } else {
            CharT lit = c;
            const CharT* next = p + 1;
            if (c == CharT('\\') && escape) {
                if (p[1] == 0)
                    return kNoMatch; // a pattern can't end in an escape
                lit = p[1];
                next = p + 2;
            }
            CharT sc = *s;
            if (sc == 0)
                return kNoMatch;
            if (fold) {
                lit = foldChar(lit);
                sc = foldChar(sc);
            }
            if (lit == sc) {
                if (pathname && sc == CharT('/'))
                    starP = nullptr;
                p = next;
                ++s;
            } else {
                mismatch = true;
            }
        }
        if (!mismatch)
            continue;
        // Let the latest star take one more character and try again.
        if (!starP || *starS == 0 || (pathname && *starS == CharT('/')))
            return kNoMatch;
        ++starS;
        p = starP;
        s = starS;
    }
}

template int fnmatch<unsigned char>(const unsigned char*, const unsigned char*, int);
template int fnmatch<wchar_t>(const wchar_t*, const wchar_t*, int);

bool fileNameMatch(const char* pattern, const char* name, bool ignoreCase)
{
    if (!pattern || !name)
        return false;
    return fnmatch<unsigned char>(reinterpret_cast<const unsigned char*>(pattern),
               reinterpret_cast<const unsigned char*>(name),
               FnmNoEscape | (ignoreCase ? FnmCaseFold : 0))
        == kMatch;
}

bool fileNameMatch(const std::string& pattern, const std::string& name, bool ignoreCase)
{
    return fileNameMatch(pattern.c_str(), name.c_str(), ignoreCase);
}

bool fileNameMatch(const wchar_t* pattern, const wchar_t* name, bool ignoreCase)
{
    if (!pattern || !name)
        return false;
    return fnmatch<wchar_t>(pattern, name, FnmNoEscape | (ignoreCase ? FnmCaseFold : 0)) == kMatch;
}

bool fileNameMatch(const std::wstring& pattern, const std::wstring& name, bool ignoreCase)
{
    return fileNameMatch(pattern.c_str(), name.c_str(), ignoreCase);
}

bool fileNameMatchWindows(const std::string& pattern, const std::string& name, bool ignoreCase)
{
    if (fileNameMatch(pattern, name, ignoreCase))
        return true;
    const size_t n = pattern.size();
    if (name.find('.') == std::string::npos && n >= 1 && pattern[n - 1] == '.')
        return fileNameMatch(pattern.substr(0, n - 1), name, ignoreCase);
    if (n >= 2 && pattern[n - 2] == '.' && pattern[n - 1] == '*')
        return fileNameMatch(pattern.substr(0, n - 2), name, ignoreCase);
    return false;
}

} // namespace tavir::utils
