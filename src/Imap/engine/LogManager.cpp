// The two log files: appended to by whole lines under one lock each.
#include "Imap/engine/LogManager.h"

#include "utils/SingletonFactory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

const char byteOrderMark[] = "\xEF\xBB\xBF";

} // namespace

LogManager& LogManager::instance()
{
    return *utils::SingletonFactory<LogManager, utils::NoDestroy>::getInstance();
}

bool LogManager::open(const std::string& reportFile, const std::string& debugFile)
{
    std::string why;
    return open(reportFile, debugFile, why);
}

bool LogManager::open(const std::string& reportFile, const std::string& debugFile, std::string& why)
{
    KMutexLocker lock(initLock_);
    std::string reportWhy, debugWhy;
    const bool report = report_.open(reportFile, reportWhy);
    const bool debug = debug_.open(debugFile, debugWhy);
    if (report)
        report_.beginPart();
    why = !report ? "the report " + reportFile + " can't be opened: " + reportWhy
        : !debug  ? "the debug log " + debugFile + " can't be opened: " + debugWhy
                  : std::string();
    return report && debug;
}

void LogManager::close()
{
    KMutexLocker lock(initLock_);
    report_.close();
    debug_.close();
}

std::string LogManager::entry(const std::string& message)
{
    std::string text = masked(message);
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

std::string LogManager::writeDebugLine(const std::string& stamp, const std::string& message)
{
    std::string made = entry(message);
    debug_.append(stamp + made + '\n');
    return made;
}

void LogManager::writeReport(const std::string& block)
{
    report_.append(masked(block));
}

void LogManager::beginReportPart()
{
    report_.beginPart();
}

void LogManager::hideSecrets(const std::vector<std::string>& secrets)
{
    KMutexLocker adding(addLock_);
    auto mask = std::make_shared<const SecretMask>(currentMask()->with(secrets));
    KMutexLocker lock(secretsLock_);
    secrets_ = std::move(mask);
}

std::shared_ptr<const SecretMask> LogManager::currentMask()
{
    KMutexLocker lock(secretsLock_);
    return secrets_;
}

std::string LogManager::masked(const std::string& text)
{
    return currentMask()->apply(text);
}

bool LogManager::File::open(const std::string& path, std::string& why)
{
    close();
    if (path.empty()) {
        why = "no file was named";
        return false;
    }
    // Two runs started in the same second share their log folder, so a file
    // that exists already is appended to, never truncated.
    // Read too, for the end of an earlier run's lines (a file only we may
    // write but not read is still written to).
    utils::Descriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!fd.valid() && errno == EACCES)
        fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        why = std::strerror(errno);
        return false;
    }
    // The lock keeps a second process that opens the same new file at the
    // same moment from writing a second mark.
    bool ok = flock(fd.get(), LOCK_EX) == 0;
    struct stat info;
    ok = ok && fstat(fd.get(), &info) == 0;
    if (ok && info.st_size == 0)
        ok = utils::writeAll(fd.get(), byteOrderMark);
    if (!ok)
        why = std::strerror(errno);
    flock(fd.get(), LOCK_UN);
    if (!ok)
        return false;
    KMutexLocker lock(lock_);
    fd_ = std::move(fd);
    blankLineFirst_ = false;
    return true;
}

void LogManager::File::beginPart()
{
    KMutexLocker lock(lock_);
    struct stat info;
    if (!fd_.valid() || fstat(fd_.get(), &info) != 0
        || info.st_size <= static_cast<off_t>(sizeof byteOrderMark - 1))
        return;
    char end[2] = {};
    blankLineFirst_
        = pread(fd_.get(), end, 2, info.st_size - 2) != 2 || end[0] != '\n' || end[1] != '\n';
}

void LogManager::File::close()
{
    KMutexLocker lock(lock_);
    fd_.reset();
}

void LogManager::File::append(const std::string& bytes)
{
    KMutexLocker lock(lock_);
    // A failed write (a full disk) can't be reported anywhere; the
    // migration goes on.
    if (!fd_.valid() || bytes.empty())
        return;
    if (blankLineFirst_) {
        blankLineFirst_ = false;
        utils::writeAll(fd_.get(), "\n" + bytes);
        return;
    }
    utils::writeAll(fd_.get(), bytes);
}

} // namespace tavir::migration
