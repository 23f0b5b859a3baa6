#include "imapclient/Parser.h"

#include "imapclient/ImapException.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <strings.h>

namespace tavir::mail {

const ImapKeyword imapResponseGroup1[5] = {
    {"OK", RespOk}, {"NO", RespNo}, {"BAD", RespBad}, {"PREAUTH", RespPreauth}, {"BYE", RespBye}};

const ImapKeyword imapResponseGroup2[18] = {
    {"LISTRIGHTS", RespListRights},
    {"CAPABILITY", RespCapability},
    {"LIST", RespList},
    {"LSUB", RespLsub},
    {"STATUS", RespStatus},
    {"SEARCH", RespSearch},
    {"SORT", RespSort},
    {"ASORT", RespAsort},
    {"GROUP", RespGroup},
    {"AGROUP", RespAgroup},
    {"FLAGS", RespFlags},
    {"ACL", RespAcl},
    {"MYRIGHTS", RespMyRights},
    {"ANNOTATION", RespAnnotation},
    {"X-WATCH", RespXWatch},
    {"X-LISTMAP", RespXListMap},
    {"X-GETSCRIPT", RespXGetScript},
    {"X-USERINFO", RespXUserInfo},
};

const ImapKeyword imapResponseGroup3[6] = {
    {"EXISTS", RespExists},
    {"RECENT", RespRecent},
    {"EXPUNGE", RespExpunge},
    {"AEXPUNGE", RespAexpunge},
    {"FETCH", RespFetch},
    {"AFETCH", RespAfetch},
};

const ImapKeyword imapResponseGroupOptions[12] = {
    {"ALERT", RespCodeAlert},
    {"NEWNAME", RespCodeNewName},
    {"PARSE", RespCodeParse},
    {"PERMANENTFLAGS", RespCodePermanentFlags},
    {"READ-ONLY", RespCodeReadOnly},
    {"READ-WRITE", RespCodeReadWrite},
    {"TRYCREATE", RespCodeTryCreate},
    {"UIDVALIDITY", RespCodeUidValidity},
    {"UIDNEXT", RespCodeUidNext},
    {"UNSEEN", RespCodeUnseen},
    {"INTERNALDATE", RespCodeInternalDate},
    {"REFERRAL", RespCodeReferral},
};

namespace {

template <std::size_t N>
std::uint32_t lookup(const ImapKeyword (&table)[N], const std::string& word)
{
    for (const ImapKeyword& row : table)
        if (word == row.keyword)
            return row.type;
    return 0;
}

// Every failure of the lexer leaves as ImapParserException, also an
// exhausted allocation while a token is copied.
template <typename F> auto guarded(F&& f) -> decltype(f())
{
    try {
        return f();
    } catch (const ImapParserException&) {
        throw;
    } catch (const std::exception& e) {
        throw ImapParserException(e.what());
    }
}

// The leading digits of a node as a number; 0 when it has none. Numbers
// that do not fit 32 bits are not numbers a server may send.
std::uint32_t leadingNumber(const std::string& node)
{
    std::size_t digits = 0;
    while (digits < node.size() && node[digits] >= '0' && node[digits] <= '9')
        ++digits;
    if (digits == 0)
        return 0;
    std::uint32_t value = 0;
    if (!imap::parseUnsigned32(node.substr(0, digits), value))
        throw ImapParserException("Number out of range");
    return value;
}

bool atNil(const std::string& text, const imap::Pos& pos)
{
    std::size_t left = static_cast<std::size_t>(text.end() - pos);
    if (left < 3 || std::memcmp(&*pos, "NIL", 3) != 0)
        return false;
    return left == 3 || pos[3] == ' ';
}

} // namespace

namespace imap {

bool parseUnsigned32(const std::string& digits, std::uint32_t& value)
{
    if (digits.empty() || digits.size() > 10)
        return false;
    std::uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFull)
        return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

bool literalAnnouncementAt(const std::string& text, std::size_t open, LiteralAnnouncement& out)
{
    const std::size_t brace = open < text.size() && text[open] == '~' ? open + 1 : open;
    if (brace >= text.size() || text[brace] != '{')
        return false;
    std::size_t p = brace + 1;
    std::uint64_t size = 0;
    for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
        unsigned digit = static_cast<unsigned>(text[p] - '0');
        size = size > (UINT64_MAX - digit) / 10 ? UINT64_MAX : size * 10 + digit;
    }
    if (p == brace + 1)
        return false;
    bool plus = p < text.size() && text[p] == '+';
    if (plus)
        ++p;
    if (p >= text.size() || text[p] != '}')
        return false;
    out.open = open;
    out.end = p + 1;
    out.size = size;
    out.plus = plus;
    return true;
}

bool literalAnnouncementBefore(const std::string& text, std::size_t end, LiteralAnnouncement& out)
{
    if (end == 0 || end > text.size() || text[end - 1] != '}')
        return false;
    std::size_t open = text.rfind('{', end - 1);
    if (open == std::string::npos)
        return false;
    if (open > 0 && text[open - 1] == '~')
        --open;
    return literalAnnouncementAt(text, open, out) && out.end == end;
}

bool skipSpace(const std::string& text, Pos& pos)
{
    while (pos != text.end() && *pos == ' ')
        ++pos;
    return pos != text.end();
}

void skipSpaceEx(const std::string& text, Pos& pos)
{
    if (!skipSpace(text, pos))
        throw ImapParserException("Space not presented");
}

bool testWord(const std::string& text, Pos& pos, const std::string& word)
{
    if (static_cast<std::size_t>(text.end() - pos) < word.size())
        return false;
    if (!std::equal(word.begin(), word.end(), pos))
        return false;
    pos += static_cast<std::ptrdiff_t>(word.size());
    return true;
}

bool startsWithNoCase(const std::string& text, std::size_t at, const char* word)
{
    for (std::size_t i = 0; word[i] != '\0'; ++i) {
        if (at + i >= text.size())
            return false;
        char c = text[at + i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i])
            return false;
    }
    return true;
}

Pos testCharacter(const std::string& text, const Pos& pos, char c)
{
    if (pos == text.end())
        throw ImapParserException("Bad ");
    if (*pos != c)
        throw ImapParserException("Character different");
    return pos + 1;
}

Pos findCharacter(const std::string& text, const Pos& pos, char c)
{
    for (Pos p = pos; p != text.end(); ++p)
        if (*p == c)
            return p;
    return text.end();
}

Pos findCharacterEx(const std::string& text, const Pos& pos, char c)
{
    Pos p = findCharacter(text, pos, c);
    if (p == text.end())
        throw ImapParserException("Character not found");
    return p;
}

void readNCharacters(const std::string& text, Pos& pos, std::int64_t n, std::string& out)
{
    if (n < 0 || static_cast<std::uint64_t>(text.end() - pos) < static_cast<std::uint64_t>(n))
        throw ImapParserException("");
    guarded([&] {
        out.assign(pos, pos + static_cast<std::ptrdiff_t>(n));
        return 0;
    });
}

namespace {

// True when a literal announcement followed by CR LF starts at pos. Inside a
// parenthesised group any other brace (in a flag such as \Guid({...}), say)
// is an ordinary character.
bool literalStartsAt(const std::string& text, Pos pos)
{
    LiteralAnnouncement a;
    std::size_t open = static_cast<std::size_t>(pos - text.begin());
    return literalAnnouncementAt(text, open, a) && text.compare(a.end, 2, "\r\n") == 0;
}

// Literal at pos ("{", or "~{" for a literal8): the announcement, CR LF and
// the bytes.
void readLiteral(const std::string& text, Pos& pos, std::string& out)
{
    LiteralAnnouncement a;
    std::size_t open = static_cast<std::size_t>(pos - text.begin());
    if (!literalAnnouncementAt(text, open, a))
        throw ImapParserException("Character different");
    Pos p = testCharacter(text, text.begin() + static_cast<std::ptrdiff_t>(a.end), '\r');
    p = testCharacter(text, p, '\n');
    readNCharacters(
        text, p, static_cast<std::int64_t>(std::min<std::uint64_t>(a.size, INT64_MAX)), out);
    pos = p + static_cast<std::ptrdiff_t>(a.size);
}

// Quoted string at pos ('"'): backslash escapes a quote or a backslash.
void readQuoted(const std::string& text, Pos& pos, std::string& out)
{
    Pos p = pos + 1;
    out.clear();
    for (;;) {
        if (p == text.end())
            throw ImapParserException("Character not found");
        char c = *p;
        if (c == '"')
            break;
        if (c == '\\' && p + 1 != text.end() && (p[1] == '"' || p[1] == '\\')) {
            out.push_back(p[1]);
            p += 2;
            continue;
        }
        out.push_back(c);
        ++p;
    }
    pos = p + 1;
}

} // namespace

bool readString(const std::string& text, Pos& pos, std::string& out)
{
    return guarded([&] {
        out.clear();
        if (!skipSpace(text, pos))
            return false;
        switch (*pos) {
        case '~':
            // A literal8 (RFC 3516) holds octets like any literal: read as
            // a word, its announcement and its first octets would pass for
            // the value. A "~" without "{" begins an atom ("~peter").
            if (pos + 1 == text.end() || pos[1] != '{')
                break;
            [[fallthrough]];
        case '{':
            readLiteral(text, pos, out);
            return true;
        case '"':
            readQuoted(text, pos, out);
            return true;
        default:
            break;
        }
        if (atNil(text, pos)) {
            pos += 3;
            return true;
        }
        Pos end = findCharacter(text, pos, ' ');
        out.assign(pos, end);
        pos = end == text.end() ? end : end + 1;
        return true;
    });
}

bool skipString(const std::string& text, Pos& pos)
{
    std::string scratch;
    return readString(text, pos, scratch);
}

bool readParenthesis(const std::string& text, Pos& pos, char open, char close, std::string& out)
{
    return guarded([&] {
        out.clear();
        if (!skipSpace(text, pos))
            return false;
        if (atNil(text, pos)) {
            pos += 3;
            return true;
        }
        if (*pos != open)
            throw ImapParserException("");
        Pos start = pos;
        Pos p = pos;
        std::size_t depth = 0;
        while (p != text.end()) {
            char c = *p;
            if (c == '"' || (c == '{' && literalStartsAt(text, p))) {
                std::string scratch;
                if (c == '"')
                    readQuoted(text, p, scratch);
                else
                    readLiteral(text, p, scratch);
                if (p == text.end())
                    throw ImapParserException("");
                continue;
            }
            if (c == open) {
                ++depth;
            } else if (c == close) {
                if (--depth == 0) {
                    out.assign(start, p + 1);
                    pos = p + 1;
                    return true;
                }
            }
            ++p;
        }
        throw ImapParserException("");
    });
}

void trim(std::string& text)
{
    if (text.size() >= 2) {
        text.pop_back();
        text.erase(0, 1);
    }
}

} // namespace imap

void ResponseResult::clear()
{
    tagged = false;
    type = 0;
    number = 0;
    tag.clear();
    text.clear();
    code.clear();
    data.clear();
}

void ResponseResult::dump(std::ostream& out) const
{
    if (tagged)
        out << "Tagged response: tag = " << tag;
    else
        out << "UnTagged response: ";
    out << "  Type = " << type << "\n"
        << "  code = " << code << "\n"
        << "  number = " << number << "\n"
        << "  data = " << data << "\n"
        << "  other = " << text << "\n"
        << "\n";
}

Parser::Parser(const std::string& text)
    : text_(text)
    , pos_(text.begin())
{
}

bool Parser::getNode(std::string& node)
{
    if (pos_ == text_.end())
        return false;
    node.clear();
    if (!imap::skipSpace(text_, pos_))
        return false;
    if (*pos_ == '(')
        return imap::readParenthesis(text_, pos_, '(', ')', node);
    if (*pos_ == '[')
        return imap::readParenthesis(text_, pos_, '[', ']', node);
    return imap::readString(text_, pos_, node);
}

bool Parser::getNodeData(std::string& node)
{
    imap::Pos at = pos_;
    bool group = imap::skipSpace(text_, at) && (*at == '(' || *at == '[');
    if (!getNode(node))
        return false;
    // Only a group loses its delimiters: a quoted string or a literal
    // whose text begins with "(" is data as it stands.
    if (group && !node.empty() && (node[0] == '(' || node[0] == '['))
        imap::trim(node);
    return true;
}

bool Parser::getItemName(std::string& name)
{
    name.clear();
    if (pos_ == text_.end() || !imap::skipSpace(text_, pos_))
        return false;
    imap::Pos start = pos_;
    int depth = 0;
    for (; pos_ != text_.end(); ++pos_) {
        if (*pos_ == '[')
            ++depth;
        else if (*pos_ == ']')
            --depth;
        else if (*pos_ == ' ' && depth <= 0)
            break;
    }
    name.assign(start, pos_);
    return true;
}

bool Parser::getRest(std::string& rest)
{
    return guarded([&] {
        rest.clear();
        if (!imap::skipSpace(text_, pos_))
            return false;
        rest.assign(pos_, text_.end());
        pos_ = text_.end();
        return true;
    });
}

bool Parser::isNumber(const std::string& text)
{
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

void Parser::parseResponse(ResponseResult& result)
{
    result.clear();
    std::string node;
    if (!getNode(node))
        throw ImapParserException("");
    if (node == "*") {
        result.tagged = false;
        parseResponseUnTagged(result);
    } else {
        result.tagged = true;
        result.tag = node;
        parseResponseTagged(result);
    }
}

// A response code in brackets when one follows, then the free text as the
// server wrote it. The text is not tokenised: it is human-readable and may
// hold anything, unbalanced parentheses and quotes included. Without a code,
// the text is its first word, a blank and the rest, so that a text of one
// word ends with that blank.
void Parser::readCodeAndText(ResponseResult& result)
{
    if (!imap::skipSpace(text_, pos_))
        return;
    if (*pos_ == '[') {
        imap::readParenthesis(text_, pos_, '[', ']', result.code);
        getRest(result.text);
        return;
    }
    getRest(result.text);
    if (result.text.find(' ') == std::string::npos)
        result.text += ' ';
}

void Parser::parseResponseTagged(ResponseResult& result)
{
    std::string node;
    if (!getNode(node))
        throw ImapParserException("");
    result.type = lookup(imapResponseGroup1, node);
    readCodeAndText(result);
}

void Parser::parseResponseUnTagged(ResponseResult& result)
{
    std::string node;
    if (!getNode(node))
        throw ImapParserException("");
    if (node == "OK") {
        readCodeAndText(result);
        if (!result.code.empty())
            parseResponseOption(result);
        return;
    }
    std::uint32_t type = lookup(imapResponseGroup2, node);
    if (type != 0) {
        result.type = type;
        parseResponseUnTaggedGroup2(result);
        return;
    }
    if (!node.empty() && node[0] >= '0' && node[0] <= '9') {
        result.number = leadingNumber(node);
        parseResponseUnTaggedGroup3(result);
        return;
    }
    // An untagged response the tables do not know (NO, BAD, BYE, PREAUTH,
    // ENABLED, VANISHED ...): type 0, so that readers skip it.
    result.number = 0;
    getRest(result.text);
}

void Parser::parseResponseUnTaggedGroup2(ResponseResult& result)
{
    getRest(result.text);
}

void Parser::parseResponseUnTaggedGroup3(ResponseResult& result)
{
    std::string node;
    if (!getNode(node))
        throw ImapParserException("");
    result.type = lookup(imapResponseGroup3, node);
    getRest(result.text);
}

void Parser::parseResponseOption(ResponseResult& result)
{
    std::string inner = result.code;
    imap::trim(inner);
    Parser parser(inner);
    std::string node;
    if (!parser.getNode(node))
        return;
    std::uint32_t type = lookup(imapResponseGroupOptions, node);
    if (type == 0)
        return;
    result.type = type;
    std::string value;
    if (!parser.getNode(value))
        return;
    if (type == RespCodeUidValidity || type == RespCodeUidNext || type == RespCodeUnseen)
        result.number = leadingNumber(value);
    else if (type == RespCodePermanentFlags)
        result.data = value;
}

const std::string* FetchResponse::item(const char* name) const
{
    for (const auto& [itemName, value] : items)
        if (strcasecmp(itemName.c_str(), name) == 0)
            return &value;
    return nullptr;
}

bool FetchResponse::bodyIsOpen() const
{
    return strcasecmp(openItem.c_str(), "BODY[]") == 0;
}

namespace {

// "* n KEYWORD": the number, and where the keyword ends (the rest begins);
// false when `text` does not begin so.
bool numberedResponse(
    const std::string& text, std::uint32_t& number, std::string& keyword, std::size_t& rest)
{
    if (text.compare(0, 2, "* ") != 0)
        return false;
    // "*", the number and the keyword are atoms up to the next blank.
    std::size_t numberEnd = text.find(' ', 2);
    if (numberEnd == std::string::npos)
        return false;
    std::size_t keywordEnd = std::min(text.find(' ', numberEnd + 1), text.size());
    std::uint32_t value = 0;
    if (!imap::parseUnsigned32(text.substr(2, numberEnd - 2), value))
        return false;
    keyword = text.substr(numberEnd + 1, keywordEnd - numberEnd - 1);
    number = value;
    rest = keywordEnd;
    return true;
}

} // namespace

bool fetchResponseStart(const std::string& text, std::uint32_t& number, std::size_t& rest)
{
    std::string keyword;
    std::uint32_t value = 0;
    std::size_t end = 0;
    if (!numberedResponse(text, value, keyword, end) || end == text.size()
        || (strcasecmp(keyword.c_str(), "FETCH") != 0
            && strcasecmp(keyword.c_str(), "AFETCH") != 0))
        return false;
    number = value;
    rest = end;
    return true;
}

bool expungeResponse(const std::string& text, std::uint32_t& number)
{
    std::string keyword;
    std::size_t end = 0;
    return numberedResponse(text, number, keyword, end)
        && strcasecmp(keyword.c_str(), "EXPUNGE") == 0 && number != 0;
}

bool readStatusResponse(const std::string& line, StatusResponse& out)
{
    out = StatusResponse();
    try {
        StatusResponse read;
        Parser parser(line);
        if (!parser.getNode(read.tag) || read.tag.empty() || read.tag == "+"
            || !parser.getNode(read.status))
            return false;
        std::string upper = read.status;
        std::transform(upper.begin(), upper.end(), upper.begin(),
            [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
        if (lookup(imapResponseGroup1, upper) == 0)
            return false;
        std::string rest;
        parser.getRest(rest);
        read.words = read.status + (rest.empty() ? "" : " " + rest);
        read.text = rest;
        if (!rest.empty() && rest[0] == '[') {
            // The code's group, then its name: the first atom inside it.
            Parser code(rest);
            std::string group;
            if (!code.getNode(group) || group.size() < 2 || group.back() != ']')
                return false;
            code.getRest(read.text);
            imap::trim(group);
            Parser(group).getNode(read.code);
        }
        out = std::move(read);
        return true;
    } catch (const ImapParserException&) {
        return false;
    }
}

std::string taggedResponseCode(const std::string& line)
{
    StatusResponse response;
    return readStatusResponse(line, response) && response.tag != "*" ? response.code
                                                                      : std::string();
}

bool parseFetchResponse(const std::string& text, FetchResponse& out)
{
    out = FetchResponse();
    std::size_t keywordEnd = 0;
    if (!fetchResponseStart(text, out.number, keywordEnd))
        return false;
    std::size_t listStart = text.find_first_not_of(' ', keywordEnd);
    if (listStart == std::string::npos || text[listStart] != '(')
        throw ImapParserException("FETCH response without its item list");
    // A response stopped at an announcement (its literal left unread) ends
    // inside the item list, so the list can't be read as one group.
    std::string list;
    imap::LiteralAnnouncement open;
    bool stopped = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0
        && imap::literalAnnouncementBefore(text, text.size() - 2, open) && open.open > listStart;
    if (stopped) {
        list = text.substr(listStart + 1, open.open - listStart - 1);
        out.openSize = open.size;
    } else {
        std::string group = text.substr(listStart);
        Parser parser(group);
        parser.getNodeData(list);
    }
    Parser items(list);
    std::string name, value;
    while (items.getItemName(name)) {
        if (!items.getNode(value)) {
            if (!stopped)
                throw ImapParserException("FETCH item without a value");
            out.openItem = name;
            return true;
        }
        out.items.emplace_back(name, value);
    }
    if (stopped)
        throw ImapParserException("FETCH literal without an item name");
    return true;
}

} // namespace tavir::mail
