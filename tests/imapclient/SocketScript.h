#pragma once
// A scripted, misbehaving IMAP server on a loopback socket: one thread that
// accepts connections and plays, for each, a list of steps (say bytes, say
// them one byte at a time, read a command line, stall, hang up). It records
// every byte each client sent. For the cases no real server produces.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tavir::test {

struct Step {
    enum Kind { Say, SayByteByByte, ReadLine, Stall, HangUp, SayEndless } kind;
    std::string bytes;
    int ms = 0;
};

inline Step say(std::string bytes)
{
    return {Step::Say, std::move(bytes), 0};
}
inline Step sayByteByByte(std::string bytes)
{
    return {Step::SayByteByByte, std::move(bytes), 0};
}
inline Step readLine()
{
    return {Step::ReadLine, "", 0};
}
inline Step stall(int ms)
{
    return {Step::Stall, "", ms};
}
inline Step hangUp()
{
    return {Step::HangUp, "", 0};
}
// Sends `bytes` over and over until the client hangs up or `ms` passes.
inline Step sayEndless(std::string bytes, int ms)
{
    return {Step::SayEndless, std::move(bytes), ms};
}

class SocketScript {
public:
    explicit SocketScript(std::vector<std::vector<Step>> connections)
        : scripts_(std::move(connections))
        , received_(scripts_.size())
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || listen(listener_, 8) != 0
            || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~SocketScript()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    SocketScript(const SocketScript&) = delete;
    SocketScript& operator=(const SocketScript&) = delete;

    int port() const { return port_; }
    std::string received(std::size_t connection)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.at(connection);
    }
    std::size_t accepted()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }

private:
    bool waitReadable(int fd, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    // Connection i plays script i, each on its own thread.
    void run()
    {
        std::vector<std::thread> players;
        for (std::size_t i = 0; i < scripts_.size(); ++i) {
            int fd = -1;
            while (!stop_ && fd < 0) {
                if (waitReadable(listener_, 50))
                    fd = accept(listener_, nullptr, nullptr);
            }
            if (fd < 0)
                break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++accepted_;
            }
            players.emplace_back([this, fd, i] {
                play(fd, i);
                ::close(fd);
            });
        }
        for (std::thread& player : players)
            player.join();
    }

    void record(std::size_t i, const char* data, std::size_t n)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_[i].append(data, n);
    }

    // Reads what the client sends, up to a line end when `untilLine`.
    bool readSome(int fd, std::size_t i, bool untilLine, int ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char c;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            if (!waitReadable(fd, 20))
                continue;
            ssize_t got = recv(fd, &c, 1, 0);
            if (got <= 0)
                return false;
            record(i, &c, 1);
            if (untilLine && c == '\n')
                return true;
        }
        return false;
    }

    void play(int fd, std::size_t i)
    {
        for (const Step& step : scripts_[i]) {
            if (stop_)
                return;
            switch (step.kind) {
            case Step::Say:
                send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
                break;
            case Step::SayByteByByte:
                for (char c : step.bytes) {
                    if (send(fd, &c, 1, MSG_NOSIGNAL) != 1)
                        return;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                break;
            case Step::ReadLine:
                if (!readSome(fd, i, true, 10000))
                    return;
                break;
            case Step::Stall:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                break;
            case Step::HangUp:
                return;
            case Step::SayEndless: {
                auto deadline
                    = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
                while (!stop_ && std::chrono::steady_clock::now() < deadline) {
                    pollfd p{fd, POLLOUT, 0};
                    if (poll(&p, 1, 20) <= 0)
                        continue;
                    if (send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0)
                        break;
                }
                break;
            }
            }
        }
        // Script done: keep reading until the client hangs up (bounded).
        readSome(fd, i, false, 3000);
    }

    std::vector<std::vector<Step>> scripts_;
    std::vector<std::string> received_;
    std::size_t accepted_ = 0;
    std::mutex mutex_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

} // namespace tavir::test
