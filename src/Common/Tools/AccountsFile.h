#pragma once
// The accounts file: UTF-8 text, optionally opened by a byte-order mark, one
// account per line: address, password and an optional full name, separated
// by whichever of ';' and ',' comes first in the line. A '*' before the
// address marks the public-folders account. Lines that can't be read as an
// account are skipped whole, each with one sentence saying why; the README
// lists the rules.
#include "Common/Tools/UserInfo.h"

#include <string>
#include <vector>

namespace tavir::migration {

struct AccountsFile {
    // Marked to be migrated (migrate flag set, state "to migrate").
    std::vector<UserInfo> accounts;
    // One sentence per skipped line; never holds a password.
    std::vector<std::wstring> problems;
};

// The longest line read, in bytes, without its line end.
constexpr std::size_t maxAccountsLineBytes = 511;

// The accounts in the file's bytes. Never fails: a file without account
// lines gives an empty list.
AccountsFile parseAccountsText(const std::string& bytes);
// False when the file can't be read.
bool readAccountsFile(const std::string& path, AccountsFile& out);

} // namespace tavir::migration
