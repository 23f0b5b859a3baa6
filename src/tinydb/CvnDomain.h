#pragma once
// The domain record the administration client creates on the target, the
// rule for domain names, and the text checks account fields share with it.
#include <cstddef>
#include <string>

namespace tavir::tinydb {

struct CvnDomain {
    std::string name; // UTF-8

    // True when the name may be created; else `sentence` says why not.
    bool validate(std::string& sentence) const;
};

// The text with control characters shown as '?', for sentences and logs.
std::string printable(const std::string& text);
// True when the text holds a control character (below 0x20, or DEL).
bool hasControl(const std::string& text);
// True when `text` is UTF-8 of at most `limit` bytes; else `sentence` says
// which rule "the <what>" breaks.
bool checkSizeAndUtf8(
    const std::string& what, const std::string& text, std::size_t limit, std::string& sentence);

} // namespace tavir::tinydb
