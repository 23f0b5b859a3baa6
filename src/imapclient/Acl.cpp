#include "imapclient/Acl.h"

namespace tavir::mail {

const AclCodeRow aclCodeStrings[10] = {
    {0x1, 'l'},
    {0x2, 'r'},
    {0x4, 's'},
    {0x8, 'w'},
    {0x10, 'i'},
    {0x20, 'p'},
    {0x40, 'c'},
    {0x80, 'd'},
    {0x100, 'a'},
    {0x200, 'O'},
};

void AclCodeString::convertFromString(
    const std::string& text, unsigned long long& rights, std::string& rest)
{
    rights = 0;
    std::string work = text;
    for (const AclCodeRow& row : aclCodeStrings) {
        std::size_t at = work.find(row.letter);
        if (at == std::string::npos)
            continue;
        rights |= row.mask;
        work.erase(at, 1);
    }
    rest = work;
}

void AclCodeString::convertToString(
    std::string& out, unsigned long long rights, const std::string& extra)
{
    out.clear();
    for (const AclCodeRow& row : aclCodeStrings)
        if ((rights & row.mask) == row.mask)
            out += row.letter;
    out += extra;
}

void AclCodeString::mergeString(std::string& target, const std::string& letters)
{
    for (char c : letters)
        if (target.find(c) == std::string::npos)
            target += c;
}

void ACL::set(const std::string& letters)
{
    std::string rest;
    AclCodeString::convertFromString(letters, rights_, rest);
    rights_ &= aclAllRights;
    extra_.clear();
    AclCodeString::mergeString(extra_, rest);
}

void ACL::add(const std::string& letters)
{
    unsigned long long mask = 0;
    std::string rest;
    AclCodeString::convertFromString(letters, mask, rest);
    rights_ |= mask & aclAllRights;
    AclCodeString::mergeString(extra_, rest);
}

void ACL::clear()
{
    rights_ = 0;
    extra_.clear();
}

std::string ACL::getStr() const
{
    std::string out;
    AclCodeString::convertToString(out, rights_, extra_);
    return out;
}

bool ACL::testRight(char letter) const
{
    return getStr().find(letter) != std::string::npos;
}

} // namespace tavir::mail
