#include "utils/PathUtils.h"

#include "utils/DirTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tavir::utils {

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

std::string unifySeparators(const std::string& path, bool trailingSlash)
{
    std::string out;
    out.reserve(path.size() + 1);
    for (char c : path) {
        if (isSeparator(c)) {
            if (!out.empty() && out.back() == '/')
                continue;
            out.push_back('/');
        } else {
            out.push_back(c);
        }
    }
    if (trailingSlash && (out.empty() || out.back() != '/'))
        out.push_back('/');
    return out;
}

// `path` has single "/" separators only.
std::string resolveDots(const std::string& path)
{
    if (path.empty() || path == "/")
        return path;
    const bool absolute = path.front() == '/';
    const bool trailing = path.back() == '/';

    std::vector<std::string> parts;
    size_t pos = absolute ? 1 : 0;
    while (pos < path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        parts.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }

    // A "." or ".." standing first is kept as it is and never cancelled.
    std::vector<std::string> kept;
    bool fixedFirst = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (i == 0) {
            fixedFirst = part == "." || part == "..";
            kept.push_back(part);
            continue;
        }
        if (part == ".")
            continue;
        if (part == "..") {
            const bool cancellable
                = !kept.empty() && kept.back() != ".." && !(kept.size() == 1 && fixedFirst);
            if (cancellable)
                kept.pop_back();
            else if (!(absolute && kept.empty()))
                kept.push_back(part); // nothing above the root of an absolute path
            continue;
        }
        kept.push_back(part);
    }

    std::string out = absolute ? "/" : "";
    if (kept.empty())
        return absolute ? out : std::string(trailing ? "./" : ".");
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i)
            out.push_back('/');
        out += kept[i];
    }
    if (trailing)
        out.push_back('/');
    return out;
}

bool currentDirectory(std::string& out)
{
    std::vector<char> buffer(PATH_MAX + 1);
    if (!getcwd(buffer.data(), buffer.size()))
        return false;
    out = buffer.data();
    return true;
}

} // namespace

std::string normalizePath(const std::string& path, bool trailingSlash, bool)
{
    return unifySeparators(path, trailingSlash);
}

std::string normalizePath(const std::string& path, bool trailingSlash, bool, bool dots)
{
    std::string out = unifySeparators(path, trailingSlash);
    return dots ? resolveDots(out) : out;
}

std::string normalizeFileName(std::string& name, bool trailingSlash)
{
    name = unifySeparators(name, trailingSlash);
    return name;
}

std::string normalizePathName(const std::string& path)
{
    std::string out = path;
    for (char& c : out)
        if (c == '\\')
            c = '/';
    if (!out.empty() && out.back() != '/')
        out.push_back('/');
    return out;
}

std::string getParentDirectory(const std::string& path)
{
    const size_t n = path.size();
    if (n == 0)
        return std::string();
    // Search from before the last character, or before the last two when the
    // path ends in a separator.
    const size_t skip = isSeparator(path[n - 1]) ? 2 : 1;
    size_t found = std::string::npos;
    if (n >= skip + 1) {
        const size_t from = n - skip - 1;
        found = path.rfind('/', from);
        if (found == std::string::npos)
            found = path.rfind('\\', from);
    }
    if (found == 1)
        return path;
    if ((n == 2 || n == 3) && path[1] == ':')
        return path;
    if (found == std::string::npos)
        return std::string();
    return path.substr(0, found + 1);
}

std::string extractFileName(const std::string& path)
{
    size_t slash = path.rfind('/');
    size_t backslash = path.rfind('\\');
    size_t last;
    if (slash == std::string::npos)
        last = backslash;
    else if (backslash == std::string::npos)
        last = slash;
    else
        last = slash > backslash ? slash : backslash;
    return last == std::string::npos ? path : path.substr(last + 1);
}

std::string executableFolder()
{
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return std::string();
    std::string exe(buffer, static_cast<size_t>(length));
    std::string::size_type slash = exe.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return exe.substr(0, slash);
}

bool fullPath(char* resolved, const char* path, int size)
{
    if (!resolved || !path || size <= 0) {
        errno = EINVAL;
        return false;
    }
    // realpath may write up to PATH_MAX bytes into a caller's buffer; let it
    // allocate instead and copy only what fits.
    char* real = realpath(path, nullptr);
    if (!real)
        return false;
    const size_t len = std::strlen(real);
    const bool fits = len < static_cast<size_t>(size);
    if (fits)
        std::memcpy(resolved, real, len + 1);
    std::free(real);
    if (!fits)
        errno = ENAMETOOLONG;
    return fits;
}

bool fullPath(std::string& out, const std::string& path, bool mustExist)
{
    std::string absolute;
    if (!path.empty() && isSeparator(path[0])) {
        absolute = path;
    } else {
        if (!currentDirectory(absolute))
            return false;
        if (!path.empty()) {
            if (absolute.empty() || absolute.back() != '/')
                absolute.push_back('/');
            absolute += path;
        }
    }
    out = normalizePath(absolute, false, false, true);
    if (out.size() > PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!mustExist)
        return true;
    struct stat st;
    return lstat(out.c_str(), &st) == 0;
}

bool createDirectoryRecursive(const std::string& path)
{
    return createDirectoryRecursive(path, 0777);
}

bool createDirectoryRecursive(const std::string& path, unsigned int mode)
{
    if (path.empty())
        return true;
    // "\" separates like "/" here as everywhere in these helpers; handed to
    // mkdir as it stands it would make directories with "\" in their names.
    std::string p = path;
    for (char& c : p)
        if (c == '\\')
            c = '/';
    for (size_t i = 1; i < p.size(); ++i)
        if (p[i] == '/' && p[i - 1] != '/')
            mkdir(p.substr(0, i).c_str(), mode); // failures on the way are judged below
    if (mkdir(p.c_str(), mode) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    // Something holds the name: only a directory (or a link to one) will do.
    struct stat st;
    if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    errno = EEXIST;
    return false;
}

bool fileExists(const char* path, bool useLstat)
{
    bool isDir = false;
    return fileExists(path, useLstat, isDir, false);
}

bool fileExists(const char* path, bool useLstat, bool& isDir, bool linkIsMissing)
{
    isDir = false;
    if (!path)
        return false;
    std::string p = path;
    if (p.size() >= 2 && p.back() == '/')
        p.pop_back();
    struct stat st;
    if ((useLstat ? lstat(p.c_str(), &st) : stat(p.c_str(), &st)) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return !linkIsMissing;
    isDir = S_ISDIR(st.st_mode);
    return true;
}

uint64_t fileSize(const std::string& path, bool followLinks)
{
    struct stat st;
    if ((followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0)
        return 0;
    if (!S_ISREG(st.st_mode))
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

bool getFileTimeSize(const char* path, time_t& mtime, unsigned long& size)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return false;
    mtime = st.st_mtime;
    size = static_cast<unsigned long>(st.st_size);
    return true;
}

bool k_touch(const std::string& path, time_t when, KFlags<TouchOption> which)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    // "Now" is the kernel's own clock, the one it stamped the last write
    // with: time() reads a coarser clock that can lag it into the second
    // before, and would move a just-written file's stamp backwards.
    const long chosen = when == 0 ? UTIME_NOW : 0;
    // The stamp that is not chosen is left exactly as it is.
    struct timespec times[2];
    times[0].tv_sec = when;
    times[0].tv_nsec = which.test(TouchAccessTime) ? chosen : UTIME_OMIT;
    times[1].tv_sec = when;
    times[1].tv_nsec = which.test(TouchModificationTime) ? chosen : UTIME_OMIT;
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool loadTextFile(const char* path, std::string& out)
{
    if (!path)
        return false;
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    std::string content;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        content.append(chunk, got);
    // A read error (a directory, an I/O failure) is not a loaded file.
    const bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok)
        return false;
    out.swap(content);
    return true;
}

bool removeFiles(const std::string& dir, const std::string& pattern)
{
    bool ok = true;
    try {
        DirTree walk(pattern, false, true, false, dir);
        for (; !walk.end(); ++walk) {
            if (walk.isFile() && std::remove(walk.getFullName().c_str()) != 0)
                ok = false;
        }
    } catch (const boost::regex_error&) {
        return false; // a pattern that doesn't compile removes nothing
    }
    return ok;
}

uint64_t dirSize(const std::string& dir, const std::set<std::string>& excluded)
{
    ::DIR* d = opendir(dir.c_str());
    if (!d)
        return 0;
    uint64_t total = 0;
    const std::string prefix = (!dir.empty() && dir.back() == '/') ? dir : dir + "/";
    while (struct dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        const std::string full = prefix + e->d_name;
        if (excluded.count(full))
            continue;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            total += dirSize(full, std::set<std::string>());
        else if (S_ISREG(st.st_mode))
            total += static_cast<uint64_t>(st.st_size);
    }
    closedir(d);
    return total;
}

} // namespace tavir::utils
