#pragma once
// A scripted administration server behind the tinydb stream interface: what
// the server says is given up front, what the client writes is recorded, and
// the end of the script is a close or a time-out as planned.
#include "tinydb/TinyDbStream.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace tavir::test {

struct ScriptedTinyDb {
    std::string serverBytes;
    std::string clientBytes;
    // How many of clientBytes had been written at each read, and in how
    // many writes.
    std::vector<std::size_t> writtenAtRead;
    int writes = 0;
    std::string fingerprint = "aa:bb:cc";
    bool connectFails = false;
    tavir::tinydb::ReadEnd endOfScript = tavir::tinydb::ReadEnd::Closed;
    int connects = 0;
    bool closed = false;
};

class ScriptedTinyDbStream : public tavir::tinydb::TinyDbStream {
public:
    explicit ScriptedTinyDbStream(std::shared_ptr<ScriptedTinyDb> script)
        : s_(std::move(script))
    {
    }
    bool connect(std::string& cause) override
    {
        ++s_->connects;
        if (s_->connectFails)
            cause = "connection refused";
        return !s_->connectFails;
    }
    std::string peerFingerprint() override { return s_->fingerprint; }
    tavir::tinydb::ReadEnd read(char* data, std::size_t n) override
    {
        s_->writtenAtRead.push_back(s_->clientBytes.size());
        std::size_t got = std::min(n, s_->serverBytes.size() - pos_);
        std::copy_n(s_->serverBytes.data() + pos_, got, data);
        pos_ += got;
        return got == n ? tavir::tinydb::ReadEnd::Complete : s_->endOfScript;
    }
    bool write(const std::string& bytes) override
    {
        ++s_->writes;
        s_->clientBytes += bytes;
        return true;
    }
    void close() override { s_->closed = true; }

private:
    std::shared_ptr<ScriptedTinyDb> s_;
    std::size_t pos_ = 0;
};

// A factory that hands out the same script to every connection.
inline tavir::tinydb::TinyDbStreamFactory scriptedFactory(std::shared_ptr<ScriptedTinyDb> script)
{
    return [script](const tavir::tinydb::TinyDbEndpoint&) {
        return std::make_unique<ScriptedTinyDbStream>(script);
    };
}

} // namespace tavir::test
