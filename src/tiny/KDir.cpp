#include "tiny/KDir.h"

#include <fts.h>
#include <sys/stat.h>

#include <cerrno>

namespace tavir::tiny {

namespace {

int typeOf(const FTSENT* e)
{
    if (!e->fts_statp || e->fts_info == FTS_NS || e->fts_info == FTS_NSOK)
        return KDir::DirEntry::none;
    mode_t m = e->fts_statp->st_mode;
    if (S_ISREG(m))
        return KDir::DirEntry::file;
    if (S_ISDIR(m))
        return KDir::DirEntry::directory;
    if (S_ISCHR(m))
        return KDir::DirEntry::charDevice;
    if (S_ISBLK(m))
        return KDir::DirEntry::blockDevice;
    if (S_ISFIFO(m))
        return KDir::DirEntry::fifo;
    if (S_ISLNK(m))
        return KDir::DirEntry::symlink;
    if (S_ISSOCK(m))
        return KDir::DirEntry::socket;
    return KDir::DirEntry::none;
}

FTS* asFts(void* p)
{
    return static_cast<FTS*>(p);
}

FTSENT* asEntry(void* p)
{
    return static_cast<FTSENT*>(p);
}

} // namespace

KDir::~KDir()
{
    close();
}

bool KDir::readChildren()
{
    errno = 0;
    next_ = fts_children(asFts(fts_), 0);
    return next_ != nullptr || errno == 0;
}

bool KDir::open(const char* path, unsigned int flags)
{
    if (opened_ || !path)
        return false;
    char* paths[] = {const_cast<char*>(path), nullptr};
    int options = FTS_NOCHDIR | FTS_PHYSICAL | FTS_COMFOLLOW | FTS_SEEDOT;
    if (!(flags & wantTypes))
        options |= FTS_NOSTAT;
    fts_ = fts_open(paths, options, nullptr);
    if (!fts_)
        return false;
    FTSENT* root = fts_read(asFts(fts_));
    root_ = root;
    if (!root || root->fts_info != FTS_D) {
        // Not a directory (or unreadable): nothing to list.
        int err = root && root->fts_errno ? root->fts_errno : (root ? ENOTDIR : errno);
        fts_close(asFts(fts_));
        fts_ = nullptr;
        root_ = nullptr;
        errno = err;
        return false;
    }
    flags_ = flags;
    if (!readChildren()) {
        int err = errno;
        fts_close(asFts(fts_));
        fts_ = nullptr;
        root_ = nullptr;
        next_ = nullptr;
        errno = err;
        return false;
    }
    opened_ = true;
    return true;
}

bool KDir::readNextEntry(DirEntry& entry)
{
    if (!opened_ || !next_)
        return false;
    FTSENT* e = asEntry(next_);
    entry.name.assign(e->fts_name, e->fts_namelen);
    entry.type = (flags_ & wantTypes) ? typeOf(e) : DirEntry::none;
    next_ = e->fts_link;
    return true;
}

bool KDir::rewind()
{
    if (!opened_)
        return false;
    return readChildren();
}

bool KDir::close()
{
    if (!opened_)
        return false;
    if (fts_close(asFts(fts_)) != 0)
        return false;
    fts_ = nullptr;
    root_ = nullptr;
    next_ = nullptr;
    opened_ = false;
    return true;
}

} // namespace tavir::tiny
