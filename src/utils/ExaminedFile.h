#pragma once
// A regular file read by its name, as `KFile::wOpen(path, "rb")` opens it,
// and only the file that `stat` found under that name before: what is not
// a regular file is refused before the open, so a FIFO or a device chosen
// by mistake never holds it, and a file put in its place meanwhile is
// refused before anything of it is read.
#include "utils/KFile.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace tavir::utils {

class ExaminedFile {
public:
    // What stat(2) says of `path` (a symbolic link followed, as the open
    // follows it): empty when it is a regular file, which open() may then
    // open; else why not ("it is not a regular file", or the system's
    // words).
    std::string examine(const std::string& path);
    // Its size when it was examined.
    std::uint64_t size() const { return static_cast<std::uint64_t>(examined_.st_size); }
    // Opens the file examined: empty when the descriptor the open gives is
    // that very file (the same device and inode, as fstat(2) sees it);
    // else why not, and nothing stays open.
    std::string open();
    // The file opened, to read from.
    KFile& stream() { return file_; }

private:
    std::string path_;
    struct stat examined_ { };
    bool examinedOk_ = false;
    KFile file_;
};

} // namespace tavir::utils
