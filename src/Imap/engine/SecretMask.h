#pragma once
// The run's secrets as the logs must never show them: the accounts'
// passwords, the temporary master password and the administrator's
// password. Each becomes "***" wherever it occurs in a message, whoever
// wrote the message (a server quoting a command back, a refused statement),
// also in the other forms a secret takes on its way into a message:
// - an IMAP quoted string's escapes and a statement's text literal, as a
//   server echoes them (a literal's bytes are the password itself);
// - cut at its line breaks and with blanks or line ends trimmed from its
//   ends, as a server's reply reaches a sentence: read line by line, its
//   line end and trailing blanks dropped. A password with a line break in
//   it hides each of its lines on its own, however short.
// The mask runs on a message before anything of it is changed for the
// files (line breaks as blanks, LogManager).
//
// All forms of all secrets sit once each in one sorted table: memory in
// proportion to their total length, and masking a message costs a binary
// search per byte, whatever the number of accounts.
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavir::migration {

class SecretMask {
public:
    // UTF-8; an empty secret hides nothing.
    void add(const std::string& secret) { *this = with({secret}); }
    // A mask that hides these secrets too; this one is left as it is. One
    // pass over both tables, however many secrets come at once.
    SecretMask with(const std::vector<std::string>& secrets) const;
    bool empty() const { return forms_.empty(); }
    // The text with every stretch covered by a secret as one "***".
    std::string apply(const std::string& text) const;

private:
    static constexpr std::uint32_t none = 0xFFFFFFFFu;
    struct Form {
        std::size_t at; // in bytes_
        std::uint32_t length;
        std::uint32_t shorter; // the longest form that begins this one, or none
    };
    std::string_view formText(const Form& form) const
    {
        return {bytes_.data() + form.at, form.length};
    }
    // True when `form` is one of this table's forms.
    bool holds(std::string_view form) const;
    // Sets each form's `shorter`; forms_ sorted, each form once.
    void linkShorter();
    // The length of the longest form at `text[at]`, 0 when none.
    std::size_t longestAt(std::string_view text, std::size_t at) const;

    std::string bytes_; // every form, back to back
    std::vector<Form> forms_; // sorted by their text
    std::bitset<256> firstBytes_; // the bytes a form begins with
};

} // namespace tavir::migration
