#include "crypto/Random.h"

#include "crypto/StreamDigest.h"
#include "tiny/Thread.h"
#include "tiny/Time.h"
#include "utils/Exception.h"
#include "utils/OSInfo.h"

#include <openssl/rand.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <iomanip>

namespace tavir::utils {

namespace {

// rand() is the last resort; each thread seeds it once.
thread_local bool randSeeded = false;

void seedRandOnce()
{
    if (randSeeded)
        return;
    randSeeded = true;
    const uint32_t tid = static_cast<uint32_t>(tavir::tiny::threadID());
    const uint32_t pid = static_cast<uint32_t>(OSInfo::getProcessID());
    std::srand(tid ^ (tavir::tiny::millisec() ^ ((tid ^ pid) << 16)));
}

std::atomic<uint64_t> uniqCounter{0};

template <class T> T combineBytes(Random& r)
{
    // Most significant byte first, each byte taken as a signed 8-bit value;
    // unsigned arithmetic gives the same bits without overflow.
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        const signed char b = static_cast<signed char>(r.getChar());
        value = static_cast<T>(value * 256u + static_cast<T>(static_cast<int64_t>(b)));
    }
    return value;
}

} // namespace

Random::Random()
    : Random(std::string("/dev/urandom"))
{
}

Random::Random(const std::string& device)
{
    urandom_.open(device, std::ios::in | std::ios::binary);
    urandomOk_ = urandom_.is_open();
    if (!urandomOk_)
        seedRandOnce();
}

Random::~Random()
{
    if (urandom_.is_open())
        urandom_.close();
}

bool Random::readDevice(char* buf, size_t len, size_t& got)
{
    got = 0;
    if (!urandomOk_ || !urandom_.good())
        return false;
    urandom_.read(buf, static_cast<std::streamsize>(len));
    got = static_cast<size_t>(urandom_.gcount());
    return got == len;
}

std::string& Random::getString(std::string& out, size_t len)
{
    out.clear();
    if (len > 0x7fffffff)
        throw Exception("Random::getString: length too large");
    if (len == 0)
        return out;
    std::string bytes(len, '\0');
    size_t got = 0;
    if (!readDevice(&bytes[0], len, got)) {
        // Complete from OpenSSL's generator exactly what the device did not give.
        const size_t missing = len - got;
        if (missing > 0x7fffffff
            || RAND_bytes(reinterpret_cast<unsigned char*>(&bytes[got]), static_cast<int>(missing))
                != 1)
            throw Exception("Random::getString: no source of random data");
    }
    out.swap(bytes);
    return out;
}

std::string& Random::getAscii(std::string& out, size_t len)
{
    tavir::crypto::StreamDigestMD5 md5(false);
    std::string text;
    std::string bytes;
    while (text.size() < len) {
        // Sixteen fresh bytes every round, so every round is a new digest.
        md5 << getString(bytes, 16);
        const std::string digest = md5.getAsciiDigest(false);
        if (digest.size() != 32)
            throw Exception("Random::getAscii: digest failed");
        text += digest;
    }
    text.resize(len);
    out.swap(text);
    return out;
}

unsigned char Random::getChar()
{
    char c = 0;
    size_t got = 0;
    if (readDevice(&c, 1, got))
        return static_cast<unsigned char>(c);
    unsigned char b = 0;
    if (RAND_bytes(&b, 1) == 1)
        return b;
    seedRandOnce();
    return static_cast<unsigned char>((static_cast<uint64_t>(std::rand()) * 256) >> 31);
}

int32_t Random::getInt()
{
    return static_cast<int32_t>(combineBytes<uint32_t>(*this));
}

uint32_t Random::getUInt()
{
    return combineBytes<uint32_t>(*this);
}

int64_t Random::getInt64()
{
    return static_cast<int64_t>(combineBytes<uint64_t>(*this));
}

uint64_t Random::getUInt64()
{
    return combineBytes<uint64_t>(*this);
}

std::string Random::uniqID(int len)
{
    if (len <= 0)
        return std::string();
    tavir::crypto::StreamDigestMD5 md5(false);
    Random random;
    std::string bytes;
    md5 << std::setfill('0') << std::setw(10)
        << (static_cast<long long>(time(nullptr)) + std::rand()) << std::setw(10)
        << OSInfo::getProcessID() << random.getString(bytes, 20) << tavir::tiny::getMs64()
        << uniqCounter.fetch_add(1);
    return md5.getAsciiDigest(false).substr(0, static_cast<size_t>(len));
}

} // namespace tavir::utils
