#include "crypto/ShaCore.h"

#include <cstring>

namespace tavir::crypto::detail {

namespace {

inline uint32_t rol(uint32_t v, int n)
{
    return (v << n) | (v >> (32 - n));
}

} // namespace

void ShaCore::init()
{
    h_[0] = 0x67452301u;
    h_[1] = 0xEFCDAB89u;
    h_[2] = 0x98BADCFEu;
    h_[3] = 0x10325476u;
    h_[4] = 0xC3D2E1F0u;
    bytes_ = 0;
    used_ = 0;
}

void ShaCore::block(const unsigned char* p)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16)
            | (uint32_t(p[4 * i + 2]) << 8) | uint32_t(p[4 * i + 3]);
    for (int i = 16; i < 80; ++i) {
        uint32_t x = w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16];
        w[i] = sha1_ ? rol(x, 1) : x;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
}

void ShaCore::update(const unsigned char* data, size_t len)
{
    bytes_ += len;
    if (used_ > 0) {
        size_t take = 64 - used_;
        if (take > len)
            take = len;
        std::memcpy(buffer_ + used_, data, take);
        used_ += take;
        data += take;
        len -= take;
        if (used_ < 64)
            return;
        block(buffer_);
        used_ = 0;
    }
    while (len >= 64) {
        block(data);
        data += 64;
        len -= 64;
    }
    if (len > 0) {
        std::memcpy(buffer_, data, len);
        used_ = len;
    }
}

void ShaCore::final(unsigned char* out)
{
    const uint64_t bits = bytes_ * 8;
    buffer_[used_++] = 0x80;
    if (used_ > 56) {
        std::memset(buffer_ + used_, 0, 64 - used_);
        block(buffer_);
        used_ = 0;
    }
    std::memset(buffer_ + used_, 0, 56 - used_);
    for (int i = 0; i < 8; ++i)
        buffer_[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    block(buffer_);
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = static_cast<unsigned char>(h_[i] >> 24);
        out[4 * i + 1] = static_cast<unsigned char>(h_[i] >> 16);
        out[4 * i + 2] = static_cast<unsigned char>(h_[i] >> 8);
        out[4 * i + 3] = static_cast<unsigned char>(h_[i]);
    }
    used_ = 0;
}

} // namespace tavir::crypto::detail
