#include "support/MailSnapshot.h"

#include "support/Dovecot.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <sstream>
#include <stdexcept>

namespace tavir::test {

namespace {

// Reads the IMAP values of a server's reply, from `at` on.
class ReplyScanner {
public:
    ReplyScanner(const std::string& reply, std::size_t at)
        : s_(reply)
        , at_(at)
    {
    }

    std::size_t at() const { return at_; }
    void seek(std::size_t at) { at_ = at; }
    bool done() const { return at_ >= s_.size(); }
    char peek() const { return done() ? '\0' : s_[at_]; }
    void skipBlanks()
    {
        while (!done() && s_[at_] == ' ')
            ++at_;
    }
    bool take(const std::string& text)
    {
        if (s_.compare(at_, text.size(), text) != 0)
            return false;
        at_ += text.size();
        return true;
    }
    // An atom, a quoted string, a literal or a parenthesised list (as its
    // text without the outer parentheses).
    std::string value()
    {
        skipBlanks();
        const char c = peek();
        if (c == '"')
            return quoted();
        if (c == '{')
            return literal();
        if (c == '(')
            return list();
        std::size_t start = at_;
        int depth = 0;
        while (!done()) {
            char d = s_[at_];
            if (d == '[')
                ++depth;
            else if (d == ']')
                --depth;
            else if (depth == 0 && (d == ' ' || d == ')' || d == '(' || d == '\r'))
                break;
            ++at_;
        }
        return s_.substr(start, at_ - start);
    }
    std::string restOfLine()
    {
        std::size_t end = s_.find("\r\n", at_);
        std::string line = s_.substr(at_, end - at_);
        at_ = end == std::string::npos ? s_.size() : end + 2;
        return line;
    }

private:
    std::string quoted()
    {
        std::string out;
        for (++at_; !done() && s_[at_] != '"'; ++at_) {
            if (s_[at_] == '\\')
                ++at_;
            out += s_[at_];
        }
        ++at_;
        return out;
    }
    std::string literal()
    {
        std::size_t close = s_.find('}', at_);
        const std::size_t size = std::stoul(s_.substr(at_ + 1, close - at_ - 1));
        std::string out = s_.substr(close + 3, size);
        at_ = close + 3 + size;
        return out;
    }
    std::string list()
    {
        std::string out;
        ++at_;
        for (;;) {
            skipBlanks();
            if (done() || peek() == ')')
                break;
            if (!out.empty())
                out += ' ';
            const bool nested = peek() == '(';
            std::string item = value();
            out += nested ? "(" + item + ")" : item;
        }
        ++at_;
        return out;
    }

    const std::string& s_;
    std::size_t at_;
};

std::vector<std::pair<std::string, bool>> listFolders(RawImap& imap)
{
    bool ok = false;
    const std::string reply = imap.command("LIST \"\" \"*\"", &ok);
    if (!ok)
        throw std::runtime_error("LIST failed: " + reply);
    std::vector<std::pair<std::string, bool>> folders;
    ReplyScanner scan(reply, 0);
    while (!scan.done()) {
        if (!scan.take("* LIST ")) {
            scan.restOfLine();
            continue;
        }
        std::string flags = scan.value();
        scan.value(); // the separator
        std::string name = scan.value();
        scan.restOfLine();
        std::string lower = flags;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        folders.emplace_back(name, lower.find("\\noselect") == std::string::npos);
    }
    return folders;
}

// \Recent belongs to a session: the next one no longer sees it.
std::string withoutRecent(const std::string& flags)
{
    std::istringstream words(flags);
    std::string word, kept;
    while (words >> word)
        if (strcasecmp(word.c_str(), "\\Recent") != 0)
            kept += (kept.empty() ? "" : " ") + word;
    return kept;
}

std::vector<MailMessage> fetchAll(RawImap& imap, const std::string& folder)
{
    bool ok = false;
    const std::string examined = imap.command("EXAMINE " + imapQuoted(folder), &ok);
    if (!ok)
        throw std::runtime_error("EXAMINE " + folder + " failed: " + examined);
    std::vector<MailMessage> messages;
    if (examined.find("* 0 EXISTS") != std::string::npos)
        return messages;
    const std::string reply = imap.command("FETCH 1:* (FLAGS INTERNALDATE BODY.PEEK[])", &ok);
    if (!ok)
        throw std::runtime_error("FETCH in " + folder + " failed: " + reply.substr(0, 200));
    ReplyScanner scan(reply, 0);
    while (!scan.done()) {
        std::size_t start = scan.at();
        if (!scan.take("* ") || scan.value().empty() || !scan.take(" FETCH (")) {
            scan.seek(start);
            scan.restOfLine();
            continue;
        }
        MailMessage message;
        for (;;) {
            scan.skipBlanks();
            if (scan.peek() == ')' || scan.done())
                break;
            std::string name = scan.value();
            std::string value = scan.value();
            if (strcasecmp(name.c_str(), "FLAGS") == 0) {
                message.allFlags = withoutRecent(value);
                message.standardFlags = standardFlagsOf(value);
            } else if (strcasecmp(name.c_str(), "INTERNALDATE") == 0) {
                message.instant = internalDateInstant(value);
            } else if (strcasecmp(name.c_str(), "BODY[]") == 0) {
                message.data = value;
            }
        }
        scan.restOfLine();
        messages.push_back(std::move(message));
    }
    return messages;
}

} // namespace

long long internalDateInstant(const std::string& text)
{
    static const char* const months[]
        = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, zone = 0;
    char month[4] = {};
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed[0] == ' ')
        trimmed.erase(0, 1);
    if (std::sscanf(trimmed.c_str(), "%d-%3s-%d %d:%d:%d %d", &day, month, &year, &hour, &minute,
            &second, &zone)
        != 7)
        return -1;
    std::tm tm{};
    tm.tm_mday = day;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_mon = -1;
    for (int i = 0; i < 12; ++i)
        if (strcasecmp(month, months[i]) == 0)
            tm.tm_mon = i;
    if (tm.tm_mon < 0)
        return -1;
    const int sign = zone < 0 ? -1 : 1;
    const int magnitude = zone * sign;
    const long long offset = sign * ((magnitude / 100) * 3600LL + (magnitude % 100) * 60LL);
    return static_cast<long long>(timegm(&tm)) - offset;
}

std::string standardFlagsOf(const std::string& flags)
{
    static const char* const system[]
        = {"\\answered", "\\deleted", "\\draft", "\\flagged", "\\seen"};
    std::vector<std::string> kept;
    std::istringstream words(flags);
    std::string word;
    while (words >> word) {
        std::transform(word.begin(), word.end(), word.begin(), ::tolower);
        if (std::find(std::begin(system), std::end(system), word) != std::end(system))
            kept.push_back(word);
    }
    std::sort(kept.begin(), kept.end());
    std::string out;
    for (const std::string& flag : kept)
        out += (out.empty() ? "" : " ") + flag;
    return out;
}

MailFolders readDovecotAccount(int port, const std::string& user, const std::string& password)
{
    RawImap imap(port);
    if (!imap.login(user, password))
        throw std::runtime_error("Dovecot refused the login of " + user);
    MailFolders folders;
    for (const auto& [name, selectable] : listFolders(imap))
        folders[name].messages = selectable ? fetchAll(imap, name) : std::vector<MailMessage>{};
    return folders;
}

MailFolders readStandInAccount(const StandInTarget& target, const std::string& address)
{
    MailFolders folders;
    for (const auto& [name, stored] : target.folders(address)) {
        MailFolder& folder = folders[name];
        folder.guid = stored.guid;
        for (const StandInTarget::Message& message : stored.messages) {
            MailMessage copy;
            copy.data = message.data;
            std::string flags;
            for (const std::string& flag : message.flags)
                flags += (flags.empty() ? "" : " ") + flag;
            copy.allFlags = flags;
            copy.standardFlags = standardFlagsOf(flags);
            copy.instant = internalDateInstant(message.date);
            folder.messages.push_back(std::move(copy));
        }
    }
    return folders;
}

} // namespace tavir::test
