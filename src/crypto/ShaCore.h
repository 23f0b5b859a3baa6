#pragma once
// A small SHA-0 / SHA-1 block engine. OpenSSL 3 dropped SHA-0, which the
// digest family still offers, so it is computed here. SHA-0 is SHA-1 without
// the one-bit rotation in the message schedule; the same engine computes
// SHA-1 when asked, which lets the shared padding and block code be checked
// against OpenSSL.
#include <cstddef>
#include <cstdint>

namespace tavir::crypto::detail {

class ShaCore {
public:
    static constexpr size_t DigestLength = 20;

    explicit ShaCore(bool sha1 = false)
        : sha1_(sha1)
    {
        init();
    }

    void init();
    void update(const unsigned char* data, size_t len);
    // Writes DigestLength bytes; the engine must be initialised again before reuse.
    void final(unsigned char* out);

private:
    void block(const unsigned char* p);

    bool sha1_;
    uint32_t h_[5];
    uint64_t bytes_;
    unsigned char buffer_[64];
    size_t used_;
};

} // namespace tavir::crypto::detail
