#pragma once
// Accented Latin letters to plain ASCII: the table and the removeDiacritics
// functions over it.
#include <iterator>
#include <map>
#include <string>

namespace tavir::utils {

// From the UTF-8 bytes of a letter to its replacement: the base letter, two
// letters for Æ, Œ and their lower-case forms, "ss" for ß. One process-wide
// instance, built on first use and never changed afterwards.
class ri_conv {
public:
    ri_conv();
    // The replacement of the UTF-8 letter, or null when it has none.
    const std::string* find(const std::string& letter) const;
    const std::map<std::string, std::string>& table() const { return table_; }

private:
    std::map<std::string, std::string> table_;
};

// Each returns true when every non-ASCII character was found in the table;
// one that was not becomes "?" (the UTF-16 form copies it unchanged).
bool removeDiacritics(const std::string& charset, const std::string& in, std::string& out);
template <class It>
bool removeDiacritics(const std::string& charset, It begin, It end, std::string& out)
{
    return removeDiacritics(charset, std::string(begin, end), out);
}
bool removeDiacritics(const std::wstring& in, std::wstring& out);
template <class It> bool removeDiacritics(It begin, It end, std::wstring& out)
{
    return removeDiacritics(std::wstring(begin, end), out);
}
// A NUL-terminated UTF-16 text into a NUL-terminated buffer of outSize bytes;
// bytes beyond outSize - 1 are dropped.
bool removeDiacritics(const unsigned short* in, char* out, int outSize);

} // namespace tavir::utils
