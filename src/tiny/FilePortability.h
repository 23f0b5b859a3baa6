#pragma once
// File and directory helpers of the portability layer: directory creation
// with missing parents, a directory stream that remembers its own path and
// completes each entry's type from lstat, removal and copying of whole trees,
// a plain file copy, truncation, 64-bit positioning and an extension test.
// Results follow POSIX: 0 for success, -1 with errno for failure, unless a
// function says otherwise.
#include <cstdio>
#include <dirent.h>
#include <string>
#include <vector>

namespace tavir::tiny {

// An open directory stream that knows its path.
struct DIR {
    ::DIR* stream; // what opendir returned
    char* path; // strdup copy of the path as given
};

// opendir of `path` wrapped in a malloc'ed record; null when the directory
// can't be opened or memory runs out. Release with tavir::tiny::closedir.
DIR* opendir(const char* path);
// 0 for null; otherwise closes the system stream. When that fails, returns
// its result and frees nothing; else frees the record and returns 0.
int closedir(DIR* dir);
// Next entry with its type completed from lstat; null at the end or on error.
dirent* readdirstat(DIR* dir);
// Re-entrant form: the entry is copied into the caller's buffer. Returns 0
// (with *result null at the end) or an error number.
int readdirstat_r(DIR* dir, dirent* entry, dirent** result);
// Overwrites entry->d_type from lstat of dirPath/name, so that a symbolic
// link is reported as a link. Keeps the old type when lstat fails.
void fillInType(dirent* entry, const char* dirPath);

// Holds one directory stream (null when it could not be opened) and closes
// it on destruction.
class DirStreamGuard {
public:
    explicit DirStreamGuard(const char* path);
    ~DirStreamGuard();
    DirStreamGuard(const DirStreamGuard&) = delete;
    DirStreamGuard& operator=(const DirStreamGuard&) = delete;
    DIR* getDir() const { return dir_; }

private:
    DIR* dir_;
};

std::string ansiPathToPathString(const char* path);
// -1 for a null or empty path (errno untouched); otherwise k_wmkdir.
int k_mkdir(const char* path, int mode, int flags);
// flags bit 0: create missing parents. Trailing '/' are ignored; a path that
// is only '/' (or empty) counts as done. An existing directory gives EEXIST.
int k_wmkdir(const char* path, int mode, int flags);
int removedir(const char* path);
// Deletes the directory and everything under it without following symbolic
// links below it. Removes as much as it can; -1 when anything failed.
int removeDirWithContent(const char* path);
// 0 done; 1 the target directory could not be created or a source directory
// could not be opened; 2 a source file could not be read; 3 a target file
// could not be written. Entries named in `excluded` are skipped.
int copyDirectoryWithContent(const std::string& source, const std::string& target, bool recursive,
    const std::vector<std::string>& excluded);

// 0 copied; 1 the source could not be opened or read; 2 the target exists
// (with failIfExists) or could not be created or written completely.
int filecopy(const char* source, const char* target, int failIfExists, bool copyMode);
// Truncates at `length`, or at the current position when it is negative;
// the position is left at the truncation point. 0 or -1.
int k_ftruncate(int fd, long long length);
int fseek64(FILE* f, long long offset, int whence);
long long ftell64(FILE* f);
// 1 when `name` ends with `ext` (ignoring case), else 0.
int fext(const char* name, const char* ext);

} // namespace tavir::tiny
