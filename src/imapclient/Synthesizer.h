#pragma once
// The IMAP command-line builder: a line assembled parameter by parameter,
// each parameter separated from what stands before it by one blank.
//
// addParam and append take text that is already in wire form (atoms,
// numbers, ready-made lists) and must only be given text the program made
// itself. Any text that comes from a user or a server goes through
// addParamString (or addParamStringEx), which always produces one
// well-formed string token, so it can never end the line or start another
// command.
#include <ctime>
#include <string>
#include <vector>

namespace tavir::mail {

class Synthesizer {
public:
    Synthesizer() = default;

    void addParam(const std::string& text) { addParam(line_, text); }
    void addParam(unsigned int n) { addParam(line_, n); }
    void addParamString(const std::string& text) { addParamString(line_, text); }
    void addParamStringEx(const std::string& text) { addParamStringEx(line_, text); }
    void addParamVector(const std::vector<std::string>& items) { addParamVector(line_, items); }
    void addParamVector(const std::string& text) { addParamVector(line_, text); }
    void addParamVectorString(const std::vector<std::string>& items)
    {
        addParamVectorString(line_, items);
    }
    void append(const std::string& text) { line_ += text; }

    static void addSpace(std::string& out);
    static void addParam(std::string& out, const std::string& text);
    static void addParam(std::string& out, unsigned int n);
    static void addParamString(std::string& out, const std::string& text);
    static void addParamStringEx(std::string& out, const std::string& text);
    static void addParamVector(std::string& out, const std::vector<std::string>& items);
    static void addParamVector(std::string& out, const std::string& text);
    static void addParamVectorString(std::string& out, const std::vector<std::string>& items);

    std::string& get() { return line_; }
    const std::string& get() const { return line_; }
    void clear() { line_.clear(); }

private:
    std::string line_;
};

// Every backslash doubled and every double quote preceded by a backslash.
std::string escapeQuotationMarks(const std::string& text);
// The non-synchronising literal: "{" length "+}" CR LF and the text. Lines
// are always built this way; where the server does not allow it, the
// command's sender writes a synchronising literal instead and waits for the
// server's continuation.
std::string literalPlus(const std::string& text);
// The text as one IMAP string token: a quoted string with its escapes when
// every byte may stand inside quotes (printable 7-bit, no CR, LF or NUL),
// otherwise a LITERAL+ literal.
std::string quotedString(const std::string& text);
// True when `text` may be sent inside double quotes.
bool isQuotable(const std::string& text);

// The IMAP date-time ("05-Mar-2024 14:07:09 +0100") of `t` in local time;
// empty when the local time conversion fails.
std::string time2String(std::time_t t);
// An INTERNALDATE value as servers send it, as seconds since 1970: the IMAP
// form ("05-May-2021 10:00:00 +0000"), or the RFC 822 form some servers give
// instead ("Tue, 05 May 2021 10:00:00 +0000"). False for anything else
// (garbage, an empty text), `instant` then untouched. The APPEND's date and
// the comparison of a folder with its copy both read dates through this one
// reader, so that they never disagree on a date.
bool readInternalDate(const std::string& text, std::time_t& instant);
// Any date text turned into an IMAP date-time in local time: what
// readInternalDate reads, else the current time.
std::string fixInternalDate(const std::string& date);

// Folder-type bits of the target server.
enum FolderTypeBits : unsigned int {
    FolderTypeContact = 0x1,
    FolderTypeCalendar = 0x2,
    FolderTypeTodo = 0x4,
    FolderTypeJournal = 0x8,
    FolderTypeMail = 0x10,
    FolderTypeMapi = 0x20,
    FolderTypeNote = 0x40,
    FolderTypeSearch = 0x80,
    FolderTypeAll = 0x7FFF,
    FolderNoSelect = 0x10000,
};

// The X-CREATE keyword of the lowest type bit ("X-ALL" for all of them).
std::string convertListExtension(unsigned int bits);
// The folder-type bits of a LIST flag list.
unsigned int convertListExtension(const std::string& flags);

} // namespace tavir::mail
