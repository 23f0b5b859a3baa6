#include "support/FakeMailboxSource.h"

#include "support/Dovecot.h"
#include "support/FakeImapSource.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <strings.h>

namespace tavir::test {

namespace {

// The words of a command line: atoms (a bracketed section with its blanks
// is part of its atom: "BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)]"), quoted
// strings without their quotes and escapes, and parenthesised lists whole.
std::vector<std::string> wordsOf(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        if (line[at] == ' ') {
            ++at;
            continue;
        }
        std::string word;
        if (line[at] == '"') {
            for (++at; at < line.size() && line[at] != '"'; ++at) {
                if (line[at] == '\\' && at + 1 < line.size())
                    ++at;
                word += line[at];
            }
            ++at;
        } else {
            int depth = 0;
            for (; at < line.size() && (depth > 0 || line[at] != ' '); ++at) {
                if (line[at] == '(' || line[at] == '[')
                    ++depth;
                else if (line[at] == ')' || line[at] == ']')
                    --depth;
                word += line[at];
            }
        }
        words.push_back(word);
    }
    return words;
}

// A command line whole: a literal ("{n}" or "{n+}" at the end of a line)
// is read in, which a name with a line break could not be.
std::string readCommand(PeerSocket& peer)
{
    std::string line = peer.readLine();
    while (!line.empty() && line.back() == '}') {
        const std::size_t open = line.rfind('{');
        if (open == std::string::npos)
            break;
        const bool synchronising = line[line.size() - 2] != '+';
        if (synchronising && !peer.say("+ go ahead\r\n"))
            return std::string();
        const std::string more = peer.readLine();
        if (more.empty())
            return std::string();
        line = line.substr(0, open) + imapQuoted(more.substr(0,
                   std::stoul(line.substr(open + 1))))
            + more.substr(std::stoul(line.substr(open + 1)));
    }
    return line;
}

bool selectable(const FakeFolder& folder)
{
    for (const char* flag : {"\\Noselect", "\\NonExistent"})
        for (std::size_t at = 0; at + std::string(flag).size() <= folder.flags.size(); ++at)
            if (strncasecmp(folder.flags.c_str() + at, flag, std::string(flag).size()) == 0)
                return false;
    return true;
}

// The numbers of a message set ("1:3,5,7:*") among 1 to count, ascending.
std::vector<unsigned> numbersOf(const std::string& set, unsigned count)
{
    std::set<unsigned> numbers;
    auto number = [&](const std::string& text) {
        return text == "*" ? count : static_cast<unsigned>(std::stoul(text));
    };
    std::size_t begin = 0;
    while (begin <= set.size()) {
        std::size_t end = set.find(',', begin);
        if (end == std::string::npos)
            end = set.size();
        const std::string range = set.substr(begin, end - begin);
        const std::size_t colon = range.find(':');
        unsigned from = number(range.substr(0, colon));
        unsigned to = colon == std::string::npos ? from : number(range.substr(colon + 1));
        if (from > to)
            std::swap(from, to);
        for (unsigned n = std::max(from, 1u); n <= std::min(to, count); ++n)
            numbers.insert(n);
        begin = end + 1;
    }
    return std::vector<unsigned>(numbers.begin(), numbers.end());
}

std::string literal(const std::string& bytes)
{
    return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

// The Message-ID field of a message's header as HEADER.FIELDS gives it,
// with the blank line that ends it.
std::string messageIdFields(const std::string& body)
{
    std::string fields;
    const std::size_t headerEnd = body.find("\r\n\r\n");
    const std::string header = body.substr(0, headerEnd == std::string::npos ? 0 : headerEnd + 2);
    for (std::size_t line = 0; line < header.size();) {
        const std::size_t end = header.find("\r\n", line) + 2;
        if (strncasecmp(header.c_str() + line, "message-id:", 11) == 0)
            fields += header.substr(line, end - line);
        line = end;
    }
    return fields + "\r\n";
}

// One message item of a FETCH reply, or nothing for an item not served.
std::string fetchItem(const std::string& item, unsigned n, const std::string& body)
{
    if (strcasecmp(item.c_str(), "INTERNALDATE") == 0)
        return "INTERNALDATE \"" + FakeImapSource::dateOf(n) + "\"";
    if (strcasecmp(item.c_str(), "FLAGS") == 0)
        return "FLAGS (\\Seen)";
    if (strcasecmp(item.c_str(), "UID") == 0)
        return "UID " + std::to_string(n);
    if (strcasecmp(item.c_str(), "RFC822.SIZE") == 0)
        return "RFC822.SIZE " + std::to_string(body.size());
    if (strncasecmp(item.c_str(), "BODY.PEEK[HEADER.FIELDS", 23) == 0)
        return "BODY[HEADER.FIELDS (MESSAGE-ID)] " + literal(messageIdFields(body));
    if (strncasecmp(item.c_str(), "BODY.PEEK[]<", 12) == 0) {
        const std::size_t origin = std::stoul(item.substr(12));
        const std::size_t length = std::stoul(item.substr(item.find('.', 12) + 1));
        const std::string piece = origin < body.size() ? body.substr(origin, length) : "";
        return "BODY[]<" + std::to_string(origin) + "> " + literal(piece);
    }
    if (strcasecmp(item.c_str(), "BODY.PEEK[]") == 0)
        return "BODY[] " + literal(body);
    return std::string();
}

std::string fetchReply(const std::string& set, const std::string& itemList, const FakeFolder& folder)
{
    std::vector<std::string> items = {itemList};
    if (!itemList.empty() && itemList.front() == '(')
        items = wordsOf(itemList.substr(1, itemList.size() - 2));
    std::string reply;
    const auto count = static_cast<unsigned>(folder.bodies.size());
    for (unsigned n : numbersOf(set, count)) {
        std::string parts;
        for (const std::string& item : items) {
            const std::string part = fetchItem(item, n, folder.bodies[n - 1]);
            if (!part.empty())
                parts += (parts.empty() ? "" : " ") + part;
        }
        reply += "* " + std::to_string(n) + " FETCH (" + parts + ")\r\n";
    }
    return reply;
}

} // namespace

LoopbackServer::Handler FakeMailboxSource::session() const
{
    FakeMailboxSource source = *this;
    return [source](PeerSocket& peer) {
        peer.say("* OK [CAPABILITY IMAP4rev1 LITERAL+] fake mailbox source ready\r\n");
        const FakeFolder* selected = nullptr;
        auto find = [&](const std::string& name) -> const FakeFolder* {
            for (const FakeFolder& folder : source.folders)
                if (folder.name == name && selectable(folder))
                    return &folder;
            return nullptr;
        };
        for (;;) {
            const std::string line = readCommand(peer);
            const std::vector<std::string> words = wordsOf(line);
            if (words.size() < 2)
                return;
            const std::string& tag = words[0];
            std::string verb = words[1];
            std::transform(verb.begin(), verb.end(), verb.begin(),
                [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            std::string reply;
            if (verb == "LIST") {
                const bool withGuid = words.size() > 2 && words[2] == "(GUID)";
                for (const FakeFolder& folder : source.folders) {
                    std::string flags = folder.flags;
                    if (withGuid && !folder.guid.empty())
                        flags += (flags.empty() ? "" : " ") + ("\\Guid(" + folder.guid + ")");
                    reply += "* LIST (" + flags + ") " + source.separator + " "
                        + imapQuoted(folder.name) + "\r\n";
                }
                reply += tag + " OK listed\r\n";
            } else if ((verb == "SELECT" || verb == "EXAMINE") && words.size() > 2) {
                selected = find(words[2]);
                reply = selected == nullptr
                    ? tag + " NO [NONEXISTENT] no such folder\r\n"
                    : "* " + std::to_string(selected->bodies.size())
                        + " EXISTS\r\n* OK [UIDVALIDITY 1] ok\r\n" + tag
                        + " OK [READ-ONLY] selected\r\n";
            } else if (verb == "STATUS" && words.size() > 2) {
                const FakeFolder* folder = find(words[2]);
                reply = folder == nullptr ? tag + " NO [NONEXISTENT] no such folder\r\n"
                                          : "* STATUS " + imapQuoted(folder->name) + " (MESSAGES "
                        + std::to_string(folder->bodies.size()) + ")\r\n" + tag + " OK\r\n";
            } else if (verb == "FETCH" && words.size() > 3) {
                reply = selected == nullptr ? tag + " BAD nothing selected\r\n"
                                            : fetchReply(words[2], words[3], *selected) + tag
                        + " OK fetched\r\n";
            } else if (verb == "LOGOUT") {
                peer.say("* BYE\r\n" + tag + " OK\r\n");
                return;
            } else {
                reply = tag + " OK done\r\n";
            }
            if (!peer.say(reply))
                return;
        }
    };
}

} // namespace tavir::test
