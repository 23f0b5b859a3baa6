#pragma once
// IMAP modified UTF-7 (RFC 3501, section 5.1.3) to and from UTF-16
// big-endian code units. Printable ASCII other than '&' stands for itself,
// '&' is written "&-", everything else is base64 of its UTF-16 units (with
// ',' for '/') between '&' and '-'. Both directions work in steps and keep
// their state in a small record, so that text can arrive in pieces.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavir::utils {

class Utf7ImapConverter {
public:
    // The streaming state, all zero at the start of a text.
    struct utf7imap_table {
        uint32_t inShift = 0; // 1 while a base64 run is open
        uint32_t bitCount = 0; // bits carried over to the next unit: 0, 2 or 4
        uint32_t bits = 0; // the carried bits, already in place
    };

    // passMalformed: malformed input is passed on as '&' instead of
    // failing. throwOnMalformed: malformed input throws
    // tavir::utils::Exception (unless passed on). With neither, a malformed
    // place yields the unit U+0000.
    explicit Utf7ImapConverter(bool passMalformed = false, bool throwOnMalformed = false)
        : lenient(passMalformed)
        , throwOnError(throwOnMalformed)
    {
    }

    // "utf-7-imap" or "utf-7m", in any letter case.
    static bool isUtf7Imap(const std::string& name);

    // Decodes from the front of `in` into `out` (UTF-16BE bytes) and erases
    // what was consumed from `in`. Unless `final`, the last 6 characters are
    // held back, so that a run split between pieces is decoded once the rest
    // arrives. Every step writes one unit. Returns the number of failed steps.
    unsigned fromUtf7Imap(std::string& in, std::string& out, utf7imap_table& state, bool final);

    // Clears `out` and encodes the UTF-16BE bytes into it. A run open at the
    // end stays open in `state`; flushTable closes it.
    void toUtf7Imap(const char* data, size_t length, std::string& out, utf7imap_table& state);

    // Closes an open base64 run at the end of a text.
    static void flushTable(utf7imap_table& state, std::string& out);

    // One decoding step at *position in [*position, end): advances the
    // position (never beyond `end`), sets `unit`, and returns whether the
    // unit was produced (false for a skipped or malformed place).
    bool convertFromUtf7Imap(
        const char** position, const char* end, utf7imap_table& state, unsigned short& unit);
    // The same over a NUL-terminated text.
    bool convertFromUtf7Imap(const char** position, utf7imap_table& state, unsigned short& unit);

    // Encodes the UTF-16BE bytes, appending to `out`.
    void convertToUtf7Imap(
        const char* data, size_t length, std::string& out, utf7imap_table& state);

    // The modified base64 alphabet: 'A'-'Z', 'a'-'z', '0'-'9', '+', ','.
    static char getBase64Char(int value); // 0 outside 0-63
    static int getBase64Index(char c); // -1 for a character outside it

    bool lenient;
    bool throwOnError;
};

} // namespace tavir::utils
