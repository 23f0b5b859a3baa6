// The accounts file reader: one account per line, every refusal a sentence.
#include "Common/Tools/AccountsFile.h"

#include "utils/CharsetNames.h"
#include "utils/PathUtils.h"
#include "utils/StreamConverter.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/format.hpp>

#include <map>

namespace tavir::migration {

namespace {

const std::string byteOrderMark = "\xEF\xBB\xBF";

std::wstring trimmed(const std::wstring& text)
{
    return boost::algorithm::trim_copy_if(text, boost::algorithm::is_any_of(L" \t"));
}

std::wstring skipped(unsigned line, const wchar_t* why)
{
    return boost::str(
        boost::wformat(L"Line %1% of the accounts file %2%; it was skipped.") % line % why);
}

// Strict: a line that is not valid UTF-8 (or holds a NUL) is refused rather
// than carried over with characters lost, since a password changed in any
// way would only fail later, at the source server. The converter passes
// over a sequence cut short at the end of its input, so the text must also
// turn back into the very same bytes.
bool decodeLine(const std::string& bytes, std::wstring& text)
{
    if (bytes.find('\0') != std::string::npos)
        return false;
    std::string back;
    return utils::charsetToUnicode(utils::cp::UTF_8, bytes, text, true)
        && utils::unicodeToCharset(utils::cp::UTF_8, text, back, true) && back == bytes;
}

class Reader {
public:
    void readLine(const std::string& bytes, unsigned line)
    {
        if (bytes.size() > maxAccountsLineBytes)
            return refuse(line, L"is longer than 511 bytes");
        std::wstring text;
        if (!decodeLine(bytes, text))
            return refuse(line, L"is not valid UTF-8 text");
        if (trimmed(text).empty())
            return;
        std::size_t cut = text.find_first_of(L";,");
        if (cut == std::wstring::npos)
            return refuse(line, L"has no separator (\";\" or \",\") after the address");
        UserInfo user;
        std::wstring address = trimmed(text.substr(0, cut));
        if (!address.empty() && address[0] == L'*') {
            user.publicFolders = true;
            address = trimmed(address.substr(1));
        }
        std::size_t at = address.rfind(L'@');
        if (at == std::wstring::npos || at == 0 || at + 1 == address.size())
            return refuse(line, L"does not begin with an e-mail address");
        user.mailbox = address.substr(0, at);
        user.domain = address.substr(at + 1);

        // The password runs to the next separator of the same kind, so it
        // may hold the other one; the full name is all that follows.
        std::wstring rest = text.substr(cut + 1);
        std::size_t nameCut = rest.find(text[cut]);
        user.password = rest.substr(0, nameCut);
        if (nameCut != std::wstring::npos)
            user.fullName = trimmed(rest.substr(nameCut + 1));
        if (user.fullName.empty())
            user.fullName = user.publicFolders ? L"Public Folders" : user.mailbox;

        std::wstring key
            = boost::algorithm::to_lower_copy((user.publicFolders ? L"*" : L"") + address);
        auto [first, inserted] = seen_.emplace(key, line);
        if (!inserted) {
            problems.push_back(boost::str(
                boost::wformat(L"Line %1% of the accounts file repeats the address %2% of line "
                               L"%3%; it was skipped.")
                % line % address % first->second));
            return;
        }
        user.migrate = true;
        user.state = UserToMigrate;
        accounts.push_back(std::move(user));
    }

    std::vector<UserInfo> accounts;
    std::vector<std::wstring> problems;

private:
    void refuse(unsigned line, const wchar_t* why) { problems.push_back(skipped(line, why)); }

    std::map<std::wstring, unsigned> seen_; // lower-cased address -> its line
};

} // namespace

AccountsFile parseAccountsText(const std::string& bytes)
{
    Reader reader;
    std::size_t start
        = bytes.compare(0, byteOrderMark.size(), byteOrderMark) == 0 ? byteOrderMark.size() : 0;
    for (unsigned line = 1; start < bytes.size(); ++line) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::size_t length = end - start;
        if (length > 0 && bytes[end - 1] == '\r')
            --length;
        reader.readLine(bytes.substr(start, length), line);
        start = end + 1;
    }
    return AccountsFile{std::move(reader.accounts), std::move(reader.problems)};
}

bool readAccountsFile(const std::string& path, AccountsFile& out)
{
    std::string bytes;
    if (!utils::loadTextFile(path.c_str(), bytes))
        return false;
    out = parseAccountsText(bytes);
    return true;
}

} // namespace tavir::migration
