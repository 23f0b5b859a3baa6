#include "support/FakeImapSource.h"

#include <string>

namespace tavir::test {

std::string FakeImapSource::dateOf(unsigned n)
{
    unsigned day = (n - 1) % 28 + 1;
    return (day < 10 ? "0" : "") + std::to_string(day) + "-Jan-2020 10:00:00 +0000";
}

LoopbackServer::Handler FakeImapSource::session() const
{
    FakeImapSource source = *this;
    return [source](PeerSocket& peer) {
        // One send, or the untagged part and the tagged line in two.
        auto reply = [&](const std::string& untagged, const std::string& tagged) {
            if (!source.splitReplies)
                return peer.say(untagged + tagged);
            return peer.say(untagged) && peer.say(tagged);
        };
        peer.say(source.greeting);
        for (;;) {
            std::string line = peer.readLine();
            if (line.empty())
                return;
            std::string done = PeerSocket::tagOf(line) + " OK done\r\n";
            std::size_t fetch = line.find(" FETCH ");
            if (fetch == std::string::npos) {
                peer.say(done);
                continue;
            }
            unsigned n = static_cast<unsigned>(std::stoul(line.substr(fetch + 7)));
            std::string number = std::to_string(n);
            if (line.find("INTERNALDATE") != std::string::npos) {
                reply("* " + number + " FETCH (INTERNALDATE \"" + dateOf(n)
                        + "\" FLAGS (\\Answered))\r\n",
                    done);
                continue;
            }
            const std::string& body = source.bodies.at(n - 1);
            std::string head
                = "* " + number + " FETCH (BODY[] {" + std::to_string(body.size()) + "}\r\n";
            if (n == source.broken && source.cut != Cut::None) {
                peer.say(head + body.substr(0, body.size() / 2));
                if (source.cut == Cut::Stall)
                    peer.idle(source.stallMs);
                return;
            }
            reply(source.beforeBody + head + body + ")\r\n", done);
        }
    };
}

} // namespace tavir::test
