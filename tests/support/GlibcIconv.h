#pragma once
// glibc's own character set conversion, as a reference nobody here wrote.
#include <string>

namespace tavir::test {

// `input` converted from `from` to `to` in one go (shift state flushed);
// "<unsupported>" when glibc lacks the pair, "<error>" when the conversion
// fails.
std::string glibcConvert(const char* to, const char* from, const std::string& input);

} // namespace tavir::test
