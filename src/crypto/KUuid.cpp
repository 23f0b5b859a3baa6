#include "crypto/KUuid.h"

#include "crypto/StreamDigest.h"

#include <uuid/uuid.h>

#include <cstring>

namespace tavir::mailserver::common {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isDashPosition(size_t i)
{
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// Parses the 36-character form strictly: a sscanf("%02x") scan would also
// take blanks, signs and "0x" inside a group and read a different value.
bool parse(const std::string& s, unsigned char* out)
{
    if (s.size() != 36)
        return false;
    size_t n = 0;
    for (size_t i = 0; i < 36;) {
        if (isDashPosition(i)) {
            if (s[i] != '-')
                return false;
            ++i;
            continue;
        }
        int hi = hexValue(s[i]);
        int lo = hexValue(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[n++] = static_cast<unsigned char>(hi * 16 + lo);
        i += 2;
    }
    return n == KUuid::Size;
}

std::string format(const unsigned char* b, const char* digits)
{
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < KUuid::Size; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out.push_back('-');
        out.push_back(digits[b[i] >> 4]);
        out.push_back(digits[b[i] & 15]);
    }
    return out;
}

} // namespace

KUuid::KUuid()
{
    std::memset(bytes_, 0, Size);
}

KUuid::KUuid(const KUuid& other)
    : preserveCase_(other.preserveCase_)
{
    std::memcpy(bytes_, other.bytes_, Size);
    if (other.text_)
        text_ = std::make_unique<std::string>(*other.text_);
}

KUuid& KUuid::operator=(const KUuid& other)
{
    if (this != &other) {
        std::memcpy(bytes_, other.bytes_, Size);
        preserveCase_ = other.preserveCase_;
        text_ = other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr;
    }
    return *this;
}

KUuid::~KUuid()
{
    std::memset(bytes_, 0, Size);
}

KUuid KUuid::fromString(const std::string& s, bool keepText)
{
    KUuid id;
    unsigned char parsed[Size];
    if (parse(s, parsed))
        std::memcpy(id.bytes_, parsed, Size);
    if (keepText && !s.empty())
        id.text_ = std::make_unique<std::string>(s);
    return id;
}

KUuid KUuid::generate()
{
    uuid_t raw;
    uuid_generate_random(raw);
    KUuid id;
    static_assert(sizeof raw == Size, "uuid_t holds 16 bytes");
    std::memcpy(id.bytes_, raw, Size);
    return id;
}

KUuid KUuid::createGuidHash(const std::string& s)
{
    KUuid id = fromString(s, true);
    if (!id.isNull())
        return id;
    tavir::crypto::StreamDigestMD5 md5(false);
    md5 << s;
    std::string hex = md5.getAsciiDigest(true);
    hex[12] = '4';
    std::string text = hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-'
        + hex.substr(16, 4) + '-' + hex.substr(20, 12);
    return fromString(text, true);
}

bool KUuid::isNull() const
{
    for (unsigned char b : bytes_)
        if (b)
            return false;
    return true;
}

std::string KUuid::toString(bool) const
{
    if (isNull())
        return std::string();
    if (preserveCase_ && text_)
        return *text_;
    return format(bytes_, "0123456789ABCDEF");
}

std::string KUuid::toStringLower(bool emptyIfNull) const
{
    if (emptyIfNull && isNull())
        return std::string();
    return format(bytes_, "0123456789abcdef");
}

std::string KUuid::toStringUpper(bool emptyIfNull) const
{
    if (emptyIfNull && isNull())
        return std::string();
    return format(bytes_, "0123456789ABCDEF");
}

int KUuid::compare(const KUuid& other) const
{
    return std::memcmp(bytes_, other.bytes_, Size);
}

uint64_t hash_value(const KUuid& id)
{
    uint64_t value = 0;
    for (size_t i = 0; i < KUuid::Size; ++i)
        value ^= (value >> 2) + (value << 6) + id.data()[i] + 0x9e3779b9u;
    return value;
}

} // namespace tavir::mailserver::common
