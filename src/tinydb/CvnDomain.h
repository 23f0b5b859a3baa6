#pragma once
// The domain record the administration client creates on the target, and the
// rule for domain names.
#include <string>

namespace tavir::tinydb {

struct CvnDomain {
    std::string name; // UTF-8

    // True when the name may be created; else `sentence` says why not.
    bool validate(std::string& sentence) const;
};

// The text with control characters shown as '?', for sentences and logs.
std::string printable(const std::string& text);

} // namespace tavir::tinydb
