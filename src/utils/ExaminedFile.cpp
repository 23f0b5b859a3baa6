// Opening by name only the regular file examined under that name.
#include "utils/ExaminedFile.h"

#include <cerrno>
#include <cstring>

namespace tavir::utils {

namespace {

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

std::string ExaminedFile::examine(const std::string& path)
{
    file_.close();
    path_ = path;
    examinedOk_ = false;
    if (::stat(path.c_str(), &examined_) != 0)
        return std::strerror(errno);
    if (!S_ISREG(examined_.st_mode))
        return "it is not a regular file";
    examinedOk_ = true;
    return {};
}

std::string ExaminedFile::open()
{
    if (!examinedOk_)
        return "it was not examined before it was opened";
    // Without O_NONBLOCK, which an fopen-style mode can't ask for: the stat
    // above keeps a FIFO or a device from the open; only one put in the
    // file's place in between would hold it, until a writer came, and is
    // refused below.
    if (!file_.wOpen(path_.c_str(), "rb"))
        return std::strerror(errno);
    struct stat opened { };
    std::string why;
    if (::fstat(file_.getFd(), &opened) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(opened.st_mode) || !sameFile(opened, examined_))
        why = "it was replaced while it was opened";
    if (!why.empty())
        file_.close();
    return why;
}

} // namespace tavir::utils
