#pragma once
// Files the program keeps for itself below the user's home folder (the
// pinned server certificates, the target's preparation journal). What they
// hold is trusted later, so they are opened without following a symbolic
// link anywhere below the home folder, in folders made 0700, created 0600;
// a folder or file on the way that is a symbolic link, not the user's own,
// or writable by other users is refused with a sentence rather than
// tightened, since someone else may already have changed what it holds.
#include "utils/Descriptor.h"

#include <string>

namespace tavir::utils {

// A base folder, taken as it is (a home folder may well be a symbolic link),
// and the path of the file below it (".tavir/admin/known_hosts.cfg"). Every
// folder of `relative` and the file itself are the program's own.
struct PrivateLocation {
    std::string base;
    std::string relative;

    // base + "/" + relative (the base alone when relative is empty).
    std::string path() const;
    // The location of a file given by its full path: its folder is the base.
    static PrivateLocation ofPath(const std::string& path);
};

// Opens the folder base/relative for openat(2), making the missing folders
// (0700) when `create` is set; every folder of `relative` is checked as
// below. Returns the folder's descriptor, or none with `sentence` saying
// what was refused or failed.
Descriptor openPrivateFolder(const PrivateLocation& where, bool create, std::string& sentence);

// Opens the file with open(2) `flags` (O_RDONLY, O_RDWR | O_CREAT, ...);
// with O_CREAT the missing folders are made (0700) and a missing file
// (0600). Never blocks on a FIFO and never follows a link below the base.
// Returns the file's descriptor, or none with `sentence` saying what was
// refused or failed.
Descriptor openPrivateFile(const PrivateLocation& where, int flags, std::string& sentence);

} // namespace tavir::utils
