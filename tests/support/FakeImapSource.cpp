// The scripted IMAP source: the commands it answers and how it writes its messages.
#include "support/FakeImapSource.h"

#include "support/Dovecot.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <strings.h>
#include <sys/socket.h>

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
    std::string line = peer.readLine(30000);
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
        const std::size_t length = std::stoul(line.substr(open + 1));
        line = line.substr(0, open) + imapQuoted(more.substr(0, length)) + more.substr(length);
    }
    return line;
}

bool containsNoCase(const std::string& text, const std::string& word)
{
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at)
        if (strncasecmp(text.c_str() + at, word.c_str(), word.size()) == 0)
            return true;
    return false;
}

// Whether `value` lies in a message set ("1:3,5", "4:*") where "*" stands
// for `star`; a range is the same either way round.
bool inSet(const std::string& set, std::uint32_t value, std::uint32_t star)
{
    auto number = [star](const std::string& text) {
        return text == "*" ? star : static_cast<std::uint32_t>(std::stoul(text));
    };
    for (std::size_t at = 0; at <= set.size();) {
        const std::size_t end = std::min(set.find(',', at), set.size());
        const std::string range = set.substr(at, end - at);
        const std::size_t colon = range.find(':');
        const std::uint32_t first = number(range.substr(0, colon));
        const std::uint32_t last
            = colon == std::string::npos ? first : number(range.substr(colon + 1));
        if (std::min(first, last) <= value && value <= std::max(first, last))
            return true;
        at = end + 1;
    }
    return false;
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

bool startsWithNoCase(const std::string& text, const char* prefix)
{
    return strncasecmp(text.c_str(), prefix, std::char_traits<char>::length(prefix)) == 0;
}

bool is(const std::string& item, const char* name)
{
    return strcasecmp(item.c_str(), name) == 0;
}

} // namespace

std::uint32_t FakeFolder::uidOf(unsigned n) const
{
    return n <= uids.size() ? uids[n - 1] : n;
}

std::uint32_t FakeFolder::uidNext() const
{
    return bodies.empty() ? 1 : uidOf(static_cast<unsigned>(bodies.size())) + 1;
}

void FakeFolder::expunge(unsigned n)
{
    // The others keep their UIDs and dates, which follow their numbers
    // where not given.
    for (unsigned k = static_cast<unsigned>(uids.size()) + 1; k <= bodies.size(); ++k)
        uids.push_back(k);
    for (unsigned k = static_cast<unsigned>(dates.size()) + 1; k <= bodies.size(); ++k)
        dates.push_back("\"" + FakeImapSource::dateOf(k) + "\"");
    auto erase = [n](auto& list) {
        if (n <= list.size())
            list.erase(list.begin() + static_cast<long>(n - 1));
    };
    erase(bodies);
    erase(uids);
    erase(dates);
    erase(sizeErrors);
    erase(flags);
    erase(bodyDates);
}

std::string FakeImapSource::dateOf(unsigned n)
{
    unsigned day = (n - 1) % 28 + 1;
    return (day < 10 ? "0" : "") + std::to_string(day) + "-Jan-2020 10:00:00 +0000";
}

LoopbackServer::Handler FakeImapSource::session() const
{
    FakeImapSource source = *this;
    return [source](PeerSocket& peer) { source.serve(peer); };
}

unsigned FakeImapSource::mostAtOnce() const
{
    std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->most;
}

bool FakeImapSource::admit(PeerSocket& peer) const
{
    {
        std::lock_guard<std::mutex> hold(shared_->lock);
        auto& lingering = shared_->lingering;
        while (!lingering.empty() && lingering.front() <= std::chrono::steady_clock::now())
            lingering.pop_front();
        if (connectionsAtMost == 0 || shared_->open + lingering.size() < connectionsAtMost) {
            ++shared_->open;
            shared_->most = std::max(shared_->most, shared_->open);
            return true;
        }
        ++shared_->turnedAway;
    }
    if (!beyondLimit.empty() && (!tls || peer.startTls(tls->get())))
        peer.say(beyondLimit);
    return false;
}

void FakeImapSource::leave() const
{
    std::lock_guard<std::mutex> hold(shared_->lock);
    --shared_->open;
    if (countedAfterCloseMs > 0)
        shared_->lingering.push_back(
            std::chrono::steady_clock::now() + std::chrono::milliseconds(countedAfterCloseMs));
}

bool FakeImapSource::byeFor(const std::string& user) const
{
    const auto found = byeAt.find(user);
    if (found == byeAt.end())
        return false;
    std::lock_guard<std::mutex> hold(shared_->lock);
    const unsigned before = shared_->logins[user]++;
    return before >= byesAfter && (found->second == 0 || before < byesAfter + found->second);
}

bool FakeImapSource::cutsHere() const
{
    if (cutsPerAccount == 0)
        return true;
    std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->cuts[loggedInAs_]++ < cutsPerAccount;
}

unsigned FakeImapSource::turnedAway() const
{
    std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->turnedAway;
}

std::string FakeImapSource::literalOf(const std::string& bytes) const
{
    return (literal8 ? "~{" : "{") + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

std::string FakeImapSource::listing(bool withGuids) const
{
    std::string untagged;
    for (const FakeFolder& folder : folders) {
        if (!folder.listed)
            continue;
        std::string flags = folder.listFlags;
        if (withGuids && !folder.guid.empty())
            flags += (flags.empty() ? "" : " ") + ("\\Guid(" + folder.guid + ")");
        untagged += "* LIST (" + flags + ") " + separator + " " + imapQuoted(folder.name) + "\r\n";
        for (const std::string& name : folder.alsoListedAs)
            untagged += "* LIST (" + folder.listFlags + ") " + separator + " " + imapQuoted(name)
                + "\r\n";
    }
    return untagged;
}

FakeFolder* FakeImapSource::selectable(const std::string& name)
{
    for (FakeFolder& folder : folders)
        if ((folder.name == name
                || std::count(folder.alsoListedAs.begin(), folder.alsoListedAs.end(), name) != 0)
            && !containsNoCase(folder.listFlags, "\\Noselect")
            && !containsNoCase(folder.listFlags, "\\NonExistent"))
            return &folder;
    return nullptr;
}

std::string FakeImapSource::itemOf(
    const FakeFolder& folder, unsigned n, const std::string& item) const
{
    const std::string& body = folder.bodies.at(n - 1);
    auto is = [&](const char* name) { return strcasecmp(item.c_str(), name) == 0; };
    if (is("UID"))
        return "UID " + std::to_string(folder.uidOf(n));
    if (is("INTERNALDATE")) {
        const std::string value
            = n <= folder.dates.size() ? folder.dates[n - 1] : imapQuoted(dateOf(n));
        return value.empty() ? std::string() : "INTERNALDATE " + value;
    }
    if (is("FLAGS"))
        return "FLAGS " + (n <= folder.flags.size() ? folder.flags[n - 1] : "(\\Answered)");
    if (!summaryWithout.empty() && startsWithNoCase(item, summaryWithout.c_str()))
        return std::string();
    if (is("RFC822.SIZE")) {
        const long error = n <= folder.sizeErrors.size() ? folder.sizeErrors[n - 1] : 0;
        return "RFC822.SIZE " + std::to_string(static_cast<long>(body.size()) + error);
    }
    if (startsWithNoCase(item, "BODY.PEEK[HEADER.FIELDS") && splitSummaries)
        return std::string(); // in a reply of its own (fetchReply)
    if (startsWithNoCase(item, "BODY.PEEK[HEADER.FIELDS"))
        return "BODY[HEADER.FIELDS (MESSAGE-ID)] " + literalOf(messageIdHeader(body));
    if (startsWithNoCase(item, "BODY.PEEK[]<") && !noPieces) {
        const std::size_t origin = std::stoul(item.substr(12));
        const std::size_t length = std::stoul(item.substr(item.find('.', 12) + 1));
        return "BODY[]<" + std::to_string(origin) + "> "
            + literalOf(origin < body.size() ? body.substr(origin, length) : "");
    }
    if (is("BODY.PEEK[]"))
        return (partialBodies ? "BODY[]<0> " : "BODY[] ")
            + (quotedBodies ? imapQuoted(body) : literalOf(body));
    return std::string();
}

std::string FakeImapSource::fetchReply(const FakeFolder& folder, unsigned n,
    const std::vector<std::string>& items, bool& cutHere) const
{
    const std::string start = "* " + std::to_string(n) + " FETCH (";
    const bool withBody = std::any_of(items.begin(), items.end(),
        [](const std::string& item) { return is(item, "BODY.PEEK[]"); });
    std::vector<std::string> ordered = withBody && !bodyReplyItems.empty() ? bodyReplyItems : items;
    if (bodyFirst)
        std::stable_partition(ordered.begin(), ordered.end(),
            [](const std::string& item) { return is(item, "BODY.PEEK[]"); });
    auto asked = [&](const char* prefix) {
        return std::any_of(items.begin(), items.end(),
            [prefix](const std::string& item) { return startsWithNoCase(item, prefix); });
    };
    const bool split = splitItems != Split::None && withBody;
    auto setApart = [split](const std::string& item) {
        return split && (is(item, "FLAGS") || is(item, "INTERNALDATE"));
    };
    // The items that go in a reply of their own.
    std::string apart;
    for (const std::string& item : items) {
        const std::string part = setApart(item) ? itemOf(folder, n, item) : std::string();
        apart += part.empty() ? "" : (apart.empty() ? "" : " ") + part;
    }
    if (splitSummaries && asked("BODY.PEEK[HEADER.FIELDS"))
        apart = "BODY[HEADER.FIELDS (MESSAGE-ID)] "
            + literalOf(messageIdHeader(folder.bodies.at(n - 1)));
    std::string answer = start;
    bool first = true;
    bool wholeBody = false;
    for (const std::string& item : ordered) {
        const std::string part = setApart(item) ? std::string() : itemOf(folder, n, item);
        if (part.empty())
            continue;
        answer += (first ? "" : " ");
        first = false;
        if (strcasecmp(item.c_str(), "BODY.PEEK[]") != 0) {
            answer += part;
            continue;
        }
        wholeBody = true;
        if (split && n <= folder.bodyDates.size() && !folder.bodyDates[n - 1].empty())
            answer += "INTERNALDATE " + folder.bodyDates[n - 1] + " ";
        if (n == broken && cut != Cut::None && cutsHere()) {
            // Half of the body, and no more.
            const std::string& body = folder.bodies.at(n - 1);
            cutHere = true;
            return beforeBody + answer
                + part.substr(0, part.size() - body.size() + body.size() / 2);
        }
        answer += part;
    }
    answer += ")\r\n";
    if (!apart.empty())
        answer = splitItems == Split::After ? answer + start + apart + ")\r\n"
                                            : start + apart + ")\r\n" + answer;
    return (wholeBody ? beforeBody : std::string()) + answer;
}

std::string FakeImapSource::goneReply(
    const FakeFolder& folder, unsigned n, const std::vector<std::string>& items) const
{
    if (expungeSaid == Expunge::Nothing)
        return std::string();
    std::string reply = "* " + std::to_string(n) + " FETCH (";
    bool first = true;
    for (const std::string& item : items) {
        const std::string part = is(item, "BODY.PEEK[]") ? "BODY[] NIL"
            : is(item, "FLAGS")                          ? "FLAGS (\\Deleted)"
                                                         : itemOf(folder, n, item);
        if (part.empty())
            continue;
        reply += (first ? "" : " ") + part;
        first = false;
    }
    return reply + ")\r\n";
}

std::string FakeImapSource::announceExpunge(FakeFolder& folder)
{
    const std::uint32_t uid = unannounced_;
    unannounced_ = 0;
    for (unsigned n = 1; uid != 0 && n <= folder.bodies.size(); ++n)
        if (folder.uidOf(n) == uid) {
            folder.expunge(n);
            return "* " + std::to_string(n) + " EXPUNGE\r\n";
        }
    return std::string();
}

bool FakeImapSource::reply(PeerSocket& peer, const std::string& untagged,
    const std::string& tagged, const std::vector<std::size_t>& pauses) const
{
    if (!pauses.empty()) {
        std::size_t sent = 0;
        for (std::size_t at : pauses) {
            if (at > sent && !peer.say(untagged.substr(sent, at - sent)))
                return false;
            peer.idle(trickleMs);
            sent = at;
        }
        return reply(peer, untagged.substr(sent), tagged);
    }
    if (!splitReplies || untagged.empty())
        return peer.say(untagged + tagged);
    return peer.say(untagged) && peer.say(tagged);
}

std::string FakeImapSource::selectReplies(const FakeFolder& folder) const
{
    return "* " + std::to_string(folder.bodies.size())
        + " EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY " + std::to_string(folder.uidValidity)
        + "] UIDs valid\r\n* OK [UIDNEXT " + std::to_string(folder.uidNext()) + "] next\r\n";
}

bool FakeImapSource::statusOf(
    PeerSocket& peer, const std::string& tag, const FakeFolder* folder) const
{
    if (folder == nullptr)
        return peer.say(tag + " NO [NONEXISTENT] no such folder\r\n");
    const std::string counted = status == Status::NoCount
        ? "UIDNEXT " + std::to_string(folder->uidNext())
        : "MESSAGES " + std::to_string(folder->bodies.size());
    switch (status) {
    case Status::No:
        return peer.say(tag + " NO STATUS is not served here\r\n");
    case Status::Bad:
        return peer.say(tag + " BAD unknown command\r\n");
    case Status::Count:
    case Status::NoCount:
        break;
    }
    return reply(peer, "* STATUS " + imapQuoted(folder->name) + " (" + counted + ")\r\n",
        tag + " OK done\r\n");
}

bool FakeImapSource::fetch(
    PeerSocket& peer, const std::vector<std::string>& words, FakeFolder* selected)
{
    const std::string& tag = words[0];
    const bool byUid = strcasecmp(words[1].c_str(), "UID") == 0;
    const std::size_t setAt = byUid ? 3 : 2;
    if (words.size() <= setAt + 1)
        return peer.say(tag + " BAD what to fetch\r\n");
    if (selected == nullptr)
        return peer.say(tag + " BAD nothing selected\r\n");
    const std::string& asked = words[setAt + 1];
    std::vector<std::string> items = !asked.empty() && asked.front() == '('
        ? wordsOf(asked.substr(1, asked.size() - 2))
        : std::vector<std::string>{asked};
    // A UID FETCH gives each message's UID, asked for or not.
    if (byUid && std::none_of(items.begin(), items.end(), [](const std::string& item) {
            return strcasecmp(item.c_str(), "UID") == 0;
        }))
        items.insert(items.begin(), "UID");
    const bool bodies = std::any_of(items.begin(), items.end(),
        [](const std::string& item) { return is(item, "BODY.PEEK[]"); });
    // The messages the set names as the command comes, by UID: an EXPUNGE
    // in the answer numbers those after it anew.
    const auto count = static_cast<unsigned>(selected->bodies.size());
    const std::uint32_t star = byUid && count > 0 ? selected->uidOf(count) : count;
    const bool expunging = selected->expungeInFetch && !byUid;
    std::vector<std::uint32_t> named;
    for (unsigned n = 1; n <= count; ++n)
        if (inSet(words[setAt], byUid ? selected->uidOf(n) : n, star))
            named.push_back(selected->uidOf(n));
    auto numberOf = [selected](std::uint32_t uid) {
        for (unsigned n = 1; n <= selected->bodies.size(); ++n)
            if (selected->uidOf(n) == uid)
                return n;
        return 0u;
    };
    std::string untagged;
    auto expungeDue = [&](std::size_t answered) {
        if (!bodies || expungeUid == 0 || answered != expungeAfter)
            return;
        if (expungeSaid != Expunge::Announced) {
            unannounced_ = expungeUid;
        } else if (const unsigned n = numberOf(expungeUid)) {
            untagged += "* " + std::to_string(n) + " EXPUNGE\r\n";
            selected->expunge(n);
        }
        expungeUid = 0;
    };
    std::size_t answered = 0;
    bool gone = false; // a message expunged unannounced was named
    std::vector<std::size_t> pauses; // where the answer trickles
    for (std::uint32_t uid : named) {
        expungeDue(answered);
        const unsigned n = numberOf(uid);
        if (n == 0)
            continue;
        if (expunging && answered == selected->expungeAfter)
            break;
        if (uid == unannounced_ && !byUid) {
            untagged += goneReply(*selected, n, items);
            gone = true;
            continue;
        }
        bool cutHere = false;
        const std::string message = fetchReply(*selected, n, items, cutHere);
        if (bodies && trickle != Trickle::None)
            pauses.push_back(
                untagged.size() + (trickle == Trickle::MidReply ? message.size() / 2 : 0));
        untagged += message;
        ++answered;
        if (cutHere) {
            peer.say(untagged);
            if (cut == Cut::Stall)
                peer.idle(stallMs);
            dropped_ = cut == Cut::Drop;
            return false;
        }
    }
    expungeDue(answered);
    if (byUid)
        untagged += announceExpunge(*selected);
    if (expunging) {
        untagged += "* 1 EXPUNGE\r\n";
        if (selected->closeAfterExpunge) {
            peer.say(untagged);
            return false;
        }
    }
    if (!gone)
        return reply(peer, untagged, tag + " OK done\r\n", pauses);
    return reply(peer, untagged,
        expungeSaid == Expunge::Nil
            ? tag + " OK [EXPUNGEISSUED] Some messages were already expunged\r\n"
            : tag + " NO [EXPUNGEISSUED] Some of the requested messages no longer exist\r\n",
        pauses);
}

void FakeImapSource::serve(PeerSocket& peer) const
{
    if (!admit(peer))
        return;
    if (!tls || peer.startTls(tls->get())) {
        FakeImapSource view = *this;
        view.serveView(peer);
    }
    leave();
}

void FakeImapSource::serveView(PeerSocket& peer)
{
    FakeFolder* selected = nullptr;
    std::map<FakeFolder*, std::vector<std::string>> arriving;
    for (FakeFolder& folder : folders) {
        const std::size_t kept = folder.bodies.size()
            - std::min<std::size_t>(folder.arriveAfterSelect, folder.bodies.size());
        if (kept == folder.bodies.size())
            continue;
        arriving[&folder].assign(
            folder.bodies.begin() + static_cast<std::ptrdiff_t>(kept), folder.bodies.end());
        folder.bodies.resize(kept);
    }
    peer.say(greeting);
    for (;;) {
        const std::vector<std::string> words = wordsOf(readCommand(peer));
        if (words.size() < 2)
            return;
        auto is = [&](std::size_t at, const char* word) {
            return at < words.size() && strcasecmp(words[at].c_str(), word) == 0;
        };
        const std::string& tag = words[0];
        const std::string done = tag + " OK done\r\n";
        const std::string noSuchFolder = tag + " NO [NONEXISTENT] no such folder\r\n";
        bool said = true;
        if (is(1, "LOGOUT")) {
            peer.say("* BYE logging out\r\n" + done);
            return;
        } else if (is(1, "LOGIN") && words.size() > 2 && byeFor(words[2])) {
            peer.say("* BYE Too many simultaneous connections for " + words[2] + "\r\n");
            return;
        } else if (is(1, "LOGIN") && words.size() > 2 && loginAnswers.count(words[2]) != 0) {
            said = peer.say(tag + " " + loginAnswers.at(words[2]) + "\r\n");
        } else if (is(1, "LOGIN") && afterLogin == AfterLogin::Bye) {
            peer.say(done + "* BYE Maximum number of connections exceeded\r\n");
            return;
        } else if (is(1, "LOGIN") && afterLogin == AfterLogin::ByeLater) {
            if (peer.say(done)) {
                peer.idle(byeAfterMs);
                peer.say("* BYE Disconnected for inactivity\r\n");
            }
            return;
        } else if (is(1, "LOGIN") && afterLogin == AfterLogin::DropNext) {
            if (peer.say(done))
                readCommand(peer);
            return;
        } else if (is(1, "LOGIN") && words.size() > 2) {
            loggedInAs_ = words[2];
            said = peer.say(done);
        } else if (is(1, "LIST")) {
            said = reply(peer, listing(is(2, "(GUID)")), done);
        } else if ((is(1, "SELECT") || is(1, "EXAMINE")) && words.size() > 2) {
            // A SELECT syncs the session with what other sessions did.
            if (selected != nullptr)
                announceExpunge(*selected);
            selected = selectable(words[2]);
            said = selected == nullptr
                ? peer.say(noSuchFolder)
                : reply(peer, selectReplies(*selected),
                    tag
                        + (is(1, "EXAMINE") ? " OK [READ-ONLY] examined\r\n"
                                            : " OK [READ-WRITE] selected\r\n"));
            auto arrived = arriving.find(selected);
            if (arrived != arriving.end()) {
                for (std::string& body : arrived->second)
                    selected->bodies.push_back(std::move(body));
                arriving.erase(arrived);
            }
        } else if (is(1, "STATUS") && words.size() > 2) {
            said = statusOf(peer, tag, selectable(words[2]));
        } else if (is(1, "FETCH") || (is(1, "UID") && is(2, "FETCH"))) {
            said = fetch(peer, words, selected);
        } else {
            said = peer.say(done);
        }
        if (!said)
            return;
    }
}

} // namespace tavir::test
