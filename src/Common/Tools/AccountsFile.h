#pragma once
// The accounts file: UTF-8 text, optionally opened by a byte-order mark, one
// account per line: address, password and an optional full name, separated
// by whichever of ';' and ',' comes first in the line outside quotes. A
// field may be written in double quotes, as spreadsheets write CSV, to hold
// the separators. A '*' before the address marks the public-folders
// account. Lines that can't be read as an account, or whose account the
// target server would refuse (tinydb's CvnUser and CvnDomain), are skipped
// whole, each with one sentence saying why; the README lists the rules.
#include "Common/Tools/UserInfo.h"

#include <string>
#include <vector>

namespace tavir::utils {
class ExaminedFile;
}

namespace tavir::migration {

struct AccountsFile {
    // Marked to be migrated (migrate flag set, state "to migrate").
    std::vector<UserInfo> accounts;
    // One sentence per skipped line, and per line read with a warning;
    // never the line's text.
    std::vector<std::wstring> problems;
    // How many lines were skipped (the warnings not counted).
    unsigned skippedLines = 0;
};

// The longest line read, in bytes, without its line end.
constexpr std::size_t maxAccountsLineBytes = 511;
// The largest file read: far beyond any list of accounts, and a bound on
// the memory a wrong choice of file takes.
constexpr std::size_t maxAccountsFileBytes = std::size_t(64) << 20;

// The accounts in the file's bytes. Never fails: a file without account
// lines gives an empty list.
AccountsFile parseAccountsText(const std::string& bytes);
// False when the file can't be read, with `failure` saying why ("it is not
// a regular file"): a folder, a FIFO or a device, or a file over the limit,
// is refused before it is opened (a symbolic link is followed), and a file
// put in its place before the open is refused before anything of it is
// read. The file is read once, line by line, through the one KFile that
// opened it; a line longer than maxAccountsLineBytes is skipped whole.
bool readAccountsFile(const std::string& path, AccountsFile& out, std::string& failure);
// The same, once `file` has examined the path and found a regular file.
bool readAccountsFile(utils::ExaminedFile& file, AccountsFile& out, std::string& failure);

} // namespace tavir::migration
