#pragma once
// Reader of IMAP server responses: a lexer of IMAP tokens (atoms, quoted
// strings, literals, NIL and bracketed or parenthesised groups), the grammar
// of a literal announcement, Parser, which classifies one whole response as
// the reply reader collects it (its lines with their inner CR LF and literal
// bytes, without the final line end), and the reader of FETCH responses.
// Everything works on bytes; no charset decoding happens here. The only
// exception that leaves these functions is ImapParserException.
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace tavir::mail {

namespace imap {

using Pos = std::string::const_iterator;

// Moves over blanks (0x20 only). True when it stops at another character.
bool skipSpace(const std::string& text, Pos& pos);
// The same; reaching the end throws "Space not presented".
void skipSpaceEx(const std::string& text, Pos& pos);
// True (and moves past it) when the text at pos begins with `word`.
bool testWord(const std::string& text, Pos& pos, const std::string& word);
// True when the text at index `at` begins with `word`, which is written in
// upper case, in any letter case (only a-z fold).
bool startsWithNoCase(const std::string& text, std::size_t at, const char* word);
// The character at pos must be c ("Character different"; at the end "Bad ").
Pos testCharacter(const std::string& text, const Pos& pos, char c);
Pos findCharacter(const std::string& text, const Pos& pos, char c);
// The same; a missing c throws "Character not found".
Pos findCharacterEx(const std::string& text, const Pos& pos, char c);
// out := the n bytes at pos (pos does not move); fewer left throws.
void readNCharacters(const std::string& text, Pos& pos, std::int64_t n, std::string& out);
// One token: a literal's bytes (a literal8's too), a quoted string with its
// escapes resolved, NIL (as a whole token: empty out) or an atom (up to the
// next blank).
bool readString(const std::string& text, Pos& pos, std::string& out);
bool skipString(const std::string& text, Pos& pos);
// One balanced group from `open` to its matching `close`, delimiters included.
bool readParenthesis(const std::string& text, Pos& pos, char open, char close, std::string& out);
// Removes the first and last character of a text of two or more.
void trim(std::string& text);

// Reads a decimal number of at most 32 bits: all of `digits` must be digits
// and there must be at least one. False on anything else or on overflow.
bool parseUnsigned32(const std::string& digits, std::uint32_t& value);

// A literal announcement: "{" digits "}" (synchronising) or "{" digits "+}"
// (RFC 7888), either after "~" for a literal8 (RFC 3516), whose octets may
// be any, NUL included: a string all the same, its octets counted alike.
// Every reader and writer of announcements goes through the two functions
// below, so they all take the same texts.
struct LiteralAnnouncement {
    std::size_t open = 0; // index of the "~" of a literal8, else of "{"
    std::size_t end = 0; // index just past "}"
    std::uint64_t size = 0; // saturates at UINT64_MAX
    bool plus = false;
};
// True when an announcement starts at index `open`.
bool literalAnnouncementAt(const std::string& text, std::size_t open, LiteralAnnouncement& out);
// True when an announcement ends just before index `end`.
bool literalAnnouncementBefore(const std::string& text, std::size_t end, LiteralAnnouncement& out);

} // namespace imap

// Response types of the keyword tables.
enum ImapResponseType : std::uint32_t {
    RespOk = 100,
    RespNo = 101,
    RespBad = 102,
    RespPreauth = 103,
    RespBye = 104,
    RespCapability = 200,
    RespList = 201,
    RespLsub = 202,
    RespStatus = 203,
    RespSearch = 204,
    RespSort = 205,
    RespGroup = 206,
    RespAsort = 208,
    RespAgroup = 209,
    RespFlags = 210,
    RespExists = 211,
    RespRecent = 212,
    RespAexpunge = 300,
    RespExpunge = 301,
    RespFetch = 302,
    RespAfetch = 303,
    RespAnnotation = 500,
    RespXWatch = 600,
    RespAcl = 601,
    RespListRights = 602,
    RespMyRights = 603,
    RespXListMap = 604,
    RespXGetScript = 605,
    RespXUserInfo = 606,
    RespCodeAlert = 1001,
    RespCodeNewName = 1002,
    RespCodeParse = 1003,
    RespCodePermanentFlags = 1004,
    RespCodeReadOnly = 1005,
    RespCodeReadWrite = 1006,
    RespCodeTryCreate = 1007,
    RespCodeUidValidity = 1008,
    RespCodeUidNext = 1009,
    RespCodeUnseen = 1010,
    RespCodeInternalDate = 1012,
    RespCodeReferral = 1013,
};

struct ImapKeyword {
    const char* keyword;
    std::uint32_t type;
};

extern const ImapKeyword imapResponseGroup1[5];
extern const ImapKeyword imapResponseGroup2[18];
extern const ImapKeyword imapResponseGroup3[6];
extern const ImapKeyword imapResponseGroupOptions[12];

class ResponseResult {
public:
    void clear();

    std::uint32_t getType() const { return type; }
    bool isTagged() const { return tagged; }
    std::string getTag() const { return tag; }
    std::string getCode() const { return code; }
    std::string getString() const { return text; }
    std::uint32_t getNumber() const { return number; }
    std::string getData() const { return data; }

    void dump(std::ostream& out) const;

    bool tagged = false;
    std::uint32_t type = 0; // 0: not a response the tables know
    std::string tag;
    std::string text;
    std::string code;
    std::uint32_t number = 0;
    std::string data;
};

class Parser {
public:
    explicit Parser(const std::string& text);
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next token: a parenthesised or bracketed group with its
    // delimiters, a literal's bytes, a quoted string without its quotes, an
    // atom, or empty for NIL. False at the end.
    bool getNode(std::string& node);
    // getNode, and a group loses its outer delimiters.
    bool getNodeData(std::string& node);
    // A FETCH item's name: an atom whose section spec in brackets may hold
    // blanks ("BODY[HEADER.FIELDS (MESSAGE-ID)]"), with its partial range
    // ("<0>") if any. False at the end.
    bool getItemName(std::string& name);
    // Everything after the blanks at the position.
    bool getRest(std::string& rest);

    void parseResponse(ResponseResult& result);
    void parseResponseTagged(ResponseResult& result);
    void parseResponseUnTagged(ResponseResult& result);
    void parseResponseUnTaggedGroup2(ResponseResult& result);
    void parseResponseUnTaggedGroup3(ResponseResult& result);
    void parseResponseOption(ResponseResult& result);

    static bool isNumber(const std::string& text);

private:
    void readCodeAndText(ResponseResult& result);

    const std::string& text_;
    imap::Pos pos_;
};

// One untagged FETCH response (or the target's AFETCH): the message number
// and the items as name and value pairs, values as getNode gives them (a
// parenthesised value with its parentheses, a string's or literal's bytes).
// The reply reader may stop a response right after a literal announcement
// and leave the literal on the connection (a message body being streamed):
// the item so announced is then the open item, with the announced size.
struct FetchResponse {
    std::uint32_t number = 0;
    std::vector<std::pair<std::string, std::string>> items;
    std::string openItem;
    std::uint64_t openSize = 0;

    // The value of the first item of that name (ASCII case-insensitive), or
    // null.
    const std::string* item(const char* name) const;
    // True when the open item is the whole body, BODY[].
    bool bodyIsOpen() const;
};

// The start of an untagged FETCH or AFETCH response: "* ", the message
// number (32 bits) and the keyword, any letter case. True with `number` set
// and `rest` the index just past the keyword; false, leaving both as they
// were, for any other response. Never throws.
bool fetchResponseStart(const std::string& text, std::uint32_t& number, std::size_t& rest);
// True when `text` (without its line end) is "* n EXPUNGE"; `number` is n.
bool expungeResponse(const std::string& text, std::uint32_t& number);
// A status response (RFC 3501 7.1), tagged or untagged, in its parts:
// "K3 NO [LIMIT] Too many sessions" is tag "K3", status "NO", code "LIMIT"
// and text "Too many sessions"; an untagged one has the tag "*".
struct StatusResponse {
    std::string tag;
    // OK, NO, BAD, PREAUTH or BYE, as sent.
    std::string status;
    // The response code's name as sent (RFC 5530: "AUTHENTICATIONFAILED",
    // "UIDNEXT" of "[UIDNEXT 7]"); empty without a code.
    std::string code;
    // The human-readable text after the code.
    std::string text;
    // The response from its status word on, as the server wrote it: "NO
    // [LIMIT] Too many sessions".
    std::string words;
};
// False, with `out` empty, for a line that is no status response. Never
// throws.
bool readStatusResponse(const std::string& line, StatusResponse& out);
// The name of the response code of a tagged status line, as sent: "K3 OK
// [EXPUNGEISSUED] Some messages were already expunged" gives
// "EXPUNGEISSUED". Empty when the line has no code or can't be read.
// Never throws.
std::string taggedResponseCode(const std::string& line);

// False when `text` is no untagged FETCH or AFETCH response; a FETCH
// response whose items can't be read throws ImapParserException, with the
// message number already set in `out`.
bool parseFetchResponse(const std::string& text, FetchResponse& out);

} // namespace tavir::mail
