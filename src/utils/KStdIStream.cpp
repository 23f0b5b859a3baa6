#include "utils/KStdIStream.h"

namespace tavir::utils {

KStdIStream::KStdIStream(std::istream* in)
    : in_(in)
{
}

int KStdIStream::i_read(char* buf, unsigned int len)
{
    if (!in_)
        return -1;
    if (len == 0)
        return 0;
    if (len > 0x7fffffffu)
        len = 0x7fffffffu;
    in_->read(buf, 1);
    if (in_->gcount() != 1)
        return 0;
    std::streamsize got = 1;
    if (len > 1 && in_->good())
        got += in_->readsome(buf + 1, static_cast<std::streamsize>(len - 1));
    return static_cast<int>(got);
}

int KStdIStream::i_write(const char*, unsigned int len)
{
    return static_cast<int>(len > 0x7fffffffu ? 0x7fffffffu : len);
}

int KStdIStream::i_seek(long offset, int whence)
{
    if (!in_)
        return -1;
    in_->clear();
    std::ios_base::seekdir dir = std::ios_base::beg;
    if (whence == 1) {
        dir = std::ios_base::cur;
        offset -= bufferedReadBytes();
    } else if (whence == 2) {
        dir = std::ios_base::end;
    }
    discardReadBuffer();
    in_->seekg(offset, dir);
    return in_->fail() ? -1 : 0;
}

long KStdIStream::i_tell()
{
    if (!in_)
        return -1;
    in_->clear();
    const std::streamoff pos = in_->tellg();
    if (pos < 0)
        return -1;
    return static_cast<long>(pos) - bufferedReadBytes();
}

} // namespace tavir::utils
