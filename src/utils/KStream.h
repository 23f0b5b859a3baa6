#pragma once
// The system's buffered byte stream: a 4096-byte read buffer and a 4096-byte
// write buffer over two primitives that subclasses supply (i_read, i_write).
// Files, standard streams and sockets stand on it. Not thread-safe: one
// thread uses a stream at a time.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavir::utils {

class KStream {
public:
    static constexpr int kBufferSize = 4096;

    KStream();
    virtual ~KStream();
    KStream(const KStream&) = delete;
    KStream& operator=(const KStream&) = delete;

    // Time-outs mean something only for sockets; the base does nothing.
    virtual int setReadTimeout(int ms);
    virtual int setWriteTimeout(int ms);
    // True when no unread byte is buffered.
    virtual bool isReadEof();
    virtual bool isClosed() const;
    // The primitives: bytes moved, 0 at the end of data, negative on failure.
    virtual int i_read(char* buf, unsigned int len) = 0;
    virtual int i_write(const char* buf, unsigned int len) = 0;

    // Up to `len` bytes: what is buffered, else one refill of the buffer.
    // 0 at the end of data or on failure.
    size_t read(char* buf, size_t len);
    // Appends to the write buffer, writing it out each time it is full.
    // Returns `len`, or 0 when a write failed (the unwritten rest of the
    // buffer stays pending).
    size_t write(const char* buf, size_t len);
    // Writes out the pending bytes: 0, or -1 (the unwritten rest stays pending).
    int flush();
    // i_write straight from `buf`, bypassing the buffer.
    int directWrite(const char* buf, unsigned int len);
    // One line including its '\n' (a CR is an ordinary byte), at most
    // size - 1 bytes, always terminated; returns its length, 0 at the end.
    // A longer line comes back in parts on successive calls.
    unsigned int getstr(char* buf, unsigned int size);
    // One whole line including its '\n'. A line that doesn't fit gives 0 and
    // an empty buffer (its bytes are consumed). At the end of data the bytes
    // read so far are returned only with keepPartial.
    unsigned int gets(char* buf, unsigned int size, bool keepPartial);
    // Formats and appends as by write; true when the text is not empty and
    // every write succeeded.
    bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool puts(const char* text);
    bool puts(const std::string& text);
    // Reads this stream to its end and appends everything to `dest` (not
    // flushed). Stops at the first failed write or read and returns false;
    // true when every byte read was appended.
    bool copyTo(KStream& dest);
    // The same for at most `size` bytes.
    bool copyToSize(KStream& dest, size_t size);

    // True when the last refill failed (i_read failed, or the pending bytes
    // that must go out before it could not be written) rather than ending.
    bool lastReadFailed() const { return readFailed_; }

protected:
    // Number of unread bytes in the read buffer / pending bytes to write.
    int32_t bufferedReadBytes() const { return readLeft; }
    int32_t pendingWriteBytes() const { return kBufferSize - writeLeft; }
    // Drops the unread bytes (after the position of the source moved).
    void discardReadBuffer();
    // Empties both buffers without writing anything.
    void resetBuffers();

    char readBuf[kBufferSize];
    char writeBuf[kBufferSize];
    char* readPtr;
    char* writePtr;
    int32_t readLeft;
    int32_t writeLeft;

private:
    bool refill();
    bool drainWriteBuffer();
    bool readFailed_ = false;
};

// A stream with a position.
class KFileStream : public KStream {
public:
    virtual int i_seek(long offset, int whence) = 0;
    virtual long i_tell() = 0;
    virtual int i_seek64(long long offset, int whence);
    virtual long long i_tell64();
};

} // namespace tavir::utils
