#include "ssl/SslErrHandler.h"
#include "utils/SingletonFactory.h"

#include <openssl/err.h>

#include <atomic>

namespace tavir::ssl {

namespace {

// Threads are told apart by a serial number that is never given out again;
// pthread identifiers are reused as soon as a thread has been joined.
std::atomic<uint64_t> nextSerial{1};
thread_local uint64_t threadSerial = 0;

uint64_t currentThread()
{
    if (threadSerial == 0)
        threadSerial = nextSerial.fetch_add(1);
    return threadSerial;
}

// The live handler, for threads that end after it was destroyed at exit.
// The guard is never destroyed, so it outlives every thread.
tavir::tiny::KMutex& liveGuard()
{
    static tavir::tiny::KMutex* guard = new tavir::tiny::KMutex;
    return *guard;
}
SslErrHandler* live = nullptr;

} // namespace

// Drops the thread's list when the thread ends, so that lists of finished
// threads don't pile up.
struct ThreadListCleanup {
    bool armed = false;
    ~ThreadListCleanup()
    {
        if (!armed)
            return;
        tavir::tiny::KMutexLocker hold(liveGuard());
        if (live)
            live->forget(threadSerial);
    }
};

namespace {
thread_local ThreadListCleanup cleanup;
} // namespace

SslErrHandler::SslErrHandler()
{
    tavir::tiny::KMutexLocker hold(liveGuard());
    live = this;
}

SslErrHandler::~SslErrHandler()
{
    tavir::tiny::KMutexLocker hold(liveGuard());
    if (live == this)
        live = nullptr;
}

SslErrHandler* SslErrHandler::instance()
{
    return tavir::utils::SingletonFactory<SslErrHandler,
        tavir::utils::DestroyAtExit>::getInstance();
}

void SslErrHandler::emptyErrorQueue()
{
    while (ERR_get_error() != 0) { }
}

void SslErrHandler::append(const std::vector<unsigned long>& codes)
{
    const uint64_t thread = currentThread();
    cleanup.armed = true;
    tavir::tiny::KMutexLocker hold(mutex_);
    std::vector<unsigned long>& list = lists_[thread];
    list.insert(list.end(), codes.begin(), codes.end());
}

void SslErrHandler::forget(uint64_t thread)
{
    tavir::tiny::KMutexLocker hold(mutex_);
    lists_.erase(thread);
}

void SslErrHandler::checkForError()
{
    std::vector<unsigned long> codes;
    while (unsigned long code = ERR_get_error())
        codes.push_back(code);
    // The list is made on first use, also when the queue was empty.
    append(codes);
}

unsigned long SslErrHandler::getLastError(std::string& text)
{
    std::vector<unsigned long> codes;
    {
        tavir::tiny::KMutexLocker hold(mutex_);
        auto it = lists_.find(currentThread());
        if (it == lists_.end()) {
            text.clear();
            return 0;
        }
        codes.swap(it->second);
        lists_.erase(it);
    }
    unsigned long last = 0;
    char line[4096];
    for (unsigned long code : codes) {
        ERR_error_string_n(code, line, sizeof line);
        text += line;
        text += "\n";
        last = code;
    }
    return last;
}

void sslErrHandlerDeleter(SslErrHandler*)
{
}

} // namespace tavir::ssl
