#pragma once
// Letters of every script in lower case, so that texts a server compares
// without regard to case (addresses, domains) can be compared here the way
// it does.
#include <string>

namespace tavir::utils {

// `c` in lower case by Unicode's simple (one character to one) lower-case
// mapping; any other character as it is.
wchar_t lowerLetter(wchar_t c);
// Every letter of `text` through lowerLetter: "\u00DCnal@X.org" and
// "\u00FCnal@x.org" become the same text, as only "Unal@X.org" and
// "unal@x.org" did under the "C" locale's A-Z.
std::wstring lowerLetters(std::wstring text);

} // namespace tavir::utils
