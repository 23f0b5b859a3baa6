// The stand-in target itself, through raw IMAP that shares nothing with the
// client: the folder names it refuses and the folders a store starts with,
// folder identifiers unique in a store, a domain's public folder store, a
// store completed after the process making it was killed, addresses that
// fold alike as one account, and sessions served by processes of
// their own that still share one state (UIDs, fault counts) and all end
// with the test that started them.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/SimpleImapClient.h"
#include "support/ChildProcess.h"
#include "support/Dovecot.h"
#include "support/ImapLogins.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>
#include <utility>

using tavir::test::aliceTargetOptions;
using tavir::test::RawImap;
using tavir::test::StandInTarget;
using tavir::test::waitUntil;

namespace {

const char* const account = "alice@example.com";

std::unique_ptr<RawImap> aliceSession(const StandInTarget& target)
{
    auto raw = std::make_unique<RawImap>(target.host(), target.port());
    if (!raw->login(account, "alice-pw"))
        throw std::runtime_error("alice could not log in to the stand-in");
    return raw;
}

// The tagged line's status and the name of its response code: "OK",
// "NO [CANNOT]", "OK [APPENDUID]", ...
std::string outcome(const std::string& reply)
{
    std::size_t start = reply.rfind("\r\n", reply.size() - 3);
    std::string tagged = reply.substr(start == std::string::npos ? 0 : start + 2);
    std::size_t status = tagged.find(' ') + 1;
    std::size_t end = tagged.find(' ', status);
    std::string result = tagged.substr(status, end - status);
    if (tagged.compare(end + 1, 1, "[") == 0)
        result += " " + tagged.substr(end + 1, tagged.find_first_of(" ]", end + 1) - end - 1) + "]";
    return result;
}

// A command whose last argument is `bytes` as a non-synchronising literal.
std::string withLiteral(RawImap& raw, const std::string& command, const std::string& bytes)
{
    return raw.command(command + " {" + std::to_string(bytes.size()) + "+}\r\n" + bytes);
}

unsigned appendUid(const std::string& reply)
{
    std::size_t at = reply.find("[APPENDUID ");
    if (at == std::string::npos)
        return 0;
    std::size_t uid = reply.find(' ', at + 11) + 1;
    return static_cast<unsigned>(std::stoul(reply.substr(uid)));
}

} // namespace

TEST(StandInTargetTest, NewAccountsStartWithTheirFoldersAndTypes)
{
    StandInTarget target(aliceTargetOptions());
    auto folders = target.folders(account);
    ASSERT_EQ(StandInTarget::accountFolders().size(), folders.size());
    for (const auto& [name, type] : StandInTarget::accountFolders()) {
        SCOPED_TRACE(name);
        ASSERT_EQ(1u, folders.count(name));
        EXPECT_EQ(type, folders[name].type);
    }
    std::string listed = aliceSession(target)->command("LIST \"\" \"*\"");
    EXPECT_NE(std::string::npos, listed.find("\\TavirCalendar) \"/\" \"Calendar\"")) << listed;
    EXPECT_NE(std::string::npos, listed.find("\\TavirMail) \"/\" \"Junk\"")) << listed;
}

TEST(StandInTargetTest, CreateRefusesWhatTheFolderNameRulesForbid)
{
    StandInTarget target(aliceTargetOptions());
    auto raw = aliceSession(target);
    ASSERT_EQ("OK", outcome(raw->command("CREATE Projects")));
    const std::string longest(255, 'x');
    struct Row {
        std::string wire;
        std::string expected;
        std::string stored; // the folder that must exist afterwards
    };
    const Row rows[] = {
        {"a//b", "NO [CANNOT]", ""},
        {"/a", "NO [CANNOT]", ""},
        {"a/./b", "NO [CANNOT]", ""},
        {"Projects/..", "NO [CANNOT]", ""},
        {"tab\there", "NO [CANNOT]", ""},
        {"tab&AAk-there", "NO [CANNOT]", ""},
        {"del&AH8-", "NO [CANNOT]", ""},
        {"50%", "NO [CANNOT]", ""},
        {"star*", "NO [CANNOT]", ""},
        {longest + "y", "NO [CANNOT]", ""},
        {"lone &2D0-", "NO [CANNOT]", ""},
        {"\xC3\xA4 raw UTF-8", "NO [CANNOT]", ""},
        {"&AGE-", "NO [CANNOT]", ""}, // "a", which travels as itself
        {"&AOQ-&AOQ-", "NO [CANNOT]", ""}, // one run where one would do
        {"&AOR-", "NO [CANNOT]", ""}, // stray bits
        {"&AOQ", "NO [CANNOT]", ""},
        {"#news", "NO [CANNOT]", ""},
        {"Public Folders", "NO [CANNOT]", ""},
        {"archive folders", "NO [CANNOT]", ""},
        {"Public Folders/x", "NO [CANNOT]", ""},
        {"INBOX", "NO [ALREADYEXISTS]", ""},
        {"inbox", "NO [ALREADYEXISTS]", ""},
        {"sEnT", "NO [ALREADYEXISTS]", ""},
        {"Calendar", "NO [ALREADYEXISTS]", ""},
        {"Journal", "NO [ALREADYEXISTS]", ""},
        {"Projects", "NO [ALREADYEXISTS]", ""},
        {"Missing/child", "NO [NONEXISTENT]", ""},
        {longest, "OK", longest},
        {"projects", "OK", "projects"},
        {"Projects/Sent", "OK", "Projects/Sent"},
        {"inbox/Sub", "OK", "INBOX/Sub"},
        {"Sent/2024", "OK", "Sent/2024"},
        {"Public Folders 2", "OK", "Public Folders 2"},
        {"Trailing/", "OK", "Trailing"},
        {"mail &2D3eAA-", "OK", "mail &2D3eAA-"},
        {"Gr&APwA3w-e &-", "OK", "Gr&APwA3w-e &-"},
        {"bare & sign", "NO [CANNOT]", ""},
        {"say \"hi\" a\\b", "OK", "say \"hi\" a\\b"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.wire);
        EXPECT_EQ(row.expected, outcome(withLiteral(*raw, "CREATE", row.wire)));
    }
    auto folders = target.folders(account);
    std::size_t created = 1; // Projects
    for (const Row& row : rows) {
        SCOPED_TRACE(row.wire);
        if (!row.stored.empty()) {
            EXPECT_EQ(1u, folders.count(row.stored));
            ++created;
        }
    }
    EXPECT_EQ(StandInTarget::accountFolders().size() + created, folders.size());
    EXPECT_EQ("NO [CANNOT]", outcome(raw->command("DELETE Trash")));
    EXPECT_EQ("OK", outcome(raw->command("DELETE projects")));
    EXPECT_EQ(0u, target.folders(account).count("projects"));
}

// Every form a LOGIN's arguments may take reaches the stand-in whole, and
// its transcript shows the password of none.
TEST(StandInTargetTest, TheTranscriptShowsNoLoginPassword)
{
    StandInTarget target(aliceTargetOptions());
    const struct {
        const char* command;
        const char* expected;
    } rows[] = {
        {"LOGIN alice@example.com alice-pw", "OK"},
        {"login \"alice@example.com\" \"alice-pw\"", "OK"},
        {"LOGIN {17+}\r\nalice@example.com \"alice-pw\"", "OK"},
        {"LOGIN {17+}\r\nalice@example.com {8+}\r\nalice-pw", "OK"},
        {"LOGIN \"alice@example.com\" {8+}\r\nalice-pw", "OK"},
        {"LOGIN alice@example.com \"wrong-pw\"", "NO [AUTHENTICATIONFAILED]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        RawImap raw(target.host(), target.port());
        EXPECT_EQ(row.expected, outcome(raw.command(row.command)));
    }
    const std::string transcript = target.transcript();
    EXPECT_EQ(std::string::npos, transcript.find("alice-pw")) << transcript;
    EXPECT_EQ(std::string::npos, transcript.find("wrong-pw")) << transcript;
    EXPECT_NE(std::string::npos, transcript.find("LOGIN alice@example.com ***")) << transcript;
}

TEST(StandInTargetTest, AFolderIdentifierIsTakenOncePerStore)
{
    StandInTarget::Options options = aliceTargetOptions();
    options.accounts["bob@example.com"] = "bob-pw";
    StandInTarget target(options);
    auto raw = aliceSession(target);
    const std::string id = "6F1C2A3B-0000-4000-8000-00000000000A";
    const std::string lower = "6f1c2a3b-0000-4000-8000-00000000000a";
    const std::string inboxId = target.folders(account)["INBOX"].guid;
    struct Row {
        std::string command;
        std::string expected;
    };
    const Row rows[] = {
        {"X-CREATE (X-MAIL GUID \"" + id + "\") First", "OK"},
        {"X-CREATE (X-MAIL GUID \"" + id + "\") Second", "NO [CANNOT]"},
        {"X-CREATE (GUID \"" + lower + "\") Third", "NO [CANNOT]"},
        {"X-CREATE (X-MAIL GUID \"" + inboxId + "\") Fourth", "NO [CANNOT]"},
        {"X-CREATE (X-MAIL) Fifth", "OK"},
        // The identifier is free again once its folder is gone.
        {"DELETE First", "OK"},
        {"X-CREATE (GUID \"" + lower + "\") Sixth", "OK"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        EXPECT_EQ(row.expected, outcome(raw->command(row.command)));
    }
    EXPECT_EQ(id, target.folders(account)["Sixth"].guid);
    EXPECT_EQ(0u, target.folders(account).count("Second"));
    // A migration finds its folders again by the identifiers these name.
    EXPECT_NE(std::string::npos,
        raw->command("LIST (GUID) \"\" \"*\"").find("\\Guid(" + id + ")) \"/\" \"Sixth\""));
    EXPECT_NE(std::string::npos,
        raw->command("STATUS Sixth (MESSAGES GUID)").find("(MESSAGES 0 GUID " + id + ")"));

    RawImap bob(target.host(), target.port());
    ASSERT_TRUE(bob.login("bob@example.com", "bob-pw"));
    EXPECT_EQ("OK", outcome(bob.command("X-CREATE (X-MAIL GUID \"" + id + "\") First")));
}

TEST(StandInTargetTest, PublicFoldersOfADomainThatExists)
{
    using namespace tavir::mail;
    StandInTarget target(aliceTargetOptions());
    SimpleImapClient master;
    master.setReadTimeoutMs(10000);
    ASSERT_EQ(ImapSuccess,
        master.connect(target.whost(), static_cast<unsigned>(target.port()), L"master-secret",
            false));
    EXPECT_EQ(ImapSetUserFailed, master.setUser(L"#public", L"other.test"));
    EXPECT_EQ(ImapSetUserFailed, master.setUser(L"#shared", L"example.com"));
    ASSERT_EQ(ImapSuccess, master.createUser(L"bob", L"other.test", L"bob-pw", L""));
    ASSERT_EQ(ImapSuccess, master.setUser(L"#public", L"other.test"));
    std::vector<std::wstring> names;
    char separator = 0;
    ASSERT_EQ(ImapSuccess, master.list(names, false, separator));
    EXPECT_TRUE(names.empty()) << "a public store starts empty";

    struct Row {
        std::wstring name;
        ImapClientResult expected;
    };
    const Row rows[] = {
        {L"INBOX", ImapSuccess},
        {L"Sent", ImapSuccess},
        {L"Sent/Old", ImapSuccess},
        {L"Public Folders", ImapCreateFolderFailed},
        {L"#news", ImapCreateFolderFailed},
        {L"INBOX", ImapCreateFolderFailed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name.begin(), row.name.end()));
        tavir::mailserver::common::KUuid guid;
        EXPECT_EQ(row.expected,
            master.createFolder(row.name, guid, SimpleImapClient::FolderTypeNone));
    }
    auto folders = target.publicFolders("other.test");
    EXPECT_EQ(3u, folders.size());
    EXPECT_EQ(1u, folders.count("INBOX"));
    EXPECT_EQ(1u, folders.count("Sent/Old"));
    EXPECT_EQ(StandInTarget::accountFolders().size(), target.folders("bob@other.test").size());
    EXPECT_TRUE(target.publicFolders("example.com").empty());
}

namespace {

// A master session of the client under test, on the stand-in's plain port.
std::unique_ptr<tavir::mail::SimpleImapClient> masterSession(const StandInTarget& target)
{
    auto master = std::make_unique<tavir::mail::SimpleImapClient>();
    master->setReadTimeoutMs(10000);
    if (master->connect(
            target.whost(), static_cast<unsigned>(target.port()), L"master-secret", false)
        != tavir::mail::ImapSuccess)
        throw std::runtime_error("no master session on the stand-in");
    return master;
}

// The user and the domain of an address, as the client takes them.
std::pair<std::wstring, std::wstring> userAndDomain(const std::string& address)
{
    const std::size_t at = address.rfind('@');
    return {tavir::migration::utf8ToUnicode(address.substr(0, at)),
        tavir::migration::utf8ToUnicode(address.substr(at + 1))};
}

} // namespace

// The process serving a connection is killed while it makes an account's
// store, as a crash of the server would: the next connection finds the
// account, switches to it and sees every folder whole, each identifier
// taken once.
TEST(StandInTargetTest, AStoreLeftHalfMadeByAKilledProcessIsCompletedByTheNext)
{
    using namespace tavir::mail;
    const struct {
        const char* step;
        unsigned count;
    } rows[] = {
        {"MAKE STORE", 1}, // nothing in it yet
        {"INDEX FOLDER", 1}, // the first folder's identifier indexed, the folder not in place
        {"PLACE FOLDER", 1}, // the first folder in place
        {"INDEX FOLDER", 6}, // half of them
        {"PLACE FOLDER", 10}, // every folder in place, the store not yet marked whole
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.step) + " " + std::to_string(row.count));
        StandInTarget::Options options;
        options.faults = std::string(R"([{"on": ")") + row.step + R"(", "count": )"
            + std::to_string(row.count) + R"(, "action": "die"}])";
        StandInTarget target(options);
        // Made ahead, as the administration service makes accounts: the
        // store comes with the first session.
        target.change("INSERT INTO Domain VALUES ('example.com')");
        target.change("INSERT INTO User VALUES ('example.com', 'carol', 'carol-pw', '')");

        EXPECT_NE(ImapSuccess, masterSession(target)->setUser(L"carol", L"example.com"));
        EXPECT_FALSE(
            std::filesystem::exists(target.stateDir() + "/accounts/carol@example.com/store.json"))
            << "the process died before the store was whole";

        auto master = masterSession(target);
        ASSERT_EQ(ImapSuccess, master->setUser(L"carol", L"example.com"));
        std::vector<std::wstring> names;
        char separator = 0;
        ASSERT_EQ(ImapSuccess, master->list(names, true, separator));
        EXPECT_EQ(StandInTarget::accountFolders().size(), names.size());

        auto folders = target.folders("carol@example.com");
        ASSERT_EQ(StandInTarget::accountFolders().size(), folders.size());
        RawImap carol(target.host(), target.port());
        ASSERT_TRUE(carol.login("carol@example.com", "carol-pw"));
        std::set<std::string> guids;
        for (const auto& [name, type] : StandInTarget::accountFolders()) {
            SCOPED_TRACE(name);
            ASSERT_EQ(1u, folders.count(name));
            EXPECT_EQ(type, folders[name].type);
            guids.insert(folders[name].guid);
            // Its identifier is indexed: no other folder can take it.
            EXPECT_EQ("NO [CANNOT]",
                outcome(carol.command(
                    "X-CREATE (X-MAIL GUID \"" + folders[name].guid + "\") Other" + name)));
        }
        EXPECT_EQ(StandInTarget::accountFolders().size(), guids.size());
        EXPECT_EQ("OK [APPENDUID]", outcome(withLiteral(carol, "APPEND INBOX", "hello\r\n")));
    }
}

// Addresses that fold alike by Unicode's simple case folding, as the
// engine folds them, are one account with one mailbox: the configuration
// database and the mail store compare addresses alike. Those that only
// lower case or the full folding would join (final sigma, dotted capital
// I, sharp s) are two accounts with two mailboxes.
TEST(StandInTargetTest, AddressesThatFoldAlikeAreOneAccountWithOneMailbox)
{
    using namespace tavir::mail;
    StandInTarget target;
    const struct {
        std::string first;
        std::string second;
        bool one;
    } rows[] = {
        {"\xC3\x9Cnal@example.com", "\xC3\xBCnal@example.com", true},
        {"\xC3\x84\x42\x43@example.com", "\xC3\xA4\x62\x63@example.com", true},
        {"\xCE\xA3\xCE\xA9@example.com", "\xCF\x83\xCF\x89@EXAMPLE.com", true},
        {"Bob@Example.COM", "bob@example.com", true},
        {"dora@\xC3\x84XAMPLE.org", "dora@\xC3\xA4xample.org", true},
        // ΟΔΟΣ and οδος; σς and ςσ; µ (micro sign) and μ; ſam and Sam.
        {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3@example.com", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82@example.com",
            true},
        {"\xCF\x83\xCF\x82@example.com", "\xCF\x82\xCF\x83@example.com", true},
        {"\xC2\xB5@example.com", "\xCE\xBC@example.com", true},
        {"\xC5\xBF" "am@example.com", "Sam@example.com", true},
        // İnal and inal; Straße and STRASSE.
        {"\xC4\xB0nal@example.com", "inal@example.com", false},
        {"Stra\xC3\x9F" "e@example.com", "STRASSE@example.com", false},
    };
    auto master = masterSession(target);
    unsigned n = 0;
    std::size_t accounts = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first + " / " + row.second);
        const std::string folder = "Kept" + std::to_string(++n);
        const auto [user, domain] = userAndDomain(row.first);
        const auto [sameUser, sameDomain] = userAndDomain(row.second);
        ASSERT_EQ(ImapSuccess, master->createUser(user, domain, L"pw", L""));
        EXPECT_EQ(row.one ? ImapCreateUserFailed : ImapSuccess,
            master->createUser(sameUser, sameDomain, L"pw", L""));
        ASSERT_EQ(ImapSuccess, master->setUser(sameUser, sameDomain));
        accounts += row.one ? 1 : 2;

        RawImap first(target.host(), target.port());
        ASSERT_TRUE(first.login(row.first, "pw"));
        ASSERT_TRUE(first.create(folder));
        RawImap second(target.host(), target.port());
        ASSERT_TRUE(second.login(row.second, "pw"));
        EXPECT_EQ(row.one, second.command("LIST \"\" \"*\"").find(folder) != std::string::npos);
        EXPECT_EQ(row.one ? 1u : 0u, target.folders(row.second).count(folder));
        EXPECT_EQ(1u, target.folders(row.first).count(folder));
    }
    EXPECT_EQ(std::to_string(accounts), target.queryOne("SELECT COUNT(*) FROM User"));
    EXPECT_EQ("1", target.queryOne("SELECT COUNT(*) FROM User WHERE Name = 'bob'"));
    std::size_t stores = 0;
    for (const auto& entry : std::filesystem::directory_iterator(target.stateDir() + "/accounts"))
        stores += entry.is_directory();
    EXPECT_EQ(accounts, stores);
}

// A state folder and configuration database that an earlier version left,
// which compared addresses by lower case (str.lower): its ADDRESS indexes
// in that order and its stores named so. Made here from one of this
// version's by building the indexes again by lower case and renaming the
// stores; with `user`, an account of that name in example.com added as
// that version would have.
void makeEarlierVersion(const std::string& home,
    const std::vector<std::pair<std::string, std::string>>& renamed, const std::string& user = "")
{
    const std::string program
        = "import sqlite3, sys; c = sqlite3.connect(sys.argv[1], isolation_level=None); "
          "c.create_collation('ADDRESS', lambda a, b: (a.lower() > b.lower()) - (a.lower() < "
          "b.lower())); c.execute('REINDEX ADDRESS'); c.execute('PRAGMA user_version = 0'); "
          "c.execute('INSERT INTO User VALUES (?, ?, ?, ?)', ('example.com', sys.argv[2], 'pw', '')) "
          "if sys.argv[2] else None";
    std::string output;
    ASSERT_EQ(0,
        tavir::test::runShell("python3 -c \"" + program + "\" " + home + "/config.db '" + user
                + "' 2>&1",
            &output))
        << output;
    for (const auto& [folded, lowered] : renamed)
        std::filesystem::rename(
            home + "/state/accounts/" + folded, home + "/state/accounts/" + lowered);
}

std::size_t storesIn(const std::string& stateDir)
{
    std::size_t stores = 0;
    for (const auto& entry : std::filesystem::directory_iterator(stateDir + "/accounts"))
        stores += entry.is_directory();
    return stores;
}

// The stand-in started on what an earlier version left builds its indexes
// again and renames its stores: every account logs in by every spelling
// that folds alike and finds its mail. Where two of its accounts fold
// alike now, it refuses to start and changes nothing.
TEST(StandInTargetTest, AStateLeftByAnEarlierVersionOpensWithEveryAccountAndItsMail)
{
    tavir::test::TempDir home;
    const struct {
        std::string address;
        std::string folded, lowered; // its store's name now, and before
        std::vector<std::string> spellings;
    } accounts[] = {
        // ΟΔΟΣ: οδοσ, οδος; ſam: sam; µ (micro sign): μ (mu).
        {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3@example.com",
            "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x83@example.com",
            "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82@example.com",
            {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82@example.com",
                "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x83@EXAMPLE.com"}},
        {"\xC5\xBF" "am@example.com", "sam@example.com", "\xC5\xBF" "am@example.com",
            {"Sam@example.com", "SAM@example.com"}},
        {"\xC2\xB5@example.com", "\xCE\xBC@example.com", "\xC2\xB5@example.com",
            {"\xCE\xBC@example.com", "\xCE\x9C@example.com"}},
        {"tom@example.com", "tom@example.com", "tom@example.com", {"TOM@example.com"}},
    };
    StandInTarget::Options options;
    options.home = home.path();
    std::vector<std::pair<std::string, std::string>> renamed;
    {
        StandInTarget::Options first = options;
        for (const auto& account : accounts) {
            first.accounts[account.address] = "pw";
            renamed.emplace_back(account.folded, account.lowered);
        }
        StandInTarget earlier(first);
        for (const auto& account : accounts) {
            RawImap raw(earlier.host(), earlier.port());
            ASSERT_TRUE(raw.login(account.address, "pw")) << account.address;
            ASSERT_TRUE(raw.create("Kept"));
        }
    }
    ASSERT_NO_FATAL_FAILURE(makeEarlierVersion(home.path(), renamed));
    {
        StandInTarget target(options);
        for (const auto& account : accounts) {
            SCOPED_TRACE(account.address);
            for (const std::string& spelling : account.spellings) {
                SCOPED_TRACE(spelling);
                RawImap raw(target.host(), target.port());
                ASSERT_TRUE(raw.login(spelling, "pw"));
                EXPECT_NE(std::string::npos, raw.command("LIST \"\" \"*\"").find("Kept"));
                EXPECT_EQ(1u, target.folders(spelling).count("Kept"));
            }
        }
        EXPECT_EQ(std::size(accounts), storesIn(target.stateDir()));
        EXPECT_EQ("ok", target.queryOne("PRAGMA integrity_check"));
        EXPECT_EQ("1", target.queryOne("PRAGMA user_version"));
    }

    // μ@ beside µ@: two accounts by lower case, one now.
    ASSERT_NO_FATAL_FAILURE(makeEarlierVersion(home.path(), renamed, "\xCE\xBC"));
    EXPECT_THROW(StandInTarget{options}, std::runtime_error);
    for (const auto& [folded, lowered] : renamed)
        EXPECT_TRUE(std::filesystem::is_directory(home.path() + "/state/accounts/" + lowered))
            << lowered;
}

TEST(StandInTargetTest, ConcurrentAppendsIntoOneFolderGetDistinctUids)
{
    StandInTarget target(aliceTargetOptions());
    const unsigned perSession = 30;
    // Every tenth body is large enough to be received into a file.
    auto body = [](unsigned session, unsigned n) {
        std::string text = "Subject: " + std::to_string(session) + "/" + std::to_string(n)
            + "\r\n\r\n";
        text.append(n % 10 == 0 ? 300 * 1024 : 100 + n, static_cast<char>('a' + session));
        return text + "\r\n";
    };
    std::vector<std::vector<unsigned>> uids(2);
    std::vector<std::thread> sessions;
    for (unsigned s = 0; s < 2; ++s) {
        sessions.emplace_back([&, s] {
            auto raw = aliceSession(target);
            for (unsigned n = 0; n < perSession; ++n)
                uids[s].push_back(
                    appendUid(withLiteral(*raw, "APPEND INBOX (\\Seen)", body(s, n))));
        });
    }
    for (std::thread& session : sessions)
        session.join();

    std::set<unsigned> distinct;
    for (const auto& list : uids)
        distinct.insert(list.begin(), list.end());
    ASSERT_EQ(2 * perSession, distinct.size());
    EXPECT_EQ(1u, *distinct.begin());
    EXPECT_EQ(2 * perSession, *distinct.rbegin());
    auto stored = target.folders(account)["INBOX"].messages;
    ASSERT_EQ(2 * perSession, stored.size());
    for (unsigned s = 0; s < 2; ++s) {
        for (unsigned n = 0; n < perSession; ++n) {
            SCOPED_TRACE(std::to_string(s) + "/" + std::to_string(n));
            const StandInTarget::Message& message = stored[uids[s][n] - 1];
            EXPECT_EQ(uids[s][n], message.uid);
            EXPECT_EQ(body(s, n), message.data);
            EXPECT_EQ(std::vector<std::string>{"\\Seen"}, message.flags);
        }
    }
    RawImap check(target.host(), target.port());
    ASSERT_TRUE(check.login(account, "alice-pw"));
    EXPECT_NE(std::string::npos,
        check.command("STATUS INBOX (MESSAGES UIDNEXT)").find("(MESSAGES 60 UIDNEXT 61)"));
}

TEST(StandInTargetTest, AFaultCountSpansConnections)
{
    StandInTarget target(aliceTargetOptions(R"([{"on": "APPEND", "count": 3, "action": "no"}])"));
    auto first = aliceSession(target);
    auto second = aliceSession(target);
    EXPECT_EQ("OK [APPENDUID]", outcome(withLiteral(*first, "APPEND INBOX", "one\r\n")));
    EXPECT_EQ("OK [APPENDUID]", outcome(withLiteral(*second, "APPEND INBOX", "two\r\n")));
    EXPECT_EQ("NO", outcome(withLiteral(*first, "APPEND INBOX", "three\r\n")));
    EXPECT_EQ("OK [APPENDUID]", outcome(withLiteral(*second, "APPEND INBOX", "four\r\n")));
    EXPECT_EQ(3u, target.folders(account)["INBOX"].messages.size());
    std::string transcript = target.transcript();
    EXPECT_NE(std::string::npos, transcript.find("NO planned refusal"));
}

// --faults names a file; the plan written in its place, a file that is not
// there or holds no list of faults ends the start with one line that says
// so, never a traceback, and before any state folder is made.
TEST(StandInTargetTest, AFaultPlanThatCanNotBeUsedIsSaidInOneLine)
{
    tavir::test::TempDir dir;
    tavir::test::writeFile(dir.file("unfinished.json"), "[{\"on\": \"APPEND\"");
    tavir::test::writeFile(dir.file("object.json"), "{\"on\": \"APPEND\"}");
    tavir::test::writeFile(dir.file("numbers.json"), "[{\"on\": \"APPEND\"}, 7]");
    tavir::test::writeFile(dir.file("after.json"),
        R"([{"on": "TINYDB QUERY", "after": "UPDATE Cluster", "count": 2}])");
    const std::string script
        = std::string(TAVIR_SOURCE_DIR) + "/tests/targetserver/stand_in_target.py";
    const auto said = [&](const std::vector<std::string>& more, int& status) {
        std::vector<std::string> argv = {"python3", script, "--master-password", "m",
            "--ports-file", dir.file("ports"), "--state-dir", dir.file("state")};
        argv.insert(argv.end(), more.begin(), more.end());
        const std::string output = dir.file("said");
        std::filesystem::remove(output);
        tavir::test::ChildProcess::Options options;
        options.outputFile = output;
        tavir::test::ChildProcess stand(argv, options);
        status = stand.wait(20000);
        return tavir::test::readFile(output);
    };
    const std::pair<std::string, std::string> rows[] = {
        {R"([{"on": "APPEND", "count": 3, "action": "no"}])",
            "stand-in: --faults takes the path of a file that holds the fault plan, not the plan "
            "itself: write [{\"on\": \"APPEND\", \"count\": 3, \"action\": \"no\"}] into a file "
            "and give its path\n"},
        {dir.file("absent.json"),
            "stand-in: the fault plan " + dir.file("absent.json")
                + " can't be read: No such file or directory\n"},
        {dir.path(), "stand-in: the fault plan " + dir.path() + " can't be read: Is a directory\n"},
        {dir.file("unfinished.json"),
            "stand-in: the fault plan " + dir.file("unfinished.json")
                + " is not JSON: Expecting ',' delimiter: line 1 column 17 (char 16)\n"},
        {dir.file("object.json"),
            "stand-in: the fault plan " + dir.file("object.json")
                + " holds an object, not a list of faults\n"},
        {dir.file("numbers.json"),
            "stand-in: fault 2 of the plan " + dir.file("numbers.json")
                + " is not an object naming what it is \"on\": 7\n"},
        {dir.file("after.json"),
            "stand-in: fault 1 of the plan " + dir.file("after.json")
                + " counts \"after\" something that is not an object naming a statement and "
                  "its count: {\"on\": \"TINYDB QUERY\", \"after\": \"UPDATE Cluster\", "
                  "\"count\": 2}\n"},
    };
    for (const auto& [given, line] : rows) {
        SCOPED_TRACE(given);
        int status = 0;
        EXPECT_EQ(line, said({"--faults", given}, status));
        EXPECT_EQ(1, status);
        EXPECT_FALSE(std::filesystem::exists(dir.file("state")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("ports")));
    }
    int status = 0;
    // As one line, however argparse wraps it.
    const std::string help = std::regex_replace(said({"--help"}, status), std::regex("\\s+"), " ");
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos,
        help.find("--faults FILE the path of a file holding the fault plan: a JSON list of "
                  "planned faults"))
        << help;
}

namespace {

// The processes whose command line names `marker` (the stand-in, its
// forking helper and its connections' processes all carry its state folder).
std::vector<int> processesNaming(const std::string& marker)
{
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (!std::all_of(name.begin(), name.end(), ::isdigit))
            continue;
        std::string cmdline;
        try {
            std::ifstream in(entry.path() / "cmdline", std::ios::binary);
            cmdline.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {
            continue; // any process of the machine may end while it is read
        }
        if (cmdline.find(marker) != std::string::npos)
            found.push_back(std::stoi(name));
    }
    return found;
}

} // namespace

TEST(StandInTargetTest, NothingOutlivesATestProcessThatDies)
{
    int toParent[2], toChild[2];
    ASSERT_EQ(0, pipe(toParent));
    ASSERT_EQ(0, pipe(toChild));
    tavir::test::ChildProcess child([&] {
        // The test process that dies without its destructors: its stand-in
        // holds a connection stalled in a command.
        close(toParent[0]);
        close(toChild[1]);
        auto* target
            = new StandInTarget(aliceTargetOptions(R"([{"on": "NOOP", "action": "stall"}])"));
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(target->port()));
        inet_pton(AF_INET, target->host().c_str(), &address.sin_addr);
        std::string line = "t99 NOOP\r\n";
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || send(fd, line.data(), line.size(), 0) < 0)
            _exit(2);
        waitUntil(
            [&] { return target->transcript().find("t99 NOOP") != std::string::npos; }, 5000, 10);
        std::string state = target->stateDir() + "\n";
        if (write(toParent[1], state.data(), state.size()) < 0)
            _exit(2);
        char wait;
        (void)!read(toChild[0], &wait, 1);
        _exit(0);
        return 0;
    });
    close(toParent[1]);
    close(toChild[0]);
    std::string state;
    char c;
    while (read(toParent[0], &c, 1) == 1 && c != '\n')
        state += c;
    close(toParent[0]);
    ASSERT_FALSE(state.empty());
    EXPECT_GE(processesNaming(state).size(), 3u) << "the stand-in, its helper and a connection";
    close(toChild[1]);
    child.wait(10000);

    std::vector<int> left;
    waitUntil([&] { return (left = processesNaming(state)).empty(); }, 10000);
    EXPECT_TRUE(left.empty()) << left.size() << " processes of the stand-in outlived the test";
    for (int pid : left)
        kill(pid, SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(state).parent_path(), ignored);
}
