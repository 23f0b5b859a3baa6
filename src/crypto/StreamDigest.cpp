#include "crypto/StreamDigest.h"

#include "crypto/ShaCore.h"
#include "utils/StringUtils.h"

#include <openssl/err.h>
#include <openssl/provider.h>

#include <mutex>
#include <new>

namespace tavir::crypto {

namespace {

// Takes the calling thread's OpenSSL error queue as text, emptying it.
std::string drainOpenSslErrors()
{
    std::string text;
    char line[256];
    while (unsigned long code = ERR_get_error()) {
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty())
            text += "; ";
        text += line;
    }
    return text;
}

// RIPEMD-160 lives in the default provider of current OpenSSL 3 releases and
// only in the legacy provider of older ones; load that one when needed.
const EVP_MD* ripemd160()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (EVP_MD* md = EVP_MD_fetch(nullptr, "RIPEMD160", nullptr)) {
            EVP_MD_free(md);
            return;
        }
        ERR_clear_error();
        // Loading a provider explicitly stops the default one from being
        // loaded on demand, so load both. They stay loaded for the process.
        OSSL_PROVIDER_load(nullptr, "default");
        OSSL_PROVIDER_load(nullptr, "legacy");
        ERR_clear_error();
    });
    return EVP_ripemd160();
}

class Sha0Buf : public StreamDigest::BufDigest {
protected:
    bool engineInit() override
    {
        core_.init();
        return true;
    }
    bool engineUpdate(const unsigned char* data, size_t len) override
    {
        core_.update(data, len);
        return true;
    }
    bool engineFinal(unsigned char* out, unsigned int* len) override
    {
        core_.final(out);
        *len = detail::ShaCore::DigestLength;
        return true;
    }

private:
    detail::ShaCore core_{false};
};

// Collects the whole input, since the Latin-1 conversion decides on the
// block as a whole, and converts it when the digest is finished.
class Md5Latin1Buf : public StreamDigest::BufDigest {
protected:
    bool engineInit() override
    {
        pending_.clear();
        return BufDigest::engineInit();
    }
    bool engineUpdate(const unsigned char* data, size_t len) override
    {
        pending_.append(reinterpret_cast<const char*>(data), len);
        return true;
    }
    bool engineFinal(unsigned char* out, unsigned int* len) override
    {
        std::string block;
        block.swap(pending_);
        if (StreamDigestMD5::MD5_UTF8_8859_1(getDigestContext(), block.data(), block.size()) != 1)
            return false;
        return BufDigest::engineFinal(out, len);
    }

private:
    std::string pending_;
};

} // namespace

// ---------------------------------------------------------------- BufDigest

StreamDigest::BufDigest::BufDigest()
    : ctx_(EVP_MD_CTX_new())
    , algorithm_(EVP_md_null())
{
    if (!ctx_)
        throw std::bad_alloc();
}

StreamDigest::BufDigest::~BufDigest()
{
    EVP_MD_CTX_free(ctx_);
}

bool StreamDigest::BufDigest::engineInit()
{
    return EVP_DigestInit_ex(ctx_, algorithm_, nullptr) == 1;
}

bool StreamDigest::BufDigest::engineUpdate(const unsigned char* data, size_t len)
{
    return EVP_DigestUpdate(ctx_, data, len) == 1;
}

bool StreamDigest::BufDigest::engineFinal(unsigned char* out, unsigned int* len)
{
    return EVP_DigestFinal_ex(ctx_, out, len) == 1;
}

void StreamDigest::BufDigest::noteFailure(const char* step)
{
    if (!error_.empty()) {
        ERR_clear_error();
        return;
    }
    std::string detail = drainOpenSslErrors();
    error_ = std::string("message digest failed in ") + step;
    if (!detail.empty())
        error_ += ": " + detail;
}

void StreamDigest::BufDigest::start()
{
    if (!startNew_)
        return;
    startNew_ = false;
    error_.clear();
    if (!engineInit())
        noteFailure("initialisation");
}

bool StreamDigest::BufDigest::feed(const unsigned char* data, size_t len)
{
    start();
    if (!error_.empty())
        return false;
    if (!engineUpdate(data, len)) {
        noteFailure("update");
        return false;
    }
    return true;
}

StreamDigest::BufDigest::int_type StreamDigest::BufDigest::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    unsigned char byte = static_cast<unsigned char>(traits_type::to_char_type(c));
    return feed(&byte, 1) ? c : traits_type::eof();
}

std::streamsize StreamDigest::BufDigest::xsputn(const char* s, std::streamsize n)
{
    if (n <= 0)
        return 0;
    return feed(reinterpret_cast<const unsigned char*>(s), static_cast<size_t>(n)) ? n : 0;
}

unsigned int StreamDigest::BufDigest::finish(unsigned char* out)
{
    unsigned int len = 0;
    if (error_.empty() && !engineFinal(out, &len))
        noteFailure("finish");
    startNew_ = true;
    if (!error_.empty()) {
        std::string message;
        message.swap(error_);
        EVP_MD_CTX_reset(ctx_);
        throw DigestError(message);
    }
    return len;
}

// ------------------------------------------------------------- StreamDigest

StreamDigest::StreamDigest()
    : StreamDigest(std::make_unique<BufDigest>())
{
}

StreamDigest::StreamDigest(std::unique_ptr<BufDigest> buffer)
    : std::ostream(nullptr)
    , buf_(std::move(buffer))
{
    rdbuf(buf_.get());
}

StreamDigest::~StreamDigest() = default;

std::string StreamDigest::getDigest(bool finishEmpty)
{
    try {
        if (finishEmpty && digestLength_ == 0)
            buf_->start();
        flush();
        if (buf_->inProgress()) {
            digestLength_ = 0;
            digestLength_ = buf_->finish(digest_);
        }
    } catch (...) {
        // The failed digest is dropped; the stream is ready for the next one.
        clear();
        throw;
    }
    return std::string(reinterpret_cast<const char*>(digest_), digestLength_);
}

std::string StreamDigest::getAsciiDigest(bool finishEmpty)
{
    return tavir::utils::stringToHex(getDigest(finishEmpty));
}

// --------------------------------------------------------------- subclasses

StreamDigestMD5::StreamDigestMD5(bool utf8AsLatin1)
    : StreamDigest(utf8AsLatin1 ? std::make_unique<Md5Latin1Buf>() : std::make_unique<BufDigest>())
{
    digestBuffer().setDigestAlgorithm(EVP_md5());
}

int StreamDigestMD5::MD5_UTF8_8859_1(EVP_MD_CTX* ctx, const void* data, size_t len)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    bool convertible = true;
    for (size_t i = 0; i < len && convertible; ++i) {
        if (p[i] < 0xC0)
            continue;
        if (p[i] > 0xC3)
            convertible = false;
        else if (i + 1 < len) {
            if (p[i + 1] < 0x80 || p[i + 1] > 0xBF)
                convertible = false;
            else
                ++i;
        }
    }
    if (!convertible)
        return EVP_DigestUpdate(ctx, p, len) == 1 ? 1 : 0;

    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        if (p[i] < 0xC0) {
            out.push_back(static_cast<char>(p[i]));
        } else if (i + 1 < len) {
            out.push_back(static_cast<char>((p[i] * 64 + (p[i + 1] & 0x3F)) & 0xFF));
            ++i;
        }
        // A lead byte that ends the block is dropped.
    }
    return EVP_DigestUpdate(ctx, out.data(), out.size()) == 1 ? 1 : 0;
}

StreamDigestRIPEMD160::StreamDigestRIPEMD160()
{
    digestBuffer().setDigestAlgorithm(ripemd160());
}

StreamDigestSHA::StreamDigestSHA()
    : StreamDigest(std::make_unique<Sha0Buf>())
{
}

StreamDigestSHA1::StreamDigestSHA1()
{
    digestBuffer().setDigestAlgorithm(EVP_sha1());
}

StreamDigestSHA512::StreamDigestSHA512()
{
    digestBuffer().setDigestAlgorithm(EVP_sha512());
}

} // namespace tavir::crypto
