// Domain names: DNS labels of letters, digits and inner hyphens (letters may
// be non-ASCII UTF-8), joined by dots; and the text checks of record fields.
#include "tinydb/CvnDomain.h"

#include "tinydb/Wire.h"

#include <boost/regex.hpp>

#include <algorithm>

namespace tavir::tinydb {

namespace {

// RFC 1035 limits: 63 bytes a label, 253 a name in text form.
constexpr std::size_t maxDomainName = 253;

// A label byte is a letter, a digit, '-' or a byte of a non-ASCII character;
// the classes list the ASCII bytes left out, so that they don't depend on
// whether char is signed. Hyphens may not begin or end a label.
const boost::regex& domainPattern()
{
    static const std::string edge = R"([^\x00-\x2f\x3a-\x40\x5b-\x60\x7b-\x7f])";
    static const std::string inner = R"([^\x00-\x2c\x2e\x2f\x3a-\x40\x5b-\x60\x7b-\x7f])";
    static const std::string label = "(?:" + edge + "(?:" + inner + "{0,61}" + edge + ")?)";
    static const boost::regex pattern("^" + label + "(?:\\." + label + ")*$");
    return pattern;
}

bool isControl(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

} // namespace

std::string printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        if (isControl(c))
            c = '?';
    }
    return out;
}

bool hasControl(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), isControl);
}

bool checkSizeAndUtf8(
    const std::string& what, const std::string& text, std::size_t limit, std::string& sentence)
{
    if (text.size() > limit) {
        sentence = "the " + what + " is longer than " + std::to_string(limit) + " bytes";
        return false;
    }
    if (!isUtf8(text)) {
        sentence = "the " + what + " is not UTF-8";
        return false;
    }
    return true;
}

bool CvnDomain::validate(std::string& sentence) const
{
    if (name.empty()) {
        sentence = "the domain name is empty";
        return false;
    }
    const std::string field = "domain name \"" + printable(name) + "\"";
    if (!checkSizeAndUtf8(field, name, maxDomainName, sentence))
        return false;
    if (!boost::regex_match(name, domainPattern())) {
        sentence = "the " + field
            + " is not a domain name (labels of letters, digits and inner hyphens, at most 63 "
              "bytes each, joined by dots)";
        return false;
    }
    return true;
}

} // namespace tavir::tinydb
