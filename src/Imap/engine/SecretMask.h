#pragma once
// The run's secrets as the logs must never show them: the accounts'
// passwords, the temporary master password and the administrator's
// password. Each becomes "***" wherever it occurs in a line, whoever wrote
// the line (a server quoting a command back, a refused statement), also in
// the forms a server echoes: an IMAP quoted string with its escapes, a
// statement's text literal; a literal's bytes are the password itself.
// All forms of all secrets sit in one trie, so masking a line costs about
// its length times the longest match, whatever the number of accounts.
#include <string>
#include <vector>

namespace tavir::migration {

class SecretMask {
public:
    // UTF-8; an empty secret hides nothing.
    void add(const std::string& secret);
    bool empty() const { return nodes_.size() == 1; }
    // The text with every stretch covered by a secret as one "***".
    std::string apply(const std::string& text) const;

private:
    struct Node {
        std::vector<std::pair<unsigned char, unsigned>> next; // sorted by byte
        bool end = false;
    };
    void insert(const std::string& form);
    // The length of the longest secret at `text[at]`, 0 when none.
    std::size_t longestAt(const std::string& text, std::size_t at) const;

    std::vector<Node> nodes_ = std::vector<Node>(1);
};

} // namespace tavir::migration
