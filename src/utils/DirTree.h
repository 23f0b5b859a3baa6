#pragma once
// Walks a directory, or a whole tree depth first (a directory before its
// contents), stopping on each entry that passes the filters. Filters are
// case-insensitive Perl regular expressions that include or exclude entries
// by name, by path relative to the root, or by full path; "." and ".." are
// always excluded.
//
//     tavir::utils::DirTree walk("\\.txt$", false, true, true, "/some/dir");
//     for (; !walk.end(); ++walk)
//         use(walk.getFullName());
//
// Symbolic links are followed (a link to a directory is a directory), but a
// directory that is already open higher up the walk is never entered again,
// so link cycles end.
#include "tiny/FilePortability.h"

#include <boost/regex.hpp>

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace tavir::utils {

class DirTree {
public:
    struct Filter {
        // 1 full path, 2 relative path, 3 name; negative: excluding.
        int kind;
        boost::regex expression;
    };

    DirTree();
    DirTree(bool files, bool recursive, const std::string& path);
    DirTree(bool files, bool recursive, const char* path);
    DirTree(const std::string& filter, bool exclude, bool files, bool recursive,
        const std::string& path);
    ~DirTree();
    DirTree(const DirTree&) = delete;
    DirTree& operator=(const DirTree&) = delete;

    // Opens `path` (relative to the working directory unless absolute) and
    // moves to its first listed entry. With `files` clear only directories
    // are listed; with `recursive` the walk descends. True when the root was
    // opened, even when it lists nothing. A walker that was walking is closed
    // first.
    bool open(bool files, bool recursive, const std::string& path);
    // Releases every open directory; root, mode and filters stay.
    void close();

    // Appends a filter and returns its index; -1 (nothing added) for an empty
    // pattern. An invalid pattern throws boost::regex_error.
    int addFilter(const std::string& pattern, bool exclude);
    // Removes every filter but the one hiding "." and "..".
    void clearFilters();
    void clearFilter(unsigned int index);
    // The filter decision for `name` as an entry of the deepest directory.
    bool filterMatch(const std::string& name);

    bool end() const;
    // The next entry of the walk.
    DirTree& operator++();
    // The next listed entry of the deepest directory; false when it has none
    // left (the walk then stands nowhere until up()).
    bool next();
    // As next(), but only regular files, respectively only directories, count.
    bool nextFile();
    bool nextDir();
    // Enters the current entry, a directory, and moves to its first entry.
    bool down();
    // Back to the entry of the parent from which the walk descended; false at
    // the root level.
    bool up();

    std::string getName() const;
    // Names of the current entries of all levels joined with "/".
    std::string getRelName() const;
    std::string getFullName() const;
    // From stat of the full name; 0 or false when that fails or at end.
    unsigned short getAttr() const;
    time_t getTime() const;
    bool isDir() const;
    bool isFile() const;

private:
    struct Level {
        std::shared_ptr<tavir::tiny::DIR> dir;
        dev_t device;
        ino_t inode;
    };
    enum { ModeFiles = 1, ModeRecursive = 2 };

    bool standing() const { return !levels_.empty() && entries_.size() == levels_.size(); }
    bool isFileEntry(unsigned short mode) const;
    bool isDirEntry(unsigned short mode) const;
    bool isListed(unsigned short mode) const;
    // Reads the deepest directory until an entry passes `accept` and the
    // filters, and makes it that level's current entry.
    bool readUntil(bool (DirTree::*accept)(unsigned short) const);
    bool nextEntry(bool (DirTree::*accept)(unsigned short) const);
    bool pushDirectory(const std::string& path);
    // Root plus the current entries of the levels above the deepest.
    std::string parentPath() const;
    std::string relativeDirectory() const;

    std::vector<Level> levels_;
    std::vector<std::string> entries_;
    std::string root_;
    unsigned int mode_ = 0;
    std::vector<Filter> filters_;
};

} // namespace tavir::utils
