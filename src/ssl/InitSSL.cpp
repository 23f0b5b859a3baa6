#include "ssl/InitSSL.h"

#include "tiny/Thread.h"
#include "utils/SingletonFactory.h"

#include <openssl/comp.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>

#include <atomic>

namespace tavir::ssl {

namespace {

std::atomic<bool> instanceMade{false};

} // namespace

unsigned long ssl_thread_id()
{
    return tavir::tiny::threadID();
}

InitSSL::InitSSL()
{
    instanceMade = true;
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr)
        != 1) {
        ERR_clear_error();
        return;
    }
    initialized_ = true;
    count_ = static_cast<unsigned int>(CRYPTO_num_locks());
    locks_.reset(new tavir::tiny::KMutex[count_]);
    COMP_METHOD* zlib = COMP_zlib();
    if (zlib && COMP_get_type(zlib) != NID_undef) {
        // 0 means registered; a repeated registration fails harmlessly.
        zlib_ = SSL_COMP_add_compression_method(1, zlib) == 0;
        ERR_clear_error();
    }
}

InitSSL::~InitSSL()
{
    // The library cleans up after itself at exit; only our own locks go.
    locks_.reset();
    count_ = 0;
}

InitSSL* InitSSL::instance()
{
    return tavir::utils::SingletonFactory<InitSSL, tavir::utils::DestroyAtExit>::getInstance();
}

bool InitSSL::exists()
{
    return instanceMade;
}

void InitSSL::lockingCallback(int mode, int n, const char*, int)
{
    InitSSL* self = instance();
    if (mode & CRYPTO_LOCK)
        self->cryptoLock(n);
    else
        self->cryptoUnlock(n);
}

// The library takes a lock in one call and gives it up in another.
void InitSSL::cryptoLock(int n) TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    if (n >= 0 && static_cast<unsigned int>(n) < count_)
        locks_[n].lock();
}

void InitSSL::cryptoUnlock(int n) TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    if (n >= 0 && static_cast<unsigned int>(n) < count_)
        locks_[n].unlock();
}

} // namespace tavir::ssl
