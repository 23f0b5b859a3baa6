// Account records: the mailbox name is checked against a pattern, the other
// fields for UTF-8, control characters and length.
#include "tinydb/CvnUser.h"

#include "tinydb/CvnDomain.h"

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

bool checkText(const std::string& what, const std::string& text, std::size_t limit,
    bool controlsAllowed, std::string& sentence)
{
    if (!checkSizeAndUtf8(what, text, limit, sentence))
        return false;
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
    return CvnDomain{domain}.validate(sentence) && validateAccountFields(sentence);
}

bool CvnUser::validateAccountFields(std::string& sentence) const
{
    if (name.empty()) {
        sentence = "the account name is empty";
        return false;
    }
    const std::string field = "account name \"" + printable(name) + "\"";
    if (!checkText(field, name, maxAccountName, false, sentence))
        return false;
    if (!boost::regex_match(name, accountPattern())) {
        sentence = "the " + field
            + " holds a character an account name can't have (a blank, a quote, a control "
              "character or one of @\\,;:<>()[]) or a dot at its start, its end or twice in a row";
        return false;
    }
    return checkText("password of " + name + "@" + domain, password, maxPassword, true, sentence)
        && checkText("full name of " + name + "@" + domain, fullName, maxFullName, false, sentence);
}

} // namespace tavir::tinydb
