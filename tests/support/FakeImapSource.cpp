#include "support/FakeImapSource.h"

#include <algorithm>
#include <string>

namespace tavir::test {

namespace {

// The numbers a FETCH's message set names ("3", "1:4,7", "5:*"), of `count`.
std::vector<unsigned> messageSet(const std::string& set, unsigned count)
{
    std::vector<unsigned> numbers;
    std::size_t at = 0;
    while (at < set.size()) {
        std::size_t end = set.find(',', at);
        const std::string range = set.substr(at, end == std::string::npos ? end : end - at);
        const std::size_t colon = range.find(':');
        auto value = [&](const std::string& text) {
            return text == "*" ? count : static_cast<unsigned>(std::stoul(text));
        };
        unsigned first = value(range.substr(0, colon));
        unsigned last = colon == std::string::npos ? first : value(range.substr(colon + 1));
        if (first > last)
            std::swap(first, last);
        for (unsigned n = first; n <= last && n <= count; ++n)
            numbers.push_back(n);
        at = end == std::string::npos ? set.size() : end + 1;
    }
    return numbers;
}

} // namespace

std::string FakeImapSource::dateOf(unsigned n)
{
    unsigned day = (n - 1) % 28 + 1;
    return (day < 10 ? "0" : "") + std::to_string(day) + "-Jan-2020 10:00:00 +0000";
}

std::uint32_t FakeImapSource::uidOf(unsigned n) const
{
    return n <= uids.size() ? uids[n - 1] : n;
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
        const unsigned count = static_cast<unsigned>(source.bodies.size());
        peer.say(source.greeting);
        for (;;) {
            std::string line = peer.readLine();
            if (line.empty())
                return;
            std::string done = PeerSocket::tagOf(line) + " OK done\r\n";
            if (line.find(" SELECT ") != std::string::npos) {
                const std::uint32_t next = count == 0 ? 1 : source.uidOf(count) + 1;
                reply("* " + std::to_string(count) + " EXISTS\r\n* OK [UIDVALIDITY "
                        + std::to_string(source.uidValidity) + "] UIDs valid\r\n* OK [UIDNEXT "
                        + std::to_string(next) + "] next\r\n",
                    done);
                continue;
            }
            if (line.find(" UID FETCH ") != std::string::npos) {
                // "UID FETCH n:* (UID)": from UID n on, and the last message.
                const std::uint32_t from = static_cast<std::uint32_t>(
                    std::stoul(line.substr(line.find(" UID FETCH ") + 11)));
                std::string untagged;
                for (unsigned n = 1; n <= count; ++n)
                    if (source.uidOf(n) >= from || n == count)
                        untagged += "* " + std::to_string(n) + " FETCH (UID "
                            + std::to_string(source.uidOf(n)) + ")\r\n";
                reply(untagged, done);
                continue;
            }
            std::size_t fetch = line.find(" FETCH ");
            if (fetch == std::string::npos) {
                peer.say(done);
                continue;
            }
            const std::string set = line.substr(fetch + 7, line.find(' ', fetch + 7) - fetch - 7);
            const bool withUid = line.find("(UID ") != std::string::npos;
            const bool withBody = line.find("BODY.PEEK[]") != std::string::npos;
            std::string untagged;
            for (unsigned n : messageSet(set, count)) {
                const std::string number = std::to_string(n);
                std::string items = withUid ? "UID " + std::to_string(source.uidOf(n)) + " " : "";
                if (line.find("INTERNALDATE") != std::string::npos)
                    items += "INTERNALDATE \"" + dateOf(n) + "\" FLAGS (\\Answered)";
                if (!withBody) {
                    untagged += "* " + number + " FETCH (" + items + ")\r\n";
                    continue;
                }
                const std::string& body = source.bodies.at(n - 1);
                const std::string head = "* " + number + " FETCH (" + items
                    + (items.empty() ? "" : " ") + "BODY[] {" + std::to_string(body.size())
                    + "}\r\n";
                if (n == source.broken && source.cut != Cut::None) {
                    peer.say(untagged + head + body.substr(0, body.size() / 2));
                    if (source.cut == Cut::Stall)
                        peer.idle(source.stallMs);
                    return;
                }
                untagged += source.beforeBody + head + body + ")\r\n";
            }
            reply(untagged, done);
        }
    };
}

} // namespace tavir::test
