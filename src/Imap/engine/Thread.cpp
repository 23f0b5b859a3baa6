// Starting, joining and guarding the engine's threads.
#include "Imap/engine/Thread.h"

#include "Imap/engine/Logger.h"
#include "Imap/textconv/TextConversion.h"
#include "tiny/ScopeExit.h"
#include "tiny/Thread.h"

#include <cxxabi.h>

#include <exception>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

std::wstring describe(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        std::wstring text = utf8ToUnicode(e.what());
        if (!text.empty())
            return text;
    } catch (...) {
    }
    return L"an unknown error";
}

} // namespace

Thread::Thread(std::wstring name)
    : name_(std::move(name))
{
}

Thread::~Thread() = default;

bool Thread::isTerminated()
{
    return terminated_;
}

void Thread::setTerminated(bool terminated)
{
    terminated_ = terminated;
}

bool Thread::guardedStart(void (*start)(void*))
{
    KMutexLocker lock(startLock_);
    if (started_ || !start)
        return false;
    running_ = true;
    pthread_t handle{};
    if (!tiny::createThread(start, static_cast<Thread*>(this), &handle,
            tiny::threadNameAttr(unicodeToUtf8(name_)))) {
        running_ = false;
        return false;
    }
    // The join lock orders this store before any join's read of the handle.
    KMutexLocker joinLock(joinLock_);
    handle_ = handle;
    started_ = true;
    return true;
}

bool Thread::join()
{
    if (isCurrent())
        return false;
    {
        KMutexLocker lock(startLock_);
        if (!started_)
            return false;
    }
    KMutexLocker lock(joinLock_);
    // A failed join keeps the handle for the owner, who must still join
    // it. Once joined it is cleared, and a later join returns at once.
    if (!tiny::waitForThreadClose(handle_))
        return false;
    handle_ = pthread_t{};
    return true;
}

bool Thread::isCurrent() const
{
    return runner_.load(std::memory_order_acquire) == tiny::threadID();
}

void Thread::run()
{
    runner_.store(tiny::threadID(), std::memory_order_release);
    // A later thread may get the same identifier once this one is joined.
    const tiny::ScopeExit forget([this] { runner_.store(0, std::memory_order_release); });
    std::exception_ptr failure;
    try {
        execute();
    } catch (abi::__forced_unwind&) {
        // Thread cancellation unwinds through here and must go on.
        running_ = false;
        throw;
    } catch (...) {
        // Kept as it is: turning it into text may need memory, and memory
        // may be what ran out.
        failure = std::current_exception();
    }
    if (failure) {
        try {
            recover(sentence(L"The thread \"%1%\" stopped on an unexpected error: %2%.", name_,
                describe(failure)));
        } catch (...) {
            // Failing again while reporting: the thread still ends normally.
        }
    }
    running_ = false;
}

void Thread::recover(const std::wstring& sentence)
{
    Logger log;
    log.report(TAVIR_HERE, sentence);
}

} // namespace tavir::migration
