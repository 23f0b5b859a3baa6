#include "support/LockHolder.h"

#include "utils/KInterLockedFile.h"

#include <unistd.h>

#include <stdexcept>

namespace tavir::test {

LockHolder::LockHolder(const std::string& path, const char* mode)
{
    int up[2];
    if (pipe(up) != 0)
        throw std::runtime_error("pipe failed");
    child_ = std::make_unique<ChildProcess>([&] {
        utils::KInterLockedFile file;
        const char answer = file.open(path.c_str(), mode) ? 'y' : 'n';
        if (write(up[1], &answer, 1) != 1)
            return 3;
        for (;;) // hung, holding the file, until killed
            pause();
    });
    close(up[1]);
    char answer = 0;
    opened_ = read(up[0], &answer, 1) == 1 && answer == 'y';
    close(up[0]);
}

void LockHolder::release()
{
    // Killed and reaped: its lock goes with it, as a hung program's does.
    child_->kill();
}

} // namespace tavir::test
