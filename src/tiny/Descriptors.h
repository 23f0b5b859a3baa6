#pragma once
// Closing a chosen set of descriptors, e.g. in a child about to run another
// program.
#include <dirent.h>

#include <vector>

namespace tavir::tiny {

struct FdsToClose {
    // true: close the listed descriptors. false: close every descriptor
    // except the listed ones (a child's "mode 0").
    bool closeListed = false;
    std::vector<int> fds;
};

int getDirfd(DIR* dir);

// Needs no heap memory, so it is safe in a child between fork and exec.
void closeSelectedFds(FdsToClose& set);
// What closeSelectedFds does when /dev/fd can't be listed: closes by number
// up to the open-file limit (sorts set.fds).
void closeSelectedFdsByNumber(FdsToClose& set);

} // namespace tavir::tiny
