#include "utils/StringUtils.h"

#include "utils/Exception.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <new>
#include <strings.h>

namespace tavir::utils {

namespace {

constexpr unsigned char X = 255;

inline int lower(char c)
{
    return std::tolower(static_cast<unsigned char>(c));
}

} // namespace

const unsigned char hexToNibbleTable[256] = {
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0x00
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0x10
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0x20
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, X, X, X, X, X, X, // 0x30
    X, 10, 11, 12, 13, 14, 15, X, X, X, X, X, X, X, X, X, // 0x40
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0x50
    X, 10, 11, 12, 13, 14, 15, X, X, X, X, X, X, X, X, X, // 0x60
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0x70
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0x80
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0x90
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0xa0
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0xb0
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0xc0
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0xd0
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0xe0
    X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, // 0xf0
};

const char nibbleToHexLowercaseTable[17] = "0123456789abcdef";

// ---- Formatted output -------------------------------------------------------

int vsnprintfx(char* buf, size_t size, const char* format, va_list args)
{
    if (!buf || size == 0)
        return 0;
    if (size == 1 || !format) {
        buf[0] = '\0';
        return 0;
    }
    const int cut = size >= 0x80000000u ? 0x7ffffffe : static_cast<int>(size - 1);
    const int n = std::vsnprintf(buf, size, format, args);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        buf[size - 1] = '\0';
        return cut;
    }
    return n;
}

int snprintfx(char* buf, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsnprintfx(buf, size, format, args);
    va_end(args);
    return n;
}

int snprintfadd(char* buf, size_t size, const char* format, ...)
{
    if (!buf || size == 0)
        return 0;
    if (size == 1) {
        buf[0] = '\0';
        return 0;
    }
    // A buffer without a terminator inside `size` is cut so that it has one.
    size_t len = strnlen(buf, size);
    if (len >= size) {
        len = size - 1;
        buf[len] = '\0';
    }
    va_list args;
    va_start(args, format);
    const int added = vsnprintfx(buf + len, size - len, format, args);
    va_end(args);
    const unsigned long long total = static_cast<unsigned long long>(len) + added;
    return total > 0x7fffffffu ? 0x7fffffff : static_cast<int>(total);
}

void vsprintfadd(std::string& out, const char* format, va_list args)
{
    if (!format)
        return;
    // A format that fails at every size (bad wide character, result above
    // INT_MAX) would make doubling run until memory is gone: stop at 1 MiB.
    constexpr size_t kMaxRetrySize = size_t(1) << 20;
    size_t size = 4096;
    for (;;) {
        char* buf = new (std::nothrow) char[size];
        if (!buf)
            return;
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(buf, size, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < size) {
            try {
                out.append(buf, static_cast<size_t>(n));
            } catch (const std::bad_alloc&) {
            }
            delete[] buf;
            return;
        }
        delete[] buf;
        if (n >= 0) {
            size = static_cast<size_t>(n) + 1;
        } else {
            if (size >= kMaxRetrySize)
                return;
            size *= 2;
        }
    }
}

void sprintf(std::string& out, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsprintfadd(out, format, args);
    va_end(args);
}

void sprintfadd(std::string& out, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsprintfadd(out, format, args);
    va_end(args);
}

// ---- Hexadecimal and numbers ------------------------------------------------

std::string stringToHex(const std::string& bytes)
{
    std::string out;
    out.resize(bytes.size() * 2);
    bytesToHexesUnsafe(&out[0], reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out;
}

std::string hexToString(const std::string& hex)
{
    std::string out;
    out.resize(hex.size() / 2);
    hexesToBytesUnsafe(reinterpret_cast<unsigned char*>(&out[0]), hex.data(), hex.size());
    return out;
}

unsigned char hexToNibbleThrowing(char c)
{
    const unsigned char v = hexToNibbleTable[static_cast<unsigned char>(c)];
    if (v == X)
        throw Exception("Wrong hex character.");
    return v;
}

void bytesToHexesUnsafe(char* out, const unsigned char* data, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = nibbleToHexLowercaseTable[data[i] >> 4];
        out[2 * i + 1] = nibbleToHexLowercaseTable[data[i] & 0x0f];
    }
}

bool bytesToHexesZ(char* out, size_t outSize, const unsigned char* data, size_t n)
{
    if (!out || outSize == 0)
        return false;
    if (!data || n > (SIZE_MAX - 1) / 2 || 2 * n + 1 > outSize) {
        out[0] = '\0';
        return n == 0;
    }
    bytesToHexesUnsafe(out, data, n);
    out[2 * n] = '\0';
    return true;
}

void hexesToBytesUnsafe(unsigned char* out, const char* hex, size_t len)
{
    for (size_t i = 0; i + 1 < len; i += 2) {
        const unsigned hi = hexToNibbleTable[static_cast<unsigned char>(hex[i])];
        const unsigned lo = hexToNibbleTable[static_cast<unsigned char>(hex[i + 1])];
        out[i / 2] = static_cast<unsigned char>((16 * hi + lo) % 256);
    }
}

bool hexesToBytes(unsigned char* out, size_t outSize, const char* hex, size_t len)
{
    if (len == 0)
        return true;
    if (!out || outSize == 0 || !hex || len / 2 > outSize)
        return false;
    hexesToBytesUnsafe(out, hex, len);
    return true;
}

char* strhex(char* buf, size_t size, int separator, const void* data, size_t n)
{
    if (!buf || size == 0)
        return buf;
    if (n == 0 || !data || n > SIZE_MAX / 3 || size < 3 * n) {
        buf[0] = '\0';
        return buf;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    char* p = buf;
    for (size_t i = 0; i < n; ++i) {
        *p++ = nibbleToHexLowercaseTable[bytes[i] >> 4];
        *p++ = nibbleToHexLowercaseTable[bytes[i] & 0x0f];
        *p++ = static_cast<char>(separator);
    }
    p[-1] = '\0';
    return buf;
}

std::string secondsText(unsigned ms)
{
    std::string text = std::to_string(ms / 1000u);
    if (const unsigned fraction = ms % 1000u; fraction != 0) {
        std::string digits = std::to_string(1000u + fraction).substr(1);
        while (digits.back() == '0')
            digits.pop_back();
        text += "." + digits;
    }
    return text + " s";
}

std::string toOctal(unsigned int value)
{
    char digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    } while (value != 0);
    std::string out;
    while (n > 0)
        out.push_back(digits[--n]);
    return out;
}

long long atoi64(const char* text)
{
    if (!text)
        return 0;
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Wrapping arithmetic: no overflow check, but no undefined behaviour either.
    unsigned long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10 + static_cast<unsigned>(*text - '0');
    if (negative)
        value = 0 - value;
    return static_cast<long long>(value);
}

size_t i64toan(unsigned long long value, char* buf, size_t size, unsigned int radix)
{
    if (size == 0 || !buf)
        return static_cast<size_t>(-1);
    if (radix < 2 || radix > 36) {
        buf[0] = '\0';
        return 0;
    }
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    char tmp[65];
    size_t n = 0;
    do {
        tmp[n++] = kDigits[value % radix];
        value /= radix;
    } while (value != 0);
    // tmp holds the digits least significant first: keep the last size - 1.
    const size_t keep = n < size - 1 ? n : size - 1;
    for (size_t i = 0; i < keep; ++i)
        buf[i] = tmp[keep - 1 - i];
    buf[keep] = '\0';
    return keep;
}

char* i64toa(long long value, char* buf, int radix)
{
    if (!buf)
        return buf;
    if (radix < 2 || radix > 36) {
        buf[0] = '\0';
        return buf;
    }
    i64toan(static_cast<unsigned long long>(value), buf, 65, static_cast<unsigned>(radix));
    return buf;
}

unsigned long long hton64(unsigned long long value)
{
    return htobe64(value);
}

unsigned long long ntoh64(unsigned long long value)
{
    return be64toh(value);
}

char* strip(char* dst, unsigned int ipv4)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&ipv4);
    std::snprintf(dst, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return dst;
}

char* stripport(char* dst, unsigned int ipv4, unsigned short port)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&ipv4);
    const unsigned host = be16toh(port);
    std::snprintf(dst, 22, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], host);
    return dst;
}

int strSize(char* buf, size_t size, long long bytes)
{
    const bool negative = bytes < 0;
    const unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(bytes)
                                                  : static_cast<unsigned long long>(bytes);
    const char* sign = negative ? "-" : "";
    if (magnitude <= 4096)
        return snprintfx(buf, size, "%s%u B", sign, static_cast<unsigned>(magnitude));
    if (magnitude <= 0x100000)
        return snprintfx(buf, size, "%s%.2f kB", sign, magnitude / 1024.0);
    if (magnitude > 0x40000000)
        return snprintfx(buf, size, "%s%.2f GB", sign, magnitude / 1073741824.0);
    return snprintfx(buf, size, "%s%.2f MB", sign, magnitude / 1048576.0);
}

char* strSecond(unsigned int seconds, char* dst)
{
    const unsigned rest = seconds % 86400;
    if (seconds < 86400) {
        std::snprintf(dst, 32, "%02u:%02u:%02u", rest / 3600, rest / 60 % 60, rest % 60);
    } else {
        const unsigned days = seconds / 86400;
        std::snprintf(dst, 32, "%d day%s %02u:%02u:%02u", static_cast<int>(days),
            days == 1 ? "" : "s", rest / 3600, rest / 60 % 60, rest % 60);
    }
    return dst;
}

// ---- Copying, comparing, searching ------------------------------------------

char* strncpys(char* dst, const char* src, size_t size)
{
    if (!dst || size == 0)
        return dst;
    if (!src) {
        dst[0] = '\0';
        return dst;
    }
    std::strncpy(dst, src, size);
    dst[size - 1] = '\0';
    return dst;
}

int strbeginstr(const char* s, const char* prefix)
{
    if (!s || !prefix)
        return -1;
    const size_t n = std::strlen(prefix);
    if (std::strlen(s) < n)
        return -1;
    return std::memcmp(s, prefix, n);
}

int stribeginstr(const char* s, const char* prefix)
{
    if (!s || !prefix)
        return 0x7fffffff;
    const size_t n = std::strlen(prefix);
    if (std::strlen(s) < n)
        return -1;
    return strncasecmp(s, prefix, n);
}

namespace {

// Failure table with entry 0 = -1 (as the Index type's "minus one"), built
// with case-insensitive comparison. `Index` is int or size_t.
template <typename Index> Index* computeRetarget(const char* pattern)
{
    const size_t m = std::strlen(pattern);
    Index* t = static_cast<Index*>(std::malloc((m + 1) * sizeof(Index)));
    if (!t)
        return nullptr;
    const Index none = static_cast<Index>(-1);
    t[0] = none;
    size_t i = 0;
    Index j = none;
    while (i < m) {
        while (j != none && lower(pattern[i]) != lower(pattern[static_cast<size_t>(j)]))
            j = t[static_cast<size_t>(j)];
        ++i;
        ++j; // none + 1 wraps to 0 for size_t as well
        t[i] = j;
    }
    return t;
}

template <typename Index>
const char* kmpMatch(const char* text, const char* pattern, size_t limit, const Index* t)
{
    if (!text || !pattern || !t || *text == '\0')
        return nullptr;
    const size_t m = std::strlen(pattern);
    if (m == 0)
        return text;
    const Index none = static_cast<Index>(-1);
    Index i = 0;
    for (size_t k = 0; text[k] != '\0' && (limit == 0 || k < limit); ++k) {
        while (i != none && lower(pattern[static_cast<size_t>(i)]) != lower(text[k]))
            i = t[static_cast<size_t>(i)];
        ++i;
        if (static_cast<size_t>(i) == m)
            return text + k + 1 - m;
    }
    return nullptr;
}

} // namespace

int* kmp_compute_retarget(const char* pattern)
{
    if (!pattern || std::strlen(pattern) >= INT_MAX)
        return nullptr;
    return computeRetarget<int>(pattern);
}

void kmp_free_retarget(int* table)
{
    std::free(table);
}

size_t* kmp_compute_retarget_x64(const char* pattern)
{
    if (!pattern)
        return nullptr;
    return computeRetarget<size_t>(pattern);
}

void kmp_free_retarget_x64(size_t* table)
{
    std::free(table);
}

const char* kmp_match(const char* text, const char* pattern, int limit, int* table)
{
    return kmpMatch<int>(text, pattern, limit > 0 ? static_cast<size_t>(limit) : 0, table);
}

const char* kmp_match_x64(const char* text, const char* pattern, size_t limit, size_t* table)
{
    return kmpMatch<size_t>(text, pattern, limit, table);
}

const char* strinstr(const char* haystack, const char* needle, size_t limit)
{
    if (!haystack || !needle || *haystack == '\0')
        return nullptr;
    size_t* table = kmp_compute_retarget_x64(needle);
    if (!table)
        return nullptr;
    const char* found = kmp_match_x64(haystack, needle, limit, table);
    kmp_free_retarget_x64(table);
    return found;
}

const char* stristr(const char* haystack, const char* needle)
{
    return strinstr(haystack, needle, 0);
}

char* k_strlwr(char* s)
{
    for (char* p = s; p && *p; ++p)
        *p = static_cast<char>(lower(*p));
    return s;
}

char* k_strtok_r(char* s, const char* delim, char** save)
{
    return strtok_r(s, delim, save);
}

// ---- Extracting and editing in place ----------------------------------------

char* strip_crlf(char* s)
{
    if (!s)
        return s;
    size_t n = std::strlen(s);
    while (n > 0 && std::isspace(static_cast<unsigned char>(s[n - 1])))
        --n;
    s[n] = '\0';
    return s;
}

int strreplchr(char* s, char from, char to)
{
    int count = 0;
    for (char* p = s; p && *p; ++p) {
        if (*p == from) {
            *p = to;
            ++count;
        }
    }
    return count;
}

char* strextr(char* dst, char* s, size_t size, char open, char close)
{
    if (!dst || size == 0)
        return nullptr;
    dst[0] = '\0';
    if (!s)
        return nullptr;
    const char* begin = std::strchr(s, open);
    if (!begin)
        return nullptr;
    ++begin;
    const char* end = std::strchr(begin, close);
    if (!end)
        return nullptr;
    const size_t len = static_cast<size_t>(end - begin);
    if (len >= size - 1)
        return nullptr;
    std::memcpy(dst, begin, len);
    dst[len] = '\0';
    return dst;
}

bool strgetstr(char* s, char open, char close, char* dst, size_t size)
{
    return strextr(dst, s, size, open, close) != nullptr;
}

char* strremovestr(char* s, char open, char close)
{
    if (!s)
        return s;
    for (;;) {
        char* begin = std::strchr(s, open);
        if (!begin)
            break;
        char* end = std::strchr(begin + 1, close);
        if (!end)
            break;
        std::memmove(begin, end + 1, std::strlen(end + 1) + 1);
    }
    return s;
}

bool strreplstr(char* buf, size_t size, const char* from, const char* to)
{
    if (!buf || !from || !to)
        return false;
    const size_t fromLen = std::strlen(from);
    if (fromLen == 0) // an empty text occurs everywhere: nothing sensible to replace
        return true;
    const size_t toLen = std::strlen(to);
    size_t len = std::strlen(buf);
    char* p = buf;
    while ((p = std::strstr(p, from)) != nullptr) {
        if (toLen > fromLen && len - fromLen + toLen + 1 > size)
            return false;
        std::memmove(p + toLen, p + fromLen, std::strlen(p + fromLen) + 1);
        std::memcpy(p, to, toLen);
        len = len - fromLen + toLen;
        p += toLen;
    }
    return true;
}

namespace {

bool enumToken(char** cursor, const char* separators, bool quoted, char openQuote, char closeQuote,
    char* dst, size_t size)
{
    if (dst && size > 0)
        dst[0] = '\0';
    if (!cursor || !*cursor || !separators || !dst || size == 0)
        return false;
    char* p = *cursor;
    while (*p != '\0' && std::strchr(separators, *p))
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return false;
    }
    char* begin = p;
    bool inQuote = false;
    for (; *p != '\0'; ++p) {
        if (inQuote) {
            if (*p == closeQuote)
                inQuote = false;
            continue;
        }
        if (quoted && *p == openQuote) {
            inQuote = true;
            continue;
        }
        if (std::strchr(separators, *p))
            break;
    }
    *cursor = p;
    const size_t len = static_cast<size_t>(p - begin);
    if (len >= size)
        return false;
    std::memcpy(dst, begin, len);
    dst[len] = '\0';
    return true;
}

} // namespace

bool strEnum(char** cursor, const char* separators, char* dst, size_t size)
{
    return enumToken(cursor, separators, false, 0, 0, dst, size);
}

bool strEnum2(
    char** cursor, const char* separators, char openQuote, char closeQuote, char* dst, size_t size)
{
    return enumToken(cursor, separators, true, openQuote, closeQuote, dst, size);
}

// ---- Case and comparison -----------------------------------------------------

bool detail::iEqualImpl(const std::string& a, const char* b, size_t bLen, const Locale& loc)
{
    if (a.size() != bLen)
        return false;
    const std::ctype<char>* facet = loc.facet();
    for (size_t i = 0; i < bLen; ++i) {
        if (facet) {
            if (facet->tolower(a[i]) != facet->tolower(b[i]))
                return false;
        } else if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string trimRight(const std::string& s, const char* chars)
{
    const char* set = chars ? chars : " \r\n\t";
    const size_t last = s.find_last_not_of(set);
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace tavir::utils
