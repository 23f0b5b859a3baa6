#include "utils/Utf7ImapConverter.h"

#include "utils/Exception.h"

#include <cstring>
#include <strings.h>

namespace tavir::utils {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

// Characters that stand for themselves. Control characters and DEL are
// encoded like any other non-printable character: a folder name holding
// CR LF must never put a raw line end into an IMAP command line.
bool isDirect(unsigned u)
{
    return u >= 0x20 && u <= 0x7E;
}
} // namespace

bool Utf7ImapConverter::isUtf7Imap(const std::string& name)
{
    return strcasecmp(name.c_str(), "utf-7-imap") == 0 || strcasecmp(name.c_str(), "utf-7m") == 0;
}

char Utf7ImapConverter::getBase64Char(int value)
{
    return value >= 0 && value < 64 ? kAlphabet[value] : 0;
}

int Utf7ImapConverter::getBase64Index(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == ',')
        return 63;
    return -1;
}

void Utf7ImapConverter::flushTable(utf7imap_table& state, std::string& out)
{
    if (!state.inShift)
        return;
    state.inShift = 0;
    if (state.bitCount > 0) {
        out.push_back(getBase64Char(static_cast<int>(state.bits)));
        state.bitCount = 0;
        state.bits = 0;
    }
    out.push_back('-');
}

void Utf7ImapConverter::toUtf7Imap(
    const char* data, size_t length, std::string& out, utf7imap_table& state)
{
    out.clear();
    convertToUtf7Imap(data, length, out, state);
}

void Utf7ImapConverter::convertToUtf7Imap(
    const char* data, size_t length, std::string& out, utf7imap_table& state)
{
    out.reserve(out.size() + 3 * length);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        const unsigned u = (static_cast<unsigned>(bytes[i]) << 8) | bytes[i + 1];
        if (!isDirect(u)) {
            if (!state.inShift) {
                state.inShift = 1;
                out.push_back('&');
            }
            out.push_back(
                getBase64Char(static_cast<int>((u >> (state.bitCount + 10)) | state.bits)));
            int k = static_cast<int>(state.bitCount) + 4;
            for (; k > 0; k -= 6)
                out.push_back(getBase64Char(static_cast<int>((u >> k) & 63)));
            if (k == 0) {
                out.push_back(getBase64Char(static_cast<int>(u & 63)));
                state.bitCount = 0;
                state.bits = 0;
            } else {
                state.bitCount = static_cast<uint32_t>(k + 6);
                state.bits = (u & (0xFFu >> (2 - k))) << -k;
            }
        } else {
            if (state.inShift)
                flushTable(state, out);
            if (u == '&') {
                out.push_back('&');
                out.push_back('-');
            } else {
                out.push_back(static_cast<char>(u));
            }
        }
    }
    if (i < length && throwOnError)
        throw Exception("Internal error when converting to UTF-7-IMAP");
}

bool Utf7ImapConverter::convertFromUtf7Imap(
    const char** position, const char* end, utf7imap_table& state, unsigned short& unit)
{
    unit = 0;
    const char* p = *position;
    if (p >= end)
        return false;
    bool produced = false;
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x80) {
        *position = p + 1;
        return false;
    }
    if (c == '&' && p + 1 < end && p[1] == '-') {
        unit = '&';
        p += 2;
        produced = true;
        // A literal "&-" cannot stand inside a run; a run left open before
        // it has ended.
        state = utf7imap_table();
    } else if (c == '&') {
        ++p;
        if (end - p >= 3) {
            state.inShift = 1;
            state.bitCount = 0;
            state.bits = 0;
            produced = true;
        } else {
            // Too short to hold a unit: a stray '&' at the end of the text.
            state = utf7imap_table();
            if (lenient)
                unit = '&';
            else if (throwOnError)
                throw Exception("The conversion failed - malformed UTF7-IMAP ('&').");
        }
    } else {
        produced = true;
        if (!state.inShift) {
            unit = c;
            ++p;
        }
    }
    if (!state.inShift) {
        *position = p;
        return produced;
    }

    // One unit from 8/3, 3 or 2 base64 characters depending on the carried bits.
    auto index = [end](const char* q) { return q < end ? getBase64Index(*q) : -1; };
    const unsigned n = state.bitCount;
    const unsigned s = 10 - n;
    if (n == 4)
        state.bits <<= 2;
    unsigned value = 0;
    const char* malformedAt = nullptr;
    const char* next = nullptr;
    const int x = index(p);
    if (x < 0) {
        malformedAt = p;
    } else {
        value = (static_cast<unsigned>(x) | state.bits) << s;
        const int y = index(p + 1);
        if (y < 0) {
            malformedAt = p;
        } else {
            value |= static_cast<unsigned>(y) << (s - 6);
            if (s == 6) {
                state.bitCount = 0;
                state.bits = 0;
                next = p + 2;
            } else {
                const int z = index(p + 2);
                if (z < 0) {
                    malformedAt = p + 2;
                } else {
                    value |= static_cast<unsigned>(z) >> (12 - s);
                    state.bitCount = n + 2;
                    state.bits = (static_cast<unsigned>(z) & (0xFFu >> (6 - n))) << (6 - n);
                    next = p + 3;
                }
            }
        }
    }
    if (malformedAt) {
        state = utf7imap_table();
        // Never step beyond the end of the text, even when the run was cut
        // off by it.
        *position = malformedAt < end ? malformedAt + 1 : end;
        if (lenient) {
            unit = '&';
            return false;
        }
        if (throwOnError)
            throw Exception("The conversion failed - malformed UTF7-IMAP.");
        unit = static_cast<unsigned short>(value & 0xFFFF);
        return false;
    }
    unit = static_cast<unsigned short>(value & 0xFFFF);
    if (next < end && *next == '-') {
        state.inShift = 0;
        ++next;
    }
    *position = next;
    return produced;
}

bool Utf7ImapConverter::convertFromUtf7Imap(
    const char** position, utf7imap_table& state, unsigned short& unit)
{
    return convertFromUtf7Imap(position, *position + std::strlen(*position), state, unit);
}

unsigned Utf7ImapConverter::fromUtf7Imap(
    std::string& in, std::string& out, utf7imap_table& state, bool final)
{
    out.clear();
    out.reserve(2 * in.size());
    // A unit may need '&', three base64 characters and '-': hold back enough
    // that a run split between two pieces is decoded once the rest arrives.
    const size_t holdBack = final ? 0 : 6;
    const char* begin = in.data();
    const char* end = begin + in.size();
    const char* p = begin;
    unsigned failed = 0;
    while (static_cast<size_t>(end - p) > holdBack) {
        unsigned short unit = 0;
        if (!convertFromUtf7Imap(&p, end, state, unit))
            ++failed;
        out.push_back(static_cast<char>(unit >> 8));
        out.push_back(static_cast<char>(unit & 0xFF));
    }
    in.erase(0, static_cast<size_t>(p - begin));
    return failed;
}

} // namespace tavir::utils
