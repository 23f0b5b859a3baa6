#pragma once
// The system's 128-bit identifier. Its text form is upper-case hexadecimal in
// groups of 8-4-4-4-12 digits without braces; all-zero bytes are the null
// identifier. Equality, ordering and hashing use the 16 bytes only.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavir::mailserver::common {

class KUuid {
public:
    static constexpr size_t Size = 16;

    KUuid();
    KUuid(const KUuid& other);
    KUuid& operator=(const KUuid& other);
    ~KUuid();

    // Parses exactly 36 characters: hexadecimal digits of either case in
    // groups of 8-4-4-4-12 joined by '-'. Anything else gives the null
    // identifier. With keepText, a non-empty `s` is kept as the stored text,
    // even when it did not parse.
    static KUuid fromString(const std::string& s, bool keepText);
    // A new random identifier from the operating system's generator.
    static KUuid generate();
    // `s` itself when it is an identifier; otherwise an identifier made from
    // the MD5 digest of `s`, with the digit '4' at the start of its third group.
    static KUuid createGuidHash(const std::string& s);

    bool isNull() const;
    // "" for the null identifier; the stored text when preserveCase is set and
    // a text is stored; otherwise the upper-case form. The argument is unused.
    std::string toString(bool = false) const;
    std::string toStringLower(bool emptyIfNull) const;
    std::string toStringUpper(bool emptyIfNull) const;

    void setPreserveCase() { preserveCase_ = true; }
    void stripString() { text_.reset(); }

    int compare(const KUuid& other) const;
    bool equals(const KUuid& other) const { return compare(other) == 0; }
    bool operator==(const KUuid& other) const { return equals(other); }
    bool operator!=(const KUuid& other) const { return !equals(other); }
    bool operator<(const KUuid& other) const { return compare(other) < 0; }

    const unsigned char* data() const { return bytes_; }

private:
    unsigned char bytes_[Size];
    std::unique_ptr<std::string> text_;
    bool preserveCase_ = false;
};

uint64_t hash_value(const KUuid& id);

} // namespace tavir::mailserver::common

template <> struct std::hash<tavir::mailserver::common::KUuid> {
    size_t operator()(const tavir::mailserver::common::KUuid& id) const
    {
        return static_cast<size_t>(tavir::mailserver::common::hash_value(id));
    }
};
