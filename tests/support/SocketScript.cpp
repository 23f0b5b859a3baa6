#include "support/SocketScript.h"

#include <chrono>
#include <thread>

namespace tavir::test {

Step say(std::string bytes)
{
    return {Step::Say, std::move(bytes), 0};
}

Step sayByteByByte(std::string bytes)
{
    return {Step::SayByteByByte, std::move(bytes), 0};
}

Step readLine()
{
    return {Step::ReadLine, "", 0};
}

Step stall(int ms)
{
    return {Step::Stall, "", ms};
}

Step hangUp()
{
    return {Step::HangUp, "", 0};
}

Step sayEndless(std::string bytes, int ms)
{
    return {Step::SayEndless, std::move(bytes), ms};
}

namespace {

void play(const std::vector<Step>& steps, PeerSocket& peer)
{
    std::string tag;
    auto withTag = [&tag](std::string bytes) {
        for (std::size_t at = bytes.find("%T"); at != std::string::npos; at = bytes.find("%T", at))
            bytes.replace(at, 2, tag);
        return bytes;
    };
    for (const Step& step : steps) {
        if (peer.stopping())
            return;
        switch (step.kind) {
        case Step::Say:
            peer.say(withTag(step.bytes));
            break;
        case Step::SayByteByByte:
            if (!peer.sayByteByByte(withTag(step.bytes)))
                return;
            break;
        case Step::ReadLine: {
            std::string line = peer.readLine(10000);
            if (line.empty())
                return;
            tag = PeerSocket::tagOf(line);
            break;
        }
        case Step::Stall:
            std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            break;
        case Step::HangUp:
            return;
        case Step::SayEndless: {
            long long end = nowMs() + step.ms;
            while (!peer.stopping() && nowMs() < end)
                if (!peer.say(step.bytes))
                    break;
            break;
        }
        }
    }
    peer.drain(3000);
}

} // namespace

SocketScript::SocketScript(const std::vector<std::vector<Step>>& connections)
    : LoopbackServer(plan(connections))
{
}

std::vector<LoopbackServer::Handler> SocketScript::plan(
    const std::vector<std::vector<Step>>& connections)
{
    std::vector<Handler> handlers;
    for (const std::vector<Step>& steps : connections)
        handlers.push_back([steps](PeerSocket& peer) { play(steps, peer); });
    return handlers;
}

} // namespace tavir::test
