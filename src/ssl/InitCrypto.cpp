#include "ssl/InitCrypto.h"

#include "ssl/InitSSL.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

namespace tavir::crypto {

InitCrypto::InitCrypto()
{
    if (!tavir::ssl::InitSSL::exists()) {
        OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        loaded_ = true;
    }
}

InitCrypto::~InitCrypto()
{
    // OpenSSL 3 frees its error strings itself at exit.
}

InitCrypto* InitCrypto::instance()
{
    // Made once on first use (thread-safe) and destroyed at process exit.
    static InitCrypto theInstance;
    return &theInstance;
}

} // namespace tavir::crypto
