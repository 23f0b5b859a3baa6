#pragma once
// Shell-style file name matching over byte and wide strings.
#include <string>

namespace tavir::utils {

// Flag bits of fnmatch (our own values, not the C library's).
enum FnMatchFlags {
    FnmNoEscape = 1, // backslash is an ordinary character
    FnmPathname = 2, // '/' in the string only matches '/' in the pattern
    FnmPeriod = 4, // a leading '.' must be matched explicitly
    FnmCaseFold = 8, // compare ignoring case
};

// The POSIX fnmatch algorithm: 0 on a match, 1 otherwise. Instantiated for
// unsigned char and wchar_t.
template <typename CharT> int fnmatch(const CharT* pattern, const CharT* string, int flags);

extern template int fnmatch<unsigned char>(const unsigned char*, const unsigned char*, int);
extern template int fnmatch<wchar_t>(const wchar_t*, const wchar_t*, int);

// fnmatch with backslash as an ordinary character; true on a match.
bool fileNameMatch(const std::string& pattern, const std::string& name, bool ignoreCase);
bool fileNameMatch(const char* pattern, const char* name, bool ignoreCase);
bool fileNameMatch(const std::wstring& pattern, const std::wstring& name, bool ignoreCase);
bool fileNameMatch(const wchar_t* pattern, const wchar_t* name, bool ignoreCase);

// fileNameMatch with the forgiving rules of DOS-style patterns: "name." also
// matches "name", and "*.*" also matches names without a dot.
bool fileNameMatchWindows(const std::string& pattern, const std::string& name, bool ignoreCase);

} // namespace tavir::utils
