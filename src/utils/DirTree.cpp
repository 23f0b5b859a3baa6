#include "utils/DirTree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace tavir::utils {

namespace {

std::string joinPath(const std::string& base, const std::string& name)
{
    if (base == "/")
        return base + name;
    return base + "/" + name;
}

} // namespace

DirTree::DirTree()
{
    addFilter("^\\.\\.?$", true);
}

DirTree::DirTree(bool files, bool recursive, const std::string& path)
    : DirTree()
{
    open(files, recursive, path);
}

DirTree::DirTree(bool files, bool recursive, const char* path)
    : DirTree(files, recursive, std::string(path ? path : ""))
{
}

DirTree::DirTree(
    const std::string& filter, bool exclude, bool files, bool recursive, const std::string& path)
    : DirTree()
{
    addFilter(filter, exclude);
    open(files, recursive, path);
}

DirTree::~DirTree()
{
    close();
}

bool DirTree::open(bool files, bool recursive, const std::string& path)
{
    close();
    root_ = path;
    mode_ = (files ? ModeFiles : 0) | (recursive ? ModeRecursive : 0);
    if (root_.empty() || root_[0] != '/') {
        std::vector<char> cwd(PATH_MAX + 1);
        if (!getcwd(cwd.data(), cwd.size()))
            return false;
        root_ = root_.empty() ? std::string(cwd.data()) : joinPath(cwd.data(), root_);
    }
    if (root_.size() > 1 && (root_.back() == '/' || root_.back() == '\\'))
        root_.pop_back();
    if (!pushDirectory(root_))
        return false;
    readUntil(&DirTree::isListed);
    return true;
}

void DirTree::close()
{
    entries_.clear();
    while (!levels_.empty())
        levels_.pop_back();
}

int DirTree::addFilter(const std::string& pattern, bool exclude)
{
    if (pattern.empty())
        return -1;
    Filter filter;
    filter.expression = boost::regex(pattern, boost::regex::perl | boost::regex::icase);
    boost::smatch what;
    const std::string slash = "/";
    if (boost::regex_match(
            slash, what, filter.expression, boost::match_default | boost::match_partial))
        filter.kind = 1;
    else if (pattern.find('/') != std::string::npos)
        filter.kind = 2;
    else
        filter.kind = 3;
    if (exclude)
        filter.kind = -filter.kind;
    filters_.push_back(std::move(filter));
    return static_cast<int>(filters_.size()) - 1;
}

void DirTree::clearFilters()
{
    filters_.resize(1);
}

void DirTree::clearFilter(unsigned int index)
{
    if (index == 0 || index >= filters_.size())
        return;
    filters_.erase(filters_.begin() + index);
}

std::string DirTree::relativeDirectory() const
{
    std::string rel;
    for (size_t i = 0; i + 1 < levels_.size() && i < entries_.size(); ++i)
        rel += entries_[i] + "/";
    return rel;
}

std::string DirTree::parentPath() const
{
    std::string path = root_;
    for (size_t i = 0; i + 1 < levels_.size() && i < entries_.size(); ++i)
        path = joinPath(path, entries_[i]);
    return path;
}

bool DirTree::filterMatch(const std::string& name)
{
    bool haveIncluding = false;
    bool included = false;
    std::string relative, full;
    bool relativeMade = false, fullMade = false;
    for (const Filter& f : filters_) {
        const int kind = f.kind < 0 ? -f.kind : f.kind;
        const std::string* subject = &name;
        if (kind == 2) {
            if (!relativeMade) {
                relative = relativeDirectory() + name;
                relativeMade = true;
            }
            subject = &relative;
        } else if (kind == 1) {
            if (!fullMade) {
                full = joinPath(parentPath(), name);
                fullMade = true;
            }
            subject = &full;
        }
        const bool found = boost::regex_search(*subject, f.expression);
        if (f.kind < 0) {
            if (found)
                return false;
        } else {
            haveIncluding = true;
            included = included || found;
        }
    }
    return included || !haveIncluding;
}

bool DirTree::end() const
{
    return !standing();
}

bool DirTree::isFileEntry(unsigned short mode) const
{
    return S_ISREG(mode);
}

bool DirTree::isDirEntry(unsigned short mode) const
{
    return S_ISDIR(mode);
}

bool DirTree::isListed(unsigned short mode) const
{
    return S_ISDIR(mode) || (mode_ & ModeFiles);
}

bool DirTree::pushDirectory(const std::string& path)
{
    tavir::tiny::DIR* raw = tavir::tiny::opendir(path.c_str());
    if (!raw)
        return false;
    Level level;
    level.dir = std::shared_ptr<tavir::tiny::DIR>(raw, tavir::tiny::closedir);
    struct stat st;
    if (fstat(dirfd(raw->stream), &st) != 0)
        return false;
    level.device = st.st_dev;
    level.inode = st.st_ino;
    levels_.push_back(std::move(level));
    return true;
}

bool DirTree::readUntil(bool (DirTree::*accept)(unsigned short) const)
{
    // The deepest level's current entry, if any, is being replaced.
    if (entries_.size() == levels_.size())
        entries_.pop_back();
    const std::string parent = parentPath();
    ::DIR* stream = levels_.back().dir->stream;
    while (struct dirent* e = readdir(stream)) {
        const std::string name = e->d_name;
        struct stat st;
        if (stat(joinPath(parent, name).c_str(), &st) != 0)
            continue;
        if (!(this->*accept)(static_cast<unsigned short>(st.st_mode)))
            continue;
        if (!filterMatch(name))
            continue;
        entries_.push_back(name);
        return true;
    }
    return false;
}

bool DirTree::nextEntry(bool (DirTree::*accept)(unsigned short) const)
{
    if (!standing())
        return false;
    return readUntil(accept);
}

bool DirTree::next()
{
    return nextEntry(&DirTree::isListed);
}

bool DirTree::nextFile()
{
    return nextEntry(&DirTree::isFileEntry);
}

bool DirTree::nextDir()
{
    return nextEntry(&DirTree::isDirEntry);
}

bool DirTree::down()
{
    if (!isDir())
        return false;
    const std::string path = getFullName();
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    // A directory already open on the way down (reached again through a
    // symbolic link) would be walked without end.
    for (const Level& level : levels_)
        if (level.device == st.st_dev && level.inode == st.st_ino)
            return false;
    if (!pushDirectory(path))
        return false;
    readUntil(&DirTree::isListed);
    return true;
}

bool DirTree::up()
{
    if (levels_.size() <= 1)
        return false;
    if (entries_.size() == levels_.size())
        entries_.pop_back();
    levels_.pop_back();
    return true;
}

DirTree& DirTree::operator++()
{
    if (levels_.empty())
        return *this;
    if (standing()) {
        if (!((mode_ & ModeRecursive) && down()))
            next();
    }
    while (!standing() && levels_.size() > 1) {
        levels_.pop_back();
        next();
    }
    return *this;
}

std::string DirTree::getName() const
{
    return standing() ? entries_.back() : std::string();
}

std::string DirTree::getRelName() const
{
    if (!standing())
        return std::string();
    std::string rel;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (i)
            rel += "/";
        rel += entries_[i];
    }
    return rel;
}

std::string DirTree::getFullName() const
{
    if (!standing())
        return std::string();
    std::string full = root_;
    for (const std::string& name : entries_)
        full = joinPath(full, name);
    return full;
}

unsigned short DirTree::getAttr() const
{
    struct stat st;
    if (!standing() || stat(getFullName().c_str(), &st) != 0)
        return 0;
    return static_cast<unsigned short>(st.st_mode);
}

time_t DirTree::getTime() const
{
    struct stat st;
    if (!standing() || stat(getFullName().c_str(), &st) != 0)
        return 0;
    return st.st_ctime;
}

bool DirTree::isDir() const
{
    return S_ISDIR(getAttr());
}

bool DirTree::isFile() const
{
    return S_ISREG(getAttr());
}

} // namespace tavir::utils
