#include "utils/KInterLockedFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tavir::utils {

KInterLockedFile::KInterLockedFile()
{
    truncateAfterPostOpen = true;
}

KInterLockedFile::~KInterLockedFile() = default;

// The file's lock is taken in one call and given up in another.
bool KInterLockedFile::lock() TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    mutex.lock();
    return true;
}

bool KInterLockedFile::readLock() TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    mutex.lock();
    return true;
}

bool KInterLockedFile::writeLock() TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    mutex.lock();
    return true;
}

bool KInterLockedFile::tryLock()
{
    return mutex.tryLock();
}

bool KInterLockedFile::tryReadLock()
{
    return mutex.tryLock();
}

bool KInterLockedFile::tryWriteLock()
{
    return mutex.tryLock();
}

bool KInterLockedFile::unlock() TAVIR_NO_THREAD_SAFETY_ANALYSIS
{
    return mutex.unlock() == 0; // false when this thread did not hold it
}

bool KInterLockedFile::postOpenOp(int descriptor, const char* mode)
{
    const bool readOnly = mode && mode[0] == 'r' && !std::strchr(mode, '+');
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = readOnly ? F_RDLCK : F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0x7fffffff;
    fl.l_pid = 0;
    // Open-file-description locks: unlike classic record locks they are not
    // dropped when some other descriptor of the same file is closed by this
    // process, and they exclude other opens within the process as well.
    int rc = ::fcntl(descriptor, F_OFD_SETLK, &fl);
    if (rc == -1 && errno == EINVAL) {
        fl.l_pid = 0;
        rc = ::fcntl(descriptor, F_SETLK, &fl); // kernels without OFD locks
    }
    if (rc == -1) {
        int saved = errno;
        if (saved == EACCES)
            saved = EAGAIN; // one answer for "somebody else holds it"
        close();
        errno = saved;
        return false;
    }
    return true;
}

} // namespace tavir::utils
