// Trust on first use: the pinned servers' certificate fingerprints.
#include "ssl/KnownHosts.h"

#include "tiny/Time.h"
#include "utils/KFile.h"
#include "utils/StringUtils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

namespace tavir::ssl {

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A known-hosts file holds a line per server; anything near this size is
// not one, and reading stops there rather than filling memory.
constexpr std::size_t maxFileSize = 1 << 20;

// Another program adds its line in a moment; one that holds the lock for
// longer than this has hung, and a connection must not wait for it.
constexpr int lockWaitMs = 10000;

bool lockWithin(tavir::utils::KFile& file, int ms)
{
    // Short waits first: the usual holder is another connection adding one
    // line.
    for (int waited = 0, step = 1; !file.tryWriteLock();
         waited += step, step = std::min(step * 2, 50)) {
        if (waited >= ms)
            return false;
        tavir::tiny::msleep(step);
    }
    return true;
}

// The whole file, read from its start; false when it is too large or a read
// failed.
bool readAll(tavir::utils::KFile& file, std::string& text)
{
    file.i_seek(0, SEEK_SET);
    char buffer[4096];
    std::size_t got;
    while ((got = file.read(buffer, sizeof buffer)) > 0) {
        text.append(buffer, got);
        if (text.size() > maxFileSize)
            return false;
    }
    return !file.lastReadFailed();
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
        if (split != std::string::npos && lower(line.substr(0, split)) == key)
            return lower(tavir::utils::trimRight(line.substr(split + 2)));
    }
    return {};
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

KnownHosts::Verdict KnownHosts::check(const std::string& host, unsigned port,
    const std::string& fingerprint, std::string& sentence) const
{
    const std::string key = lower(host) + ":" + std::to_string(port);
    const std::string seen = lower(fingerprint);
    const std::string path = where_.path();
    if (where_.base.empty()) {
        sentence = "no known-hosts file to pin " + key + " in (HOME is not set)";
        return Verdict::Failed;
    }
    std::string refusal;
    const int fd = utils::openPrivateFile(where_, O_RDWR | O_CREAT | O_APPEND, refusal);
    if (fd < 0) {
        sentence = "the certificate of " + key + " can't be checked: " + refusal;
        return Verdict::Failed;
    }
    utils::KFile file;
    file.adopt(fd);
    if (!lockWithin(file, lockWaitMs)) {
        sentence = "the known-hosts file " + path + " stayed locked by another program for "
            + std::to_string(lockWaitMs / 1000) + " seconds";
        return Verdict::Failed;
    }
    std::string text;
    if (!readAll(file, text)) {
        file.close();
        sentence = "the known-hosts file " + path + " can't be read";
        return Verdict::Failed;
    }
    std::string recorded = recordedFingerprint(text, key);
    Verdict verdict = Verdict::Known;
    if (recorded.empty()) {
        // A last line without its line end (an edit by hand) is ended first.
        std::string line
            = (text.empty() || text.back() == '\n' ? "" : "\n") + key + ": " + seen + "\n";
        if (file.write(line.data(), line.size()) != line.size() || file.flush() != 0) {
            sentence
                = "the known-hosts file " + path + " can't be written: " + std::strerror(errno);
            verdict = Verdict::Failed;
        } else {
            sentence = "first connection to " + key + ": its certificate fingerprint " + seen
                + " is now recorded in " + path;
            verdict = Verdict::Recorded;
        }
    } else if (recorded != seen) {
        sentence = "the certificate of " + key + " has the fingerprint " + seen + ", but " + path
            + " holds " + recorded
            + " for it; the connection was refused (if the server's certificate was changed on "
              "purpose, remove its line from that file)";
        verdict = Verdict::Mismatch;
    }
    file.unlock();
    file.close();
    return verdict;
}

} // namespace tavir::ssl
