// Trust on first use for the administration servers' certificates.
#include "tinydb/KnownHosts.h"

#include "utils/KFile.h"
#include "utils/PathUtils.h"
#include "utils/StringUtils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavir::tinydb {

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

KnownHosts::KnownHosts(std::string path)
    : path_(std::move(path))
{
}

std::string KnownHosts::defaultPath()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    return std::string(home) + "/.tavir/admin/known_hosts.cfg";
}

KnownHosts::Verdict KnownHosts::check(const std::string& host, unsigned port,
    const std::string& fingerprint, std::string& sentence) const
{
    const std::string key = lower(host) + ":" + std::to_string(port);
    const std::string seen = lower(fingerprint);
    if (path_.empty()) {
        sentence = "no known-hosts file to pin " + key + " in (HOME is not set)";
        return Verdict::Failed;
    }
    std::string folder = tavir::utils::getParentDirectory(path_);
    if (!folder.empty() && !tavir::utils::createDirectoryRecursive(folder, 0700)) {
        sentence = "the folder " + folder
            + " of the known-hosts file can't be made: " + std::strerror(errno);
        return Verdict::Failed;
    }
    tavir::utils::KFile file; // created 0600
    if (!file.open(path_.c_str(), "a+") || !file.writeLock()) {
        sentence = "the known-hosts file " + path_ + " can't be opened: " + std::strerror(errno);
        return Verdict::Failed;
    }
    std::string text;
    if (!readAll(file, text)) {
        file.close();
        sentence = "the known-hosts file " + path_ + " can't be read";
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
                = "the known-hosts file " + path_ + " can't be written: " + std::strerror(errno);
            verdict = Verdict::Failed;
        } else {
            sentence = "first connection to " + key + ": its certificate fingerprint " + seen
                + " is now recorded in " + path_;
            verdict = Verdict::Recorded;
        }
    } else if (recorded != seen) {
        sentence = "the certificate of " + key + " has the fingerprint " + seen + ", but " + path_
            + " holds " + recorded + " for it; the connection was refused";
        verdict = Verdict::Mismatch;
    }
    file.unlock();
    file.close();
    return verdict;
}

} // namespace tavir::tinydb
