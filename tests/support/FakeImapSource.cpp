// The scripted IMAP source: the commands it answers and how it writes its messages.
#include "support/FakeImapSource.h"

#include "support/Dovecot.h"

#include <algorithm>
#include <set>
#include <string>
#include <strings.h>

namespace tavir::test {

namespace {

// The numbers of a message set ("1:3,5", "4:*") among messages 1 to count,
// ascending.
std::set<unsigned> numbersIn(const std::string& set, unsigned count)
{
    auto number = [count](const std::string& text) {
        return text == "*" ? count : static_cast<unsigned>(std::stoul(text));
    };
    std::set<unsigned> numbers;
    std::size_t at = 0;
    while (at <= set.size()) {
        std::size_t end = std::min(set.find(',', at), set.size());
        const std::string range = set.substr(at, end - at);
        const std::size_t colon = range.find(':');
        unsigned first = number(range.substr(0, colon));
        unsigned last = colon == std::string::npos ? first : number(range.substr(colon + 1));
        if (first > last)
            std::swap(first, last);
        for (unsigned n = std::max(first, 1u); n <= std::min(last, count); ++n)
            numbers.insert(n);
        at = end + 1;
    }
    return numbers;
}

// The Message-ID field of a message's header, its folded lines with it,
// then the blank line: what BODY[HEADER.FIELDS (MESSAGE-ID)] gives.
std::string messageIdHeader(const std::string& body)
{
    std::string fields;
    bool inField = false;
    for (std::size_t at = 0; at < body.size();) {
        std::size_t end = body.find("\r\n", at);
        if (end == std::string::npos || end == at)
            break;
        const std::string line = body.substr(at, end - at + 2);
        if (line[0] != ' ' && line[0] != '\t')
            inField = strncasecmp(line.c_str(), "Message-ID:", 11) == 0;
        if (inField)
            fields += line;
        at = end + 2;
    }
    return fields + "\r\n";
}

std::string literal(const std::string& bytes)
{
    return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

// Items joined by one blank, the empty ones left out.
std::string items(std::initializer_list<std::string> list)
{
    std::string joined;
    for (const std::string& item : list)
        if (!item.empty())
            joined += (joined.empty() ? "" : " ") + item;
    return joined;
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

std::string FakeImapSource::uidItem(unsigned n) const
{
    return "UID " + std::to_string(uidOf(n));
}

std::string FakeImapSource::uidsFrom(std::uint32_t from) const
{
    const unsigned count = static_cast<unsigned>(bodies.size());
    std::string untagged;
    for (unsigned n = 1; n <= count; ++n)
        if (uidOf(n) >= from || n == count)
            untagged += "* " + std::to_string(n) + " FETCH (" + uidItem(n) + ")\r\n";
    return untagged;
}

std::string FakeImapSource::dateItem(unsigned n) const
{
    const std::string value = n <= dates.size() ? dates[n - 1] : imapQuoted(dateOf(n));
    return value.empty() ? std::string() : "INTERNALDATE " + value;
}

std::string FakeImapSource::flagsOf(unsigned n) const
{
    return n <= flags.size() ? flags[n - 1] : "(\\Answered)";
}

std::string FakeImapSource::bodyItem(unsigned n) const
{
    const std::string& body = bodies.at(n - 1);
    return "BODY[] " + (quotedBodies ? imapQuoted(body) : literal(body));
}

std::string FakeImapSource::summaryOf(unsigned n) const
{
    const std::string& body = bodies.at(n - 1);
    const long size
        = static_cast<long>(body.size()) + (n <= sizeErrors.size() ? sizeErrors[n - 1] : 0);
    return "* " + std::to_string(n) + " FETCH ("
        + items({"RFC822.SIZE " + std::to_string(size), dateItem(n),
            "BODY[HEADER.FIELDS (MESSAGE-ID)] " + literal(messageIdHeader(body))})
        + ")\r\n";
}

LoopbackServer::Handler FakeImapSource::session() const
{
    FakeImapSource source = *this;
    return [source](PeerSocket& peer) { source.serve(peer); };
}

void FakeImapSource::serve(PeerSocket& peer) const
{
    // One send, or the untagged part and the tagged line in two.
    auto reply = [&](const std::string& untagged, const std::string& tagged) {
        if (!splitReplies)
            return peer.say(untagged + tagged);
        return peer.say(untagged) && peer.say(tagged);
    };
    const unsigned count = static_cast<unsigned>(bodies.size());
    peer.say(greeting);
    for (;;) {
        const std::string line = peer.readLine(30000);
        if (line.empty())
            return;
        const std::string tag = PeerSocket::tagOf(line);
        const std::string done = tag + " OK done\r\n";
        const std::size_t verbAt = line.find(' ') + 1;
        const std::string verb = line.substr(verbAt, line.find(' ', verbAt) - verbAt);
        auto is = [&](const char* word) { return strcasecmp(verb.c_str(), word) == 0; };
        if (is("LOGOUT")) {
            peer.say("* BYE logging out\r\n" + done);
            return;
        }
        if (is("LIST")) {
            reply("* LIST (\\HasNoChildren) \"/\" \"INBOX\"\r\n", done);
            continue;
        }
        if (is("SELECT") || is("EXAMINE")) {
            const std::uint32_t next = count == 0 ? 1 : uidOf(count) + 1;
            reply("* " + std::to_string(count) + " EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY "
                    + std::to_string(uidValidity) + "] UIDs valid\r\n* OK [UIDNEXT "
                    + std::to_string(next) + "] next\r\n",
                tag + " OK [READ-WRITE] selected\r\n");
            continue;
        }
        if (is("UID") && line.find(" UID FETCH ") != std::string::npos) {
            reply(uidsFrom(static_cast<std::uint32_t>(
                      std::stoul(line.substr(line.find(" UID FETCH ") + 11)))),
                done);
            continue;
        }
        if (is("STATUS")) {
            reply("* STATUS \"INBOX\" (MESSAGES " + std::to_string(count) + ")\r\n", done);
            continue;
        }
        if (!is("FETCH")) {
            peer.say(done);
            continue;
        }
        const std::size_t setAt = verbAt + verb.size() + 1;
        const std::size_t setEnd = line.find(' ', setAt);
        const std::set<unsigned> numbers = numbersIn(line.substr(setAt, setEnd - setAt), count);
        const std::string asked = line.substr(setEnd + 1);
        auto asks = [&](const char* item) { return asked.find(item) != std::string::npos; };
        const bool withUid = asks("(UID ");
        std::string untagged;
        if (asks("RFC822.SIZE")) {
            for (unsigned n : numbers)
                untagged += summaryOf(n);
            reply(untagged, done);
            continue;
        }
        if (asks("BODY.PEEK[]<")) {
            const std::size_t open = asked.find('<');
            const std::size_t origin = std::stoul(asked.substr(open + 1));
            const std::size_t length = std::stoul(asked.substr(asked.find('.', open) + 1));
            for (unsigned n : numbers) {
                const std::string& body = bodies.at(n - 1);
                untagged += "* " + std::to_string(n) + " FETCH (BODY[]<" + std::to_string(origin)
                    + "> " + literal(origin < body.size() ? body.substr(origin, length) : "")
                    + ")\r\n";
            }
            reply(untagged, done);
            continue;
        }
        const bool body = asks("BODY.PEEK[]");
        if (!body) {
            for (unsigned n : numbers)
                untagged += "* " + std::to_string(n) + " FETCH ("
                    + items({withUid ? uidItem(n) : "", dateItem(n), "FLAGS " + flagsOf(n)})
                    + ")\r\n";
            reply(untagged, done);
            continue;
        }
        // Bodies, with the date and the flags when they are asked for too.
        const bool dated = asks("INTERNALDATE");
        for (unsigned n : numbers) {
            const std::string head = "* " + std::to_string(n) + " FETCH ("
                + items({withUid ? uidItem(n) : "", dated ? dateItem(n) : "",
                    dated ? "FLAGS " + flagsOf(n) : ""});
            const std::string answer = (head.back() == '(' ? head : head + " ") + bodyItem(n);
            if (n == broken && cut != Cut::None) {
                // Half of the body, and no more.
                const std::string& whole = bodies.at(n - 1);
                peer.say(untagged + beforeBody
                    + answer.substr(0, answer.size() - whole.size() + whole.size() / 2));
                if (cut == Cut::Stall)
                    peer.idle(stallMs);
                return;
            }
            untagged += beforeBody + answer + ")\r\n";
        }
        reply(untagged, done);
    }
}

} // namespace tavir::test
