#pragma once
// A loopback server that sends one part of its answers a byte at a time,
// slowly: the IMAP greeting, the answer to the first IMAP command, a message
// body, or the administration service's first frame (over TLS, as that
// service speaks). Everything else it says at once, as a server in good
// health would: as an IMAP source it logs anyone in and serves one folder,
// INBOX, holding one message, and waits half a minute for a command before
// it ends a session. For the deadlines and stops of the clients:
// no real server dribbles on demand. Built on plain sockets and OpenSSL,
// sharing nothing with the code under test.
#include "support/Loopback.h"
#include "support/TestSupport.h"

#include <atomic>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace tavir::test {

class DribblingPeer {
public:
    enum class Where { Greeting, ImapReply, MessageBody, TinyDbFrame };

    // `pauseMs` passes between two bytes of the dribbled part.
    DribblingPeer(Where where, int pauseMs);
    ~DribblingPeer();
    DribblingPeer(const DribblingPeer&) = delete;
    DribblingPeer& operator=(const DribblingPeer&) = delete;

    static const char* name(Where where);

    int port() const { return server_->port(); }
    // "127.0.0.1:port", as the wizard's server fields take it.
    std::wstring server() const;
    // Waits (for at most `ms`) until the peer has sent the first byte of
    // the dribbled part; true when it has.
    bool waitDribbling(int ms = 10000) const;

    // The one message of INBOX.
    static const std::string& message();
    // Connections accepted so far, and every byte connection i received.
    int accepted() const { return server_->accepted(); }
    std::string received(std::size_t connection) const { return server_->received(connection); }

private:
    void imapSession(PeerSocket& peer);
    void tinyDbSession(PeerSocket& peer);
    // Sends `bytes`, one at a time with `pauseMs` between them when `slow`;
    // false when the client went away or the server stops.
    bool send(PeerSocket& peer, const std::string& bytes, bool slow);

    Where where_;
    int pauseMs_;
    std::atomic<bool> dribbling_{false};
    std::unique_ptr<TempDir> certificates_;
    SSL_CTX* tls_ = nullptr;
    std::unique_ptr<LoopbackServer> server_; // last: stopped before the rest goes
};

} // namespace tavir::test
