// The connections kept for the workers, and the clock that ends them.
#include "Imap/engine/KeptLogins.h"

#include "Imap/engine/Logger.h"

#include <algorithm>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

const wchar_t* const keptTooLong
    = L"The login test's connection of %1% waited for a worker longer than it may and was "
      L"closed; the account logs in anew when it is migrated.";
const wchar_t* const givenUp = L"The login test's connection of %1% was closed to make room for "
                               L"an account's road; the account logs in anew when it is migrated.";

} // namespace

class KeptLogins::Clockwork : public Thread {
public:
    explicit Clockwork(KeptLogins& pool)
        : Thread(L"kept logins' clock")
        , pool_(pool)
    {
    }
    void execute() override { pool_.expireUntilClosed(); }

private:
    KeptLogins& pool_;
};

KeptLogins::KeptLogins(std::chrono::milliseconds keptAtMost)
    : keptAtMost_(keptAtMost)
    , clockwork_(std::make_shared<Clockwork>(*this))
{
    if (!clockwork_->guardedStart(ThreadRunner<Clockwork>::startPoint)) {
        Logger log;
        log.debug(TAVIR_HERE,
            L"The clock of the login tests' connections could not be started; they are closed "
            L"when a worker looks for one, or when the run ends.");
    }
}

KeptLogins::~KeptLogins()
{
    close();
    clockwork_->join();
}

void KeptLogins::keep(std::size_t index, SourceLogin login)
{
    if (!login.client)
        return;
    // Kept, it waits for nothing: no stop signal ends a wait of it, and
    // whoever closes it writes its LOGOUT. Whoever takes it sets theirs.
    login.client->setStopSignal(nullptr);
    Taken expired;
    {
        KMutexLocker hold(lock_);
        if (!closed_) {
            const Clock::time_point now = Clock::now();
            expired = takeExpired(now);
            kept_[index] = Kept{std::move(login), now};
            changed_.notifyAll();
        }
    }
    closeAll(std::move(expired), keptTooLong);
    // Not kept: the pool was closed (the run ends or stops).
    closeOne(login);
}

SourceLogin KeptLogins::take(std::size_t index)
{
    Taken expired;
    SourceLogin login;
    {
        KMutexLocker hold(lock_);
        expired = takeExpired(Clock::now());
        const auto found = kept_.find(index);
        if (found != kept_.end())
            login = takeOut(found);
    }
    closeAll(std::move(expired), keptTooLong);
    // The road's now: out of the tests' share.
    login.slot.handToRoad();
    return login;
}

bool KeptLogins::giveUpOne()
{
    Taken given;
    {
        KMutexLocker hold(lock_);
        if (kept_.empty())
            return false;
        given.push_back(takeOut(std::prev(kept_.end())));
    }
    closeAll(std::move(given), givenUp);
    return true;
}

void KeptLogins::close()
{
    Taken closing;
    {
        KMutexLocker hold(lock_);
        closed_ = true;
        for (auto& entry : kept_)
            closing.push_back(std::move(entry.second.login));
        kept_.clear();
        changed_.notifyAll();
    }
    closeAll(std::move(closing), nullptr);
}

SourceLogin KeptLogins::takeOut(std::map<std::size_t, Kept>::iterator at)
{
    SourceLogin login = std::move(at->second.login);
    kept_.erase(at);
    return login;
}

std::size_t KeptLogins::size() const
{
    KMutexLocker hold(lock_);
    return kept_.size();
}

void KeptLogins::expireUntilClosed()
{
    for (;;) {
        Taken expired;
        {
            KMutexLocker hold(lock_);
            if (closed_)
                return;
            expired = takeExpired(Clock::now());
            // Until the pool is closed or the first kept expires; one kept
            // meanwhile (keep) expires later, one taken out sooner leaves
            // a wake-up for nothing.
            if (expired.empty()) {
                changed_.waitFor(lock_, firstExpiry(),
                    [this]() TAVIR_REQUIRES(lock_) { return closed_ || oneExpired(Clock::now()); });
            }
        }
        closeAll(std::move(expired), keptTooLong);
    }
}

KeptLogins::Taken KeptLogins::takeExpired(Clock::time_point now)
{
    Taken expired;
    for (auto at = kept_.begin(); at != kept_.end();) {
        if (now - at->second.since < keptAtMost_) {
            ++at;
            continue;
        }
        expired.push_back(std::move(at->second.login));
        at = kept_.erase(at);
    }
    return expired;
}

bool KeptLogins::oneExpired(Clock::time_point now) const
{
    return std::any_of(kept_.begin(), kept_.end(),
        [&](const auto& entry) { return now - entry.second.since >= keptAtMost_; });
}

KeptLogins::Clock::time_point KeptLogins::firstExpiry() const
{
    // With nothing kept, the clock's thread waits for news as long.
    Clock::time_point first = Clock::now() + keptAtMost_;
    for (const auto& entry : kept_)
        first = std::min(first, entry.second.since + keptAtMost_);
    return first;
}

void KeptLogins::closeAll(Taken logins, const wchar_t* why)
{
    Logger log;
    for (SourceLogin& login : logins) {
        if (closeOne(login) && why)
            log.debug(TAVIR_HERE, sentence(why, login.user));
    }
}

bool KeptLogins::closeOne(SourceLogin& login)
{
    if (!login.client)
        return false;
    // The client goes with its connection (LOGOUT, closed) before its slot
    // is given back: nothing of it is left to close after.
    login.client.reset();
    login.slot.release();
    return true;
}

} // namespace tavir::migration
