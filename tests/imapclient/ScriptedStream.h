#pragma once
// A scripted server behind the connection's stream interface: the bytes the
// server will say are given up front, what the client writes is recorded,
// and faults (failed connect, failed write, a read that ends early) can be
// planned. A read past the script behaves like a read time-out.
#include "imapclient/ImapStream.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace tavir::test {

struct ScriptedSession {
    std::string serverBytes; // what the server says, in order
    std::string clientBytes; // what the client wrote (flushed or not)
    bool createFails = false;
    long writeBudget = -1; // bytes the client may write before writes fail
    bool closed = false;
    int flushes = 0;
    tavir::mail::ImapEndpoint endpoint;
};

class ScriptedStream : public tavir::mail::ImapStream {
public:
    explicit ScriptedStream(std::shared_ptr<ScriptedSession> session)
        : s_(std::move(session))
    {
    }
    bool create() override
    {
        if (s_->createFails) {
            bad_ = true;
            return false;
        }
        return true;
    }
    void close() override { s_->closed = true; }
    bool good() override
    {
        if (eof_ && !bad_)
            eof_ = false;
        return !bad_ && !eof_;
    }
    int get() override
    {
        if (pos_ >= s_->serverBytes.size()) {
            eof_ = true;
            return -1;
        }
        return static_cast<unsigned char>(s_->serverBytes[pos_++]);
    }
    std::size_t read(char* data, std::size_t n) override
    {
        std::size_t left = s_->serverBytes.size() - pos_;
        std::size_t got = std::min(n, left);
        std::copy_n(s_->serverBytes.data() + pos_, got, data);
        pos_ += got;
        if (got < n)
            eof_ = true;
        return got;
    }
    void write(const char* data, std::size_t n) override
    {
        if (bad_)
            return;
        if (s_->writeBudget >= 0) {
            if (static_cast<long>(n) > s_->writeBudget) {
                s_->clientBytes.append(data, static_cast<std::size_t>(s_->writeBudget));
                s_->writeBudget = 0;
                bad_ = true;
                return;
            }
            s_->writeBudget -= static_cast<long>(n);
        }
        s_->clientBytes.append(data, n);
    }
    void flush() override { ++s_->flushes; }
    void setTimeoutMs(unsigned) override { }

private:
    std::shared_ptr<ScriptedSession> s_;
    std::size_t pos_ = 0;
    bool eof_ = false;
    bool bad_ = false;
};

// Hands out one scripted session per connect, in order; connects beyond
// the plan fail as unresolvable hosts.
class ScriptedServer {
public:
    std::shared_ptr<ScriptedSession> addSession(const std::string& serverBytes)
    {
        auto session = std::make_shared<ScriptedSession>();
        session->serverBytes = serverBytes;
        sessions.push_back(session);
        return session;
    }
    tavir::mail::ImapStreamFactory factory()
    {
        return [this](const tavir::mail::ImapEndpoint& endpoint)
                   -> std::unique_ptr<tavir::mail::ImapStream> {
            if (next >= sessions.size())
                return nullptr;
            auto session = sessions[next++];
            session->endpoint = endpoint;
            return std::make_unique<ScriptedStream>(session);
        };
    }
    std::vector<std::shared_ptr<ScriptedSession>> sessions;
    std::size_t next = 0;
};

} // namespace tavir::test
