#include "ssl/InitCrypto.h"

#include "ssl/InitSSL.h"
#include "utils/SingletonFactory.h"

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
    return tavir::utils::SingletonFactory<InitCrypto, tavir::utils::DestroyAtExit>::getInstance();
}

} // namespace tavir::crypto
