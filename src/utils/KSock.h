#pragma once
// The buffered byte stream over a connected socket that somebody else
// created: adopts the descriptor, moves bytes with receive and send, and
// adds socket names, options, readiness tests and time-outs.
#include "utils/KStream.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <cstddef>
#include <string>

namespace tavir::utils {

class KSock : public KStream {
public:
    enum SelectOp { SELECT_READ = 0, SELECT_WRITE = 1, SELECT_INVALID = 2 };

    KSock() = default;
    ~KSock() override;
    KSock(const KSock&) = delete;
    KSock& operator=(const KSock&) = delete;

    int setReadTimeout(int ms) override;
    int setWriteTimeout(int ms) override;
    bool isReadEof() override;
    bool isClosed() const override;
    int i_read(char* buf, unsigned int len) override;
    int i_write(const char* buf, unsigned int len) override;
    virtual bool open(int socket);
    virtual void close();
    virtual int i_peak(char* buf, unsigned int len);

    long peek(char* buf, size_t len);
    bool getSockName(sockaddr* address) const;
    bool getPeerName(sockaddr* address) const;
    bool setSockOpt(int level, int name, char* value, int length);
    int select(SelectOp op, int seconds);

    int getSocket() const { return socket_; }

protected:
    int socket_ = -1;
};

// Waits at most ms milliseconds (0: no wait) until the socket is readable
// (forRead) or writable: 1 ready, 0 time-out, -1 failure (EBADF for -1).
int selectSock(int socket, bool forRead, int ms);

// Sets the descriptor's bit in the set; false, the set unchanged, for a
// descriptor that no fd_set can hold (negative, or FD_SETSIZE and above).
bool FD_SET_s(int socket, fd_set* set);

bool sockListenIp4(int& socket, unsigned address, unsigned short port, unsigned short* boundPort,
    int backlog, std::string& error);
bool sockListenIp4(
    int& socket, unsigned address, unsigned short port, unsigned short* boundPort, int backlog);

} // namespace tavir::utils
