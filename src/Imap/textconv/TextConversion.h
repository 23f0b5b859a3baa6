#pragma once
// The engine's text conversions that the IMAP client relies on. None of them
// throws: a conversion that fails as a whole gives an empty text, and
// characters that cannot be carried over are left out.
#include <string>

namespace tavir::migration {

// UTF-8 bytes -> wide text (server greetings, error texts).
std::wstring utf8ToUnicode(const std::string& text);
// IMAP modified UTF-7 -> wide text (folder names a server lists). A byte at
// or above 0x80 or a malformed '&' run yields U+0000.
std::wstring utf7MToUnicode(const std::string& text);
// Wide text -> UTF-8 bytes (host, user and domain names, passwords, ACLs).
std::string unicodeToUtf8(const std::wstring& text);
// Wide text -> IMAP modified UTF-7 (every folder name sent); characters
// above U+FFFF travel as surrogate pairs.
std::string unicodeToUtf7M(const std::wstring& text);

} // namespace tavir::migration
