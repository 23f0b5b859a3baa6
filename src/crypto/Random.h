#pragma once
// Random bytes, numbers and hexadecimal strings from the operating system's
// random device, with OpenSSL's generator as the fall-back. Operations that
// can't produce the random data asked for throw tavir::utils::Exception
// rather than hand out short or predictable results.
#include "utils/Exception.h"

#include <cstdint>
#include <fstream>
#include <string>

namespace tavir::utils {

class Random {
public:
    Random();
    // Reads from `device` instead of "/dev/urandom"; when it ends or can't be
    // opened, the fall-backs take over (used to test them).
    explicit Random(const std::string& device);
    ~Random();
    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;

    // `out` = exactly `len` random bytes; returns `out`.
    std::string& getString(std::string& out, size_t len);
    // `out` = `len` lower-case hexadecimal characters, each run of 32 the MD5
    // digest of 16 fresh random bytes; returns `out`.
    std::string& getAscii(std::string& out, size_t len);
    unsigned char getChar();
    int32_t getInt();
    uint32_t getUInt();
    int64_t getInt64();
    uint64_t getUInt64();

    // The first `len` (at most 32) characters of a lower-case hexadecimal
    // identifier that is unique within the run.
    static std::string uniqID(int len);

private:
    bool readDevice(char* buf, size_t len, size_t& got);

    std::ifstream urandom_;
    bool urandomOk_ = false;
};

inline std::string uniqID(int len)
{
    return Random::uniqID(len);
}

} // namespace tavir::utils
