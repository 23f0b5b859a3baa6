#pragma once
// A file descriptor that closes itself, and reading and writing one whole.
#include <cstddef>
#include <string>
#include <string_view>

namespace tavir::utils {

// Owns one descriptor (or none: -1) and closes it when it goes or is
// replaced. Moves, never copies.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd)
        : fd_(fd)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept
        : fd_(other.release())
    {
    }
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, if any (what close(2) says is not asked:
    // on Linux the descriptor is gone either way), and holds `fd`.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Writes all of `bytes` to `fd` (a file or a pipe), going on after a
// signal's interruption; false with errno when a write failed.
bool writeAll(int fd, std::string_view bytes);

// What `fd` holds from its position to its end, in `out` (replaced). False
// with errno when a read failed, or, with EFBIG, when there is more than
// `limit` bytes (which must be below SIZE_MAX); `out` then holds what was
// read.
bool readAll(int fd, std::size_t limit, std::string& out);

} // namespace tavir::utils
