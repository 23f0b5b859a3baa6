#pragma once
// The target's folder-name rules (docs/folder-names.md), one component at a
// time: what the target refuses and the valid name a migration gives instead.
// Pure functions over wide text; the folder list applies them to a tree.
#include <cstddef>
#include <string>

namespace tavir::migration {

// Where an account's folders go: its own mailbox, or the domain's public
// folder store (which has no special folders).
enum class FolderStore { Mailbox, PublicFolders };

// The target's hierarchy separator.
constexpr wchar_t TargetSeparator = L'/';
// The longest component the target stores, in UTF-8 bytes.
constexpr std::size_t MaxComponentBytes = 255;

// True for "INBOX" in any ASCII letter case (RFC 3501 5.1): as listed
// (modified UTF-7, where INBOX is its ASCII letters) or decoded. Only A-Z
// fold, whatever the locale: "\u0130NBOX" is another name.
bool isInboxName(const std::string& listed);
bool isInboxName(const std::wstring& component);
// True when a top-level component is exactly "Public Folders" or "Archive
// Folders": the source's view of a store that is not the account's own.
bool isSharedViewName(const std::wstring& component);
// The component with the rules of every level applied: forbidden characters
// and an empty text become "_", "." and ".." get a leading "_", and the text
// is cut to MaxComponentBytes.
std::wstring validComponent(const std::wstring& component);
// validComponent plus the rules of the first level in `store`: INBOX in any
// case becomes "INBOX", reserved names get "_Fixed", a leading "#" becomes
// "_".
std::wstring validTopComponent(const std::wstring& component, FolderStore store);
// `base` cut so that base + suffix fits MaxComponentBytes, then the suffix.
std::wstring withSuffix(const std::wstring& base, const std::wstring& suffix);

// The longest suffix that keeps a sibling apart: "_" and ten digits.
constexpr std::size_t MaxNumberBytes = 11;
// True when `component` is `valid`, or `valid` with a suffix "_2", "_3", ...
// as withSuffix adds it: a name the rules may give a folder whose component
// made valid is `valid`.
bool isNumberedForm(const std::wstring& component, const std::wstring& valid);
// What a valid component and every numbered form of it have in common:
// the component (without its number, when `dropNumber` and it has one) cut
// to MaxComponentBytes - MaxNumberBytes. A key to look up the folders a
// target component may stand for.
std::wstring numberedFormKey(const std::wstring& component, bool dropNumber);

} // namespace tavir::migration
