#include "ssl/InitCrypto.h"
#include "ssl/InitSSL.h"
#include "ssl/SslErrHandler.h"
#include "tiny/Thread.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using tavir::ssl::InitSSL;
using tavir::ssl::SslErrHandler;

namespace {

// Puts one error with the given reason on the calling thread's queue.
unsigned long raiseUserError(int reason)
{
    ERR_raise(ERR_LIB_USER, reason);
    return ERR_PACK(ERR_LIB_USER, 0, reason);
}

std::string libraryText(unsigned long code)
{
    char buf[4096];
    ERR_error_string_n(code, buf, sizeof buf);
    return buf;
}

struct SslHolder {
    SSL* ssl;
    SSL* getSSL() const { return ssl; }
};

} // namespace

TEST(SslErrHandler, NothingCollected)
{
    std::string text = "stale";
    EXPECT_EQ(SslErrHandler::instance()->getLastError(text), 0u);
    EXPECT_EQ(text, "");
}

TEST(SslErrHandler, CollectsQueueAndConsumesOnRead)
{
    SslErrHandler* h = SslErrHandler::instance();
    EXPECT_EQ(h, SslErrHandler::instance());
    const unsigned long first = raiseUserError(101);
    const unsigned long second = raiseUserError(102);
    h->checkForError();
    EXPECT_EQ(ERR_peek_error(), 0u); // drained
    const unsigned long third = raiseUserError(103);
    h->checkForError();

    std::string text;
    EXPECT_EQ(h->getLastError(text), third);
    EXPECT_EQ(
        text, libraryText(first) + "\n" + libraryText(second) + "\n" + libraryText(third) + "\n");
    // Read once only.
    EXPECT_EQ(h->getLastError(text), 0u);
    EXPECT_EQ(text, "");

    // emptyErrorQueue throws away the queue and leaves the list alone.
    raiseUserError(104);
    h->checkForError();
    raiseUserError(105);
    SslErrHandler::emptyErrorQueue();
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_EQ(h->getLastError(text), ERR_PACK(ERR_LIB_USER, 0, 104));
}

TEST(SslErrHandler, ThreadsSeeOnlyTheirOwnErrors)
{
    constexpr int threads = 8;
    constexpr int rounds = 200;
    std::vector<std::thread> pool;
    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([t, &wrong, &go] {
            while (!go)
                std::this_thread::yield();
            SslErrHandler* h = SslErrHandler::instance();
            for (int r = 0; r < rounds; ++r) {
                const int reason = 1 + t * 1000 + r % 500;
                raiseUserError(reason);
                h->checkForError();
                const unsigned long expected = raiseUserError(reason + 1);
                h->checkForError();
                std::string text;
                const unsigned long got = h->getLastError(text);
                const std::string own = libraryText(ERR_PACK(ERR_LIB_USER, 0, reason)) + "\n"
                    + libraryText(expected) + "\n";
                if (got != expected || text != own)
                    ++wrong;
            }
        });
    go = true;
    for (auto& t : pool)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A thread that ends with unread errors leaves nothing behind for a later
// thread, even one that gets the same thread identifier.
TEST(SslErrHandler, NewThreadWithReusedIdentifierStartsClean)
{
    int reused = 0;
    for (int i = 0; i < 20; ++i) {
        unsigned long firstId = 0;
        std::thread([&firstId] {
            firstId = tavir::tiny::threadID();
            raiseUserError(77);
            SslErrHandler::instance()->checkForError();
            // ends without reading
        }).join();
        unsigned long secondId = 0;
        unsigned long seen = 1;
        std::string text = "stale";
        std::thread([&] {
            secondId = tavir::tiny::threadID();
            seen = SslErrHandler::instance()->getLastError(text);
        }).join();
        EXPECT_EQ(seen, 0u);
        EXPECT_EQ(text, "");
        reused += firstId == secondId;
    }
    // glibc hands a joined thread's stack (and so its identifier) to the next
    // thread; make sure the case was really exercised.
    EXPECT_GT(reused, 0);
}

TEST(SslErrHandler, SocketClassificationOfABlockedRead)
{
    ASSERT_TRUE(InitSSL::instance()->isInitialized());
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(ctx, nullptr);
    SSL* ssl = SSL_new(ctx);
    ASSERT_NE(ssl, nullptr);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in, -1); // an empty input means "try again"
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);

    SslErrHandler* h = SslErrHandler::instance();
    SslErrHandler::emptyErrorQueue();
    char buf[16];
    const int rc = SSL_read(ssl, buf, sizeof buf);
    EXPECT_LT(rc, 0);
    SslHolder socket{ssl};
    EXPECT_EQ(h->checkForError(socket, rc), static_cast<unsigned long>(SSL_ERROR_WANT_READ));
    std::string text = "before:";
    EXPECT_EQ(h->getLastError(text), 2u);
    EXPECT_EQ(text, "before:" + libraryText(2) + "\n");

    SSL_free(ssl);
    SSL_CTX_free(ctx);
}

TEST(InitSSL, SetUpOnceWithLocks)
{
    InitSSL* init = InitSSL::instance();
    EXPECT_EQ(init, InitSSL::instance());
    EXPECT_TRUE(InitSSL::exists());
    EXPECT_TRUE(init->isInitialized());
    ASSERT_GE(init->lockCount(), 1u);
    // Lock 0 is recursive: taken twice and released twice, it is free for
    // another thread (which would otherwise block here).
    InitSSL::lockingCallback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
    init->cryptoLock(0);
    init->cryptoUnlock(0);
    InitSSL::lockingCallback(0, 0, __FILE__, __LINE__);
    bool done = false;
    std::thread([&] {
        init->cryptoLock(0);
        init->cryptoUnlock(0);
        // Out-of-range numbers do nothing, in either direction.
        init->cryptoLock(-1);
        init->cryptoLock(static_cast<int>(init->lockCount()));
        init->cryptoUnlock(static_cast<int>(init->lockCount()) + 5);
        done = true;
    }).join();
    EXPECT_TRUE(done);
    EXPECT_EQ(tavir::ssl::ssl_thread_id(), tavir::tiny::threadID());

    // Made after the TLS set-up, InitCrypto leaves the error strings alone.
    EXPECT_FALSE(tavir::crypto::InitCrypto::instance()->loaded());
}
