// Opening the program's own files below the home folder one folder at a
// time, each opened relative to the one above it, so that nothing can swap a
// folder for a link between a check and the use.
#include "utils/PrivateFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavir::utils {

namespace {

int openAt(int folder, const char* name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(folder, name, flags | O_CLOEXEC | O_NOFOLLOW, mode);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

const char* kindOf(bool folder)
{
    return folder ? "folder" : "file";
}

// Why `name` in `folder` could not be opened without following a link:
// O_NOFOLLOW gives ELOOP for a link (and a folder's O_DIRECTORY ENOTDIR),
// and O_NONBLOCK gives ENXIO for a FIFO or socket nobody reads.
std::string openFailure(int folder, const char* name, const std::string& path, bool isFolder)
{
    const int error = errno;
    const std::string what = std::string("the ") + kindOf(isFolder) + " " + path;
    struct stat st { };
    if ((error == ELOOP || error == ENOTDIR || error == ENXIO)
        && ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return what
                + " is a symbolic link; it was not followed, so that nothing is read from or "
                  "written to wherever it points";
        return what + (isFolder ? " is not a folder" : " is not a regular file");
    }
    return what + " can't be opened: " + std::strerror(error);
}

// The checks every folder and the file pass: the kind, the owner and that
// no other user may write to it.
bool isOurs(int fd, bool folder, const std::string& path, std::string& sentence)
{
    const std::string what = std::string("the ") + kindOf(folder) + " " + path;
    struct stat st { };
    if (::fstat(fd, &st) != 0) {
        sentence = what + " can't be examined: " + std::strerror(errno);
        return false;
    }
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        sentence = what + (folder ? " is not a folder" : " is not a regular file");
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        sentence = what + " belongs to another user, who could have changed what it holds";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        sentence = what + " can be changed by other users (mode " + mode
            + "), so what it holds can't be trusted; check it, then make it private (chmod "
            + (folder ? "700 " : "600 ") + path + ")";
        return false;
    }
    return true;
}

} // namespace

std::string PrivateLocation::path() const
{
    return relative.empty() ? base : base + "/" + relative;
}

PrivateLocation PrivateLocation::ofPath(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

Descriptor openPrivateFolder(const PrivateLocation& where, bool create, std::string& sentence)
{
    Descriptor folder(::open(where.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        sentence = "the folder " + where.base + " can't be opened: " + std::strerror(errno);
        return {};
    }
    std::string path = where.base;
    std::size_t start = 0;
    for (std::size_t end; start < where.relative.size(); start = end + 1) {
        end = std::min(where.relative.find('/', start), where.relative.size());
        const std::string name = where.relative.substr(start, end - start);
        if (name.empty() || name == ".")
            continue;
        path += "/" + name;
        int next = openAt(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(folder.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
                sentence = "the folder " + path + " can't be made: " + std::strerror(errno);
                return {};
            }
            next = openAt(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY);
        }
        if (next < 0) {
            sentence = openFailure(folder.get(), name.c_str(), path, true);
            return {};
        }
        folder.reset(next);
        if (!isOurs(folder.get(), true, path, sentence))
            return {};
    }
    return folder;
}

Descriptor openPrivateFile(const PrivateLocation& where, int flags, std::string& sentence)
{
    const std::size_t slash = where.relative.rfind('/');
    const std::string name
        = slash == std::string::npos ? where.relative : where.relative.substr(slash + 1);
    if (name.empty()) {
        sentence = "no file is named below " + where.base;
        return {};
    }
    const PrivateLocation folderOf{
        where.base, slash == std::string::npos ? std::string() : where.relative.substr(0, slash)};
    const Descriptor folder = openPrivateFolder(folderOf, (flags & O_CREAT) != 0, sentence);
    if (!folder.valid())
        return {};
    const std::string path = folderOf.path() + "/" + name;
    // O_NONBLOCK: a FIFO put in the file's place must not hold the open.
    Descriptor file(openAt(folder.get(), name.c_str(), flags | O_NONBLOCK, 0600));
    if (!file.valid()) {
        sentence = openFailure(folder.get(), name.c_str(), path, false);
        return {};
    }
    if (!isOurs(file.get(), false, path, sentence))
        return {};
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

} // namespace tavir::utils
