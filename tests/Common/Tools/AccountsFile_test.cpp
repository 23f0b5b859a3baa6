// The accounts file reader, line by line: what becomes an account, what is
// skipped, and that a skipped line is named without its password.
#include "Common/Tools/AccountsFile.h"

#include "support/ChildProcess.h"
#include "support/TestSupport.h"
#include "utils/Descriptor.h"
#include "utils/ExaminedFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace tavir::migration;

namespace {

struct Account {
    std::wstring mailbox;
    std::wstring domain;
    std::wstring password;
    std::wstring fullName;
    bool publicFolders = false;
};

struct FileCase {
    const char* name;
    std::string text;
    std::vector<Account> accounts;
    // Each skipped line's sentence holds the matching text.
    std::vector<std::wstring> problems;
};

// Address, separator and a password padded with 'x' to `bytes` in all.
std::string lineOf(std::size_t bytes)
{
    std::string line = "long@example.com;";
    return line + std::string(bytes - line.size(), 'x');
}

std::string repeated(const std::string& text, std::size_t times)
{
    std::string all;
    while (times-- > 0)
        all += text;
    return all;
}

// A line of `bytes` whose bytes from the 512th on read as an account line of
// their own: a reader that splits a long line would take it.
std::string splitBait(std::size_t bytes)
{
    std::string tail = "bait@example.com;S3cret;";
    tail.resize(std::max(tail.size(), bytes - 511), 'y');
    return lineOf(511) + tail.substr(0, bytes - 511);
}

// More accounts than the reader holds in one block, then repeats of an
// account of the first block and of one of the second, each found again
// among the accounts kept.
FileCase repeatsAmongManyAccounts()
{
    FileCase c{"repeats among more accounts than one block holds", {}, {},
        {L"Line 5001 of the accounts file repeats the address A1@X.ORG of line 2",
            L"Line 5002 of the accounts file repeats the address a4500@x.org of line 4501"}};
    for (unsigned i = 0; i < 5000; ++i) {
        const std::wstring mailbox = L"a" + std::to_wstring(i);
        c.text += "a" + std::to_string(i) + "@x.org;pw\n";
        c.accounts.push_back({mailbox, L"x.org", L"pw", mailbox});
    }
    c.text += "A1@X.ORG;S3cret\na4500@x.org;S3cret\na5000@x.org;pw\n";
    c.accounts.push_back({L"a5000", L"x.org", L"pw", L"a5000"});
    return c;
}

const FileCase fileCases[] = {
    {"semicolon with full name", "alice@example.com;secret;Alice Liddell\n",
        {{L"alice", L"example.com", L"secret", L"Alice Liddell"}}, {}},
    {"comma", "bob@example.com,pw,Bob\n", {{L"bob", L"example.com", L"pw", L"Bob"}}, {}},
    {"password holds a comma", "carol@example.com;p,a,ss;Carol",
        {{L"carol", L"example.com", L"p,a,ss", L"Carol"}}, {}},
    {"password holds a semicolon", "dave@example.com,p;ss,Dave",
        {{L"dave", L"example.com", L"p;ss", L"Dave"}}, {}},
    {"full name holds the separator: read, with a warning", "erin@example.com,pw,Smith, Erin",
        {{L"erin", L"example.com", L"pw", L"Smith, Erin"}},
        {L"Line 1 of the accounts file has a full name that holds the separator \",\""}},
    {"password cut by its separator: the warning names no part of it", "a@x.org;S3c;ret;Ann",
        {{L"a", L"x.org", L"S3c", L"ret;Ann"}}, {L"Line 1 of the accounts file has a full name"}},
    {"quoted password holds the separator", "a@x.org;\"pa;ss\";Anna",
        {{L"a", L"x.org", L"pa;ss", L"Anna"}}, {}},
    {"quoted password at the end of the line", "a@x.org;\"pa;ss\"",
        {{L"a", L"x.org", L"pa;ss", L"a"}}, {}},
    {"doubled quotes inside quotes", "a@x.org,\"say \"\"hi\"\", ok\",Anna",
        {{L"a", L"x.org", L"say \"hi\", ok", L"Anna"}}, {}},
    {"every field quoted, as spreadsheets write", "\"a@x.org\",\"p,w\",\"Smith, Anna\"\r\n",
        {{L"a", L"x.org", L"p,w", L"Smith, Anna"}}, {}},
    {"quoted empty password", "a@x.org;\"\";\"\"", {{L"a", L"x.org", L"", L"a"}}, {}},
    {"quoted public-folders address", " \"*pub@x.org\" ;pw",
        {{L"pub", L"x.org", L"pw", L"Public Folders", true}}, {}},
    {"a quote that opens no whole field is read as written", "a@x.org;\"pw;\"Ann",
        {{L"a", L"x.org", L"\"pw", L"\"Ann"}}, {}},
    {"quotes inside a password are kept", "a@x.org;p\"w\";Ann",
        {{L"a", L"x.org", L"p\"w\"", L"Ann"}}, {}},
    {"unclosed quote", "a@x.org;\"pw", {{L"a", L"x.org", L"\"pw", L"a"}}, {}},
    {"no full name: the mailbox", "frank@example.com;pw",
        {{L"frank", L"example.com", L"pw", L"frank"}}, {}},
    {"empty password", "gail@example.com;\n", {{L"gail", L"example.com", L"", L"gail"}}, {}},
    {"blanks around address and name, kept in the password", " hal@example.com\t; p w ; Hal \n",
        {{L"hal", L"example.com", L" p w ", L"Hal"}}, {}},
    {"public folders", "*pub@example.com;pw\n",
        {{L"pub", L"example.com", L"pw", L"Public Folders", true}}, {}},
    {"byte-order mark", "\xEF\xBB\xBFivy@example.com;pw\n",
        {{L"ivy", L"example.com", L"pw", L"ivy"}}, {}},
    {"byte-order mark only", "\xEF\xBB\xBF", {}, {}},
    {"empty file", "", {}, {}},
    {"CRLF", "a@x.org;one\r\nb@x.org;two\r\n",
        {{L"a", L"x.org", L"one", L"a"}, {L"b", L"x.org", L"two", L"b"}}, {}},
    {"blank lines", "\n  \n\t\r\na@x.org;pw\n\n", {{L"a", L"x.org", L"pw", L"a"}}, {}},
    {"UTF-8",
        "j\xC3\xB6rg@ex\xC3\xA4mple.com;p\xC3\xA4ss\xF0\x9F\x94\x91;J\xC3\xB6rg M\xC3\xBCller",
        {{L"j\u00F6rg", L"ex\u00E4mple.com", L"p\u00E4ss\U0001F511", L"J\u00F6rg M\u00FCller"}},
        {}},
    {"511 bytes", lineOf(511) + "\n", {{L"long", L"example.com", std::wstring(494, L'x'), L"long"}},
        {}},
    {"511 bytes and CRLF", lineOf(511) + "\r\n",
        {{L"long", L"example.com", std::wstring(494, L'x'), L"long"}}, {}},
    {"512 bytes: skipped whole, the next line read", lineOf(512) + "\nz@x.org;pw\n",
        {{L"z", L"x.org", L"pw", L"z"}}, {L"Line 1 of the accounts file is longer than 511 bytes"}},
    {"511 bytes after a byte-order mark, and CRLF", "\xEF\xBB\xBF" + lineOf(511) + "\r\n",
        {{L"long", L"example.com", std::wstring(494, L'x'), L"long"}}, {}},
    {"511 bytes, the last line without its end", "z@x.org;pw\n" + lineOf(511),
        {{L"z", L"x.org", L"pw", L"z"},
            {L"long", L"example.com", std::wstring(494, L'x'), L"long"}},
        {}},
    {"512 bytes and CRLF", lineOf(512) + "\r\n", {},
        {L"Line 1 of the accounts file is longer than 511 bytes"}},
    {"513 bytes: skipped whole, not read as 511 bytes and 2", splitBait(513) + "\nz@x.org;pw\n",
        {{L"z", L"x.org", L"pw", L"z"}}, {L"Line 1 of the accounts file is longer than 511 bytes"}},
    {"999 bytes: one line skipped, never two", splitBait(999) + "\nz@x.org;pw\n",
        {{L"z", L"x.org", L"pw", L"z"}}, {L"Line 1 of the accounts file is longer than 511 bytes"}},
    {"999 bytes, the last line without its end", "z@x.org;pw\n" + splitBait(999),
        {{L"z", L"x.org", L"pw", L"z"}}, {L"Line 2 of the accounts file is longer than 511 bytes"}},
    {"longer than a read of the file", splitBait(9000) + "\r\nz@x.org;pw\r\n",
        {{L"z", L"x.org", L"pw", L"z"}}, {L"Line 1 of the accounts file is longer than 511 bytes"}},
    {"invalid byte", "a@x.org;S3cret\xFF\n", {},
        {L"Line 1 of the accounts file is not valid UTF-8"}},
    {"overlong slash", "a@x.org;S3cret\xC0\xAF\n", {}, {L"is not valid UTF-8"}},
    {"surrogate", "a@x.org;S3cret\xED\xA0\x80\n", {}, {L"is not valid UTF-8"}},
    {"cut short at the end", "a@x.org;S3cret\xE2\x82", {}, {L"is not valid UTF-8"}},
    {"NUL byte", std::string("a@x.org;S3c\0ret\n", 16), {}, {L"is not valid UTF-8"}},
    {"no separator", "a@x.org S3cret\nb@x.org;pw\n", {{L"b", L"x.org", L"pw", L"b"}},
        {L"Line 1 of the accounts file has no separator"}},
    {"no @", "alice;S3cret\n", {}, {L"does not begin with an e-mail address"}},
    {"control character in the address", "a\x1B[2Jb@x.org;S3cret\nb@x.org;pw\n",
        {{L"b", L"x.org", L"pw", L"b"}},
        {L"Line 1 of the accounts file has a control character in its address"}},
    {"tab inside the address", "a\tb@x.org;S3cret\n", {}, {L"has a control character"}},
    {"DEL in the address", "ab@x\x7F.org;S3cret\n", {}, {L"has a control character"}},
    {"C1 control in a quoted address", "\"ab@x\xC2\x85.org\";S3cret\n", {},
        {L"has a control character"}},
    {"zero width space in the address", "an\xE2\x80\x8Bna@x.org;S3cret\nb@x.org;pw\n",
        {{L"b", L"x.org", L"pw", L"b"}},
        {L"Line 1 of the accounts file has an invisible or line-breaking character (U+200B) in "
         L"its address"}},
    {"line separator in the address", "a@x\xE2\x80\xA8.org;S3cret\n", {}, {L"(U+2028)"}},
    {"paragraph separator in the address", "a\xE2\x80\xA9@x.org;S3cret\n", {}, {L"(U+2029)"}},
    {"byte-order mark inside the file, before an address",
        "b@x.org;pw\n\xEF\xBB\xBF"
        "a@x.org;S3cret\n",
        {{L"b", L"x.org", L"pw", L"b"}},
        {L"Line 2 of the accounts file has an invisible or line-breaking character (U+FEFF)"}},
    {"no-break space in the address",
        "a\xC2\xA0"
        "b@x.org;S3cret\n",
        {}, {L"(U+00A0)"}},
    {"ideographic space in the address", "*a@x.org\xE3\x80\x80;S3cret\n", {}, {L"(U+3000)"}},
    {"bidirectional override in the address", "a@\xE2\x80\xAEgro.x;S3cret\n", {}, {L"(U+202E)"}},
    {"tag character beyond the BMP in the address", "a@x.org\xF3\xA0\x80\x81;S3cret\n", {},
        {L"(U+E0001)"}},
    {"invisible characters in password and name are read as written",
        "ab@x.org;p\xE2\x80\x8Bw;A\xC2\xA0"
        "B\n",
        {{L"ab", L"x.org", L"p\u200Bw", L"A\u00A0B"}}, {}},
    {"nothing before @", "@x.org;S3cret\n", {}, {L"does not begin with an e-mail address"}},
    // What the target would refuse when the run makes the account: skipped
    // now, each with the target's reason, rather than failed at run time.
    {"full name of 256 bytes", "a@x.org;pw;" + std::string(256, 'n'),
        {{L"a", L"x.org", L"pw", std::wstring(256, L'n')}}, {}},
    {"full name of 257 bytes", "a@x.org;S3cret;" + std::string(257, 'n') + "\nb@x.org;pw\n",
        {{L"b", L"x.org", L"pw", L"b"}},
        {L"Line 1 of the accounts file names an account the target server would refuse: the full "
         L"name of a@x.org is longer than 256 bytes; it was skipped."}},
    {"full name of 129 two-byte characters", "a@x.org;S3cret;\"" + repeated("\xC3\xA9", 129) + "\"",
        {}, {L"the full name of a@x.org is longer than 256 bytes"}},
    {"tab inside the full name", "a@x.org;S3cret;Ann\tLee\n", {},
        {L"the full name of a@x.org holds a control character"}},
    {"controls inside the password are the password's", "a@x.org;p\tw\x1B;Ann\n",
        {{L"a", L"x.org", L"p\tw\x1B", L"Ann"}}, {}},
    {"account name of 64 bytes", std::string(64, 'm') + "@x.org;pw\n",
        {{std::wstring(64, L'm'), L"x.org", L"pw", std::wstring(64, L'm')}}, {}},
    {"account name of 65 bytes", std::string(65, 'm') + "@x.org;S3cret\n", {},
        {L"the account name \"" + std::wstring(65, L'm') + L"\" is longer than 64 bytes"}},
    {"ASCII blank inside the address", "a b@x.org;S3cret\n", {},
        {L"the account name \"a b\" holds a character an account name can't have"}},
    {"quote in the account name", "o'neil@x.org;S3cret\n", {}, {L"can't have"}},
    {"dots at the edge of the account name",
        ".a@x.org;S3cret\na.@x.org;S3cret\na..b@x.org;S3cret\n", {},
        {L"Line 1 of the accounts file names", L"Line 2", L"Line 3"}},
    {"domain that is no domain name", "a@x_y.org;S3cret\nb@-x.org;S3cret\nc@x..org;S3cret\n", {},
        {L"the domain name \"x_y.org\" is not a domain name", L"\"-x.org\"", L"\"x..org\""}},
    {"domain label of 63 and of 64 bytes",
        "a@" + std::string(63, 'd') + ".org;pw\nb@" + std::string(64, 'd') + ".org;S3cret\n",
        {{L"a", std::wstring(63, L'd') + L".org", L"pw", L"a"}},
        {L"Line 2 of the accounts file names an account the target server would refuse: the "
         L"domain name"}},
    {"public folders: only the domain goes to the target", "*a b@x.org;pw\n*c@x_y.org;S3cret\n",
        {{L"a b", L"x.org", L"pw", L"Public Folders", true}},
        {L"\"x_y.org\" is not a domain name"}},
    {"a line the target would refuse holds no address for a later line",
        "a@x.org;S3cret;" + std::string(300, 'n') + "\nA@x.org;pw\n",
        {{L"A", L"x.org", L"pw", L"A"}},
        {L"Line 1 of the accounts file names an account the target server would refuse"}},
    {"nothing after @", "a@;S3cret\n", {}, {L"does not begin with an e-mail address"}},
    {"duplicate, any case", "a@x.org;one\n\nA@X.org;S3cret\n", {{L"a", L"x.org", L"one", L"a"}},
        {L"Line 3 of the accounts file repeats the address A@X.org of line 1"}},
    repeatsAmongManyAccounts(),
    {"three lines of six skipped, one read with a warning",
        "a@x.org;pw\nno-address;S3cret\nb@x.org;pw\nc@x.org "
        "S3cret\nA@X.org;S3cret\nd@x.org;pw;Smith; D\n",
        {{L"a", L"x.org", L"pw", L"a"}, {L"b", L"x.org", L"pw", L"b"},
            {L"d", L"x.org", L"pw", L"Smith; D"}},
        {L"Line 2 of the accounts file does not begin with an e-mail address",
            L"Line 4 of the accounts file has no separator",
            L"Line 5 of the accounts file repeats the address A@X.org of line 1",
            L"Line 6 of the accounts file has a full name that holds the separator"}},
    {"public folders and the same mailbox are two accounts", "a@x.org;one\n*a@x.org;two\n",
        {{L"a", L"x.org", L"one", L"a"}, {L"a", L"x.org", L"two", L"Public Folders", true}}, {}},
    {"duplicate, letters of any script in any case",
        "\xC3\x9Cnal@x.org;one\n\xC3\xBCnal@X.org;S3cret\n\xC3\x84\xC3\x9F\xCE\xA3@x.org;two\n"
        "\xC3\xA4\xC3\x9F\xCF\x83@x.org;S3cret\n",
        {{L"\u00DCnal", L"x.org", L"one", L"\u00DCnal"},
            {L"\u00C4\u00DF\u03A3", L"x.org", L"two", L"\u00C4\u00DF\u03A3"}},
        {L"Line 2 of the accounts file repeats the address \u00FCnal@X.org of line 1",
            L"Line 4 of the accounts file repeats the address \u00E4\u00DF\u03C3@x.org of line 3"}},
    {"addresses compared by simple case folding, not by lower case",
        // ΟΔΟΣ / οδος, σς / ςσ, µ / μ, ſam / Sam: one account each; İnal and
        // inal, Straße and STRASSE: two (only full folding joins them).
        "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3@x.org;one\n\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82@X.org;"
        "S3cret\n"
        "\xCF\x83\xCF\x82@x.org;two\n\xCF\x82\xCF\x83@x.org;S3cret\n"
        "\xC2\xB5@x.org;three\n\xCE\xBC@x.org;S3cret\n"
        "\xC5\xBF"
        "am@x.org;four\nSam@x.org;S3cret\n"
        "\xC4\xB0nal@x.org;five\ninal@x.org;six\n"
        "Stra\xC3\x9F"
        "e@x.org;seven\nSTRASSE@x.org;eight\n",
        {{L"\u039F\u0394\u039F\u03A3", L"x.org", L"one", L"\u039F\u0394\u039F\u03A3"},
            {L"\u03C3\u03C2", L"x.org", L"two", L"\u03C3\u03C2"},
            {L"\u00B5", L"x.org", L"three", L"\u00B5"},
            {L"\u017Fam", L"x.org", L"four", L"\u017Fam"},
            {L"\u0130nal", L"x.org", L"five", L"\u0130nal"}, {L"inal", L"x.org", L"six", L"inal"},
            {L"Stra\u00DFe", L"x.org", L"seven", L"Stra\u00DFe"},
            {L"STRASSE", L"x.org", L"eight", L"STRASSE"}},
        {L"Line 2 of the accounts file repeats the address \u03BF\u03B4\u03BF\u03C2@X.org of line "
         L"1",
            L"Line 4 of the accounts file repeats the address \u03C2\u03C3@x.org of line 3",
            L"Line 6 of the accounts file repeats the address \u03BC@x.org of line 5",
            L"Line 8 of the accounts file repeats the address Sam@x.org of line 7"}},
    {"a second public-folders line for a domain, whatever its mailbox and case",
        "*pa@example.com;one\nb@example.com;two\n*pubB@EXAMPLE.com;S3cret\n*pa@example.com;"
        "S3cret\n",
        {{L"pa", L"example.com", L"one", L"Public Folders", true},
            {L"b", L"example.com", L"two", L"b"}},
        {L"Line 3 of the accounts file names a second public-folders account for the domain "
         L"EXAMPLE.com (the first is on line 1); it was skipped.",
            L"Line 4 of the accounts file names a second public-folders account for the domain "
            L"example.com (the first is on line 1)"}},
    {"public folders of domains that differ in letters other than A-Z",
        "*p@\xC3\xA4.org;one\n*p@a.org;two\n*q@\xC3\x84.ORG;S3cret\n",
        {{L"p", L"\u00E4.org", L"one", L"Public Folders", true},
            {L"p", L"a.org", L"two", L"Public Folders", true}},
        {L"Line 3 of the accounts file names a second public-folders account for the domain "
         L"\u00C4.ORG (the first is on line 1)"}},
};

TEST(AccountsFile, ReadsLines)
{
    for (const FileCase& c : fileCases) {
        SCOPED_TRACE(c.name);
        AccountsFile file = parseAccountsText(c.text);
        ASSERT_EQ(c.accounts.size(), file.accounts.size());
        for (std::size_t i = 0; i < c.accounts.size(); ++i) {
            const UserInfo& got = file.accounts[i];
            const Account& want = c.accounts[i];
            EXPECT_EQ(want.mailbox, got.mailbox);
            EXPECT_EQ(want.domain, got.domain);
            EXPECT_EQ(want.password, got.password);
            EXPECT_EQ(want.fullName, got.fullName);
            EXPECT_EQ(want.publicFolders, got.publicFolders);
            EXPECT_TRUE(got.migrate);
            EXPECT_EQ(UserToMigrate, got.state);
        }
        ASSERT_EQ(c.problems.size(), file.problems.size());
        unsigned skipped = 0;
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            EXPECT_NE(std::wstring::npos, file.problems[i].find(c.problems[i]));
            EXPECT_EQ(std::wstring::npos, file.problems[i].find(L"S3c"));
            skipped += file.problems[i].find(L"; it was skipped.") != std::wstring::npos;
        }
        // The count the wizard shows: skipped lines, not warnings.
        EXPECT_EQ(skipped, file.skippedLines);
    }
}

// Opens `fifo` for writing once a reader has it open, within 10 seconds,
// and writes an account line into it for that reader.
void writeOnceRead(const std::string& fifo)
{
    // The reader may close before the line is written: a write then fails
    // with EPIPE for this thread alone.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        tavir::utils::Descriptor writer(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (writer.valid()) {
            tavir::utils::writeAll(writer.get(), "bait@x.org;S3cret\n");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(AccountsFile, ReadsAFileAndRefusesWhatIsNoFile)
{
    tavir::test::TempDir dir;
    tavir::test::writeFile(dir.file("accounts.txt"), "a@x.org;pw\n");
    // Lines read from the file as they are from text: a long one skipped whole.
    tavir::test::writeFile(
        dir.file("long-lines.txt"), "\xEF\xBB\xBF" + splitBait(999) + "\r\na@x.org;pw");
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    // Sparse: one byte over the limit without writing 64 MiB.
    ASSERT_EQ(0, close(open(dir.file("large").c_str(), O_CREAT | O_WRONLY, 0600)));
    ASSERT_EQ(0, truncate(dir.file("large").c_str(), off_t(maxAccountsFileBytes) + 1));
    ASSERT_EQ(0, symlink(dir.file("accounts.txt").c_str(), dir.file("link").c_str()));
    ASSERT_EQ(0, symlink(dir.file("fifo").c_str(), dir.file("link-to-fifo").c_str()));
    ASSERT_EQ(0, symlink("/dev/zero", dir.file("link-to-device").c_str()));
    ASSERT_EQ(0, symlink(dir.file("missing.txt").c_str(), dir.file("dangling").c_str()));
    // Files that something replaces between the look at the name and the
    // open: each begins as one account of its own, in the path's place.
    const std::string swapped = dir.file("swapped.txt");
    std::thread writer;
    const struct {
        const char* name;
        std::string path;
        const char* failure; // null: read, one account
        unsigned skipped = 0;
        // Run between the look at the name (stat) and the open.
        std::function<void()> beforeOpen = {};
    } cases[] = {
        {"a regular file", dir.file("accounts.txt"), nullptr},
        {"long lines", dir.file("long-lines.txt"), nullptr, 1},
        {"no such file", dir.file("missing.txt"), "No such file or directory"},
        {"a folder", dir.path(), "it is not a regular file"},
        // Nothing waits for a writer.
        {"a FIFO", dir.file("fifo"), "it is not a regular file"},
        {"a device", "/dev/zero", "it is not a regular file"},
        {"a device that reads as an empty file", "/dev/null", "it is not a regular file"},
        {"over the limit", dir.file("large"), "it is larger than 64 MiB"},
        // Followed, as the open follows it.
        {"a symbolic link to a regular file", dir.file("link"), nullptr},
        {"a symbolic link to a FIFO", dir.file("link-to-fifo"), "it is not a regular file"},
        {"a symbolic link to a device", dir.file("link-to-device"), "it is not a regular file"},
        {"a symbolic link to nothing", dir.file("dangling"), "No such file or directory"},
        {"another file renamed into its place before the open", swapped,
            "it was replaced while it was opened", 0,
            [&] {
                tavir::test::writeFile(dir.file("other.txt"), "bait@x.org;S3cret\n");
                ASSERT_EQ(0, rename(dir.file("other.txt").c_str(), swapped.c_str()));
            }},
        {"a folder in its place before the open", swapped, "it was replaced while it was opened", 0,
            [&] {
                ASSERT_EQ(0, unlink(swapped.c_str()));
                ASSERT_EQ(0, mkdir(swapped.c_str(), 0700));
            }},
        // The open waits for a writer (a mode of wOpen can't ask it not
        // to); what the FIFO holds is never read.
        {"a FIFO in its place before the open", swapped, "it was replaced while it was opened", 0,
            [&] {
                ASSERT_EQ(0, unlink(swapped.c_str()));
                ASSERT_EQ(0, mkfifo(swapped.c_str(), 0600));
                writer = std::thread(writeOnceRead, swapped);
            }},
        // The same file under the path through a link: still the file
        // examined, read.
        {"the file moved and a link to it in its place", swapped, nullptr, 0,
            [&] {
                ASSERT_EQ(0, rename(swapped.c_str(), dir.file("moved.txt").c_str()));
                ASSERT_EQ(0, symlink(dir.file("moved.txt").c_str(), swapped.c_str()));
            }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AccountsFile file;
        std::string failure;
        bool read;
        if (c.beforeOpen) {
            std::filesystem::remove_all(swapped);
            tavir::test::writeFile(swapped, "a@x.org;pw\n");
            tavir::utils::ExaminedFile examined;
            ASSERT_EQ("", examined.examine(c.path));
            c.beforeOpen();
            read = readAccountsFile(examined, file, failure);
        } else {
            read = readAccountsFile(c.path, file, failure);
        }
        if (writer.joinable())
            writer.join();
        EXPECT_EQ(!c.failure, read);
        if (c.failure) {
            EXPECT_EQ(c.failure, failure);
            EXPECT_TRUE(file.accounts.empty());
        } else {
            ASSERT_EQ(1u, file.accounts.size());
            EXPECT_EQ(L"a", file.accounts[0].mailbox);
            EXPECT_EQ(c.skipped, file.skippedLines);
        }
    }
}

// What reading `path` gives in a child process that `prepare` readied
// first: "N accounts, M skipped", the failure, or "skip: " and why the
// child could not be readied.
std::string readInChild(const std::string& path, const std::function<std::string()>& prepare)
{
    int code = -1;
    const std::string said = tavir::test::childOutput(
        [&](int out) {
            std::string text = prepare();
            if (!text.empty()) {
                text = "skip: " + text;
            } else {
                AccountsFile file;
                std::string failure;
                text = readAccountsFile(path, file, failure) ? std::to_string(file.accounts.size())
                        + " accounts, " + std::to_string(file.skippedLines) + " skipped"
                                                             : failure;
            }
            return tavir::utils::writeAll(out, text) ? 0 : 1;
        },
        &code);
    return code == 0 ? said : "the child ended with " + std::to_string(code);
}

// The address space the process holds now, in bytes.
std::uint64_t addressSpace()
{
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// The process may take 100 MB of address space more than it holds now: a
// tenth of the room that one account a line would take for a million
// lines.
std::string within100MbMore()
{
    const rlimit limit{addressSpace() + (std::uint64_t(100) << 20), RLIM_INFINITY};
    return setrlimit(RLIMIT_AS, &limit) == 0 ? std::string() : std::strerror(errno);
}

// The process sees no /proc: a mount namespace of its own without it. The
// conversion library is loaded first, as the program loads it at its start
// (its folder is found through /proc).
std::string withoutProc()
{
    if (parseAccountsText("a@x.org;pw").accounts.size() != 1)
        return "the conversion library is missing";
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("no mount namespace of its own: ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || umount2("/proc", MNT_DETACH) != 0)
        return std::string("/proc stays: ") + std::strerror(errno);
    return {};
}

TEST(AccountsFile, TakesRoomForAccountsOnlyAndReadsTheFileItExamined)
{
    tavir::test::TempDir dir;
    // Two million line ends: room for one account each would be over half a
    // GB.
    tavir::test::writeFile(dir.file("blank.txt"),
        std::string(1000000, '\n') + "a@x.org;pw\n" + std::string(1000000, '\n') + "b@x.org;pw\n"
            + std::string(100, ' '));
    tavir::test::writeFile(dir.file("accounts.txt"), "a@x.org;pw\nno-address;S3cret\n");
    const struct {
        const char* name;
        std::string path;
        std::function<std::string()> prepare;
        const char* said;
    } cases[] = {
        {"blank lines within 100 MB more address space", dir.file("blank.txt"), within100MbMore,
            "2 accounts, 0 skipped"},
        {"without /proc", dir.file("accounts.txt"), withoutProc, "1 accounts, 1 skipped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string said = readInChild(c.path, c.prepare);
        if (said.rfind("skip: ", 0) == 0) {
            std::printf("%s: not tried, %s\n", c.name, said.c_str() + 6);
            continue;
        }
        EXPECT_EQ(c.said, said);
    }
}

} // namespace
