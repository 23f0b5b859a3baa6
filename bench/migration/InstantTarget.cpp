#include "InstantTarget.h"

#include "support/CommandLines.h"
#include "support/Dovecot.h"
#include "support/Loopback.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>

namespace tavir::bench {

namespace {

using tavir::test::AnnouncedLiteral;
using tavir::test::imapQuoted;
using tavir::test::ListenAt;
using tavir::test::LoopbackServer;
using tavir::test::PeerSocket;
using tavir::test::StandInTarget;

const char* const Capabilities = "IMAP4rev1 LITERAL+ UIDPLUS ACL ANNOTATE X-MASTERAUTH STATUS=SIZE";
// Literals up to this size are kept as text (a name sent as a literal);
// longer ones are message bodies, read and dropped.
constexpr unsigned long long KeptLiteral = 1024;

// What the instant target keeps: per account and folder, the identifier it
// gave out and what came. Shared by the connections' threads.
class Folders {
public:
    struct Folder {
        std::string guid;
        unsigned long long messages = 0;
        unsigned long long bytes = 0;
    };

    // The folder, made on its first mention (everything is accepted),
    // after `change` has been applied to it.
    template <class Change>
    Folder update(const std::string& user, const std::string& name, Change change)
    {
        std::lock_guard<std::mutex> hold(lock_);
        Folder& folder = folders_[user][name];
        if (folder.guid.empty())
            folder.guid = newGuid();
        change(folder);
        return folder;
    }
    Folder get(const std::string& user, const std::string& name)
    {
        return update(user, name, [](Folder&) {});
    }
    std::vector<std::string> names(const std::string& user)
    {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<std::string> names;
        for (const auto& entry : folders_[user])
            names.push_back(entry.first);
        return names;
    }

private:
    std::string newGuid()
    {
        char text[40];
        std::snprintf(text, sizeof text, "%08X-0000-4000-8000-%012llX", prefix_, ++made_);
        return text;
    }

    std::mutex lock_;
    std::map<std::string, std::map<std::string, Folder>> folders_;
    unsigned prefix_ = std::random_device{}();
    unsigned long long made_ = 0;
};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), ::tolower);
    return text;
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

// Reads the arguments of a command line (with any kept literal turned into
// a quoted string) one by one.
class Arguments {
public:
    explicit Arguments(const std::string& text)
        : text_(text)
    {
    }
    // A parenthesised list as its words ((X-MAIL GUID "...") or (MESSAGES
    // GUID)); empty when the next argument is not a list.
    std::vector<std::string> list()
    {
        std::vector<std::string> words;
        skipBlanks();
        if (at_ >= text_.size() || text_[at_] != '(')
            return words;
        ++at_;
        for (skipBlanks(); at_ < text_.size() && text_[at_] != ')'; skipBlanks())
            words.push_back(string());
        ++at_;
        return words;
    }
    // A quoted string or an atom.
    std::string string()
    {
        skipBlanks();
        std::string out;
        if (at_ < text_.size() && text_[at_] == '"') {
            for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
                if (text_[at_] == '\\' && at_ + 1 < text_.size())
                    ++at_;
                out += text_[at_];
            }
            ++at_;
            return out;
        }
        while (at_ < text_.size() && text_[at_] != ' ' && text_[at_] != ')' && text_[at_] != '(')
            out += text_[at_++];
        return out;
    }

private:
    void skipBlanks()
    {
        while (at_ < text_.size() && text_[at_] == ' ')
            ++at_;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

// One IMAP connection, on its own thread, with blocking reads and writes.
class InstantSession {
public:
    InstantSession(int fd, Folders& folders)
        : fd_(fd)
        , folders_(folders)
    {
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    void run()
    {
        if (!send(std::string("* OK [CAPABILITY ") + Capabilities + "] instant target ready\r\n"))
            return;
        while (readCommand() && answer()) { }
    }

private:
    // The next line, without its CR LF; false when the client went away.
    bool readLine(std::string& line)
    {
        for (;;) {
            const std::size_t end = in_.find("\r\n", at_);
            if (end != std::string::npos) {
                line.assign(in_, at_, end - at_);
                at_ = end + 2;
                return true;
            }
            in_.erase(0, at_);
            at_ = 0;
            if (!receive())
                return false;
        }
    }

    bool receive()
    {
        char chunk[65536];
        for (;;) {
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            in_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
    }

    // Reads a literal's bytes into `kept`, or drops them.
    bool readLiteral(unsigned long long size, std::string* kept)
    {
        const std::size_t have
            = static_cast<std::size_t>(std::min<unsigned long long>(size, in_.size() - at_));
        if (kept)
            kept->assign(in_, at_, have);
        at_ += have;
        unsigned long long left = size - have;
        while (left > 0) {
            in_.clear();
            at_ = 0;
            if (!receive())
                return false;
            const std::size_t take
                = static_cast<std::size_t>(std::min<unsigned long long>(left, in_.size()));
            if (kept)
                kept->append(in_, 0, take);
            at_ = take;
            left -= take;
        }
        return true;
    }

    // Reads a whole command, literals and all: its tag, its verb (two words
    // for UID commands) and its arguments; `lastLiteral_` is the size of
    // its last literal (an APPEND's message).
    bool readCommand()
    {
        std::string line;
        if (!readLine(line))
            return false;
        std::string text;
        lastLiteral_ = 0;
        AnnouncedLiteral literal;
        while (tavir::test::announcesLiteral(line, literal)) {
            text += line.substr(0, line.rfind('{'));
            if (!literal.nonSynchronising && !send("+ go on\r\n"))
                return false;
            std::string kept;
            const bool keep = literal.size <= KeptLiteral;
            if (!readLiteral(literal.size, keep ? &kept : nullptr))
                return false;
            text += keep ? imapQuoted(kept) : std::string("NIL");
            lastLiteral_ = literal.size;
            if (!readLine(line))
                return false;
        }
        text += line;
        const std::size_t tagEnd = text.find(' ');
        tag_ = text.substr(0, tagEnd);
        std::size_t verbEnd = std::string::npos;
        verb_.clear();
        if (tagEnd != std::string::npos) {
            verbEnd = text.find(' ', tagEnd + 1);
            verb_ = upper(text.substr(tagEnd + 1, verbEnd - tagEnd - 1));
        }
        if (verb_ == "UID" && verbEnd != std::string::npos) {
            const std::size_t second = text.find(' ', verbEnd + 1);
            verb_ += " " + upper(text.substr(verbEnd + 1, second - verbEnd - 1));
            verbEnd = second;
        }
        args_ = verbEnd == std::string::npos ? std::string() : text.substr(verbEnd + 1);
        return true;
    }

    bool ok(const std::string& rest = "completed") { return send(tag_ + " OK " + rest + "\r\n"); }

    // Answers the command read; false when the connection is to end.
    bool answer()
    {
        Arguments args(args_);
        const std::string& verb = verb_;
        if (verb == "LOGOUT") {
            send("* BYE logging out\r\n" + tag_ + " OK LOGOUT completed\r\n");
            return false;
        }
        if (verb == "CAPABILITY")
            return send(
                std::string("* CAPABILITY ") + Capabilities + "\r\n" + tag_ + " OK completed\r\n");
        if (verb == "X-MASTERAUTH") {
            std::string response;
            return send("+ <instant@target>\r\n") && readLine(response) && ok();
        }
        if (verb == "LOGIN" || verb == "X-SETUSER") {
            user_ = lower(args.string());
            return ok();
        }
        if (verb == "X-CREATE" || verb == "CREATE") {
            args.list();
            const std::string guid = folders_.get(user_, args.string()).guid;
            return ok("X-CREATE completed " + guid);
        }
        if (verb == "APPEND" || verb == "X-APPEND") {
            const std::string name = args.string();
            const unsigned long long size = lastLiteral_;
            const Folders::Folder folder = folders_.update(user_, name, [size](Folders::Folder& f) {
                ++f.messages;
                f.bytes += size;
            });
            return ok("[APPENDUID 1 " + std::to_string(folder.messages) + "] APPEND completed");
        }
        if (verb == "STATUS")
            return status(args);
        if (verb == "SELECT" || verb == "EXAMINE") {
            const Folders::Folder folder = folders_.get(user_, args.string());
            return send("* " + std::to_string(folder.messages)
                + " EXISTS\r\n* OK [UIDVALIDITY 1] UIDs valid\r\n" + tag_
                + " OK [READ-WRITE] completed\r\n");
        }
        if (verb == "LIST") {
            std::string reply;
            for (const std::string& name : folders_.names(user_))
                reply += "* LIST (\\HasNoChildren) \"/\" " + imapQuoted(name) + "\r\n";
            return send(reply + tag_ + " OK LIST completed\r\n");
        }
        if (verb == "GETACL")
            return send("* ACL " + imapQuoted(args.string()) + "\r\n" + tag_ + " OK completed\r\n");
        if (verb == "X-CHECKVERSION")
            return ok("X-CHECKVERSION 6.5.2");
        static const char* const taken[] = {"NOOP", "CHECK", "DELETE", "SETACL", "DELETEACL",
            "UID STORE", "UID ASTORE", "X-CREATEUSER"};
        if (std::find(std::begin(taken), std::end(taken), verb) != std::end(taken))
            return ok();
        return send(tag_ + " BAD the instant target does not know " + verb + "\r\n");
    }

    bool status(Arguments& args)
    {
        const std::string name = args.string();
        const Folders::Folder folder = folders_.get(user_, name);
        std::string items;
        for (const std::string& item : args.list()) {
            const std::string word = upper(item);
            std::string value = word == "MESSAGES" ? std::to_string(folder.messages)
                : word == "SIZE"                   ? std::to_string(folder.bytes)
                : word == "GUID"                   ? folder.guid
                : word == "UIDNEXT"                ? std::to_string(folder.messages + 1)
                : word == "UIDVALIDITY"            ? "1"
                                                   : "";
            if (!value.empty())
                items += (items.empty() ? "" : " ") + word + " " + value;
        }
        return send("* STATUS " + imapQuoted(name) + " (" + items + ")\r\n" + tag_
            + " OK STATUS completed\r\n");
    }

    bool send(const std::string& text)
    {
        return tavir::test::sendAll(fd_, text.data(), text.size());
    }

    int fd_;
    Folders& folders_;
    std::string in_;
    std::size_t at_ = 0; // in_ before this is read
    std::string tag_;
    std::string verb_;
    std::string args_;
    unsigned long long lastLiteral_ = 0;
    std::string user_;
};

StandInTarget::Options adminOptions(unsigned workers)
{
    StandInTarget::Options options;
    options.persist = false;
    options.workerThreads = workers;
    return options;
}

} // namespace

InstantTarget::InstantTarget(unsigned workers)
    : admin_(std::make_unique<StandInTarget>(adminOptions(workers)))
{
    const std::string standIn = admin_->host();
    const int imapPort = admin_->port();
    server_ = std::make_unique<ServerChild>([standIn, imapPort](const auto& ready) {
        Folders folders;
        std::unique_ptr<LoopbackServer> admin;
        std::unique_ptr<LoopbackServer> imap;
        ready(tavir::test::ownLoopbackAddress(standIn, [&](const std::string& host) {
            admin.reset();
            imap.reset();
            admin = std::make_unique<LoopbackServer>(
                [standIn](
                    PeerSocket& peer) { peer.relayTo(standIn, StandInTarget::adminPort, nullptr); },
                ListenAt{host, StandInTarget::adminPort});
            imap = std::make_unique<LoopbackServer>(
                [&folders](PeerSocket& peer) { InstantSession(peer.fd(), folders).run(); },
                ListenAt{host, imapPort});
        }));
        for (;;)
            pause();
    });
}

} // namespace tavir::bench
