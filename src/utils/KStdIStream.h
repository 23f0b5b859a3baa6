#pragma once
// A read-only stream view of a standard input stream it does not own.
#include "utils/KStream.h"

#include <istream>

namespace tavir::utils {

class KStdIStream : public KFileStream {
public:
    explicit KStdIStream(std::istream* in);

    // Waits for at least one byte, then takes what the stream has buffered
    // (so a terminal line is handed on without waiting for 4096 bytes).
    int i_read(char* buf, unsigned int len) override;
    // Writing is not possible: the bytes are discarded.
    int i_write(const char* buf, unsigned int len) override;
    // Clears the error state and seeks (whence 1 from the current position,
    // 2 from the end, else from the beginning); unread buffered bytes are
    // dropped. -1 when the stream reports an error.
    int i_seek(long offset, int whence) override;
    long i_tell() override;

private:
    std::istream* in_;
};

} // namespace tavir::utils
