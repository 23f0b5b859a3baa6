// Trust on first use: the pinned servers' certificate fingerprints.
#include "ssl/KnownHosts.h"

#include "ssl/StopSignal.h"
#include "tiny/PeriodGuard.h"
#include "tiny/ScopeExit.h"
#include "tiny/Time.h"
#include "utils/KInterLockedFile.h"
#include "utils/SingletonFactory.h"
#include "utils/StringUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>

namespace tavir::ssl {

namespace {

// A known-hosts file holds a line per server; anything near this size is
// not one, and reading stops there rather than filling memory.
constexpr std::size_t maxFileSize = 1 << 20;

// Before an authority's line's host, so that no lookup of a pin (an IMAP
// server's or the administration service's) ever reads it as one.
const std::string authorityMark = "authority@";

// Read, and appended to when a server is recorded; made (0600, in folders
// made 0700) when missing.
constexpr int fileFlags = O_RDWR | O_CREAT | O_APPEND;

// Another program's lock is tried again this often.
constexpr int retryMs = 100;

enum class Locking { Locked, TimedOut, Stopped, Failed };

// Sleeps `ms`, and no longer once `stop` (may be null) is raised.
void sleepUnlessStopped(int ms, const tavir::utils::StopSignal* stop)
{
    if (stop && stop->descriptor() >= 0) {
        // Woken at once by a stop; an interrupted wait only asks again.
        pollfd raised{stop->descriptor(), POLLIN, 0};
        ::poll(&raised, 1, ms);
    } else {
        tavir::tiny::msleep(ms);
    }
}

// Opens the file into `file`, whose open takes the file's lock, waiting for
// another program that holds it: tried every 100 ms, for lockWaitMs at most,
// never past `wait`'s deadline, and no longer once its stop is raised. Each try opens the file as safely as the first; `why` says
// what failed (Failed).
Locking openLocked(const tavir::utils::PrivateLocation& where, tavir::utils::KInterLockedFile& file,
    const KnownHostsWait& wait, std::string& why)
{
    tavir::tiny::PeriodGuard patience(
        KnownHosts::lockWaitMs / 1000, tavir::tiny::PeriodGuard::pgOneShot);
    for (;;) {
        tavir::utils::Descriptor fd = tavir::utils::openPrivateFile(where, fileFlags, why);
        if (!fd.valid())
            return Locking::Failed;
        if (file.open(std::move(fd)))
            return Locking::Locked;
        if (errno != EAGAIN) {
            why = std::strerror(errno);
            return Locking::Failed;
        }
        if (wait.stop && wait.stop->raised())
            return Locking::Stopped;
        long long sleepMs = retryMs;
        if (wait.deadline) {
            sleepMs = std::min(sleepMs,
                static_cast<long long>(std::chrono::ceil<std::chrono::milliseconds>(
                    *wait.deadline - std::chrono::steady_clock::now())
                                           .count()));
        }
        if (sleepMs <= 0 || patience.hasPeriodOccured())
            return Locking::TimedOut;
        sleepUnlessStopped(static_cast<int>(sleepMs), wait.stop);
    }
}

std::string secondsText(std::chrono::steady_clock::duration spent)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(spent).count());
    return text;
}

// The whole file behind a descriptor just opened; false when it is too large
// or a read failed.
bool readWhole(int fd, std::string& text)
{
    return tavir::utils::readAll(fd, maxFileSize, text);
}

// The fingerprint recorded for `key` ("host:port"); empty when there is
// none. A line that doesn't parse is skipped.
std::string recordedFingerprint(const std::string& text, const std::string& key)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = tavir::utils::trimRight(text.substr(start, end - start));
        start = end + 1;
        std::size_t split = line.find(": ");
        if (split != std::string::npos && tavir::utils::lower(line.substr(0, split)) == key)
            return tavir::utils::lower(tavir::utils::trimRight(line.substr(split + 2)));
    }
    return {};
}

// "host:port", the name a server's lines go by.
std::string keyOf(const std::string& host, unsigned port)
{
    return tavir::utils::lower(host) + ":" + std::to_string(port);
}

// A line of the file without its end: a name ("host:port", or an
// authority's) and a fingerprint.
std::string lineOf(const std::string& name, const std::string& fingerprint)
{
    return name + ": " + tavir::utils::lower(fingerprint);
}

// The lines this process appended to known-hosts files, by file, for as
// long as the process runs (a connection made while it exits may still ask).
class LinesWrittenHere {
public:
    void add(const std::string& path, const std::string& line)
    {
        tavir::tiny::KMutexLocker hold(lock_);
        entries_.insert(entry(path, line));
    }
    void remove(const std::string& path, const std::string& line)
    {
        tavir::tiny::KMutexLocker hold(lock_);
        entries_.erase(entry(path, line));
    }
    bool holds(const std::string& path, const std::string& line) const
    {
        tavir::tiny::KMutexLocker hold(lock_);
        return entries_.count(entry(path, line)) != 0;
    }
    // Whether one of them is a line of `name`, whatever its fingerprint.
    bool holdsOneOf(const std::string& path, const std::string& name) const
    {
        const std::string prefix = entry(path, name + ": ");
        tavir::tiny::KMutexLocker hold(lock_);
        const auto found = entries_.lower_bound(prefix);
        return found != entries_.end() && found->compare(0, prefix.size(), prefix) == 0;
    }

private:
    // A NUL can stand in neither a path nor a line.
    static std::string entry(const std::string& path, const std::string& line)
    {
        return path + '\0' + line;
    }

    mutable tavir::tiny::KMutex lock_;
    std::set<std::string> entries_ TAVIR_GUARDED_BY(lock_);
};

LinesWrittenHere& linesWrittenHere()
{
    using Instance = tavir::utils::SingletonFactory<LinesWrittenHere, tavir::utils::NoDestroy>;
    return *Instance::getInstance();
}

} // namespace

KnownHosts::KnownHosts(utils::PrivateLocation where)
    : where_(std::move(where))
{
}

KnownHosts::KnownHosts(const std::string& path)
    : where_(path.empty() ? utils::PrivateLocation{} : utils::PrivateLocation::ofPath(path))
{
}

utils::PrivateLocation KnownHosts::defaultLocation()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    return {home, ".tavir/admin/known_hosts.cfg"};
}

std::string KnownHosts::defaultPath()
{
    utils::PrivateLocation where = defaultLocation();
    return where.base.empty() ? std::string() : where.path();
}

template <class Decide>
KnownHosts::Verdict KnownHosts::withFile(
    const std::string& key, const Wait& wait, std::string& sentence, Decide decide) const
{
    const std::string path = where_.path();
    if (where_.base.empty()) {
        sentence = "no known-hosts file to pin " + key + " in (HOME is not set)";
        return Verdict::Failed;
    }
    std::string refusal;
    std::string text;
    std::string line;
    {
        utils::Descriptor fd = utils::openPrivateFile(where_, fileFlags, refusal);
        if (!fd.valid()) {
            sentence = "the certificate of " + key + " can't be checked: " + refusal;
            return Verdict::Failed;
        }
        // A server on record as it is needs nothing written, and its verdict
        // no lock: a program that hangs holding the lock delays only new
        // lines and refusals. Lines are appended whole; one read while it is
        // written matches nothing and goes the locked way.
        if (readWhole(fd.get(), text) && decide(text, line) == Verdict::Known && line.empty())
            return Verdict::Known;
    }
    // The file's lock keeps other programs, and the other checks of this
    // one, out from the read to the line appended; the object's own lock is
    // held with it, as with every interlocked file.
    utils::KInterLockedFile file;
    file.writeLock();
    const tiny::ScopeExit unlock([&file] { file.unlock(); });
    // Another program adds its line in a moment; one that holds the lock
    // for longer has hung, and a connection must not wait for it past its
    // own deadline.
    const auto start = std::chrono::steady_clock::now();
    switch (openLocked(where_, file, wait, refusal)) {
    case Locking::Locked:
        break;
    case Locking::Failed:
        sentence = "the certificate of " + key + " can't be checked: " + refusal;
        return Verdict::Failed;
    case Locking::Stopped:
        sentence = "the check of the certificate of " + key + " was stopped";
        return Verdict::Failed;
    case Locking::TimedOut:
        sentence = "the known-hosts file " + path + " stayed locked by another program for "
            + secondsText(std::chrono::steady_clock::now() - start);
        return Verdict::Failed;
    }
    text.clear();
    line.clear();
    if (!readWhole(file.getFd(), text)) {
        sentence = "the known-hosts file " + path + " can't be read";
        return Verdict::Failed;
    }
    Verdict verdict = decide(text, line);
    if (!line.empty()) {
        // Known as this process's before another thread can read it in the
        // file (pinnedHere).
        linesWrittenHere().add(path, line);
        // A last line without its line end (an edit by hand) is ended first.
        const std::string added = (text.empty() || text.back() == '\n' ? "" : "\n") + line + "\n";
        if (file.write(added.data(), added.size()) != added.size() || file.flush() != 0) {
            sentence
                = "the known-hosts file " + path + " can't be written: " + std::strerror(errno);
            verdict = Verdict::Failed;
            linesWrittenHere().remove(path, line);
        }
    }
    file.close();
    return verdict;
}

KnownHosts::Verdict KnownHosts::check(const std::string& host, unsigned port,
    const std::string& fingerprint, std::string& sentence, const Wait& wait,
    FirstContact first) const
{
    const std::string key = keyOf(host, port);
    const std::string seen = tavir::utils::lower(fingerprint);
    const std::string path = where_.path();
    auto refused = [&](const std::string& recorded) {
        sentence = "the certificate of " + key + " has the fingerprint " + seen + ", but " + path
            + " holds " + recorded
            + " for it; the connection was refused (if the server's certificate was changed on "
              "purpose, remove its line from that file)";
        return Verdict::Mismatch;
    };
    return withFile(key, wait, sentence, [&](const std::string& text, std::string& line) {
        const std::string vouched = recordedFingerprint(text, authorityMark + key);
        if (!vouched.empty())
            return refused(vouched + " (a certificate an authority vouched for)");
        const std::string recorded = recordedFingerprint(text, key);
        if (!recorded.empty())
            return recorded == seen ? Verdict::Known : refused(recorded);
        if (first == FirstContact::Leave) {
            sentence = "no certificate is pinned for " + key + " in " + path;
            return Verdict::Unpinned;
        }
        line = lineOf(key, seen);
        sentence = "first connection to " + key + ": its certificate fingerprint " + seen
            + " is now recorded in " + path;
        return Verdict::Recorded;
    });
}

KnownHosts::Verdict KnownHosts::vouched(const std::string& host, unsigned port,
    const std::string& fingerprint, std::string& sentence, const Wait& wait) const
{
    const std::string key = keyOf(host, port);
    return withFile(key, wait, sentence, [&](const std::string& text, std::string& line) {
        if (!recordedFingerprint(text, authorityMark + key).empty())
            return Verdict::Known;
        line = lineOf(authorityMark + key, fingerprint);
        sentence = "an authority vouches for " + key + ", as " + where_.path()
            + " now records: a certificate none vouches for will be refused";
        return Verdict::Recorded;
    });
}

bool KnownHosts::pinnedHere(
    const std::string& host, unsigned port, const std::string& fingerprint) const
{
    return linesWrittenHere().holds(where_.path(), lineOf(keyOf(host, port), fingerprint));
}

bool KnownHosts::vouchedHere(const std::string& host, unsigned port) const
{
    // Whatever certificate it was, as vouched() does not compare it.
    return linesWrittenHere().holdsOneOf(where_.path(), authorityMark + keyOf(host, port));
}

} // namespace tavir::ssl
