#pragma once
// A scripted server behind the IMAP connection's stream interface, and the
// logged-in connection and client built on it. The bytes the server will
// say are given up front; "%T" in them stands for the tag of the oldest
// command the script has not answered yet (with one command at a time, the
// one the client wrote last), so that a script answers whatever tag a
// command used, and commands in flight in the order they were sent. Bytes
// count as waiting (dataWaiting) up to a "%|" in the script, which stands
// for a server that has not answered yet. What the client writes is recorded, and faults (failed connect,
// failed write, a read that ends early) can be planned. A read past the
// script behaves like a read time-out. Header-only: it needs the IMAP
// client, which the support library does not link.
#include "imapclient/ConnectionInternal.h"
#include "imapclient/ImapStream.h"
#include "imapclient/SimpleImapClient.h"
#include "support/CommandLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavir::test {

struct ScriptedSession {
    std::string serverBytes; // what the server says, in order
    std::string clientBytes; // what the client wrote (flushed or not)
    bool createFails = false;
    long writeBudget = -1; // bytes the client may write before writes fail
    int writesLeft = -1; // writes that succeed before writes fail
    bool closedAtEnd = false; // past the script: a closed peer, not a time-out
    std::exception_ptr failRead; // when set, every read throws it
    bool closed = false;
    int flushes = 0;
    tavir::mail::ImapEndpoint endpoint;
    std::vector<unsigned> deadlines; // each deadline started, in ms
    unsigned long extendedMs = 0; // what the deadlines were extended by
    // The most bytes the client had written, at any moment, from the start
    // of the oldest command not answered yet: what it had in flight.
    std::size_t mostInFlight = 0;
};

// The length of the tag ("K" and digits) that begins a command line, or 0.
inline std::size_t tagLength(const std::string& line)
{
    std::size_t end = 1;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9')
        ++end;
    return line[0] == 'K' && end > 1 && end < line.size() && line[end] == ' ' ? end : 0;
}

// The client's bytes with the tag of each command line left out: "K7
// SELECT ..." reads "SELECT ...". A tagged reply line reads the same way.
inline std::string withoutTags(const std::string& bytes)
{
    bool ended = bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0;
    std::string text = ended ? bytes : bytes + "\r\n";
    std::vector<std::pair<std::size_t, std::size_t>> tags; // where, how long with its blank
    CommandLines lines;
    lines.feed(text, 0, [&](const std::string& line, std::size_t at) {
        if (std::size_t length = tagLength(line))
            tags.emplace_back(at, length + 1);
    });
    for (auto it = tags.rbegin(); it != tags.rend(); ++it)
        text.erase(it->first, it->second);
    return ended ? text : text.substr(0, text.size() - 2);
}

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
        if (s_->failRead)
            std::rethrow_exception(s_->failRead);
        if (pending_.empty()) {
            if (pos_ >= s_->serverBytes.size()) {
                eof_ = true;
                return -1;
            }
            if (s_->serverBytes.compare(pos_, 2, "%T") == 0) {
                pending_ = unanswered_.empty() ? lastTag_ : unanswered_.front();
                if (!unanswered_.empty()) {
                    unanswered_.pop_front();
                    unansweredAt_.pop_front();
                }
                pos_ += 2;
            } else if (s_->serverBytes.compare(pos_, 2, "%|") == 0) {
                pos_ += 2;
            } else {
                pending_.assign(1, s_->serverBytes[pos_++]);
            }
            if (pending_.empty())
                return get();
        }
        int c = static_cast<unsigned char>(pending_[0]);
        pending_.erase(0, 1);
        return c;
    }
    std::size_t read(char* data, std::size_t n) override
    {
        std::size_t got = 0;
        for (; got < n; ++got) {
            int c = get();
            if (c < 0)
                break;
            data[got] = static_cast<char>(c);
        }
        return got;
    }
    void write(const char* data, std::size_t n) override
    {
        if (s_->writesLeft == 0)
            bad_ = true;
        if (bad_)
            return;
        if (s_->writesLeft > 0)
            --s_->writesLeft;
        if (s_->writeBudget >= 0 && static_cast<long>(n) > s_->writeBudget) {
            n = static_cast<std::size_t>(s_->writeBudget);
            bad_ = true;
        }
        if (s_->writeBudget >= 0)
            s_->writeBudget -= static_cast<long>(n);
        // The tag of the last command line is what "%T" stands for.
        lines_.feed(std::string(data, n), s_->clientBytes.size(),
            [this](const std::string& line, std::size_t at) {
                if (std::size_t length = tagLength(line)) {
                    lastTag_ = line.substr(0, length);
                    unanswered_.push_back(lastTag_);
                    unansweredAt_.push_back(at);
                }
            });
        s_->clientBytes.append(data, n);
        if (!unansweredAt_.empty()) {
            s_->mostInFlight
                = std::max(s_->mostInFlight, s_->clientBytes.size() - unansweredAt_.front());
        }
    }
    void flush() override { ++s_->flushes; }
    bool dataWaiting() override
    {
        return !pending_.empty()
            || (pos_ < s_->serverBytes.size() && s_->serverBytes.compare(pos_, 2, "%|") != 0);
    }
    void setTimeoutMs(unsigned) override { }
    void startDeadline(unsigned ms) override { s_->deadlines.push_back(ms); }
    void extendDeadline(unsigned ms) override { s_->extendedMs += ms; }
    int readEndError() const override { return s_->closedAtEnd ? 0 : ETIMEDOUT; }

private:
    std::shared_ptr<ScriptedSession> s_;
    std::size_t pos_ = 0;
    std::string pending_; // bytes of a substituted tag not yet handed out
    CommandLines lines_;
    std::string lastTag_;
    std::deque<std::string> unanswered_; // tags not yet answered with "%T"
    std::deque<std::size_t> unansweredAt_; // where their lines begin in clientBytes
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

// The streams another factory makes (scripted or over TCP), each telling
// `seen` as it is made and as its connection is closed (the first close(),
// or its end without one), on the thread that does it: what was asked of
// the connections' owners at those moments shows in what order they did
// things.
class WatchedStreams {
public:
    enum class Event { Made, Closed };
    using Seen = std::function<void(Event)>;

    static tavir::mail::ImapStreamFactory factory(tavir::mail::ImapStreamFactory inner, Seen seen)
    {
        return [inner = std::move(inner), seen = std::move(seen)](
                   const tavir::mail::ImapEndpoint& endpoint)
                   -> std::unique_ptr<tavir::mail::ImapStream> {
            std::unique_ptr<tavir::mail::ImapStream> made = inner(endpoint);
            if (!made)
                return nullptr;
            seen(Event::Made);
            return std::make_unique<Watched>(std::move(made), seen);
        };
    }

private:
    class Watched : public tavir::mail::ImapStream {
    public:
        Watched(std::unique_ptr<tavir::mail::ImapStream> inner, Seen seen)
            : inner_(std::move(inner))
            , seen_(std::move(seen))
        {
        }
        ~Watched() override { closed(); }
        bool create() override { return inner_->create(); }
        void close() override
        {
            inner_->close();
            closed();
        }
        bool good() override { return inner_->good(); }
        int get() override { return inner_->get(); }
        bool readLine(std::string& line, std::size_t max) override
        {
            return inner_->readLine(line, max);
        }
        std::size_t read(char* data, std::size_t n) override { return inner_->read(data, n); }
        void write(const char* data, std::size_t n) override { inner_->write(data, n); }
        bool dataWaiting() override { return inner_->dataWaiting(); }
        std::size_t buffered() const override { return inner_->buffered(); }
        void flush() override { inner_->flush(); }
        void setTimeoutMs(unsigned ms) override { inner_->setTimeoutMs(ms); }
        void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop) override
        {
            inner_->setStopSignal(std::move(stop));
        }
        void startDeadline(unsigned ms) override { inner_->startDeadline(ms); }
        void extendDeadline(unsigned ms) override { inner_->extendDeadline(ms); }
        void setStopGrace(unsigned ms) override { inner_->setStopGrace(ms); }
        int readEndError() const override { return inner_->readEndError(); }
        int writeEndError() const override { return inner_->writeEndError(); }
        std::string connectFailure() const override { return inner_->connectFailure(); }
        tavir::mail::TrustNotice trustNotice() const override { return inner_->trustNotice(); }

    private:
        void closed()
        {
            if (!closed_)
                seen_(Event::Closed);
            closed_ = true;
        }

        std::unique_ptr<tavir::mail::ImapStream> inner_;
        Seen seen_;
        bool closed_ = false;
    };
};

// A SELECT's replies as a server writes them, its tagged OK with "%T":
// the count, and the UIDVALIDITY and UIDNEXT codes unless they are 0 (a
// server that does not say them).
inline std::string selectReplies(unsigned count, unsigned validity, unsigned next)
{
    std::string replies = "* " + std::to_string(count) + " EXISTS\r\n* 0 RECENT\r\n";
    if (validity != 0)
        replies += "* OK [UIDVALIDITY " + std::to_string(validity) + "] UIDs valid\r\n";
    if (next != 0)
        replies += "* OK [UIDNEXT " + std::to_string(next) + "] predicted\r\n";
    return replies + "%T OK [READ-WRITE] selected\r\n";
}

// A greeting that announces LITERAL+, so that literals go without waiting.
inline const std::string scriptedGreeting = "* OK [CAPABILITY IMAP4rev1 LITERAL+] ready\r\n";

// A connection logged in as "user" with "secret" on a scripted session whose
// server then says `after` to the test's commands; the record of what the
// client wrote starts after the login.
struct LoggedInConnection {
    explicit LoggedInConnection(
        const std::string& after, const std::string& greeting = scriptedGreeting)
    {
        session = server.addSession(greeting + "%T OK Logged in\r\n" + after);
        connection.initialize("scripted", 0, "user", "secret", false, 180, false);
        connection.setStreamFactory(server.factory());
        connection.init(true);
        session->clientBytes.clear();
    }
    ScriptedServer server;
    std::shared_ptr<ScriptedSession> session;
    tavir::mail::ConnectionInternal connection;
};

// The client facade logged in the same way.
struct LoggedInClient {
    explicit LoggedInClient(
        const std::string& after, const std::string& greeting = scriptedGreeting)
    {
        session = server.addSession(greeting + "%T OK LOGIN completed\r\n" + after);
        client.setStreamFactory(server.factory());
        EXPECT_EQ(
            tavir::mail::ImapSuccess, client.connect(L"scripted", 0, L"user", L"pw", false, false));
    }
    // What the client sent after its login line, without tags.
    std::string sent() const
    {
        const std::string& bytes = session->clientBytes;
        return withoutTags(bytes.substr(bytes.find("\r\n") + 2));
    }
    ScriptedServer server;
    std::shared_ptr<ScriptedSession> session;
    tavir::mail::SimpleImapClient client;
};

} // namespace tavir::test
