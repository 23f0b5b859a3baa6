#include "Imap/engine/FolderNameRules.h"

#include "utils/StringUtils.h"

#include <boost/algorithm/string/predicate.hpp>

#include <cstdint>
#include <locale>

namespace tavir::migration {

namespace {

// Top-level names the target keeps for itself, matched without regard to
// ASCII case. INBOX is not here: it is the inbox, not a name to move aside.
const wchar_t* const SpecialFolders[] = {L"Sent", L"Drafts", L"Trash", L"Junk", L"Contacts",
    L"Calendar", L"Tasks", L"Notes", L"Journal"};
const wchar_t* const SharedViews[] = {L"Public Folders", L"Archive Folders"};

bool equalsIgnoringAsciiCase(const std::wstring& a, const wchar_t* b)
{
    // The classic locale folds A-Z only, so no user locale changes the rule.
    return boost::algorithm::iequals(a, b, std::locale::classic());
}

template <std::size_t N>
bool matchesAny(const std::wstring& component, const wchar_t* const (&names)[N])
{
    for (const wchar_t* name : names)
        if (equalsIgnoringAsciiCase(component, name))
            return true;
    return false;
}

bool isForbidden(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == L'*' || c == L'%' || c == TargetSeparator
        || (c >= 0xD800 && c <= 0xDFFF);
}

std::size_t utf8Length(wchar_t c)
{
    if (c < 0x80)
        return 1;
    if (c < 0x800)
        return 2;
    if (c < 0x10000)
        return 3;
    return 4;
}

std::wstring cutToBytes(const std::wstring& text, std::size_t limit)
{
    std::size_t bytes = 0;
    std::size_t kept = 0;
    while (kept < text.size() && bytes + utf8Length(text[kept]) <= limit)
        bytes += utf8Length(text[kept++]);
    return text.substr(0, kept);
}

std::size_t utf8Length(const std::wstring& text)
{
    std::size_t bytes = 0;
    for (wchar_t c : text)
        bytes += utf8Length(c);
    return bytes;
}

// Where the suffix "_2", "_3", ... begins in `component` (a number from 2,
// no leading zero, at most MaxNumberBytes long with its "_"); npos when it
// has none.
std::size_t numberAt(const std::wstring& component)
{
    const std::size_t at = component.rfind(L'_');
    if (at == std::wstring::npos)
        return std::wstring::npos;
    const std::size_t digits = component.size() - at - 1;
    if (digits == 0 || digits + 1 > MaxNumberBytes || component[at + 1] == L'0'
        || (digits == 1 && component[at + 1] == L'1'))
        return std::wstring::npos;
    for (std::size_t i = at + 1; i < component.size(); ++i)
        if (component[i] < L'0' || component[i] > L'9')
            return std::wstring::npos;
    return at;
}

} // namespace

bool isInboxName(const std::string& listed)
{
    return utils::iEqual(listed, "INBOX");
}

bool isInboxName(const std::wstring& component)
{
    // INBOX is ASCII, so a component of other characters is another name.
    std::string ascii;
    for (wchar_t c : component) {
        if (static_cast<std::uint32_t>(c) > 0x7F)
            return false;
        ascii += static_cast<char>(c);
    }
    return isInboxName(ascii);
}

bool isSharedViewName(const std::wstring& component)
{
    for (const wchar_t* name : SharedViews)
        if (component == name)
            return true;
    return false;
}

std::wstring validComponent(const std::wstring& component)
{
    std::wstring valid = component;
    for (wchar_t& c : valid)
        if (isForbidden(c))
            c = L'_';
    if (valid.empty())
        return L"_";
    if (valid == L"." || valid == L"..")
        valid.insert(valid.begin(), L'_');
    return cutToBytes(valid, MaxComponentBytes);
}

std::wstring validTopComponent(const std::wstring& component, FolderStore store)
{
    std::wstring valid = validComponent(component);
    if (isInboxName(valid))
        return L"INBOX";
    if (matchesAny(valid, SharedViews)
        || (store == FolderStore::Mailbox && matchesAny(valid, SpecialFolders)))
        return withSuffix(valid, L"_Fixed");
    if (valid[0] == L'#')
        valid[0] = L'_';
    return valid;
}

std::wstring withSuffix(const std::wstring& base, const std::wstring& suffix)
{
    return cutToBytes(base, MaxComponentBytes - utf8Length(suffix)) + suffix;
}

bool isNumberedForm(const std::wstring& component, const std::wstring& valid)
{
    if (component == valid)
        return true;
    const std::size_t at = numberAt(component);
    return at != std::wstring::npos && withSuffix(valid, component.substr(at)) == component;
}

std::wstring numberedFormKey(const std::wstring& component, bool dropNumber)
{
    const std::size_t at = dropNumber ? numberAt(component) : std::wstring::npos;
    return cutToBytes(at == std::wstring::npos ? component : component.substr(0, at),
        MaxComponentBytes - MaxNumberBytes);
}

} // namespace tavir::migration
