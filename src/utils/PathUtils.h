#pragma once
// Helpers for path text and single files. Paths are byte strings; "/" and "\"
// are both accepted as separators on input and "/" is produced. Failures are
// reported by the result only (false, 0 or ""), errno keeps the cause.
#include "utils/KFlags.h"

#include <cstdint>
#include <ctime>
#include <set>
#include <string>

namespace tavir::utils {

// Every run of "/" or "\" becomes one "/"; with trailingSlash the result ends
// in "/" (so "" becomes "/"). The third argument has no effect.
std::string normalizePath(const std::string& path, bool trailingSlash, bool);
// The above, then with resolveDots "." and ".." components are resolved.
// A "." or ".." standing first is left alone; ".." above the root of an
// absolute path stays at the root, and in a relative path a ".." with
// nothing left to cancel is kept.
std::string normalizePath(const std::string& path, bool trailingSlash, bool, bool resolveDots);
// normalizePath's separator rule, written back into `name` and returned.
std::string normalizeFileName(std::string& name, bool trailingSlash);
// Every "\" replaced by "/"; a non-empty result always ends in "/".
std::string normalizePathName(const std::string& path);
// The leading part up to and including the separator before the last
// component: "/a/b" and "/a/b/" give "/a/", "/a" gives "/", "a" gives "".
std::string getParentDirectory(const std::string& path);
// What follows the last separator of either kind; the whole path without one.
std::string extractFileName(const std::string& path);
// The folder holding the running executable, without a trailing "/"; "" when
// it can't be told.
std::string executableFolder();

// realpath of `path` into `resolved`, which holds `size` bytes. False (errno
// ENAMETOOLONG) when the result does not fit.
bool fullPath(char* resolved, const char* path, int size);
// The absolute, normalised form of `path` (dots resolved, links kept). With
// mustExist, also whether the result exists (lstat).
bool fullPath(std::string& out, const std::string& path, bool mustExist);

// Creates the directory and its missing parents. True when the directory
// exists afterwards; false when anything else holds the name.
bool createDirectoryRecursive(const std::string& path);
bool createDirectoryRecursive(const std::string& path, unsigned int mode);

bool fileExists(const char* path, bool useLstat);
// Whether `path` names an existing object (one trailing "/" ignored). A
// symbolic link (seen only with useLstat) counts as existing unless
// linkIsMissing. isDir is set for a directory.
bool fileExists(const char* path, bool useLstat, bool& isDir, bool linkIsMissing);
// Size of a regular file, else 0.
uint64_t fileSize(const std::string& path, bool followLinks);
// stat succeeded; modification time and size stored.
bool getFileTimeSize(const char* path, time_t& mtime, unsigned long& size);

enum TouchOption {
    TouchModificationTime = 1,
    TouchAccessTime = 2,
};
// Sets the chosen time stamps of an existing file to `when` (0: now). A
// missing file is not created.
bool k_touch(const std::string& path, time_t when, KFlags<TouchOption> which);

// The whole file, byte for byte; false (and `out` untouched) when it can't
// be opened or read.
bool loadTextFile(const char* path, std::string& out);
// Removes the regular files of `dir` (not recursive) whose names match the
// case-insensitive regular expression `pattern` ("" matches all). True when
// every removal succeeded.
bool removeFiles(const std::string& dir, const std::string& pattern);
// Sum of the sizes of the regular files under `dir`; symbolic links are
// neither counted nor followed. Entries whose full path is in `excluded` are
// skipped in the top directory only.
uint64_t dirSize(const std::string& dir, const std::set<std::string>& excluded);

} // namespace tavir::utils
