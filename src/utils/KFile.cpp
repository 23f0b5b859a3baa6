#include "utils/KFile.h"

#include "tiny/FilePortability.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tavir::utils {

KFile::KFile()
    : fd(-1)
{
}

KFile::~KFile()
{
    close();
}

bool KFile::open(const char* path, const char* mode)
{
    if (!mode)
        return false;
    int flags;
    switch (mode[0]) {
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        flags = O_RDONLY;
        break;
    }
    if (mode[0] != '\0') {
        for (int i = 1; i < 5 && mode[i] != '\0'; ++i) {
            if (mode[i] == '+') {
                flags = (flags & ~O_ACCMODE) | O_RDWR;
                break;
            }
        }
    }
    return doOpen(path, flags);
}

bool KFile::wOpen(const char* path, const char* mode)
{
    return open(path, mode);
}

bool KFile::open(const char* path, int access, int creation)
{
    if (creation == TruncateExisting && access == ReadOnly)
        return false;
    int flags;
    switch (access) {
    case WriteOnly:
        flags = O_WRONLY;
        break;
    case ReadWrite:
        flags = O_RDWR;
        break;
    default:
        flags = O_RDONLY;
        break;
    }
    switch (creation) {
    case CreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
    case CreateAlways:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OpenExisting:
        break;
    case OpenAlways:
        flags |= O_CREAT;
        break;
    case TruncateExisting:
        flags |= O_TRUNC;
        break;
    case OpenForAppend:
        flags |= O_CREAT | O_APPEND;
        break;
    default:
        break;
    }
    return doOpen(path, flags);
}

bool KFile::wOpen(const char* path, int access, int creation)
{
    return open(path, access, creation);
}

bool KFile::doOpen(const char* path, int flags)
{
    if (fd != -1)
        close();
    if (!path) {
        errno = EINVAL;
        return false;
    }
    const bool truncateLater = truncateAfterPostOpen && (flags & O_TRUNC);
    const int openFlags = (truncateLater ? flags & ~O_TRUNC : flags) | O_CLOEXEC;
    int d;
    do {
        d = ::open(path, openFlags, 0600);
    } while (d == -1 && errno == EINTR);
    if (d == -1)
        return false;
    if (!open(Descriptor(d)))
        return false;
    if (truncateLater) {
        int rc;
        do {
            rc = ::ftruncate(fd, 0);
        } while (rc == -1 && errno == EINTR);
        if (rc == -1) {
            const int saved = errno;
            close();
            errno = saved;
            return false;
        }
    }
    return true;
}

void KFile::adopt(Descriptor descriptor)
{
    if (fd != -1)
        close();
    fd = descriptor.release();
    resetBuffers();
    fileLock.init(fd);
}

bool KFile::open(Descriptor descriptor)
{
    const int flags = descriptor.valid() ? ::fcntl(descriptor.get(), F_GETFL) : -1;
    if (flags == -1) {
        errno = EBADF;
        return false;
    }
    adopt(std::move(descriptor));
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    return postOpenOp(fd, writing ? "w" : "r");
}

bool KFile::close()
{
    if (fd == -1)
        return true;
    bool ok = flush() == 0;
    fileLock.detach();
    if (::close(fd) != 0 && errno != EINTR)
        ok = false;
    fd = -1;
    resetBuffers();
    return ok;
}

bool KFile::truncate()
{
    if (fd == -1)
        return false;
    if (flush() != 0)
        return false;
    if (bufferedReadBytes() > 0) {
        // Cut where the caller has read up to, not after the read-ahead.
        if (::lseek(fd, -static_cast<off_t>(bufferedReadBytes()), SEEK_CUR) == -1)
            return false;
        discardReadBuffer();
    }
    return tavir::tiny::k_ftruncate(fd, -1) == 0;
}

bool KFile::isClosed() const
{
    return fd == -1;
}

int KFile::i_read(char* buf, unsigned int len)
{
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    if (len > 0x7fffffffu)
        len = 0x7fffffffu;
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

int KFile::i_write(const char* buf, unsigned int len)
{
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    if (len > 0x7fffffffu)
        len = 0x7fffffffu;
    ssize_t n;
    do {
        n = ::write(fd, buf, len);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

int KFile::i_seek64(long long offset, int whence)
{
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    if (flush() != 0)
        return -1;
    if (whence == SEEK_CUR)
        offset -= bufferedReadBytes();
    discardReadBuffer();
    return ::lseek(fd, static_cast<off_t>(offset), whence) == -1 ? -1 : 0;
}

long long KFile::i_tell64()
{
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos == -1)
        return -1;
    return static_cast<long long>(pos) - bufferedReadBytes() + pendingWriteBytes();
}

int KFile::i_seek(long offset, int whence)
{
    return i_seek64(offset, whence);
}

long KFile::i_tell()
{
    return static_cast<long>(i_tell64());
}

bool KFile::lock()
{
    return fileLock.lock();
}

bool KFile::tryLock()
{
    return fileLock.tryLock();
}

bool KFile::unlock()
{
    return fileLock.unlock();
}

bool KFile::readLock()
{
    return fileLock.readLock();
}

bool KFile::writeLock()
{
    return fileLock.writeLock();
}

bool KFile::tryReadLock()
{
    return fileLock.tryReadLock();
}

bool KFile::tryWriteLock()
{
    return fileLock.tryWriteLock();
}

bool KFile::postOpenOp(int, const char*)
{
    return true;
}

} // namespace tavir::utils
