#pragma once
// Loads the libcrypto error strings for programs that use the crypto helpers
// without TLS; made when the first certificate or key object is made.
namespace tavir::crypto {

class InitCrypto {
public:
    InitCrypto();
    ~InitCrypto();
    InitCrypto(const InitCrypto&) = delete;
    InitCrypto& operator=(const InitCrypto&) = delete;

    static InitCrypto* instance();

    // True when this object loaded the error strings (TLS was not set up yet)
    // and frees them at the end.
    bool loaded() const { return loaded_; }

private:
    bool loaded_ = false;
};

} // namespace tavir::crypto
