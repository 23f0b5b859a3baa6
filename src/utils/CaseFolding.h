#pragma once
// Unicode's simple case folding, so that texts a server compares without
// regard to case (addresses, domains) are compared here the way it does.
// The stand-in target folds with the same table
// (tests/targetserver/case_folding.py); both are generated from
// CaseFolding.txt by tools/casefolding/gen_case_folding.py.
#include <string>

namespace tavir::utils {

// The Unicode release the table was made from ("15.0.0").
const char* caseFoldingVersion();

// `c` by the simple case folding (CaseFolding.txt, statuses C and S: one
// character to one); any other character as it is. Lower case is not
// enough to compare: final sigma, micro sign and long s fold to the Greek
// sigma, mu and "s" ("\u03C2", "\u00B5" and "\u017F" have no upper case of
// their own to meet them), and U+0130 (capital I with dot) folds to itself,
// not to "i".
wchar_t foldCase(wchar_t c);
// Every character of `text` through foldCase(wchar_t): "\u039F\u0394\u039F\u03A3@X.org"
// and "\u03BF\u03B4\u03BF\u03C2@x.org" become the same text.
std::wstring foldCase(std::wstring text);
// The same for UTF-8 text; bytes that are not well-formed UTF-8 are kept as
// they are.
std::string foldCaseUtf8(const std::string& text);

} // namespace tavir::utils
