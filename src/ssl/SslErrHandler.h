#pragma once
// Collects TLS library errors per thread, so that threads never see each
// other's errors. The pattern: empty the library's queue before a TLS call;
// when the call fails, checkForError() (the queue's codes) or
// checkForError(socket, result) (the classification of the result); the
// caller that reports the failure calls getLastError on the same thread and
// gets the texts of everything collected since its previous call.
//
// Lists belong to a thread, not to a thread identifier: a new thread that
// happens to get an old thread's identifier starts with no errors, and a
// thread's list goes away when the thread ends.
#include "tiny/KMutex.h"

#include <openssl/ssl.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavir::ssl {

class SslErrHandler {
public:
    SslErrHandler();
    ~SslErrHandler();
    SslErrHandler(const SslErrHandler&) = delete;
    SslErrHandler& operator=(const SslErrHandler&) = delete;

    // The process-wide handler, made on first use.
    static SslErrHandler* instance();

    // Discards the calling thread's TLS library error queue; the lists are
    // not touched.
    static void emptyErrorQueue();

    // Moves every code of the calling thread's library queue to its list.
    void checkForError();

    // Appends the library's classification of `result` of the last call on
    // the socket's SSL object (SSL_get_error: 2 wants read, 3 wants write,
    // ...) to the calling thread's list and returns it. The library's queue
    // is left as it is.
    template <class Socket> unsigned long checkForError(Socket& socket, int result)
    {
        const unsigned long code
            = static_cast<unsigned long>(SSL_get_error(socket.getSSL(), result));
        append(std::vector<unsigned long>(1, code));
        return code;
    }

    // Takes the calling thread's list: appends the library's text of each
    // code and "\n" to `text` and returns the last code. Without a list,
    // `text` is emptied and the result is 0. A second call returns 0.
    unsigned long getLastError(std::string& text);

private:
    void append(const std::vector<unsigned long>& codes);
    void forget(uint64_t thread);
    friend struct ThreadListCleanup;

    std::map<uint64_t, std::vector<unsigned long>> lists_;
    tavir::tiny::KMutex mutex_;
};

// The handler is owned by its singleton; this deleter does nothing.
void sslErrHandlerDeleter(SslErrHandler*);

} // namespace tavir::ssl
