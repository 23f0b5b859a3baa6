#pragma once
// Output streams that compute a message digest of everything written to them.
//
//     tavir::crypto::StreamDigestMD5 md5(false);
//     md5 << "abc";
//     std::string hex = md5.getAsciiDigest(false); // 32 lower-case hex digits
//
// Asking again without writing returns the same digest; bytes written after a
// digest was returned start a new digest over only those bytes. A failure of
// the digest library never yields a digest: getDigest throws DigestError.
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

namespace tavir::crypto {

class DigestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class StreamDigest : public std::ostream {
public:
    // The stream buffer: it keeps no put area, every write goes straight to
    // the digest in progress.
    class BufDigest : public std::streambuf {
    public:
        BufDigest();
        ~BufDigest() override;
        BufDigest(const BufDigest&) = delete;
        BufDigest& operator=(const BufDigest&) = delete;

        void setDigestAlgorithm(const EVP_MD* md) { algorithm_ = md; }
        EVP_MD_CTX* getDigestContext() { return ctx_; }

        // True while a digest has been started and not finished.
        bool inProgress() const { return !startNew_; }
        // Starts a digest now, even with nothing written.
        void start();
        // Finishes the digest in progress into `out` (EVP_MAX_MD_SIZE bytes)
        // and returns its length; the next write starts a new digest. Throws
        // DigestError when any step of this digest failed.
        unsigned int finish(unsigned char* out);

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;

        // The digest engine; by default the OpenSSL digest set with
        // setDigestAlgorithm. Each returns false on failure.
        virtual bool engineInit();
        virtual bool engineUpdate(const unsigned char* data, size_t len);
        virtual bool engineFinal(unsigned char* out, unsigned int* len);

    private:
        bool feed(const unsigned char* data, size_t len);
        void noteFailure(const char* step);

        EVP_MD_CTX* ctx_;
        bool startNew_ = true;
        const EVP_MD* algorithm_;
        std::string error_; // first failure of the digest in progress
    };

    StreamDigest();
    ~StreamDigest() override;
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;

    // The raw digest of what was written since the previous digest; with
    // nothing written, the previous digest, or (finishEmpty, and no digest
    // finished yet) the digest of the empty input, or else "".
    virtual std::string getDigest(bool finishEmpty);
    // getDigest as lower-case hexadecimal, two characters per byte.
    virtual std::string getAsciiDigest(bool finishEmpty);

    BufDigest& digestBuffer() { return *buf_; }

protected:
    explicit StreamDigest(std::unique_ptr<BufDigest> buffer);

private:
    std::unique_ptr<BufDigest> buf_;
    unsigned char digest_[EVP_MAX_MD_SIZE];
    uint32_t digestLength_ = 0;
};

class StreamDigestMD5 : public StreamDigest {
public:
    // With utf8AsLatin1, text that is UTF-8 for characters U+00C0..U+00FF
    // (and otherwise plain bytes below 0xC0) is digested as its ISO-8859-1
    // bytes; any other input is digested unchanged.
    explicit StreamDigestMD5(bool utf8AsLatin1);

    // Feeds `data` to an MD5 context with the conversion above, as one block.
    // Returns 1 on success and 0 on failure, as OpenSSL's update functions do.
    static int MD5_UTF8_8859_1(EVP_MD_CTX* ctx, const void* data, size_t len);
};

class StreamDigestRIPEMD160 : public StreamDigest {
public:
    StreamDigestRIPEMD160();
};

// SHA-0, the original FIPS 180 hash (not SHA-1).
class StreamDigestSHA : public StreamDigest {
public:
    StreamDigestSHA();
};

class StreamDigestSHA1 : public StreamDigest {
public:
    StreamDigestSHA1();
};

class StreamDigestSHA512 : public StreamDigest {
public:
    StreamDigestSHA512();
};

} // namespace tavir::crypto
