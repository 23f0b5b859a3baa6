#pragma once
// Rights of one entry of a folder's access control list: the known IMAP
// rights letters as bits of a mask, and every other letter kept beside it so
// that rights a server grants are written back as it gave them.
#include <string>

namespace tavir::mail {

struct AclCodeRow {
    unsigned long long mask;
    char letter;
};

// The rights letters this client knows, in the order they are written. The
// letters are case-sensitive ("O" is a right, "o" is not).
extern const AclCodeRow aclCodeStrings[10];

// Every bit of aclCodeStrings together.
constexpr unsigned long long aclAllRights = 0x3FF;

class AclCodeString {
public:
    // Each known letter sets its bit and is taken out of the text once;
    // `rest` gets what is left, in its order (so a known letter given twice
    // leaves its second occurrence in `rest`).
    static void convertFromString(
        const std::string& text, unsigned long long& rights, std::string& rest);
    // The letters of the rights in table order, then `extra` as it stands.
    static void convertToString(
        std::string& out, unsigned long long rights, const std::string& extra);
    // Appends each character of `letters` that `target` does not hold yet.
    static void mergeString(std::string& target, const std::string& letters);
};

class ACL {
public:
    ACL() = default;
    explicit ACL(unsigned long long rights)
        : rights_(rights & aclAllRights)
    {
    }
    explicit ACL(const std::string& letters) { set(letters); }

    void set(unsigned long long rights) { rights_ = rights & aclAllRights; }
    void set(const std::string& letters);
    void add(unsigned long long rights) { rights_ |= rights & aclAllRights; }
    void add(const std::string& letters);
    void clear();

    unsigned long long get() const { return rights_; }
    std::string getStr() const;
    // The letters not in the rights table, each once, in the order given.
    const std::string& getExtra() const { return extra_; }

    // True when every given bit is set (so 0 is always true).
    bool testRight(unsigned long long bits) const { return (rights_ & bits) == bits; }
    bool testRight(char letter) const;

private:
    unsigned long long rights_ = 0;
    std::string extra_;
};

// One entry of a folder's ACL as a server listed it.
struct ACLInfo {
    ACL rights;
    std::string identifier; // UTF-8, as the server sent it
};

} // namespace tavir::mail
