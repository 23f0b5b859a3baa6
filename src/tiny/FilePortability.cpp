#include "tiny/FilePortability.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace tavir::tiny {

namespace {

DIR* wrapStream(::DIR* stream, const char* path)
{
    if (!stream)
        return nullptr;
    DIR* dir = static_cast<DIR*>(std::malloc(sizeof(DIR)));
    char* copy = dir ? strdup(path) : nullptr;
    if (!dir || !copy) {
        const int saved = errno;
        ::closedir(stream);
        std::free(dir);
        errno = saved ? saved : ENOMEM;
        return nullptr;
    }
    dir->stream = stream;
    dir->path = copy;
    return dir;
}

// Opens a directory below a tree being removed without following a link that
// may have replaced it since its type was read.
DIR* opendirNoFollow(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return nullptr;
    ::DIR* stream = fdopendir(fd);
    if (!stream) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    return wrapStream(stream, path);
}

std::string joinPath(const std::string& dir, const char* name)
{
    std::string full = dir;
    if (full.empty() || full.back() != '/')
        full += '/';
    full += name;
    return full;
}

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int removeTree(DIR* dir, const char* path)
{
    if (!dir)
        return -1;
    int result = 0;
    dirent entry;
    dirent* got = nullptr;
    for (;;) {
        if (readdirstat_r(dir, &entry, &got) != 0) {
            result = -1;
            break;
        }
        if (!got)
            break;
        if (isDotOrDotDot(entry.d_name))
            continue;
        const std::string full = std::string(path) + "/" + entry.d_name;
        if (entry.d_type == DT_DIR) {
            if (removeTree(opendirNoFollow(full.c_str()), full.c_str()) != 0)
                result = -1;
        } else if (::unlink(full.c_str()) != 0) {
            result = -1;
        }
    }
    closedir(dir);
    if (::rmdir(path) != 0)
        return -1;
    return result;
}

} // namespace

DIR* opendir(const char* path)
{
    if (!path) {
        errno = ENOENT;
        return nullptr;
    }
    return wrapStream(::opendir(path), path);
}

int closedir(DIR* dir)
{
    if (!dir)
        return 0;
    const int rc = ::closedir(dir->stream);
    if (rc != 0)
        return rc;
    std::free(dir->path);
    std::free(dir);
    return 0;
}

void fillInType(dirent* entry, const char* dirPath)
{
    if (!entry || !dirPath)
        return;
    struct stat st;
    if (::lstat(joinPath(dirPath, entry->d_name).c_str(), &st) != 0)
        return;
    switch (st.st_mode & S_IFMT) {
    case S_IFREG:
        entry->d_type = DT_REG;
        break;
    case S_IFLNK:
        entry->d_type = DT_LNK;
        break;
    case S_IFSOCK:
        entry->d_type = DT_SOCK;
        break;
    case S_IFIFO:
        entry->d_type = DT_FIFO;
        break;
    case S_IFCHR:
        entry->d_type = DT_CHR;
        break;
    case S_IFDIR:
        entry->d_type = DT_DIR;
        break;
    case S_IFBLK:
        entry->d_type = DT_BLK;
        break;
    default:
        break;
    }
}

dirent* readdirstat(DIR* dir)
{
    if (!dir)
        return nullptr;
    dirent* entry = ::readdir(dir->stream);
    if (entry)
        fillInType(entry, dir->path);
    return entry;
}

// readdir_r is deprecated: readdir on one stream is safe as long as one
// thread reads that stream, and the entry is copied into the caller's buffer.
int readdirstat_r(DIR* dir, dirent* entry, dirent** result)
{
    if (!dir || !entry || !result)
        return EINVAL;
    *result = nullptr;
    const int saved = errno;
    errno = 0;
    dirent* next = ::readdir(dir->stream);
    if (!next) {
        const int err = errno;
        errno = saved;
        return err;
    }
    errno = saved;
    const size_t nameLen = strnlen(next->d_name, sizeof entry->d_name - 1);
    std::memcpy(entry, next, offsetof(dirent, d_name));
    std::memcpy(entry->d_name, next->d_name, nameLen);
    entry->d_name[nameLen] = '\0';
    fillInType(entry, dir->path);
    *result = entry;
    return 0;
}

DirStreamGuard::DirStreamGuard(const char* path)
    : dir_(path ? opendir(path) : nullptr)
{
}

DirStreamGuard::~DirStreamGuard()
{
    closedir(dir_);
}

std::string ansiPathToPathString(const char* path)
{
    return path ? std::string(path) : std::string();
}

int k_mkdir(const char* path, int mode, int flags)
{
    if (!path || !*path)
        return -1;
    return k_wmkdir(path, mode, flags);
}

int k_wmkdir(const char* path, int mode, int flags)
{
    std::string p = path ? path : "";
    while (!p.empty() && p.back() == '/')
        p.pop_back();
    if (p.empty()) {
        errno = 0;
        return 0;
    }
    const mode_t m = static_cast<mode_t>(mode & 0xffff);
    if (flags & 1) {
        for (size_t i = 0; i < p.size(); ++i) {
            if (p[i] != '/')
                continue;
            const size_t runStart = i;
            while (i + 1 < p.size() && p[i + 1] == '/')
                ++i;
            if (runStart == 0)
                continue;
            const std::string prefix = p.substr(0, runStart);
            struct stat st;
            if (::stat(prefix.c_str(), &st) != 0 && ::mkdir(prefix.c_str(), m) != 0)
                return -1;
        }
    }
    errno = 0;
    return ::mkdir(p.c_str(), m);
}

int removedir(const char* path)
{
    return ::rmdir(path);
}

int removeDirWithContent(const char* path)
{
    if (!path) {
        errno = ENOENT;
        return -1;
    }
    // A link named as the tree is refused rather than emptying what it
    // points to; links below are unlinked, never followed.
    return removeTree(opendirNoFollow(path), path);
}

namespace {

int copyTree(const std::string& source, const std::string& target, bool recursive,
    const std::vector<boost::filesystem::path>& canonicalExcluded)
{
    namespace fs = boost::filesystem;
    if (::access(target.c_str(), F_OK) != 0
        && k_mkdir(target.c_str(), 0700, recursive ? 1 : 0) != 0)
        return 1;
    DirStreamGuard guard(source.c_str());
    DIR* dir = guard.getDir();
    if (!dir)
        return 1;
    while (dirent* entry = readdirstat(dir)) {
        const char* name = entry->d_name;
        if (!canonicalExcluded.empty() && !isDotOrDotDot(name)) {
            // An entry whose path can't be made canonical (a dangling link)
            // is compared by its plain absolute path instead of letting an
            // exception escape from a function that reports by result code.
            boost::system::error_code canonicalError;
            fs::path own
                = fs::canonical(fs::path(source) / name, fs::current_path(), canonicalError);
            if (canonicalError)
                own = fs::absolute(fs::path(source) / name);
            bool skip = false;
            for (const fs::path& ex : canonicalExcluded) {
                if (own == ex) {
                    skip = true;
                    break;
                }
                boost::system::error_code ec;
                if (fs::equivalent(own, ex, ec) && !ec) {
                    skip = true;
                    break;
                }
            }
            if (skip)
                continue;
        }
        if (entry->d_type == DT_REG) {
            const std::string from = joinPath(source, name);
            const std::string to = joinPath(target, name);
            const int rc = filecopy(from.c_str(), to.c_str(), 0, false);
            if (rc == 1)
                return 2;
            if (rc == 2)
                return 3;
        } else if (entry->d_type == DT_DIR) {
            if (!recursive || isDotOrDotDot(name))
                continue;
            const std::string subSource = source + "/" + name;
            const std::string subTarget = target + "/" + name;
            const int rc = copyTree(subSource, subTarget, true, canonicalExcluded);
            if (rc != 0)
                return rc;
        }
    }
    return 0;
}

} // namespace

int copyDirectoryWithContent(const std::string& source, const std::string& target, bool recursive,
    const std::vector<std::string>& excluded)
{
    namespace fs = boost::filesystem;
    // The exclusions are made canonical once; one that doesn't exist is
    // left out. The walk itself opens the source first so that a missing
    // source gives 1 before any exclusion is looked at.
    std::vector<fs::path> canonicalExcluded;
    for (const std::string& ex : excluded) {
        boost::system::error_code ec;
        fs::path p = fs::canonical(fs::path(ex), fs::current_path(), ec);
        if (!ec)
            canonicalExcluded.push_back(p);
    }
    return copyTree(source, target, recursive, canonicalExcluded);
}

int filecopy(const char* source, const char* target, int failIfExists, bool copyMode)
{
    if (!source || !target) {
        errno = EINVAL;
        return !source ? 1 : 2;
    }
    if (failIfExists) {
        if (FILE* existing = std::fopen(target, "rb")) {
            std::fclose(existing);
            errno = EEXIST;
            return 2;
        }
    }
    FILE* in = std::fopen(source, "rb");
    if (!in)
        return 1;
    // With failIfExists the target is created exclusively, so that a file
    // made in between (or one we may not read) is never overwritten.
    FILE* out = std::fopen(target, failIfExists ? "wbx" : "wb");
    if (!out) {
        const int saved = errno;
        std::fclose(in);
        errno = saved;
        return 2;
    }
    if (copyMode) {
        struct stat st;
        if (::fstat(fileno(in), &st) == 0)
            ::fchmod(fileno(out), st.st_mode & 07777);
    }
    char buf[4096];
    for (;;) {
        const size_t got = std::fread(buf, 1, sizeof buf, in);
        if (got == 0)
            break;
        if (std::fwrite(buf, 1, got, out) < got)
            break;
    }
    int result = 0;
    if (std::ferror(in))
        result = 1;
    else if (std::ferror(out))
        result = 2;
    int savedErrno = errno;
    // Buffered bytes only reach the file here: a full disk may show only now,
    // and that must not pass for a complete copy.
    if (std::fflush(out) != 0 && result == 0) {
        result = 2;
        savedErrno = errno;
    }
    std::fclose(in);
    if (std::fclose(out) != 0 && result == 0) {
        result = 2;
        savedErrno = errno;
    }
    if (savedErrno != 0)
        errno = savedErrno;
    return result;
}

int k_ftruncate(int fd, long long length)
{
    int againLeft = 3;
    off_t pos;
    for (;;) {
        pos = length < 0 ? ::lseek(fd, 0, SEEK_CUR)
                         : ::lseek(fd, static_cast<off_t>(length), SEEK_SET);
        if (pos != static_cast<off_t>(-1))
            break;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && --againLeft > 0)
            continue;
        return -1;
    }
    for (;;) {
        if (::ftruncate(fd, pos) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && --againLeft > 0)
            continue;
        return -1;
    }
}

int fseek64(FILE* f, long long offset, int whence)
{
    if (!f)
        return 0;
    return fseeko(f, static_cast<off_t>(offset), whence);
}

long long ftell64(FILE* f)
{
    if (!f)
        return 0;
    return ftello(f);
}

int fext(const char* name, const char* ext)
{
    if (!name || !ext)
        return 0;
    const size_t n = std::strlen(name);
    const size_t e = std::strlen(ext);
    if (n < e)
        return 0;
    return strcasecmp(name + n - e, ext) == 0 ? 1 : 0;
}

} // namespace tavir::tiny
