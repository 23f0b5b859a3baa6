// The journal of a target's preparation and the lock of the run that made it.
#include "tinydb/PreparationJournal.h"

#include "crypto/StreamDigest.h"
#include "ssl/KnownHosts.h"
#include "tinydb/Sql.h"
#include "utils/StringUtils.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavir::tinydb {

namespace {

// The first line names the format. Format 1, of the versions before this
// one, kept what the target had but not what its run set there, and had no
// end line: it is read only to be named to the administrator, never acted on.
const char* const header = "Tavir Zorp target journal 2";
const char* const oldHeader = "Tavir Zorp target journal 1";
// A journal holds a handful of short rows; anything near this is not one.
constexpr std::size_t maxJournalSize = 64 * 1024;

std::string lastErrno()
{
    return std::strerror(errno);
}

// Fields are separated by tabs and lines by line ends, so those (and the
// escape itself) are escaped inside a field.
std::string escaped(const std::string& field)
{
    std::string out;
    for (char c : field) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string line(const std::vector<std::string>& fields)
{
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i)
        out += (i ? "\t" : "") + escaped(fields[i]);
    return out + "\n";
}

bool splitLine(const std::string& text, std::vector<std::string>& fields)
{
    fields.assign(1, std::string());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c != '\\') {
            fields.back() += c;
        } else if (++i < text.size()) {
            const char next = text[i];
            if (next != '\\' && next != 't' && next != 'n' && next != 'r')
                return false;
            fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
        } else {
            return false;
        }
    }
    return true;
}

bool number(const std::string& text, std::int64_t& out)
{
    if (text.empty() || text.size() > 20)
        return false;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    out = value;
    return true;
}

std::string encodedValue(const Value& value)
{
    switch (value.kind) {
    case Value::Integer:
        return "i:" + std::to_string(value.integer);
    case Value::Text:
        return "t:" + value.text;
    default:
        return "n";
    }
}

bool decodedValue(const std::string& text, Value& out)
{
    if (text == "n") {
        out = Value::null();
        return true;
    }
    if (text.compare(0, 2, "t:") == 0) {
        out = Value::of(text.substr(2));
        return true;
    }
    std::int64_t integer = 0;
    if (text.compare(0, 2, "i:") != 0 || !number(text.substr(2), integer))
        return false;
    out = Value::of(integer);
    return true;
}

std::vector<std::string> runFields(const RunIdentity& run)
{
    return {"run", run.host, std::to_string(run.pid), std::to_string(run.startTime)};
}

bool parseRun(const std::vector<std::string>& fields, RunIdentity& out)
{
    std::int64_t pid = 0;
    if (fields.size() != 4 || fields[0] != "run" || !number(fields[2], pid)
        || !number(fields[3], out.startTime))
        return false;
    out.host = fields[1];
    out.pid = static_cast<long>(pid);
    return true;
}

std::string digestOf(const std::string& text)
{
    crypto::StreamDigestSHA512 digest;
    digest << text;
    return digest.getAsciiDigest(true);
}

// The last line counts the lines before it and carries their digest, so that
// a journal cut at a line end, or with a line added, changed or dropped, is
// told from the one this program wrote.
std::string endLine(const std::string& text, std::size_t lines)
{
    return line({"end", std::to_string(lines), digestOf(text)});
}

std::string recordText(const PreparationJournal::Record& record)
{
    std::string text = std::string(header) + "\n" + line(runFields(record.run))
        + line({"target", record.target}) + line({"list", record.settings.accessList});
    for (const SavedSetting& setting : record.settings.settings) {
        std::vector<std::string> fields = {"setting", setting.table, setting.service};
        for (std::size_t i = 0; i < setting.columns.size(); ++i) {
            fields.push_back(setting.columns[i]);
            fields.push_back(encodedValue(setting.values[i]));
            fields.push_back(encodedValue(setting.set[i]));
        }
        text += line(fields);
    }
    return text + endLine(text, 4 + record.settings.settings.size());
}

// A setting line: the table, the service, then per column its name and its
// values, two in format 1 (what the target had), three since (and what the
// run set).
bool parseSetting(const std::vector<std::string>& fields, bool old, SavedSetting& out)
{
    const std::size_t width = old ? 2 : 3;
    if (fields.size() < 3 + width || (fields.size() - 3) % width != 0)
        return false;
    out = SavedSetting{fields[1], fields[2], {}, {}, {}};
    for (std::size_t i = 3; i < fields.size(); i += width) {
        Value value, set;
        if (!decodedValue(fields[i + 1], value) || (!old && !decodedValue(fields[i + 2], set)))
            return false;
        out.columns.push_back(fields[i]);
        out.values.push_back(std::move(value));
        if (!old)
            out.set.push_back(std::move(set));
    }
    return true;
}

// False, with the number of the line that is not right, for anything this
// program did not write; `old` tells a journal of format 1.
bool parseRecord(
    const std::string& text, PreparationJournal::Record& out, bool& old, std::size_t& bad)
{
    std::size_t start = 0;
    bad = 0;
    old = false;
    bool run = false, target = false, list = false, ended = false;
    while (start < text.size()) {
        ++bad;
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos || ended)
            return false; // cut short, or more after the end
        const std::string raw = text.substr(start, end - start);
        const std::size_t lineStart = start;
        start = end + 1;
        if (bad == 1) {
            old = raw == oldHeader;
            if (raw != header && !old)
                return false;
            continue;
        }
        std::vector<std::string> fields;
        if (!splitLine(raw, fields))
            return false;
        SavedSetting setting;
        if (fields[0] == "run" && !run) {
            run = parseRun(fields, out.run);
            if (!run)
                return false;
        } else if (fields[0] == "target" && fields.size() == 2 && !target) {
            out.target = fields[1];
            target = true;
        } else if (fields[0] == "list" && fields.size() == 2 && !list) {
            out.settings.accessList = fields[1];
            list = true;
        } else if (fields[0] == "setting" && parseSetting(fields, old, setting)) {
            out.settings.settings.push_back(std::move(setting));
        } else if (fields[0] == "end" && !old) {
            const std::string before = text.substr(0, lineStart);
            ended = raw + "\n" == endLine(before, bad - 1);
            if (!ended)
                return false;
        } else {
            return false;
        }
    }
    ++bad;
    return run && target && list && (ended || old);
}

// Letters, digits, '.' and '-' as they are (upper case lowered), ':' as '_',
// anything else as %XX: a file name for any host text.
std::string fileStem(const std::string& target)
{
    std::string out;
    for (unsigned char c : target) {
        if (std::isalnum(c) || c == '.' || c == '-') {
            out += static_cast<char>(std::tolower(c));
        } else if (c == ':') {
            out += '_';
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// A file the journal trusts: a regular file of this user's, closed to others.
bool ownPrivateFile(int fd, const std::string& path, std::string& why)
{
    struct stat info { };
    if (fstat(fd, &info) != 0) {
        why = path + " can't be examined: " + lastErrno();
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        why = path + " is not a private file of this user's (mode 0600)";
        return false;
    }
    return true;
}

// The identity a live run wrote into its lock file. It writes it just after
// it took the lock, so a reader that comes in between finds the identity of
// the run before (which is gone), or a line half written, and looks again
// for a moment rather than name the wrong run or none.
void readHolder(int fd, const std::string& thisHost, RunIdentity& holder)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        char buffer[4096];
        const ssize_t got = pread(fd, buffer, sizeof buffer, 0);
        std::vector<std::string> fields;
        if (got > 0 && buffer[got - 1] == '\n'
            && splitLine(std::string(buffer, static_cast<std::size_t>(got) - 1), fields)
            && parseRun(fields, holder)
            && (holder.host != thisHost || ::kill(static_cast<pid_t>(holder.pid), 0) == 0
                || errno != ESRCH))
            return;
        holder = RunIdentity{};
        usleep(10000);
    }
}

// "Cluster (BackendMode 0, ...), Security (PolicyMode 2)", the secret as the
// journal keeps it.
std::string describedRows(const SavedSettings& settings)
{
    std::string out;
    for (const SavedSetting& setting : settings.settings)
        out += (out.empty() ? "" : ", ") + setting.table
            + (setting.service.empty() ? "" : " " + setting.service) + " ("
            + describedValues(setting.columns, setting.values, "as the journal holds it") + ")";
    return out;
}

} // namespace

RunIdentity RunIdentity::ofThisProcess(std::int64_t startTime)
{
    RunIdentity self;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0)
        self.host = name;
    self.pid = static_cast<long>(getpid());
    self.startTime = startTime;
    return self;
}

std::string RunIdentity::tag() const
{
    std::string shortHost;
    for (unsigned char c : host.substr(0, 64))
        shortHost += std::isalnum(c) || c == '.' || c == '-' ? static_cast<char>(c) : '-';
    return std::to_string(pid) + "_" + std::to_string(startTime) + "_" + shortHost;
}

bool RunIdentity::fromAccessList(const std::string& name, RunIdentity& out)
{
    // "zorp_" and six hexadecimal characters, then "_<pid>_<start>_<host>".
    constexpr std::size_t tagAt = 12;
    if (name.size() <= tagAt || name[tagAt - 1] != '_')
        return false;
    const std::string tag = name.substr(tagAt);
    const std::size_t first = tag.find('_');
    const std::size_t second = first == std::string::npos ? first : tag.find('_', first + 1);
    std::int64_t pid = 0, start = 0;
    if (second == std::string::npos || !number(tag.substr(0, first), pid) || pid <= 0
        || !number(tag.substr(first + 1, second - first - 1), start))
        return false;
    out.pid = static_cast<long>(pid);
    out.startTime = start;
    out.host = tag.substr(second + 1);
    return true;
}

PreparationJournal::PreparationJournal(utils::PrivateLocation folder, std::string target)
    : folder_(std::move(folder))
    , target_(std::move(target))
{
    const std::string stem = "prepared-" + fileStem(target_);
    journalName_ = stem + ".journal";
    lockName_ = stem + ".lock";
    journalPath_ = folder_.path() + "/" + journalName_;
}

PreparationJournal::PreparationJournal(const std::string& folder, std::string target)
    : PreparationJournal(utils::PrivateLocation::ofPath(folder), std::move(target))
{
}

PreparationJournal::~PreparationJournal()
{
    unlock();
}

utils::PrivateLocation PreparationJournal::defaultFolder()
{
    utils::PrivateLocation folder = ssl::KnownHosts::defaultLocation();
    const std::size_t slash = folder.relative.rfind('/');
    folder.relative.erase(slash == std::string::npos ? 0 : slash);
    return folder;
}

PreparationJournal::Lock PreparationJournal::lock(
    const RunIdentity& self, RunIdentity& holder, std::string& why)
{
    if (folder_.base.empty()) {
        why = "there is no folder to keep the journal of the target's settings in (HOME is not "
              "set)";
        return Lock::Failed;
    }
    // Whoever may write here could plant a journal whose "original"
    // settings (a master password among them) the next start would put on
    // the target: the folder and those above it must be ours alone.
    if (!folderFd_.valid() && !(folderFd_ = utils::openPrivateFolder(folder_, true, why)).valid())
        return Lock::Failed;
    const std::string lockPath = folder_.path() + "/" + lockName_;
    // A holder that lets the lock go with no journal left removes the lock
    // file (unlock()): a lock taken on a file no longer under its name
    // guards nothing, and is taken again on the one that is.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Lock taken = lockOnce(self, holder, why, lockPath);
        if (taken != Lock::Taken || lockNamesLockedFile())
            return taken;
        unlock();
    }
    why = "the lock file " + lockPath + " kept being removed by other runs";
    return Lock::Failed;
}

bool PreparationJournal::lockNamesLockedFile() const
{
    struct stat named { };
    struct stat locked { };
    return fstatat(folderFd_.get(), lockName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && fstat(lockFd_.get(), &locked) == 0 && named.st_dev == locked.st_dev
        && named.st_ino == locked.st_ino;
}

PreparationJournal::Lock PreparationJournal::lockOnce(
    const RunIdentity& self, RunIdentity& holder, std::string& why, const std::string& lockPath)
{
    if (!lockFd_.valid()) {
        lockFd_.reset(::openat(folderFd_.get(), lockName_.c_str(),
            O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!lockFd_.valid()) {
            why = "the lock file " + lockPath + " can't be opened: " + lastErrno();
            return Lock::Failed;
        }
        if (!ownPrivateFile(lockFd_.get(), "the lock file " + lockPath, why)) {
            unlock();
            return Lock::Failed;
        }
    }
    int locked;
    do {
        locked = flock(lockFd_.get(), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const bool busy = errno == EWOULDBLOCK;
        why = "the lock file " + lockPath + " can't be locked: " + lastErrno();
        holder = RunIdentity{};
        if (busy)
            readHolder(lockFd_.get(), self.host, holder);
        unlock();
        return busy ? Lock::Busy : Lock::Failed;
    }
    const std::string identity = line(runFields(self));
    // Written over the old identity, then cut to its length: a reader never
    // finds the file empty, and a line mixed with the old one doesn't parse.
    if (pwrite(lockFd_.get(), identity.data(), identity.size(), 0)
            != static_cast<ssize_t>(identity.size())
        || ftruncate(lockFd_.get(), static_cast<off_t>(identity.size())) != 0) {
        why = "the lock file " + lockPath + " can't be written: " + lastErrno();
        unlock();
        return Lock::Failed;
    }
    return Lock::Taken;
}

void PreparationJournal::unlock()
{
    // Nothing to put back: the lock file goes too (still under the lock),
    // so that a target never changed, or put back whole, leaves nothing
    // here.
    if (lockFd_.valid() && lockNamesLockedFile()) {
        struct stat journal { };
        if (fstatat(folderFd_.get(), journalName_.c_str(), &journal, AT_SYMLINK_NOFOLLOW) != 0
            && errno == ENOENT)
            ::unlinkat(folderFd_.get(), lockName_.c_str(), 0);
    }
    lockFd_.reset();
}

PreparationJournal::Read PreparationJournal::read(Record& out, std::string& why)
{
    if (!lockFd_.valid()) {
        why = "the journal " + journalPath_ + " is read only under its lock";
        return Read::Failed;
    }
    // Not blocking: a FIFO in the journal's place must not hold the start
    // (and the lock) until someone writes to it; it is refused as not a
    // regular file before anything is read.
    const utils::Descriptor fd(::openat(
        folderFd_.get(), journalName_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT)
        return Read::None;
    if (!fd.valid()) {
        why = "the journal " + journalPath_ + " can't be opened: " + lastErrno();
        return Read::Failed;
    }
    std::string text;
    if (!ownPrivateFile(fd.get(), "the journal " + journalPath_, why))
        return Read::Failed;
    if (!utils::readAll(fd.get(), maxJournalSize, text)) {
        why = "the journal " + journalPath_ + " can't be read: " + lastErrno();
        return Read::Failed;
    }
    out = Record{};
    std::size_t bad = 0;
    bool old = false;
    if (!parseRecord(text, out, old, bad)) {
        why = "the journal " + journalPath_ + " is not one this program wrote (line "
            + std::to_string(bad) + ")";
        return Read::Failed;
    }
    if (old) {
        why = "the journal " + journalPath_
            + " was written by an earlier version of this program, which did not keep what its "
              "migration set, so that what was changed since can't be told apart; before that "
              "migration the target had "
            + describedRows(out.settings)
            + (out.settings.accessList.empty()
                    ? std::string()
                    : ", and that migration's IP access list is " + out.settings.accessList);
        return Read::Failed;
    }
    if (utils::lower(out.target) != utils::lower(target_)) {
        why = "the journal " + journalPath_ + " is of the target " + out.target + ", not of "
            + target_;
        return Read::Failed;
    }
    return Read::Found;
}

bool PreparationJournal::write(const Record& record, std::string& why)
{
    if (!lockFd_.valid()) {
        why = "the journal " + journalPath_ + " is written only under its lock";
        return false;
    }
    for (const SavedSetting& setting : record.settings.settings) {
        if (setting.values.size() != setting.columns.size()
            || setting.set.size() != setting.columns.size()) {
            why = "the journal " + journalPath_
                + " can't be written without what the migration "
                  "sets in "
                + setting.table;
            return false;
        }
    }
    const std::string temporary = journalName_ + ".new";
    // Ours alone under the lock: a left-over one is from a run that died.
    const int folder = folderFd_.get();
    if (::unlinkat(folder, temporary.c_str(), 0) != 0 && errno != ENOENT) {
        why = "the old " + folder_.path() + "/" + temporary + " can't be removed: " + lastErrno();
        return false;
    }
    utils::Descriptor fd(::openat(
        folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        why = "the journal " + journalPath_ + " can't be written: " + lastErrno();
        return false;
    }
    bool ok = utils::writeAll(fd.get(), recordText(record)) && fsync(fd.get()) == 0;
    const int saved = errno;
    fd.reset();
    errno = saved;
    ok = ok && ::renameat(folder, temporary.c_str(), folder, journalName_.c_str()) == 0
        && fsync(folder) == 0;
    if (!ok) {
        why = "the journal " + journalPath_ + " can't be written: " + lastErrno();
        ::unlinkat(folder, temporary.c_str(), 0);
        return false;
    }
    return true;
}

bool PreparationJournal::remove(std::string& why)
{
    if (!lockFd_.valid()) {
        why = "the journal " + journalPath_ + " is removed only under its lock";
        return false;
    }
    if ((::unlinkat(folderFd_.get(), journalName_.c_str(), 0) != 0 && errno != ENOENT)
        || fsync(folderFd_.get()) != 0) {
        why = "the journal " + journalPath_ + " can't be removed: " + lastErrno();
        return false;
    }
    return true;
}

} // namespace tavir::tinydb
