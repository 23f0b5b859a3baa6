#pragma once
// A scripted, misbehaving server on the loopback server: each connection, in
// order, plays a list of steps (say bytes, say them one byte at a time, read
// a command line, stall, hang up, say the same bytes without end). What
// every client sent is recorded. For the cases no real server produces.
#include "support/Loopback.h"

#include <string>
#include <vector>

namespace tavir::test {

struct Step {
    enum Kind { Say, SayByteByByte, ReadLine, Stall, HangUp, SayEndless } kind;
    std::string bytes;
    int ms = 0;
};

// "%T" in what is said stands for the tag of the command line read last.
Step say(std::string bytes);
Step sayByteByByte(std::string bytes);
Step readLine();
Step stall(int ms);
Step hangUp();
// Sends `bytes` over and over until the client hangs up or `ms` passes.
Step sayEndless(std::string bytes, int ms);

// Connection i plays script i; after its last step it reads what the
// client still sends (for up to 3 seconds) until the client hangs up. With
// no scripts the port listens and accepts nothing.
class SocketScript : public LoopbackServer {
public:
    explicit SocketScript(const std::vector<std::vector<Step>>& connections);

private:
    static std::vector<Handler> plan(const std::vector<std::vector<Step>>& connections);
};

} // namespace tavir::test
