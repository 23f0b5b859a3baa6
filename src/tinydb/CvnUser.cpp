// Account records: the mailbox name is checked against a pattern, the other
// fields for UTF-8, control characters and length.
#include "tinydb/CvnUser.h"

#include "tinydb/CvnDomain.h"
#include "tinydb/Wire.h"

#include <boost/regex.hpp>

namespace tavir::tinydb {

namespace {

// RFC 5321 limits the local part to 64 bytes. The limits of the free texts
// keep statements short; no real password or name comes near them.
constexpr std::size_t maxAccountName = 64;
constexpr std::size_t maxPassword = 1024;
constexpr std::size_t maxFullName = 256;

// No control character, blank, quote or address punctuation; dots only
// between other characters.
const boost::regex& accountPattern()
{
    static const boost::regex pattern(
        R"(^(?!\.)(?!.*\.\.)[^\x00-\x20\x7f"'`@\\,;:<>()\[\]]+(?<!\.)$)");
    return pattern;
}

bool hasControl(const std::string& text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

bool checkText(const std::string& what, const std::string& text, std::size_t limit,
    bool controlsAllowed, std::string& sentence)
{
    if (text.size() > limit) {
        sentence = "the " + what + " is longer than " + std::to_string(limit) + " bytes";
        return false;
    }
    if (!isUtf8(text)) {
        sentence = "the " + what + " is not UTF-8";
        return false;
    }
    if (!controlsAllowed && hasControl(text)) {
        sentence = "the " + what + " holds a control character";
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        sentence = "the " + what + " holds a NUL byte";
        return false;
    }
    return true;
}

} // namespace

bool CvnUser::validate(std::string& sentence) const
{
    if (!CvnDomain{domain}.validate(sentence))
        return false;
    const std::string shown = "the account name \"" + printable(name) + "\"";
    if (name.empty()) {
        sentence = "the account name is empty";
        return false;
    }
    if (!checkText(shown.substr(4), name, maxAccountName, false, sentence))
        return false;
    if (!boost::regex_match(name, accountPattern())) {
        sentence = shown
            + " holds a character an account name can't have (a blank, a quote, a control "
              "character or one of @\\,;:<>()[]) or a dot at its start, its end or twice in a row";
        return false;
    }
    return checkText("password of " + name + "@" + domain, password, maxPassword, true, sentence)
        && checkText("full name of " + name + "@" + domain, fullName, maxFullName, false, sentence);
}

} // namespace tavir::tinydb
