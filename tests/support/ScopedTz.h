#pragma once
// Sets the TZ environment variable for the life of the object and puts back
// what was there before (or its absence); tzset() runs at both ends.
#include <string>

namespace tavir::test {

class ScopedTz {
public:
    // Only saves TZ; the test sets it as it likes.
    ScopedTz();
    // Saves TZ, then sets it to `tz` (nullptr: unsets it).
    explicit ScopedTz(const char* tz);
    ~ScopedTz();
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;

private:
    bool hadTz_ = false;
    std::string saved_;
};

} // namespace tavir::test
