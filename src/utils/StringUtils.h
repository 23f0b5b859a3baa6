#pragma once
// General string helpers over NUL-terminated byte buffers of a caller-given
// size, plus a few over std::string / std::wstring. Functions that fill a
// caller buffer always leave it NUL-terminated unless said otherwise.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cwctype>
#include <iterator>
#include <locale>
#include <string>
#include <type_traits>

namespace tavir::utils {

// Value 0-15 of each hexadecimal digit of either case, 255 for other bytes.
extern const unsigned char hexToNibbleTable[256];
// "0123456789abcdef"
extern const char nibbleToHexLowercaseTable[17];

// ---- Formatted output -------------------------------------------------------

// vsnprintf that always terminates. Returns the length written; when the text
// was cut or formatting failed, size - 1 (capped at 0x7ffffffe).
int snprintfx(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vsnprintfx(char* buf, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
// Appends to the string already in buf; returns min(total length, 0x7fffffff).
int snprintfadd(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Both append the formatted text to `out`; nothing is appended when memory
// runs out or the format can't be rendered.
void sprintf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void sprintfadd(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vsprintfadd(std::string& out, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// ---- Hexadecimal and numbers ------------------------------------------------

std::string stringToHex(const std::string& bytes);
std::string hexToString(const std::string& hex);
// 0-15 for a hexadecimal digit; throws tavir::utils::Exception otherwise.
unsigned char hexToNibbleThrowing(char c);
void bytesToHexesUnsafe(char* out, const unsigned char* data, size_t n);
bool bytesToHexesZ(char* out, size_t outSize, const unsigned char* data, size_t n);
void hexesToBytesUnsafe(unsigned char* out, const char* hex, size_t len);
bool hexesToBytes(unsigned char* out, size_t outSize, const char* hex, size_t len);
// Each byte as two digits followed by `separator`; the last separator becomes
// the terminator. Returns buf.
char* strhex(char* buf, size_t size, int separator, const void* data, size_t n);
std::string toOctal(unsigned int value);
// A time given in milliseconds as a person reads it, in seconds: "30 s",
// "1.5 s", "0.25 s". Every sentence that names a time-out says it so.
std::string secondsText(unsigned ms);
long long atoi64(const char* text);
char* i64toa(long long value, char* buf, int radix);
size_t i64toan(unsigned long long value, char* buf, size_t size, unsigned int radix);
unsigned long long hton64(unsigned long long value);
unsigned long long ntoh64(unsigned long long value);
// dst needs 16 bytes (strip) / 22 bytes (stripport).
char* strip(char* dst, unsigned int ipv4);
char* stripport(char* dst, unsigned int ipv4, unsigned short port);
int strSize(char* buf, size_t size, long long bytes);
// dst needs 32 bytes.
char* strSecond(unsigned int seconds, char* dst);

// ---- Copying, comparing, searching ------------------------------------------

char* strncpys(char* dst, const char* src, size_t size);
int strbeginstr(const char* s, const char* prefix);
int stribeginstr(const char* s, const char* prefix);
const char* stristr(const char* haystack, const char* needle);
const char* strinstr(const char* haystack, const char* needle, size_t limit);
int* kmp_compute_retarget(const char* pattern);
void kmp_free_retarget(int* table);
size_t* kmp_compute_retarget_x64(const char* pattern);
void kmp_free_retarget_x64(size_t* table);
const char* kmp_match(const char* text, const char* pattern, int limit, int* table);
const char* kmp_match_x64(const char* text, const char* pattern, size_t limit, size_t* table);
char* k_strlwr(char* s);
char* k_strtok_r(char* s, const char* delim, char** save);

// ---- Extracting and editing in place ----------------------------------------

char* strip_crlf(char* s);
int strreplchr(char* s, char from, char to);
char* strextr(char* dst, char* s, size_t size, char open, char close);
bool strgetstr(char* s, char open, char close, char* dst, size_t size);
char* strremovestr(char* s, char open, char close);
bool strreplstr(char* buf, size_t size, const char* from, const char* to);
bool strEnum(char** cursor, const char* separators, char* dst, size_t size);
bool strEnum2(
    char** cursor, const char* separators, char openQuote, char closeQuote, char* dst, size_t size);

// ---- Case and comparison -----------------------------------------------------

namespace detail {

// An optional locale: without one, only A-Z fold to a-z.
class Locale {
public:
    Locale() = default;
    explicit Locale(const std::locale& loc)
        : loc_(loc)
        , facet_(&std::use_facet<std::ctype<char>>(loc_))
    {
    }
    Locale(const Locale& other)
        : loc_(other.loc_)
        , facet_(other.facet_ ? &std::use_facet<std::ctype<char>>(loc_) : nullptr)
    {
    }
    Locale& operator=(const Locale& other)
    {
        loc_ = other.loc_;
        facet_ = other.facet_ ? &std::use_facet<std::ctype<char>>(loc_) : nullptr;
        return *this;
    }
    const std::ctype<char>* facet() const { return facet_; }

private:
    std::locale loc_;
    const std::ctype<char>* facet_ = nullptr;
};

inline char foldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iEqualImpl(const std::string& a, const char* b, size_t bLen, const Locale& loc);

// Lower case by the global locale's mapping.
template <typename CharT> struct Tolower_basic {
    using char_type = CharT;
    CharT operator()(CharT c) const { return std::tolower(c, std::locale()); }
};
// Only A-Z to a-z.
template <typename CharT> struct Tolower_noLoc {
    using char_type = CharT;
    CharT operator()(CharT c) const
    {
        return (c >= CharT('A') && c <= CharT('Z')) ? CharT(c - CharT('A') + CharT('a')) : c;
    }
};
// Only a-z to A-Z.
template <typename CharT> struct Toupper_noLoc {
    using char_type = CharT;
    CharT operator()(CharT c) const
    {
        return (c >= CharT('a') && c <= CharT('z')) ? CharT(c - CharT('a') + CharT('A')) : c;
    }
};

// A new string of the range's characters, each mapped by `f`.
template <typename Range, typename Functor>
std::basic_string<typename Functor::char_type> strChangeCaseImpl(const Range& range, Functor f)
{
    std::basic_string<typename Functor::char_type> out;
    for (auto it = std::begin(range); it != std::end(range); ++it) {
        if constexpr (std::is_array_v<Range>) {
            if (*it == 0)
                break; // a character array holds a NUL-terminated text
        }
        out.push_back(f(*it));
    }
    return out;
}

template <typename CharT, typename Functor>
std::basic_string<typename Functor::char_type> strChangeCaseImpl(const CharT* text, Functor f)
{
    std::basic_string<typename Functor::char_type> out;
    for (; text && *text; ++text)
        out.push_back(f(*text));
    return out;
}

} // namespace detail

// Same length and equal ignoring case.
inline bool iEqual(
    const std::string& a, const char* b, const detail::Locale& loc = detail::Locale())
{
    if (!b)
        return false;
    return detail::iEqualImpl(a, b, std::char_traits<char>::length(b), loc);
}
template <size_t N>
bool iEqual(const std::string& a, const char (&b)[N], const detail::Locale& loc = detail::Locale())
{
    size_t len = 0;
    while (len < N && b[len] != 0)
        ++len;
    return detail::iEqualImpl(a, b, len, loc);
}

// `s` without its trailing characters that belong to `chars` (" \r\n\t" when null).
std::string trimRight(const std::string& s, const char* chars = nullptr);

// `text` with each byte lowered by std::tolower (A-Z in the "C" locale):
// host names, fingerprints and names a server compares without regard to
// case.
std::string lower(std::string text);

} // namespace tavir::utils
