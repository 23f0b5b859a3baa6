#pragma once
// A buffered file over a POSIX descriptor, with flock locks that belong to
// the thread that constructed the file.
#include "utils/Descriptor.h"
#include "utils/KFLock.h"
#include "utils/KStream.h"

namespace tavir::utils {

class KFile : public KFileStream {
public:
    enum AccessFlags { ReadOnly = 0, WriteOnly = 1, ReadWrite = 2 };
    enum CreationFlags {
        CreateNew = 0, // fail if it exists
        CreateAlways = 1, // create or truncate
        OpenExisting = 2, // must exist
        OpenAlways = 3, // create when missing
        TruncateExisting = 4, // must exist; refused for read-only access
        OpenForAppend = 5, // create when missing, append
    };

    KFile();
    ~KFile() override;

    // fopen-style mode: 'w' write (create, truncate), 'a' append (create),
    // anything else read; a '+' among the next four characters adds the
    // other direction. False for a null mode.
    bool open(const char* path, const char* mode);
    bool wOpen(const char* path, const char* mode);
    // access: AccessFlags; creation: CreationFlags.
    bool open(const char* path, int access, int creation);
    bool wOpen(const char* path, int access, int creation);
    // open(2) with `flags` plus O_CLOEXEC, permission 0600. A file already
    // open is closed first.
    bool doOpen(const char* path, int flags);
    // Takes over a descriptor opened elsewhere (openPrivateFile), which it
    // closes from then on. A file already open is closed first.
    void adopt(Descriptor descriptor);
    // Takes it over as an open does: postOpenOp runs as after open(2), with
    // "w" when the descriptor was opened for writing, and its result is the
    // result (a subclass's record lock is placed over a file opened safely
    // elsewhere).
    bool open(Descriptor descriptor);
    // Flushes, gives up a level of a held lock and closes. False when the
    // pending bytes could not be written or the close failed.
    bool close();
    // Cuts the file at the current position (pending writes go out first).
    bool truncate();
    int getFd() const { return fd; }

    bool isClosed() const override;
    int i_read(char* buf, unsigned int len) override;
    int i_write(const char* buf, unsigned int len) override;
    // Seeking writes out pending bytes and drops read-ahead first, so that
    // positions are those the caller has read or written up to.
    int i_seek(long offset, int whence) override;
    long i_tell() override;
    int i_seek64(long long offset, int whence) override;
    long long i_tell64() override;

    virtual bool lock();
    virtual bool tryLock();
    virtual bool unlock();
    virtual bool readLock();
    virtual bool writeLock();
    virtual bool tryReadLock();
    virtual bool tryWriteLock();
    // Runs after every successful open(2) with "w" (access includes writing)
    // or "r"; its result is the result of the open.
    virtual bool postOpenOp(int fd, const char* mode);

protected:
    int fd;
    KFLock fileLock;
    // When set, O_TRUNC is applied only after postOpenOp succeeded, so that
    // a file is never emptied before the open's own checks (a record lock)
    // have passed.
    bool truncateAfterPostOpen = false;
};

} // namespace tavir::utils
