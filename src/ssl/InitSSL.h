#pragma once
// One-time set-up of the TLS library, made on first use (the first TLS
// context, SSLContext::ssl_library_init, or a question whether TLS is ready).
// OpenSSL 3 initialises itself and does its own locking, so the lock array
// and callbacks kept here are for callers that still ask for them; nothing
// installs them into the library.
#include "tiny/KMutex.h"

#include <memory>

namespace tavir::ssl {

// The calling thread's identifier as the TLS library wants it.
unsigned long ssl_thread_id();

class InitSSL {
public:
    InitSSL();
    ~InitSSL();
    InitSSL(const InitSSL&) = delete;
    InitSSL& operator=(const InitSSL&) = delete;

    // The process-wide instance, made on first use.
    static InitSSL* instance();
    // Whether the process-wide instance has been made.
    static bool exists();

    bool isInitialized() const { return initialized_; }
    unsigned int lockCount() const { return count_; }
    // True when zlib was registered as TLS compression method 1.
    bool hasZlibCompression() const { return zlib_; }

    // The TLS library's locking callback: mode bit 1 locks mutex n, otherwise
    // it is unlocked; an n out of range does nothing.
    static void lockingCallback(int mode, int n, const char* file, int line);
    void cryptoLock(int n);
    void cryptoUnlock(int n);

private:
    bool initialized_ = false;
    std::unique_ptr<tavir::tiny::KMutex[]> locks_;
    unsigned int count_ = 0;
    bool zlib_ = false;
};

} // namespace tavir::ssl
