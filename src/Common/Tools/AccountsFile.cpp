// The accounts file reader: one account per line, every refusal a sentence.
#include "Common/Tools/AccountsFile.h"

#include "tinydb/CvnDomain.h"
#include "tinydb/CvnUser.h"
#include "tinydb/Wire.h"
#include "utils/CaseFolding.h"
#include "utils/CharsetNames.h"
#include "utils/ExaminedFile.h"
#include "utils/StreamConverter.h"
#include "utils/StringUtils.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/format.hpp>

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory_resource>
#include <string_view>
#include <unordered_map>

namespace tavir::migration {

namespace {

const std::string byteOrderMark = "\xEF\xBB\xBF";

template <class Char> using Text = std::basic_string<Char>;

template <class Char> bool isBlank(Char c)
{
    return c == ' ' || c == '\t';
}

template <class Char> bool isSeparator(Char c)
{
    return c == ';' || c == ',';
}

template <class Char> Text<Char> trimmed(const Text<Char>& text)
{
    return boost::algorithm::trim_copy_if(text, isBlank<Char>);
}

template <class Char> std::size_t skipBlanks(const Text<Char>& text, std::size_t at)
{
    while (at < text.size() && isBlank(text[at]))
        ++at;
    return at;
}

// An ASCII text in the line's characters.
template <class Char> Text<Char> ascii(const char* text)
{
    return Text<Char>(text, text + std::strlen(text));
}

std::wstring skipped(unsigned line, const std::wstring& why)
{
    return boost::str(
        boost::wformat(L"Line %1% of the accounts file %2%; it was skipped.") % line % why);
}

// Strict, by the target's own rule for UTF-8: a line that is not valid
// UTF-8 (or holds a NUL) is refused rather than carried over with
// characters lost, since a password changed in any way would only fail
// later, at the source server.
bool decodeLine(const std::string& bytes, std::wstring& text)
{
    return bytes.find('\0') == std::string::npos && tinydb::isUtf8(bytes)
        && utils::charsetToUnicode(utils::cp::UTF_8, bytes, text, true);
}

// C0 and C1 controls and DEL: none belongs in an address, and the report
// would print them raw.
bool isControl(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Unicode's format characters (Cf: U+200B zero width space, U+FEFF, the
// bidirectional marks ...) and separators (Zl U+2028, Zp U+2029 and the
// blanks of Zs) as of Unicode 15.0, but for the ASCII blank, which the
// target refuses in an account name with its own sentence. An address that
// holds one looks like another, or breaks the report's line.
bool isInvisibleOrBreaking(wchar_t c)
{
    static const std::pair<std::uint32_t, std::uint32_t> ranges[] = {{0x00A0, 0x00A0},
        {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F},
        {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x1680, 0x1680}, {0x180E, 0x180E}, {0x2000, 0x200F},
        {0x2028, 0x202F}, {0x205F, 0x2064}, {0x2066, 0x206F}, {0x3000, 0x3000}, {0xFEFF, 0xFEFF},
        {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
        {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F}};
    const auto code = static_cast<std::uint32_t>(c);
    if (code < ranges[0].first)
        return false; // ASCII and C1: the common case, asked first
    return std::any_of(std::begin(ranges), std::end(ranges),
        [code](const auto& range) { return code >= range.first && code <= range.second; });
}

// A field as spreadsheets write CSV: in double quotes, "" for a quote
// inside, so that it may hold the separators. Reads the one whose opening
// quote is at `at`; returns the position after its closing quote (and after
// the blanks that follow when `blanksAfter`), or npos when no quoted field
// begins there. A field that is not quoted whole is read as written, as
// files without quotes always were: the callers check what follows.
template <class Char>
std::size_t readQuoted(const Text<Char>& text, std::size_t at, bool blanksAfter, Text<Char>& field)
{
    if (at >= text.size() || text[at] != '"')
        return Text<Char>::npos;
    field.clear();
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            field += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
        } else {
            return blanksAfter ? skipBlanks(text, i + 1) : i + 1;
        }
    }
    return Text<Char>::npos;
}

// A line's fields as written: its address (blanks around it dropped, a '*'
// still in front), password and full name (empty when there is none). Every
// character that decides where a field ends is ASCII, which UTF-8 writes as
// itself and never inside another character, so the line's bytes and its
// decoded text split the same way: the account is taken from the text, the
// target's checks get the bytes.
template <class Char> struct LineFields {
    Text<Char> address;
    Text<Char> password;
    Text<Char> fullName;
    // The line's separator, 0 when it has none after the address.
    Char separator = 0;
    // A full name written without quotes that holds the separator.
    bool separatorInFullName = false;
};

// The rest of the line: a quoted full name, or everything as written.
template <class Char> void readFullName(const Text<Char>& rest, LineFields<Char>& fields)
{
    if (readQuoted(rest, skipBlanks(rest, 0), true, fields.fullName) == rest.size())
        return;
    fields.fullName = trimmed(rest);
    fields.separatorInFullName = fields.fullName.find(fields.separator) != Text<Char>::npos;
}

template <class Char> LineFields<Char> splitLine(const Text<Char>& text)
{
    LineFields<Char> fields;
    // The address, and with it the line's separator: the first one outside
    // quotes.
    std::size_t cut = readQuoted(text, skipBlanks(text, 0), true, fields.address);
    if (cut >= text.size() || !isSeparator(text[cut])) {
        cut = text.find_first_of(ascii<Char>(";,"));
        if (cut == Text<Char>::npos)
            return fields;
        fields.address = text.substr(0, cut);
    }
    fields.address = trimmed(fields.address);
    fields.separator = text[cut];

    // The password, taken exactly as written: in quotes it may hold
    // anything; without, it runs to the next separator of the same kind, so
    // it may hold the other one. The full name is all that follows.
    std::size_t nameStart = Text<Char>::npos;
    const std::size_t quoted = readQuoted(text, cut + 1, false, fields.password);
    if (quoted == text.size() || (quoted < text.size() && text[quoted] == fields.separator)) {
        if (quoted < text.size())
            nameStart = quoted + 1;
    } else {
        std::size_t nameCut = text.find(fields.separator, cut + 1);
        fields.password = text.substr(cut + 1, nameCut - (cut + 1));
        if (nameCut != Text<Char>::npos)
            nameStart = nameCut + 1;
    }
    if (nameStart != Text<Char>::npos)
        readFullName(text.substr(nameStart), fields);
    return fields;
}

// An account as the line gives it, in the line's characters.
template <class Char> struct LineAccount {
    bool publicFolders = false;
    Text<Char> mailbox;
    Text<Char> domain;
    Text<Char> fullName;
};

// False when the address is none: no '@', or nothing before or after the
// last one. Without a full name the account is named by its mailbox, the
// public folders as such.
template <class Char> bool accountOf(const LineFields<Char>& fields, LineAccount<Char>& account)
{
    Text<Char> address = fields.address;
    if (!address.empty() && address[0] == '*') {
        account.publicFolders = true;
        address = trimmed(address.substr(1));
    }
    const std::size_t atSign = address.rfind('@');
    if (atSign == Text<Char>::npos || atSign == 0 || atSign + 1 == address.size())
        return false;
    account.mailbox = address.substr(0, atSign);
    account.domain = address.substr(atSign + 1);
    account.fullName = fields.fullName;
    if (account.fullName.empty())
        account.fullName = account.publicFolders ? ascii<Char>("Public Folders") : account.mailbox;
    return true;
}

// Why a line whose account an earlier line holds is skipped.
std::wstring repeated(const UserInfo& user, unsigned firstLine)
{
    if (user.publicFolders)
        return boost::str(boost::wformat(L"names a second public-folders account for the domain "
                                         L"%1% (the first is on line %2%)")
            % user.domain % firstLine);
    return boost::str(
        boost::wformat(L"repeats the address %1% of line %2%") % user.address() % firstLine);
}

// Storage in pages of its own, given back to the system as soon as it is
// freed; a block freed in the middle of the heap would stay with the
// process for the rest of the load.
template <class T> struct OwnPages {
    using value_type = T;
    OwnPages() = default;
    template <class U> OwnPages(const OwnPages<U>&) { }
    T* allocate(std::size_t n)
    {
        void* pages = ::mmap(
            nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED)
            throw std::bad_alloc();
        return static_cast<T*>(pages);
    }
    void deallocate(T* pages, std::size_t n) { ::munmap(pages, n * sizeof(T)); }
    template <class U> bool operator==(const OwnPages<U>&) const { return true; }
    template <class U> bool operator!=(const OwnPages<U>&) const { return false; }
};

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
        LineFields<wchar_t> fields = splitLine(text);
        LineAccount<wchar_t> account;
        if (const std::wstring why = addressRefusal(fields, account); !why.empty())
            return refuse(line, why);
        if (const std::string why = targetRefusal(splitLine(bytes)); !why.empty())
            return refuse(line, L"names an account the target server would refuse: " + wide(why));
        // Most likely a password that holds the separator, cut short: its
        // tail would become the account's name. Read as it always was, but
        // said (without the text, which may be that password).
        if (fields.separatorInFullName)
            problems.push_back(boost::str(
                boost::wformat(L"Line %1% of the accounts file has a full name that holds the "
                               L"separator \"%2%\"; if the separator belongs to the password, "
                               L"write the password in double quotes.")
                % line % fields.separator));
        take(std::move(fields.password), std::move(account), line);
    }

    // The accounts read, in one list made at their number; each block is
    // given back as soon as its accounts have moved. The index of the
    // accounts seen goes first, so that the list is made in its room.
    std::vector<UserInfo> takeAccounts()
    {
        // Emptied whole, its buckets too, before their room is given back.
        decltype(seen_)(&keys_).swap(seen_);
        keys_.release();
        domains_.clear();
        std::vector<UserInfo> all;
        all.reserve(kept_);
        for (auto& block : blocks_) {
            std::move(block.begin(), block.end(), std::back_inserter(all));
            std::vector<UserInfo, OwnPages<UserInfo>>().swap(block);
        }
        blocks_.clear();
        kept_ = 0;
        return all;
    }

    std::vector<std::wstring> problems;
    unsigned skippedLines = 0;

private:
    // Empty when the line begins with an address, which `account` then
    // holds; else why not.
    static std::wstring addressRefusal(
        const LineFields<wchar_t>& fields, LineAccount<wchar_t>& account)
    {
        if (fields.separator == 0)
            return L"has no separator (\";\" or \",\") after the address";
        const std::wstring& address = fields.address;
        if (std::any_of(address.begin(), address.end(), isControl))
            return L"has a control character in its address";
        const auto unseen = std::find_if(address.begin(), address.end(), isInvisibleOrBreaking);
        if (unseen != address.end())
            return boost::str(
                boost::wformat(
                    L"has an invisible or line-breaking character (U+%04X) in its address")
                % static_cast<std::uint32_t>(*unseen));
        if (!accountOf(fields, account))
            return L"does not begin with an e-mail address";
        return {};
    }

    // Empty when the target takes the account as the run will hand it
    // over, else the target's sentence on why not: a line whose account
    // could only fail at run time, after the run has begun, is skipped
    // here. `fields` are the line's bytes, which split as its text did. The
    // public-folders account makes only its domain on the target.
    std::string targetRefusal(const LineFields<char>& fields)
    {
        LineAccount<char> account;
        accountOf(fields, account);
        std::string why = domainRefusal(account.domain);
        if (why.empty() && !account.publicFolders)
            tinydb::CvnUser{account.domain, account.mailbox, fields.password, account.fullName}
                .validateAccountFields(why);
        return why;
    }

    // Each domain is checked once: a list has few, and the check is most of
    // the cost of a line.
    const std::string& domainRefusal(const std::string& domain)
    {
        auto [known, added] = domains_.try_emplace(domain);
        if (added)
            tinydb::CvnDomain{domain}.validate(known->second);
        return known->second;
    }

    // The account, unless an earlier line holds it.
    void take(std::wstring password, LineAccount<wchar_t> account, unsigned line)
    {
        UserInfo user;
        user.publicFolders = account.publicFolders;
        user.mailbox = std::move(account.mailbox);
        user.domain = std::move(account.domain);
        user.password = std::move(password);
        user.fullName = std::move(account.fullName);
        if (const unsigned firstLine = noteKey(accountKey(user), line))
            return refuse(line, repeated(user, firstLine));
        user.migrate = true;
        user.state = UserToMigrate;
        keep(std::move(user));
    }

    // About a megabyte of accounts.
    static constexpr std::size_t blockAccounts = 4096;

    void keep(UserInfo user)
    {
        if (blocks_.empty() || blocks_.back().size() == blockAccounts) {
            blocks_.emplace_back();
            blocks_.back().reserve(blockAccounts);
        }
        blocks_.back().push_back(std::move(user));
        ++kept_;
    }

    const UserInfo& keptAccount(std::size_t index) const
    {
        return blocks_[index / blockAccounts][index % blockAccounts];
    }

    // The line of the account kept with `key` before, or 0 when there is
    // none: `key` is then noted for the account about to be kept.
    unsigned noteKey(const std::wstring& key, unsigned line)
    {
        const std::size_t hash = std::hash<std::wstring>{}(key);
        for (auto [seen, end] = seen_.equal_range(hash); seen != end; ++seen) {
            if (accountKey(keptAccount(seen->second.account)) == key)
                return seen->second.line;
        }
        seen_.emplace(hash, Seen{kept_, line});
        return 0;
    }

    void refuse(unsigned line, const std::wstring& why)
    {
        problems.push_back(skipped(line, why));
        ++skippedLines;
    }

    // The target's sentences are UTF-8 and name no password.
    static std::wstring wide(const std::string& utf8)
    {
        std::wstring text;
        utils::charsetToUnicode(utils::cp::UTF_8, utf8, text, false);
        return text;
    }

    // What tells an account from the others. A domain has one
    // public-folders store on the target, so the public-folders lines of a
    // domain are one account whatever their mailboxes. Addresses compare by
    // Unicode's simple case folding, as the target compares them: two lines
    // it takes for one account would mix two sources' mail, and one it
    // takes for two would be skipped here and never migrated.
    static std::wstring accountKey(const UserInfo& user)
    {
        return user.publicFolders ? L"*@" + utils::foldCase(user.domain)
                                  : utils::foldCase(user.address());
    }

    // The accounts as they are read, in blocks of blockAccounts in pages of
    // their own, moved into one list at the end: the room is taken by
    // accounts, not by lines (a file of blank lines takes none). One list
    // grown by doubling holds twice its room at its last growth, and blocks
    // on the heap stay with the process once freed: for 100,000 accounts
    // the load's peak was 116 MB and 133 MB, against 107 MB so.
    std::vector<std::vector<UserInfo, OwnPages<UserInfo>>> blocks_;
    std::size_t kept_ = 0;
    // The accounts kept, by their key's hash: 100,000 keys of their own
    // would take a third of the list's room again. The key of an account
    // found under the same hash is made anew to compare, which only a
    // repeated address (or a hash shared by chance) costs. They live apart
    // from the accounts, in blocks given back whole once the file is read:
    // spread between the accounts' own texts they would leave holes too
    // small for the rest of the load.
    struct Seen {
        std::size_t account; // in the order kept
        unsigned line;
    };
    std::pmr::monotonic_buffer_resource keys_;
    std::pmr::unordered_multimap<std::size_t, Seen> seen_{&keys_};
    // A domain -> the target's sentence on why not, empty when it takes it.
    std::unordered_map<std::string, std::string> domains_;
};

// A line is read in pieces of at most 511 bytes (a 512-byte buffer). Kept
// of it: the longest line read, with the byte-order mark that may open the
// file before it and CR LF after it. A longer line keeps its beginning only,
// which is still too long and so refused whole, never read as two lines;
// memory stays bounded whatever the file holds.
const std::size_t longestKept = maxAccountsLineBytes + byteOrderMark.size() + 2;

std::string tooLarge()
{
    return "it is larger than " + std::to_string(maxAccountsFileBytes >> 20) + " MiB";
}

// Text already in memory as a stream, read as a file is.
class TextStream : public utils::KStream {
public:
    explicit TextStream(const std::string& text)
        : text_(text)
    {
    }
    int i_read(char* buf, unsigned int len) override
    {
        const std::size_t n = std::min<std::size_t>(len, text_.size() - at_);
        std::memcpy(buf, text_.data() + at_, n);
        at_ += n;
        return static_cast<int>(n);
    }
    int i_write(const char*, unsigned int) override { return -1; }

private:
    const std::string& text_;
    std::size_t at_ = 0;
};

// The next line of `stream` with its line end (none on a last line without
// one), its bytes added to `bytesRead`. False at the end of the stream, when
// a read failed, or once more than `limit` bytes were read.
bool nextLine(
    utils::KStream& stream, std::uint64_t limit, std::uint64_t& bytesRead, std::string& line)
{
    char piece[maxAccountsLineBytes + 1];
    // The line's fields are copied into a room of fixed size: one byte more
    // than the longest line kept, so that a longer one is seen as such, and
    // the NUL strncpys ends every copy with.
    char kept[longestKept + 2];
    std::size_t used = 0;
    for (;;) {
        const unsigned n = stream.getstr(piece, sizeof piece);
        bytesRead += n;
        if (stream.lastReadFailed() || bytesRead > limit)
            return false;
        if (n == 0)
            break;
        // A NUL in the piece ends the copy and the rest of its room is
        // zeros: the line still holds a NUL, and is refused for it.
        const std::size_t take = std::min<std::size_t>(n, sizeof kept - 1 - used);
        utils::strncpys(kept + used, piece, take + 1);
        used += take;
        if (piece[n - 1] == '\n')
            break;
    }
    line.assign(kept, used);
    return used > 0;
}

// The line without its line end (LF or CR LF), and the first without the
// byte-order mark that may open the file.
std::string lineText(std::string line, bool first)
{
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (first && line.compare(0, byteOrderMark.size(), byteOrderMark) == 0)
        line.erase(0, byteOrderMark.size());
    return line;
}

// Every line of `stream`; empty when read, else why not: more than
// `limit` bytes (a file that grows while it is read is still cut there), or
// a read that failed.
std::string readAccounts(utils::KStream& stream, std::uint64_t limit, AccountsFile& out)
{
    Reader reader;
    std::string line;
    std::uint64_t bytesRead = 0;
    for (unsigned number = 1; nextLine(stream, limit, bytesRead, line); ++number)
        reader.readLine(lineText(std::move(line), number == 1), number);
    if (stream.lastReadFailed())
        return std::strerror(errno);
    if (bytesRead > limit)
        return tooLarge();
    out = AccountsFile{reader.takeAccounts(), std::move(reader.problems), reader.skippedLines};
    return {};
}

} // namespace

AccountsFile parseAccountsText(const std::string& bytes)
{
    TextStream stream(bytes);
    AccountsFile file;
    readAccounts(stream, std::numeric_limits<std::uint64_t>::max(), file);
    return file;
}

bool readAccountsFile(const std::string& path, AccountsFile& out, std::string& failure)
{
    utils::ExaminedFile file;
    failure = file.examine(path);
    return failure.empty() && readAccountsFile(file, out, failure);
}

bool readAccountsFile(utils::ExaminedFile& file, AccountsFile& out, std::string& failure)
{
    if (file.size() > maxAccountsFileBytes)
        failure = tooLarge();
    else
        failure = file.open();
    if (failure.empty())
        failure = readAccounts(file.stream(), maxAccountsFileBytes, out);
    return failure.empty();
}

} // namespace tavir::migration
