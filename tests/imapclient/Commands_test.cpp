// The command classes and the facade against scripted servers: the lines
// they write, the replies they read, and the message copy with the faults a
// real server rarely produces on demand (a body cut short, unsolicited
// responses before the body, a zero-length body, refused fetches).
#include "crypto/StreamDigest.h"
#include "imapclient/AppendWindow.h"
#include "imapclient/CommandAuth.h"
#include "imapclient/CommandFolder.h"
#include "imapclient/CommandMessage.h"
#include "imapclient/FetchMessage.h"
#include "imapclient/SimpleImapClient.h"
#include "support/ScriptedImap.h"
#include "support/TestSupport.h"
#include "timezone/MailDateParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <new>
#include <stdexcept>

using namespace tavir::mail;
using tavir::mailserver::common::KUuid;
using tavir::test::ScriptedServer;
using tavir::test::ScriptedSession;

namespace {

using tavir::test::withoutTags;
using Scripted = tavir::test::LoggedInClient;

const std::string greeting = tavir::test::scriptedGreeting;

// The last error text without the tag of a server's tagged line.
std::string lastError(const SimpleImapClient& client)
{
    std::wstring wide = client.getLastErrorResponse();
    return withoutTags(std::string(wide.begin(), wide.end())); // ASCII in these tests
}

std::string shell(const std::string& command)
{
    std::string out;
    EXPECT_EQ(0, tavir::test::runShell(command, &out)) << command;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string body(std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        text += static_cast<char>(i % 251);
    return text;
}

// Keywords enough to make one reply line longer than the client's 1 MiB limit.
std::string keywordsOverTheLineLimit()
{
    std::string keywords;
    for (unsigned k = 0; k < 130000; ++k)
        keywords += " $Keyword" + std::to_string(k);
    return keywords;
}

std::string fetchReply(unsigned number, const std::string& date, const std::string& flags)
{
    return "* " + std::to_string(number) + " FETCH (INTERNALDATE \"" + date + "\" FLAGS (" + flags
        + "))\r\n%T OK FETCH completed\r\n";
}

std::string bodyReply(unsigned number, const std::string& data)
{
    return "* " + std::to_string(number) + " FETCH (BODY[] {" + std::to_string(data.size())
        + "}\r\n" + data + ")\r\n%T OK FETCH completed\r\n";
}

struct Append {
    std::string folder, flags, date, data;
    std::time_t instant = 0;
};

// Splits what a target received (without tags) into its APPEND commands.
std::vector<Append> appends(const std::string& sent)
{
    std::vector<Append> out;
    std::size_t at = 0;
    while ((at = sent.find("APPEND ", at)) != std::string::npos) {
        Append a;
        std::size_t end = sent.find("\r\n", at);
        std::string line = sent.substr(at + 7, end - at - 7);
        std::size_t q = line.find('"', 1);
        a.folder = line.substr(1, q - 1);
        std::size_t open = line.find('(');
        if (open != std::string::npos && open < line.find('{'))
            a.flags = line.substr(open + 1, line.find(')') - open - 1);
        std::size_t d = line.find('"', open != std::string::npos ? line.find(')') : q + 1);
        a.date = line.substr(d + 1, line.find('"', d + 1) - d - 1);
        tavir::timezone::parseInternaldate(a.date.c_str(), &a.instant);
        std::size_t size = std::stoul(line.substr(line.rfind('{') + 1));
        EXPECT_EQ("+}", line.substr(line.size() - 2));
        a.data = sent.substr(end + 2, size);
        EXPECT_EQ("\r\n", sent.substr(end + 2 + size, 2));
        out.push_back(a);
        at = end + 2 + size;
    }
    return out;
}

TEST(AuthTest, CramMD5MatchesRfc2195AndHmac)
{
    ConnectionInternal c;
    // The worked exchange of RFC 2195, section 2.
    CommandAuthCramMD5 rfc(c, "tim", "tanstaaftanstaaf");
    EXPECT_EQ("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw",
        rfc.makeCramMD5Response(" PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"));
    // Keys of 64 bytes are used as they are, longer ones hashed first: the
    // same as openssl's HMAC.
    for (std::size_t length : {1u, 63u, 64u, 65u, 200u}) {
        std::string password(length, 'k');
        password[0] = 'a';
        CommandAuthCramMD5 command(c, "user", password);
        std::string answer = command.makeCramMD5Response("PDEyMzRAaG9zdD4=");
        std::string decoded = shell("printf '%s' '" + answer + "' | openssl base64 -d -A");
        std::string hmac = shell("printf '%s' '<1234@host>' | openssl dgst -md5 -hmac '" + password
            + "' | sed 's/.*= //'");
        EXPECT_EQ("user " + hmac, decoded) << length;
    }
}

TEST(AuthTest, CramMD5LoginExchange)
{
    ScriptedServer server;
    auto session = server.addSession(greeting
        + "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"
        + "%T OK authenticated\r\n");
    SimpleImapClient client;
    client.setStreamFactory(server.factory());
    EXPECT_EQ(ImapSuccess, client.connect(L"h", 0, L"tim", L"tanstaaftanstaaf", true, false));
    EXPECT_EQ("AUTHENTICATE CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n",
        withoutTags(session->clientBytes));
}

// A connection greeted before any credential goes out, and told apart by
// how the server met it (greet), then the login, by how the server answered
// (logIn): a password goes only where the server asked for one, LOGIN only
// where it takes it, and a server that turns a connection away or ends the
// session at the login is told from one that refuses the password.
TEST(AuthTest, AGreetingAndALoginAreToldByWhatTheServerSaid)
{
    using Welcome = SimpleImapClient::Welcome;
    using Answer = SimpleImapClient::LoginAnswer;
    const std::string dovecotPlain
        = "* OK [CAPABILITY IMAP4rev1 SASL-IR STARTTLS LOGINDISABLED] Dovecot ready.\r\n";
    const std::string challenge = "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n";
    // The scripted greeting as it is told, and the LOGIN the client sends.
    const std::string ready = greeting.substr(0, greeting.size() - 2);
    const std::string login = "LOGIN \"tim\" \"tanstaaftanstaaf\"\r\n";
    const std::string cramAnswer = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n";
    const struct Row {
        const char* name;
        std::string server;
        bool closedAtEnd;
        Welcome::Kind welcome;
        std::string welcomeText;
        Answer::Kind answer; // when greeted Ready
        std::string answerText;
        std::string wire; // what the client sent, without tags
        std::string code = ""; // of a refusal: its response code, and its ALERTs' text
        std::string alert = "";
    } rows[] = {
        {"accepted", greeting + "%T OK Logged in\r\n", false, Welcome::Ready, ready,
            Answer::Accepted, "", login},
        {"refused", greeting + "%T NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", false,
            Welcome::Ready, ready, Answer::Refused,
            "NO [AUTHENTICATIONFAILED] Authentication failed.", login, "AUTHENTICATIONFAILED"},
        {"not now, as Dovecot says it",
            greeting
                + "%T NO [LIMIT] Maximum number of connections from user+IP exceeded "
                  "(mail_max_userip_connections=10)\r\n",
            false, Welcome::Ready, ready, Answer::Refused,
            "NO [LIMIT] Maximum number of connections from user+IP exceeded "
            "(mail_max_userip_connections=10)",
            login, "LIMIT"},
        {"an ALERT as the answer's code",
            greeting + "%T NO [ALERT] Too many simultaneous connections. (Failure)\r\n", false,
            Welcome::Ready, ready, Answer::Refused,
            "NO [ALERT] Too many simultaneous connections. (Failure)", login, "ALERT",
            "Too many simultaneous connections. (Failure)"},
        // Dovecot's words to a password sent in the clear where it takes
        // none: an untagged ALERT beside the answer's own code.
        {"an ALERT beside the answer's code",
            greeting
                + "* CAPABILITY IMAP4rev1\r\n* BAD [ALERT] Plaintext authentication not allowed "
                  "without SSL/TLS, but your client did it anyway. If anyone was listening, the "
                  "password was exposed.\r\n%T NO [PRIVACYREQUIRED] Plaintext authentication "
                  "disallowed on non-secure (SSL/TLS) connections.\r\n",
            false, Welcome::Ready, ready, Answer::Refused,
            "BAD [ALERT] Plaintext authentication not allowed without SSL/TLS, but your client did "
            "it anyway. If anyone was listening, the password was exposed. NO [PRIVACYREQUIRED] "
            "Plaintext authentication disallowed on non-secure (SSL/TLS) connections.",
            login, "PRIVACYREQUIRED",
            "Plaintext authentication not allowed without SSL/TLS, but your client did it anyway. "
            "If anyone was listening, the password was exposed."},
        {"refused without a code", greeting + "%T NO Login failed\r\n", false, Welcome::Ready,
            ready, Answer::Refused, "NO Login failed", login},
        {"a BYE for the login", greeting + "* BYE Too many simultaneous connections\r\n", true,
            Welcome::Ready, ready, Answer::EndedAtLogin, "* BYE Too many simultaneous connections",
            login},
        {"a BYE right behind the login's OK",
            greeting + "%T OK Logged in\r\n* BYE Maximum number of connections exceeded\r\n", true,
            Welcome::Ready, ready, Answer::EndedAtLogin,
            "* BYE Maximum number of connections exceeded", login},
        {"news behind the login's OK", greeting + "%T OK Logged in\r\n* 3 EXISTS\r\n", false,
            Welcome::Ready, ready, Answer::Accepted, "", login},
        {"no answer", greeting, false, Welcome::Ready, ready, Answer::Failed,
            "connection to scripted:143 timed out after 180 s", login},
        {"LOGINDISABLED, CRAM-MD5 offered",
            "* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED AUTH=CRAM-MD5] hi\r\n" + challenge
                + "%T OK authenticated\r\n",
            false, Welcome::Ready,
            "* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED AUTH=CRAM-MD5] hi", Answer::Accepted,
            "", "AUTHENTICATE CRAM-MD5\r\n" + cramAnswer},
        {"LOGINDISABLED, CRAM-MD5 refused",
            "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=CRAM-MD5] hi\r\n" + challenge
                + "%T NO [AUTHENTICATIONFAILED] Authentication failed.\r\n",
            false, Welcome::Ready, "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=CRAM-MD5] hi",
            Answer::Refused, "NO [AUTHENTICATIONFAILED] Authentication failed.",
            "AUTHENTICATE CRAM-MD5\r\n" + cramAnswer, "AUTHENTICATIONFAILED"},
        {"LOGINDISABLED, CRAM-MD5 not now, with an ALERT",
            "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=CRAM-MD5] hi\r\n" + challenge
                + "* NO [ALERT] Back in five minutes\r\n%T NO [UNAVAILABLE] Temporary "
                  "authentication failure\r\n",
            false, Welcome::Ready, "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=CRAM-MD5] hi",
            Answer::Refused,
            "NO [ALERT] Back in five minutes NO [UNAVAILABLE] Temporary authentication failure",
            "AUTHENTICATE CRAM-MD5\r\n" + cramAnswer, "UNAVAILABLE", "Back in five minutes"},
        {"LOGINDISABLED alone", dovecotPlain, false, Welcome::Ready,
            "* OK [CAPABILITY IMAP4rev1 SASL-IR STARTTLS LOGINDISABLED] Dovecot ready.",
            Answer::NoMethod,
            "scripted:143 refuses LOGIN on this connection (LOGINDISABLED) and offers no "
            "AUTHENTICATE CRAM-MD5; no password was sent",
            ""},
        {"capabilities asked for first",
            "* OK hi\r\n* CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=PLAIN AUTH=CRAM-MD5\r\n%T OK\r\n"
                + challenge + "%T OK authenticated\r\n",
            false, Welcome::Ready, "* OK hi", Answer::Accepted, "",
            "CAPABILITY\r\nAUTHENTICATE CRAM-MD5\r\n" + cramAnswer},
        {"capabilities asked for, none listed", "* OK hi\r\n%T OK\r\n%T OK Logged in\r\n", false,
            Welcome::Ready, "* OK hi", Answer::Accepted, "",
            "CAPABILITY\r\nLOGIN \"tim\" \"tanstaaftanstaaf\"\r\n"},
        {"PREAUTH", "* PREAUTH [CAPABILITY IMAP4rev1] logged in as nobody\r\n", false,
            Welcome::Preauth, "* PREAUTH [CAPABILITY IMAP4rev1] logged in as nobody",
            Answer::Failed, "", ""},
        {"a BYE for a greeting", "* BYE Too many connections from your IP\r\n", true,
            Welcome::TurnedAway, "* BYE Too many connections from your IP", Answer::Failed, "", ""},
        {"closed before its greeting", "", true, Welcome::Closed,
            "scripted:143 closed the connection", Answer::Failed, "", ""},
        {"no greeting", "", false, Welcome::Failed,
            "scripted:143 accepted the connection but sent no greeting within 180 s",
            Answer::Failed, "", ""},
        {"another service", "SSH-2.0-OpenSSH_9.2\r\n", false, Welcome::Failed,
            "SSH-2.0-OpenSSH_9.2\r", Answer::Failed, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server;
        auto session = server.addSession(row.server);
        session->closedAtEnd = row.closedAtEnd;
        SimpleImapClient client;
        client.setStreamFactory(server.factory());
        const Welcome welcome = client.greet(L"scripted", 0, false);
        EXPECT_EQ(row.welcome, welcome.kind);
        EXPECT_EQ(row.welcomeText, welcome.text);
        EXPECT_FALSE(client.isConnected());
        if (welcome.kind == Welcome::Ready) {
            const Answer answer = client.logIn(L"tim", L"tanstaaftanstaaf");
            EXPECT_EQ(row.answer, answer.kind);
            EXPECT_EQ(row.answerText, withoutTags(answer.text));
            EXPECT_EQ(row.code, answer.code);
            EXPECT_EQ(row.alert, answer.alert);
            EXPECT_EQ(row.answer == Answer::Accepted, client.isConnected());
        }
        EXPECT_EQ(row.wire, withoutTags(session->clientBytes));
        client.disconnect(true);
        EXPECT_TRUE(session->closed);
        // Greeted again where no server answers: nothing of this greeting is
        // read as the next one's (a BYE once taken for a second turn-away).
        const Welcome none = client.greet(L"scripted", 0, false);
        EXPECT_EQ(Welcome::Failed, none.kind);
        EXPECT_EQ("host name scripted could not be resolved", none.text);
        // connect() sends no password where logIn sends none either.
        if (row.welcome == Welcome::Preauth || row.answer == Answer::NoMethod) {
            ScriptedServer again;
            auto second = again.addSession(row.server);
            SimpleImapClient other;
            other.setStreamFactory(again.factory());
            EXPECT_EQ(ImapLoginFailed, other.connect(L"scripted", 0, L"tim", L"pw", false, false));
            EXPECT_EQ("", withoutTags(second->clientBytes));
        }
    }
}

TEST(AuthTest, MasterAuthentication)
{
    struct Case {
        std::string continuation;
        ImapClientResult result;
        std::string challenge; // digested with the password; empty: nothing sent
    };
    const Case cases[] = {
        {"+ <12345.67890>\r\n", ImapSuccess, "<12345.67890>"},
        {"+ <1.2@host> trailing text\r\n", ImapSuccess, "<1.2@host>"},
        {"+ <no end\r\n", ImapSuccess, "<no end"},
        {"+ no challenge\r\n", ImapLoginFailed, ""},
        {"+ x> <abc>\r\n", ImapLoginFailed, ""},
        {"+\r\n", ImapLoginFailed, ""},
        {"%T NO not here\r\n", ImapLoginFailed, ""},
        {"* BYE shutting down\r\n", ImapConnectionError, ""},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        auto session = server.addSession(greeting + c.continuation + "%T OK welcome\r\n");
        SimpleImapClient client;
        client.setStreamFactory(server.factory());
        EXPECT_EQ(c.result, client.connect(L"h", 0, L"Pass", false)) << c.continuation;
        std::string expected = "X-MASTERAUTH\r\n";
        if (!c.challenge.empty()) {
            std::string digest
                = shell("printf '%s' '" + c.challenge + "Pass' | openssl md5 | sed 's/.*= //'");
            expected += digest + "\r\n";
        }
        EXPECT_EQ(expected, withoutTags(session->clientBytes)) << c.continuation;
        EXPECT_EQ(c.result == ImapSuccess, client.isConnected());
        if (c.result != ImapSuccess) {
            EXPECT_TRUE(session->closed);
        }
    }
}

TEST(AuthTest, SetUserAndCreateUserLines)
{
    Scripted s("%T OK created\r\n%T OK switched\r\n%T NO unknown\r\n");
    EXPECT_EQ(ImapSuccess, s.client.createUser(L"john", L"local", L"pw", L""));
    EXPECT_EQ(ImapSuccess, s.client.setUser(L"john", L"local"));
    EXPECT_EQ(ImapSetUserFailed, s.client.setUser(L"nobody", L"local"));
    EXPECT_EQ("NO unknown", lastError(s.client));
    EXPECT_EQ("X-CREATEUSER (NAME {4+}\r\njohn DOMAIN {5+}\r\nlocal PASSWORD \"pw\")\r\n"
              "X-SETUSER \"john@local\"\r\n"
              "X-SETUSER \"nobody@local\"\r\n",
        s.sent());
}

// The switch and the listing leave together, before either answer: after a
// master login (setUserAndList), or right behind the answer to the login's
// challenge (connectAndSwitch). The result and the last error say which of
// them failed.
TEST(AuthTest, SetUserWithTheListBehindIt)
{
    const std::string listed = "* LIST () \"/\" INBOX\r\n* LIST () \"/\" Work\r\n";
    const std::string login = "+ <1.2@host>\r\n%T OK in\r\n";
    const std::string digest
        = shell("printf '%s' '<1.2@host>Pass' | openssl md5 | sed 's/.*= //'") + "\r\n";
    const std::string lines = "X-SETUSER \"john@local\"\r\nLIST (GUID) \"\" \"*\"\r\n";
    struct Case {
        const char* name;
        std::string answers;
        ImapClientResult result;
        bool loggedIn;
        bool switched;
        std::string error; // the last error, without the tag
        unsigned folders;
    };
    const Case cases[] = {
        {"all answered", login + "%T OK switched\r\n" + listed + "%T OK listed\r\n", ImapSuccess,
            true, true, "", 2},
        {"the login refused", "+ <1.2@host>\r\n%T NO refused\r\n%T NO\r\n%T NO\r\n",
            ImapLoginFailed, false, false, "NO refused", 0},
        {"the switch refused: the LIST's answer is read and dropped",
            login + "%T NO no such account\r\n%T NO not switched\r\n", ImapSetUserFailed, true,
            false, "NO no such account", 0},
        {"the LIST refused after the switch", login + "%T OK switched\r\n%T NO cannot list\r\n",
            ImapListFailed, true, true, "NO cannot list", 0},
        {"the connection ends after the switch", login + "%T OK switched\r\n", ImapConnectionError,
            true, true, "", 0},
    };
    for (bool behindTheLogin : {false, true}) {
        for (const Case& c : cases) {
            if (!behindTheLogin && !c.loggedIn)
                continue;
            SCOPED_TRACE(
                std::string(behindTheLogin ? "behind the login: " : "after it: ") + c.name);
            ScriptedServer server;
            auto session = server.addSession(greeting + c.answers);
            session->closedAtEnd = true;
            SimpleImapClient client;
            client.setStreamFactory(server.factory());
            SimpleImapClient::AccountSwitch account;
            account.user = L"john";
            account.domain = L"local";
            ImapClientResult result = ImapSuccess;
            if (behindTheLogin) {
                result = client.connectAndSwitch(L"h", 0, L"Pass", false, account);
            } else {
                ASSERT_EQ(ImapSuccess, client.connect(L"h", 0, L"Pass", false));
                session->mostInFlight = 0;
                result = client.setUserAndList(account);
            }
            EXPECT_EQ(c.result, result);
            EXPECT_EQ(c.loggedIn, behindTheLogin ? account.loggedIn : true);
            EXPECT_EQ(c.switched, account.switched);
            EXPECT_EQ(c.folders, account.folders.size());
            if (!c.error.empty()) {
                EXPECT_EQ(c.error, lastError(client));
            }
            EXPECT_EQ("X-MASTERAUTH\r\n" + digest + lines, withoutTags(session->clientBytes));
            // What follows the login's command was in flight at once: the
            // switch and the listing written before either answer, and
            // behind the login before its answer.
            const std::string& bytes = session->clientBytes;
            const std::size_t together = behindTheLogin
                ? bytes.size()
                : bytes.size() - (bytes.rfind("\r\n", bytes.find(" X-SETUSER")) + 2);
            EXPECT_EQ(together, session->mostInFlight);
        }
    }
}

TEST(FolderTest, CommandLines)
{
    ConnectionInternal c;
    struct Case {
        std::string line;
        std::string expected;
    };
    const Case cases[] = {
        {withoutTags(CommandList(c, "", "*", false).get()), "LIST \"\" \"*\""},
        {withoutTags(CommandList(c, "", "*", true).get()), "LIST (GUID) \"\" \"*\""},
        {withoutTags(CommandCreate(c, "Archive/2009", FolderTypeMail, "", true).get()),
            "X-CREATE (X-MAIL) \"Archive/2009\""},
        {withoutTags(CommandCreate(c, "A", 0, "", true).get()), "X-CREATE \"A\""},
        {withoutTags(CommandCreate(c, "A", FolderTypeMail, "G", true).get()),
            "X-CREATE (X-MAIL GUID \"G\") \"A\""},
        {withoutTags(CommandCreate(c, "A", 0, "G", false).get()), "CREATE (GUID \"G\") \"A\""},
        {withoutTags(CommandDelete(c, "a\"b", true).get()), "DELETE (RECURSIVE) \"a\\\"b\""},
        {withoutTags(CommandSelect(c, "INBOX").get()), "SELECT \"INBOX\""},
        {withoutTags(CommandStatus(c, "X", true).get()), "STATUS \"X\" (MESSAGES GUID)"},
        {withoutTags(CommandStatus(c, "X", false).get()), "STATUS \"X\" (MESSAGES)"},
    };
    for (const Case& k : cases)
        EXPECT_EQ(k.expected, k.line);
}

TEST(FolderTest, ListReplies)
{
    const std::string guid = "0E9C2B1A-5D4F-4C3B-9A8E-7F6D5C4B3A21";
    Scripted s("* LIST (\\HasNoChildren \\Guid(" + guid + ")) \"/\" \"Inbox/Sent\"\r\n"
        + "* 3 EXISTS\r\n" + "* LIST (\\Noselect \\HasChildren) \".\" Public\r\n"
        + "* LIST () NIL \"a\\\"b\"\r\n" + "* LIST (\\Guid(" + guid.substr(1)
        + ")) \"/\" {4}\r\nN\x01LS\r\n" + "* LIST (\\Guid({" + guid + "})) \"/\" Braced\r\n"
        + "* LIST (\\nonexistent \\HasChildren) \"/\" Gone\r\n" + "%T OK LIST completed\r\n"
        + "* LIST (\\Guid(" + guid
        + ")) \".\" INBOX\r\n* LIST (\\NoSelect) \"/\" Public\r\n* LIST (\\NonExistent) \"/\" "
          "Gone\r\n"
        + "* LIST () \"/\" Sent\r\n%T OK done\r\n" + "%T NO no listing\r\n");
    std::vector<FolderInfo> folders;
    char separator = '?';
    ASSERT_EQ(ImapSuccess, s.client.list(folders, true, separator));
    ASSERT_EQ(6u, folders.size());
    EXPECT_EQ("Inbox/Sent", folders[0].name);
    EXPECT_TRUE(folders[0].selectable);
    EXPECT_EQ(guid, folders[0].guid.toString());
    EXPECT_EQ("Public", folders[1].name);
    EXPECT_FALSE(folders[1].selectable);
    EXPECT_EQ("a\"b", folders[2].name);
    EXPECT_EQ(std::string("N\x01LS", 4), folders[3].name);
    EXPECT_TRUE(folders[3].guid.isNull());
    // An identifier in braces is no identifier, but the listing goes on.
    EXPECT_EQ("Braced", folders[4].name);
    EXPECT_TRUE(folders[4].guid.isNull());
    // A parent that does not exist is no more selectable than a \Noselect one.
    EXPECT_EQ("Gone", folders[5].name);
    EXPECT_FALSE(folders[5].selectable);
    EXPECT_EQ('/', separator); // the NIL delimiter reads as '/', the last wins

    // Without (GUID) the flag is not read; names only lists what can be selected.
    std::vector<std::wstring> names;
    ASSERT_EQ(ImapSuccess, s.client.list(names, false, separator));
    EXPECT_EQ((std::vector<std::wstring>{L"INBOX", L"Sent"}), names);
    EXPECT_EQ(ImapListFailed, s.client.list(names, false, separator));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ("NO no listing", lastError(s.client));
}

// The inbox's SELECT goes behind the listing, before either answer; each
// keeps its own result and error text, the listing's the last error.
TEST(FolderTest, ListWithTheInboxSelectedBehindIt)
{
    const std::string listed = "* LIST () \"/\" INBOX\r\n* LIST () \"/\" Work\r\n";
    struct Case {
        const char* name;
        std::string answers;
        ImapClientResult listResult;
        std::string lastError; // without the tag
        ImapClientResult selectResult;
        unsigned count;
        std::string selectError; // without the tag
    };
    const Case cases[] = {
        {"both answered", listed + "%T OK\r\n* 4 EXISTS\r\n%T OK selected\r\n", ImapSuccess,
            "before", ImapSuccess, 4, ""},
        {"the listing refused", "%T NO no listing\r\n* 2 EXISTS\r\n%T OK selected\r\n",
            ImapListFailed, "NO no listing", ImapSuccess, 2, ""},
        {"the SELECT refused", listed + "%T OK\r\n%T NO no inbox\r\n", ImapSuccess, "before",
            ImapSelectFailed, 0, "NO no inbox"},
        {"a SELECT without a count", listed + "%T OK\r\n%T OK selected\r\n", ImapSuccess, "before",
            ImapStatusFailed, 0, "the SELECT reply of scripted:143 holds no message count"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted s(c.answers);
        s.client.setLastErrorResponse("before");
        std::vector<FolderInfo> folders;
        char separator = '.';
        SimpleImapClient::Selection inbox;
        EXPECT_EQ(c.listResult, s.client.listAndSelectInbox(folders, true, separator, inbox));
        EXPECT_EQ(c.lastError, lastError(s.client));
        EXPECT_EQ(c.listResult == ImapSuccess ? 2u : 0u, folders.size());
        EXPECT_EQ(c.selectResult, inbox.result);
        EXPECT_EQ(c.count, inbox.count);
        EXPECT_EQ(c.selectError, withoutTags(inbox.error));
        EXPECT_EQ("LIST (GUID) \"\" \"*\"\r\nSELECT \"INBOX\"\r\n", s.sent());
        EXPECT_EQ(s.session->clientBytes.size() - (s.session->clientBytes.find("\r\n") + 2),
            s.session->mostInFlight);
    }
}

// The X-CREATEs of createFolders go out together, at most createTogether
// at a time; each folder keeps its own answer, and those a lost connection
// left unanswered say so.
TEST(FolderTest, FoldersCreatedTogether)
{
    const std::string guid = "0E9C2B1A-5D4F-4C3B-9A8E-7F6D5C4B3A21";
    const std::size_t many = SimpleImapClient::createTogether + 2;
    std::string answers = "%T OK X-CREATE completed " + guid + "\r\n%T NO [CANNOT] taken\r\n"
        + "%T OK X-CREATE completed\r\n";
    for (std::size_t i = 3; i < many - 1; ++i)
        answers += "%T OK X-CREATE completed " + guid + "\r\n";
    Scripted s(answers);
    s.session->closedAtEnd = true;
    std::vector<SimpleImapClient::FolderToCreate> folders(many);
    for (std::size_t i = 0; i < many; ++i)
        folders[i].name = L"F" + std::to_wstring(i);
    folders[1].guid = KUuid::fromString(guid, false);
    EXPECT_EQ(ImapConnectionError, s.client.createFolders(folders));
    EXPECT_EQ(ImapSuccess, folders[0].result);
    EXPECT_EQ(guid, folders[0].guid.toString());
    EXPECT_EQ(ImapCreateFolderFailed, folders[1].result);
    EXPECT_EQ("NO [CANNOT] taken", withoutTags(folders[1].error));
    // Made, but without an identifier.
    EXPECT_EQ(ImapCreateFolderFailed, folders[2].result);
    EXPECT_EQ(0u, folders[2].error.find("the X-CREATE reply of scripted:143 names no folder "));
    EXPECT_EQ(ImapSuccess, folders[many - 2].result);
    EXPECT_EQ(ImapNotConnected, folders[many - 1].result);
    std::string lines;
    for (std::size_t i = 0; i < many; ++i)
        lines += "X-CREATE (X-MAIL" + std::string(i == 1 ? " GUID \"" + guid + "\"" : "") + ") \"F"
            + std::to_string(i) + "\"\r\n";
    EXPECT_EQ(lines, s.sent());
    // The first createTogether were in flight at once, no more.
    const std::string& bytes = s.session->clientBytes;
    const std::size_t second = bytes.rfind("\r\n",
        bytes.find(" X-CREATE (X-MAIL) \"F" + std::to_string(SimpleImapClient::createTogether)));
    EXPECT_EQ(second - bytes.find("\r\n"), s.session->mostInFlight);
}

TEST(FolderTest, StatusCounts)
{
    const std::string guid = "0E9C2B1A-5D4F-4C3B-9A8E-7F6D5C4B3A21";
    struct Case {
        std::string reply;
        bool wantGuid;
        ImapClientResult result;
        unsigned count;
        bool haveGuid;
    };
    const Case cases[] = {
        {"* STATUS \"X\" (MESSAGES 231 GUID " + guid + ")\r\n%T OK\r\n", true, ImapSuccess, 231,
            true},
        {"* STATUS \"X\" (messages 5)\r\n%T OK\r\n", false, ImapSuccess, 5, false},
        {"* STATUS \"X\" (MESSAGES 12abc)\r\n%T OK\r\n", false, ImapSuccess, 12, false},
        {"* STATUS \"X\" (MESSAGES 0)\r\n%T OK\r\n", true, ImapSuccess, 0, false},
        // No count in the reply, or no STATUS line at all: a failed count.
        {"* STATUS \"X\" (UIDNEXT 5)\r\n%T OK\r\n", false, ImapStatusFailed, 99, false},
        {"* STATUS \"X\" (MESSAGES )\r\n%T OK\r\n", false, ImapStatusFailed, 99, false},
        {"%T OK\r\n", false, ImapStatusFailed, 99, false},
        {"%T NO [NONEXISTENT] no\r\n", false, ImapStatusFailed, 99, false},
    };
    for (const Case& c : cases) {
        Scripted s(c.reply);
        unsigned count = 99;
        KUuid id;
        EXPECT_EQ(c.result, s.client.status(L"X", count, id, c.wantGuid)) << c.reply;
        EXPECT_EQ(c.count, count) << c.reply;
        EXPECT_EQ(c.haveGuid, !id.isNull()) << c.reply;
    }
    // SELECT's count: the last EXISTS of the reply (RFC 3501 6.3.1's example
    // and a count that grew while the reply was written); none, a failed
    // count; a refusal, a failed selection.
    const Case selections[] = {
        {"* 172 EXISTS\r\n* 1 RECENT\r\n* OK [UNSEEN 12] Message 12 is first unseen\r\n"
         "* OK [UIDVALIDITY 3857529045] UIDs valid\r\n* FLAGS (\\Answered \\Seen)\r\n"
         "%T OK [READ-WRITE] SELECT completed\r\n",
            false, ImapSuccess, 172, false},
        {"* 0 EXISTS\r\n* 3 EXISTS\r\n%T OK\r\n", false, ImapSuccess, 3, false},
        {"* FLAGS ()\r\n%T OK\r\n", false, ImapStatusFailed, 99, false},
        {"%T NO [NONEXISTENT] no\r\n", false, ImapSelectFailed, 99, false},
    };
    for (const Case& c : selections) {
        Scripted s(c.reply);
        unsigned count = 99;
        EXPECT_EQ(c.result, s.client.select(L"X", count)) << c.reply;
        EXPECT_EQ(c.count, count) << c.reply;
        EXPECT_EQ("SELECT \"X\"\r\n", s.sent());
    }
}

TEST(FolderTest, CreateSelectDelete)
{
    const std::string guid = "0E9C2B1A-5D4F-4C3B-9A8E-7F6D5C4B3A21";
    Scripted s("%T OK X-CREATE completed " + guid + "\r\n" + "%T OK X-CREATE completed\r\n"
        + "%T OK [READ-WRITE] selected\r\n" + "%T NO no such folder\r\n" + "%T OK deleted\r\n");
    KUuid id;
    EXPECT_EQ(ImapSuccess, s.client.createFolder(L"Archive/2009", id, L"IPF.Note"));
    EXPECT_EQ(guid, id.toString());
    // An identifier given is asked for.
    Scripted kept("%T OK X-CREATE completed " + guid + "\r\n");
    KUuid wanted = KUuid::fromString(guid, false);
    EXPECT_EQ(
        ImapSuccess, kept.client.createFolder(L"A", wanted, SimpleImapClient::FolderTypeNoteClass));
    EXPECT_EQ("X-CREATE (X-MAIL GUID \"" + guid + "\") \"A\"\r\n", kept.sent());
    KUuid none;
    // The folder was made, but without an identifier the result is 7.
    EXPECT_EQ(ImapCreateFolderFailed, s.client.createFolder(L"B", none, L"IPF.Task.Custom"));
    EXPECT_TRUE(none.isNull());
    EXPECT_EQ(0u,
        lastError(s.client).find("the X-CREATE reply of scripted:143 names no folder "
                                 "identifier: K"));
    EXPECT_EQ(ImapSuccess, s.client.select(L"INBOX"));
    EXPECT_EQ(ImapSuccess, s.client.select(L"INBOX")); // nothing sent
    EXPECT_EQ(ImapSelectFailed, s.client.select(L"Other"));
    EXPECT_EQ(ImapSuccess, s.client.select(L"INBOX")); // still selected
    EXPECT_EQ(ImapSuccess, s.client.deleteFolder(L"INBOX", true));
    EXPECT_EQ(ConnectionInternal::Authenticated, s.client.getConnection().getState());
    EXPECT_EQ("X-CREATE (X-MAIL) \"Archive/2009\"\r\nX-CREATE \"B\"\r\n"
              "SELECT \"INBOX\"\r\nSELECT \"Other\"\r\nDELETE (RECURSIVE) \"INBOX\"\r\n",
        s.sent());
    EXPECT_EQ(
        SimpleImapClient::FolderTypeNoteClass, SimpleImapClient::convertFolderType(L"IPF.NOTE"));
    EXPECT_EQ(SimpleImapClient::FolderTypeStickyNoteClass,
        SimpleImapClient::convertFolderType(L"ipf.stickynote"));
    EXPECT_EQ(SimpleImapClient::FolderTypeNone, SimpleImapClient::convertFolderType(L"ipf.notes"));
}

// A message of five bytes for APPEND.
struct Hello : simpleimapclient::IMessage {
    bool getFirstDataPart(std::string& p) override
    {
        p = "hello";
        return true;
    }
    bool getNextDataPart(std::string& p) override
    {
        p.clear();
        return false;
    }
    std::string getFlags() override { return "\\Seen"; }
    std::string getDate() override { return "17-Jul-1996 02:44:25 -0700"; }
    std::uint32_t getSize() override { return 5; }
};

// Every operation of the facade, run on `client` (`other` is the target of
// the copies).
using Operation = std::function<ImapClientResult(SimpleImapClient&, SimpleImapClient&)>;
const std::vector<std::pair<const char*, Operation>>& everyOperation()
{
    static const std::vector<std::pair<const char*, Operation>> operations = {
        {"createUser", [](auto& c, auto&) { return c.createUser(L"u", L"d", L"p", L"f"); }},
        {"setUser", [](auto& c, auto&) { return c.setUser(L"u", L"d"); }},
        {"setUserAndList",
            [](auto& c, auto&) {
                SimpleImapClient::AccountSwitch account;
                return c.setUserAndList(account);
            }},
        {"createFolder",
            [](auto& c, auto&) {
                KUuid id;
                return c.createFolder(L"x", id, L"IPF.Note");
            }},
        {"createFolders",
            [](auto& c, auto&) {
                std::vector<SimpleImapClient::FolderToCreate> folders(2);
                return c.createFolders(folders);
            }},
        {"deleteFolder", [](auto& c, auto&) { return c.deleteFolder(L"x", true); }},
        {"select", [](auto& c, auto&) { return c.select(L"INBOX"); }},
        {"status",
            [](auto& c, auto&) {
                unsigned count = 0;
                return c.status(L"INBOX", count);
            }},
        {"list",
            [](auto& c, auto&) {
                std::vector<FolderInfo> folders;
                char separator = '/';
                return c.list(folders, true, separator);
            }},
        {"listAndSelectInbox",
            [](auto& c, auto&) {
                std::vector<FolderInfo> folders;
                char separator = '/';
                SimpleImapClient::Selection inbox;
                return c.listAndSelectInbox(folders, true, separator, inbox);
            }},
        {"list of names",
            [](auto& c, auto&) {
                std::vector<std::wstring> names;
                char separator = '/';
                return c.list(names, false, separator);
            }},
        {"fetchDateAndFlags",
            [](auto& c, auto&) {
                FetchMessage message;
                return c.fetchDateAndFlags(1, message);
            }},
        {"fetch",
            [](auto& c, auto&) {
                FetchMessage message;
                return c.fetch(1, message);
            }},
        {"append",
            [](auto& c, auto&) {
                Hello message;
                return c.append(L"INBOX", &message, false, nullptr);
            }},
        {"copyMessage", [](auto& c, auto& other) { return c.copyMessage(L"INBOX", other, 1); }},
        {"copyFolder",
            [](auto& c, auto& other) {
                unsigned copied = 0, failed = 0;
                return c.copyFolder(L"INBOX", other, 1, 0, copied, failed);
            }},
        {"setAcl", [](auto& c, auto&) { return c.setAcl(L"INBOX", L"fred lr"); }},
        {"deleteAcl", [](auto& c, auto&) { return c.deleteAcl(L"INBOX", L"fred"); }},
        {"resetAcl", [](auto& c, auto&) { return c.resetAcl(L"INBOX"); }},
        {"storeAnnotations",
            [](auto& c, auto&) {
                AnnotationList list;
                list.add("/comment", "x", "");
                return c.storeAnnotations(1, list);
            }},
    };
    return operations;
}

TEST(FacadeTest, NotConnectedSendsNothingAndKeepsTheLastError)
{
    SimpleImapClient client;
    SimpleImapClient other;
    client.setLastErrorResponse("before");
    for (const auto& [name, run] : everyOperation())
        EXPECT_EQ(ImapNotConnected, run(client, other)) << name;
    EXPECT_FALSE(client.isXAppendSupported());
    EXPECT_EQ(L"before", client.getLastErrorResponse());

    Scripted s(""); // the server says nothing more
    EXPECT_EQ(ImapConnectionError, s.client.select(L"INBOX"));
    EXPECT_EQ(L"connection to scripted:143 timed out after 180 s", s.client.getLastErrorResponse());
    EXPECT_EQ(ImapAlreadyConnected, s.client.connect(L"h", 0, L"u", L"p", false, false));
}

// A logged-in connection left idle is fit to go on with only while the
// server has said nothing on it: a BYE (an autologout), or any reply no
// command asked for, tells that it may be gone. Looking never waits and
// reads nothing away.
TEST(FacadeTest, AnIdleConnectionIsQuietUntilTheServerSaysSomething)
{
    const struct {
        const char* name;
        std::string afterLogin;
        bool quiet;
    } cases[] = {
        {"nothing said", "%|", true},
        {"logged out", "* BYE Disconnected for inactivity\r\n", false},
        {"news nobody asked for", "* 3 EXISTS\r\n%|", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted s(c.afterLogin);
        EXPECT_EQ(c.quiet, s.client.openAndQuiet());
        EXPECT_EQ(c.quiet, s.client.openAndQuiet());
        s.client.disconnect(false);
        EXPECT_FALSE(s.client.openAndQuiet());
    }
}

// Whatever fails below it (no memory, a digest that can't be made, any
// other exception), only a result code leaves the facade, and the failure
// leaves an error text.
TEST(FacadeTest, EveryFailureEndsInAResultCodeWithAnErrorText)
{
    const std::pair<const char*, std::exception_ptr> failures[] = {
        {"no memory", std::make_exception_ptr(std::bad_alloc())},
        {"digest", std::make_exception_ptr(tavir::crypto::DigestError("MD5 digest failed"))},
        {"anything else", std::make_exception_ptr(std::logic_error("unexpected"))},
    };
    for (const auto& [failure, exception] : failures) {
        for (const auto& [name, run] : everyOperation()) {
            SCOPED_TRACE(std::string(failure) + ": " + name);
            ScriptedServer server;
            auto session = server.addSession(greeting + "+ <1.2@host>\r\n%T OK in\r\n");
            SimpleImapClient client;
            client.setStreamFactory(server.factory());
            ASSERT_EQ(ImapSuccess, client.connect(L"scripted", 0, L"master", false));
            Scripted other("%T OK [APPENDUID 1 1] done\r\n");
            session->failRead = exception;
            client.setLastErrorResponse("before");
            ImapClientResult result = ImapSuccess;
            EXPECT_NO_THROW(result = run(client, other.client));
            EXPECT_NE(ImapSuccess, result);
            EXPECT_NE(L"before", client.getLastErrorResponse());
            EXPECT_NE(L"", client.getLastErrorResponse());
            EXPECT_NO_THROW(client.isXAppendSupported());
            EXPECT_NO_THROW(client.disconnect(true));
        }
        ScriptedServer server;
        auto session = server.addSession(greeting);
        session->failRead = exception;
        SimpleImapClient client;
        client.setStreamFactory(server.factory());
        std::wstring greetingText;
        EXPECT_NE(ImapSuccess, client.connect(L"scripted", 0, L"u", L"p", true, false));
        EXPECT_NE(L"", client.getLastErrorResponse());
        EXPECT_FALSE(client.testImapServer(L"scripted", 0, false, 5, greetingText));
    }
}

TEST(MessageTest, FlagsAndAnnouncements)
{
    struct Case {
        std::string value;
        bool accepted;
        std::string flags;
        bool keywords; // left behind
    };
    const Case cases[] = {
        {"(\\Flagged \\seen $Label1)", true, "\\Seen \\Flagged", true},
        {"()", true, "", false},
        {"(\\Recent \\Draft \\Deleted \\Answered)", true, "\\Answered \\Deleted \\Draft", false},
        {"(\\Seenx \\Unflagged $Drafts)", true, "", true}, // whole flags only
        {"(NonJunk)", true, "", true},
        {"(\\Seen \\Junk)", true, "\\Seen", false}, // a system flag, not a keyword
        {"\\Seen", false, "\\Draft", false},
        {"(", false, "\\Draft", false},
    };
    for (const Case& c : cases) {
        FetchMessage m;
        m.setFlags("(\\Draft)");
        EXPECT_EQ(c.accepted, m.setFlags(c.value)) << c.value;
        EXPECT_EQ(c.flags, m.getFlags()) << c.value;
        EXPECT_EQ(c.keywords, m.carriesKeywords()) << c.value;
        // The filter alone, on the list without its parentheses.
        if (c.accepted) {
            EXPECT_EQ(c.flags, removeNonStandartFlags(c.value.substr(1, c.value.size() - 2)))
                << c.value;
        }
    }
    struct Size {
        std::string text;
        bool accepted;
        unsigned size;
    };
    const Size sizes[] = {
        {"{25000}\r\n", true, 25000},
        {"{0}\r\n", true, 0},
        {"{12}\n", false, 0},
        {"{1a}\r\n", false, 0},
        {"{}\r\n", false, 0},
        {"{99999999999}\r\n", false, 0},
        {"12}\r\n", false, 0},
    };
    for (const Size& s : sizes) {
        FetchMessage m;
        EXPECT_EQ(s.accepted, m.setSize(s.text)) << s.text;
        EXPECT_EQ(s.size, m.getSize()) << s.text;
        EXPECT_EQ(s.size, m.getRestSize()) << s.text;
    }
    FetchMessage m;
    EXPECT_TRUE(m.parseResponse("* 3 FETCH (FLAGS (\\Seen) UID 7 BODY[] {42}\r\n"));
    EXPECT_EQ(42u, m.getSize());
    EXPECT_FALSE(m.parseResponse("* 3 FETCH (FLAGS (\\Seen))\r\n"));
    EXPECT_FALSE(m.parseResponse("* 3 EXISTS\r\n"));
    EXPECT_FALSE(m.parseResponse("K2 NO gone\r\n"));

    // One reply of the pipelined copy, as the reader stops it at the body's
    // announcement or hands it over whole.
    struct Load {
        std::string line;
        bool loaded, answersForBody;
        unsigned number, size;
        std::string date, flags;
        std::uint32_t uid = 0;
        bool withheld = false; // the body given as NIL
    };
    const Load loads[] = {
        {"* 3 FETCH (INTERNALDATE \"d\" FLAGS (\\Seen) BODY[] {42}\r\n", true, true, 3, 42, "d",
            "\\Seen"},
        {"* 3 fetch (FLAGS () UID 7 INTERNALDATE \"d\" BODY[] {0}\r\n", true, true, 3, 0, "d", "",
            7},
        {"* 3 STORE (FLAGS (\\Seen) BODY[] {42}\r\n", false, false, 0, 0, "", ""},
        {"* 3 FETCH FLAGS (\\Seen) BODY[] {42}\r\n", false, false, 3, 0, "", ""},
        {"* 3 FETCH (FLAGS (\\Seen))", false, false, 3, 0, "", "\\Seen"},
        {"* 3 FETCH (FLAGS () BODY[] NIL)", false, true, 3, 0, "", "", 0, true},
        // NIL for the body, items after it; NIL in any letter case.
        {"* 3 FETCH (FLAGS (\\Deleted) BODY[] nil UID 9)", false, true, 3, 0, "", "\\Deleted", 9,
            true},
        {"* 3 FETCH (BODY[] NILS)", false, true, 3, 0, "", ""},
        // The list's last item is read whole, its ")" left to the list.
        {"* 3 FETCH (FLAGS () UID 7)", false, false, 3, 0, "", "", 7},
        {"* 3 FETCH (FLAGS () RFC822.SIZE 12 UID 7 )", false, false, 3, 0, "", "", 7},
        {"* 3 FETCH (FLAGS (\\Seen) BODY[] {5}\r\nhello)", false, true, 3, 0, "", "\\Seen"},
        {"* 3 FETCH (FLAGS (\\Seen", false, true, 3, 0, "", ""},
        {"* 3 EXISTS", false, false, 0, 0, "", ""},
        // A body given as a quoted string is in hand with its reply.
        {"* 3 FETCH (FLAGS (\\Seen) BODY[] \"short text\" INTERNALDATE \"d\")", true, true, 3, 10,
            "d", "\\Seen"},
        {"* 3 FETCH (BODY[] \"\")", true, true, 3, 0, "", ""},
        {"* 3 FETCH (BODY[] \"a \\\"b\\\"\" FLAGS (\\Seen))", true, true, 3, 5, "", "\\Seen"},
        {"* 3 FETCH (BODY[] \"open", false, true, 3, 0, "", ""},
    };
    for (const Load& l : loads) {
        SCOPED_TRACE(l.line);
        FetchMessage loaded;
        loaded.setFlags("(\\Draft)");
        bool answersForBody = !l.answersForBody;
        EXPECT_EQ(l.loaded, loadFetchResponse(l.line, loaded, answersForBody));
        EXPECT_EQ(l.answersForBody, answersForBody);
        EXPECT_EQ(l.number, loaded.getNumber());
        EXPECT_EQ(l.size, loaded.getSize());
        EXPECT_EQ(l.date, loaded.getDate());
        EXPECT_EQ(l.flags, loaded.getFlags());
        EXPECT_EQ(l.uid, loaded.getUid());
        EXPECT_EQ(l.withheld, loaded.bodyWithheld());
        // What is in hand is read from memory, and nothing of the reply is
        // left for the connection (there is none).
        if (l.loaded && loaded.isDrained()) {
            std::string part, all;
            while (loaded.getNextDataPart(part))
                all += part;
            EXPECT_EQ(l.size, all.size());
            EXPECT_EQ(0u, loaded.getRestSize());
        }
    }
    FetchMessage items;
    EXPECT_TRUE(loadFetchResponseInsideInfo("FLAGS (\\Seen) BODY[] {9}\r\n", items));
    EXPECT_EQ(9u, items.getRestSize());
    EXPECT_FALSE(loadFetchResponseInsideInfo("FLAGS (\\Seen) UID 4", items));
    EXPECT_FALSE(loadFetchResponseInsideInfo("BODY[] {9}", items)); // no CR LF: not left
}

TEST(MessageTest, BodyComesInPartsOfAtMost10240Bytes)
{
    ScriptedServer server;
    std::string data = body(25000);
    auto session = server.addSession(greeting + data + ")\r\nK7 OK done\r\nnext");
    ConnectionInternal c;
    c.initialize("h", 0, "u", "p", false, 5, false);
    c.setStreamFactory(server.factory());
    c.init(false);
    FetchMessage m;
    m.setSource(&c, "K7");
    ASSERT_TRUE(m.setSize("{25000}\r\n"));
    std::vector<std::size_t> parts;
    std::string part, all;
    bool more = m.getFirstDataPart(part);
    while (more) {
        parts.push_back(part.size());
        all += part;
        more = m.getNextDataPart(part);
    }
    EXPECT_EQ((std::vector<std::size_t>{10240, 10240, 4520}), parts);
    EXPECT_EQ(data, all);
    EXPECT_TRUE(m.isDrained());
    // The reply was read up to its tagged completion, and no further.
    std::string line;
    c.recvData(line, 4);
    EXPECT_EQ("next", line);
}

TEST(MessageTest, AppendLinesAndUids)
{
    ConnectionInternal c;
    KUuid id = KUuid::fromString("0e9c2b1a-5d4f-4c3b-9a8e-7f6d5c4b3a21", false);
    CommandAppend plain(c, "INBOX", "", "", 0, false);
    EXPECT_EQ(0u, withoutTags(plain.get()).find("APPEND \"INBOX\" \""));
    EXPECT_EQ(" {0+}\r\n", plain.get().substr(plain.get().size() - 7));
    CommandAppend x(c, "F", "\\Seen \\Flagged", "17-Jul-1996 02:44:25 -0700", id, 2048, true);
    std::string line = x.get();
    EXPECT_EQ(0u, withoutTags(line).find("X-APPEND \"F\" (\\Seen \\Flagged) \"")) << line;
    EXPECT_NE(
        std::string::npos, line.find("\" \"0E9C2B1A-5D4F-4C3B-9A8E-7F6D5C4B3A21\" {2048+}\r\n"));
    CommandAppend nullGuid(c, "F", "", "", KUuid(), 1, true);
    EXPECT_EQ(4, std::count(nullGuid.get().begin(), nullGuid.get().end(), '"'));

    EXPECT_EQ("UID ASTORE 42:42 ANNOTATION (\"/comment\" (\"value\" \"x\"))",
        withoutTags(
            CommandStore(c, 42, "ANNOTATION (\"/comment\" (\"value\" \"x\"))", true).get()));
    EXPECT_EQ("UID STORE 7:7 ANNOTATION ()",
        withoutTags(CommandStore(c, 7, "ANNOTATION ()", false).get()));
    AnnotationList list;
    list.add("/comment", "hello", "");
    EXPECT_EQ("UID STORE 9:9 " + list.createStringForStore(),
        withoutTags(CommandStore(c, 9, list, false).get()));

    struct Uid {
        std::string line;
        unsigned uid;
    };
    for (const Uid& u : {Uid{"* 12 FETCH (UID 42 FLAGS (\\Seen))", 42},
             Uid{"* 12 FETCH (FLAGS (\\Seen) UID 42)", 42}, Uid{"* 12 afetch (uid 9)", 9},
             Uid{"* 12 FETCH (FLAGS (\\Seen))", 0}, Uid{"* 12 FETCH UID 42", 0},
             Uid{"* 12 STORE (UID 42)", 0}, Uid{"* 12 EXISTS", 0}, Uid{"K1 OK", 0},
             Uid{"* 1 FETCH (UID {3}", 0}})
        EXPECT_EQ(u.uid, extractUID(u.line)) << u.line;
    for (const Uid& u : {Uid{"UID 42 FLAGS (\\Seen)", 42}, Uid{"FLAGS (\\Seen) UID 42", 42},
             Uid{"FLAGS (\\Seen)", 0}, Uid{"UID x", 0}, Uid{"", 0}})
        EXPECT_EQ(u.uid, extractUIDInternal(u.line)) << u.line;

    Scripted s("%T OK [APPENDUID 17 42] APPEND completed\r\n%T OK APPEND completed\r\n"
               "%T NO [TRYCREATE] no folder\r\n");
    Hello message;
    unsigned uid = 1;
    EXPECT_EQ(ImapSuccess, s.client.append(L"INBOX", &message, false, &uid)) << s.sent();
    EXPECT_EQ(42u, uid);
    EXPECT_EQ(ImapSuccess, s.client.append(L"INBOX", &message, false, &uid));
    EXPECT_EQ(0u, uid);
    EXPECT_EQ(ImapAppendFailed, s.client.append(L"Nope", &message, false, &uid));
    EXPECT_EQ("NO [TRYCREATE] no folder", lastError(s.client));
}

// A source and a target, both scripted and logged in.
struct Copy {
    Copy(const std::string& sourceScript, const std::string& targetScript)
        : source(sourceScript)
        , target(targetScript)
    {
    }
    Scripted source;
    Scripted target;
};

const char* date1 = "17-Jul-1996 02:44:25 -0700";
const char* date2 = "01-Feb-2024 23:59:59 +0100";

std::string targetOk(unsigned count)
{
    std::string s;
    for (unsigned i = 0; i < count; ++i)
        s += "%T OK [APPENDUID 1 " + std::to_string(i + 1) + "] done\r\n";
    return s;
}

// The source's FETCH of `count` messages, each `data` of date1, and its end.
std::string bodies(unsigned count, const std::string& data)
{
    std::string s;
    for (unsigned n = 1; n <= count; ++n)
        s += "* " + std::to_string(n) + " FETCH (FLAGS () INTERNALDATE \"" + date1 + "\" BODY[] {"
            + std::to_string(data.size()) + "}\r\n" + data + ")\r\n";
    return s + "%T OK FETCH completed\r\n";
}

TEST(CopyTest, BodyDateAndFlagsArriveAndRecentIsDropped)
{
    std::string data = body(25000);
    Copy c(
        fetchReply(1, date1, "\\Seen \\Recent $Label \\Flagged") + bodyReply(1, data), targetOk(1));
    EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"INBOX", c.target.client, 1));
    EXPECT_EQ("FETCH 1 (INTERNALDATE FLAGS)\r\nFETCH 1 BODY.PEEK[]\r\n", c.source.sent());
    auto sent = appends(c.target.sent());
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("INBOX", sent[0].folder);
    EXPECT_EQ("\\Seen \\Flagged", sent[0].flags);
    EXPECT_EQ(837596665, sent[0].instant); // the same instant, in local time
    EXPECT_EQ(data, sent[0].data);
}

TEST(CopyTest, UnsolicitedResponsesAndZeroLengthBodies)
{
    // Flag changes of other messages, EXISTS and RECENT before the replies
    // asked for; a body of no bytes; a body whose reply carries one more
    // item; each message keeps its own date and flags.
    std::string source = "* 3 FETCH (FLAGS (\\Deleted \\Draft))\r\n"
        + fetchReply(1, date1, "\\Answered")
        + "* 4 EXISTS\r\n* 1 RECENT\r\n* 3 FETCH (BODY[] {5}\r\nwrong)\r\n* 1 FETCH (FLAGS "
          "(\\Seen))\r\n"
        + bodyReply(1, "") + fetchReply(2, date2, "")
        + "* 2 FETCH (BODY[] {5}\r\nhello UID 8)\r\n* 5 EXISTS\r\n%T OK done\r\n"
        + fetchReply(3, date1, "\\Flagged") + bodyReply(3, "x");
    Copy c(source, targetOk(3));
    for (unsigned n = 1; n <= 3; ++n)
        EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"F", c.target.client, n)) << n;
    auto sent = appends(c.target.sent());
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ("", sent[0].data);
    EXPECT_EQ("\\Answered", sent[0].flags);
    EXPECT_EQ("hello", sent[1].data);
    EXPECT_EQ("", sent[1].flags);
    EXPECT_EQ(1706828399, sent[1].instant);
    EXPECT_EQ("x", sent[2].data);
    EXPECT_EQ("\\Flagged", sent[2].flags);
    EXPECT_FALSE(c.source.session->closed);
}

TEST(CopyTest, RefusedOrOddBodyFetchLeavesNothingBehind)
{
    std::string source = fetchReply(1, date1, "\\Seen") + "%T NO message is gone\r\n"
        + fetchReply(2, date1, "\\Seen") + "* 2 FETCH (BODY[] NIL)\r\n%T OK done\r\n"
        + fetchReply(3, date1, "\\Seen") + "* 3 FETCH (BODY[] \"abc\")\r\n%T OK\r\n"
        + "* 9 FETCH (FLAGS (\\Flagged))\r\n%T OK no such message\r\n"
        + fetchReply(5, date2, "\\Draft") + bodyReply(5, "five") + fetchReply(6, date2, "")
        + "* 6 FETCH (BODY[] \"\")\r\n%T NO body withdrawn\r\n" + fetchReply(7, date1, "")
        + "* 7 FETCH (BODY[]<0> {3}\r\nabc)\r\n%T OK\r\n" + fetchReply(8, date1, "")
        + "* 8 FETCH (BODY[] {3}\r\nabc X-LABELS (" + keywordsOverTheLineLimit() + "))\r\n%T OK\r\n"
        + fetchReply(9, date1, "") + bodyReply(9, "nine");
    Copy c(source, targetOk(3));
    EXPECT_EQ(ImapFetchFailed, c.source.client.copyMessage(L"F", c.target.client, 1));
    EXPECT_EQ("NO message is gone", lastError(c.source.client));
    EXPECT_EQ(ImapFetchFailed, c.source.client.copyMessage(L"F", c.target.client, 2));
    // A body given as a quoted string, which IMAP allows, is copied.
    EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"F", c.target.client, 3));
    // A date-and-flags reply of another message only: no date, no flags.
    EXPECT_EQ(ImapFetchFailed, c.source.client.copyMessage(L"F", c.target.client, 4));
    EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"F", c.target.client, 5));
    // A quoted body whose fetch then ends in NO is not taken.
    EXPECT_EQ(ImapFetchFailed, c.source.client.copyMessage(L"F", c.target.client, 6));
    EXPECT_EQ("NO body withdrawn", lastError(c.source.client));
    // A part of the body in place of it is not taken, and said so.
    EXPECT_EQ(ImapFetchFailed, c.source.client.copyMessage(L"F", c.target.client, 7));
    EXPECT_EQ("the FETCH reply of scripted:143 for message 7 gives BODY[]<0>, a part of the "
              "message that may be cut short, where the whole message (BODY[]) was asked for",
        lastError(c.source.client));
    // A line over the limit after a body held whole fails the message
    // before its APPEND is written; both connections stay in step.
    EXPECT_EQ(ImapFetchFailed, c.source.client.copyMessage(L"F", c.target.client, 8));
    EXPECT_EQ(0u,
        lastError(c.source.client)
            .find("the FETCH reply of scripted:143 for message 8 "
                  "has a line longer than 1 MiB"))
        << lastError(c.source.client);
    EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"F", c.target.client, 9));
    EXPECT_FALSE(c.source.session->closed);
    EXPECT_FALSE(c.target.session->closed);
    auto sent = appends(c.target.sent());
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ("nine", sent[2].data);
    EXPECT_EQ("abc", sent[0].data);
    EXPECT_EQ("\\Seen", sent[0].flags);
    EXPECT_EQ(837596665, sent[0].instant);
    EXPECT_EQ("five", sent[1].data);
    EXPECT_EQ("\\Draft", sent[1].flags);
    EXPECT_EQ(1706828399, sent[1].instant);
}

TEST(CopyTest, SourceCutInsideTheBodyAppendsNothingAndIsNotReused)
{
    struct Case {
        std::string name;
        std::string reply; // the body fetch's reply, cut short
    };
    std::string data = body(25000);
    const Case cases[] = {
        {"in the first part", "* 1 FETCH (BODY[] {25000}\r\n" + data.substr(0, 5000)},
        {"in a later part", "* 1 FETCH (BODY[] {25000}\r\n" + data.substr(0, 20480)},
        {"before the closing line", "* 1 FETCH (BODY[] {25000}\r\n" + data},
        {"before the tagged end", "* 1 FETCH (BODY[] {25000}\r\n" + data + ")\r\n"},
        {"in the announcement", "* 1 FETCH (BODY[] {250"},
    };
    for (const Case& k : cases) {
        Copy c(fetchReply(1, date1, "\\Seen") + k.reply, targetOk(2));
        // The source comes back with a new connection for the next message.
        c.source.server.addSession("* OK [CAPABILITY IMAP4rev1] again\r\n%T OK LOGIN completed\r\n"
            + fetchReply(2, date2, "\\Flagged") + bodyReply(2, "second"));
        ImapClientResult result = c.source.client.copyMessage(L"F", c.target.client, 1);
        EXPECT_TRUE(result == ImapMessageLoadFailed || result == ImapConnectionError) << k.name;
        EXPECT_EQ(
            k.name == "in the announcement" ? ImapConnectionError : ImapMessageLoadFailed, result)
            << k.name;
        EXPECT_TRUE(c.source.session->closed) << k.name;
        EXPECT_EQ("", c.target.sent()) << k.name; // not one byte of an APPEND
        EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"F", c.target.client, 2))
            << k.name << c.source.session->clientBytes << "|"
            << c.source.server.sessions[1]->clientBytes << "|" << c.target.sent();
        auto sent = appends(c.target.sent());
        ASSERT_EQ(1u, sent.size()) << k.name;
        EXPECT_EQ("second", sent[0].data);
        EXPECT_EQ("\\Flagged", sent[0].flags);
    }
}

TEST(CopyTest, TargetFailures)
{
    // The target refuses: 9, and the source is ready for the next message.
    {
        Copy c(fetchReply(1, date1, "") + bodyReply(1, "abc") + fetchReply(2, date1, "")
                + bodyReply(2, "def"),
            "%T NO [OVERQUOTA] full\r\n" + targetOk(1));
        EXPECT_EQ(ImapAppendFailed, c.source.client.copyMessage(L"F", c.target.client, 1));
        EXPECT_EQ("NO [OVERQUOTA] full", lastError(c.target.client));
        EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"F", c.target.client, 2));
        EXPECT_FALSE(c.source.session->closed);
    }
    // The target's connection breaks while the command line or the body is
    // written: 10 or 9, a message skipped, not the account ended. The
    // connection is closed, and the next message goes over a new one.
    for (int writes : {0, 1}) {
        SCOPED_TRACE(writes);
        Copy c(fetchReply(1, date1, "") + bodyReply(1, "abc") + fetchReply(2, date1, "")
                + bodyReply(2, "def"),
            "");
        c.target.session->writesLeft = writes;
        auto again = c.target.server.addSession(greeting + "%T OK in\r\n" + targetOk(1));
        EXPECT_EQ(writes == 0 ? ImapMessageLoadFailed : ImapAppendFailed,
            c.source.client.copyMessage(L"F", c.target.client, 1));
        EXPECT_EQ("sending a " + std::string(writes == 0 ? "command" : "message")
                + " to scripted:143 failed",
            lastError(c.target.client));
        EXPECT_TRUE(c.target.session->closed);
        EXPECT_EQ(ImapSuccess, c.source.client.copyMessage(L"F", c.target.client, 2));
        ASSERT_EQ(1u, appends(withoutTags(again->clientBytes)).size());
        EXPECT_EQ("def", appends(withoutTags(again->clientBytes))[0].data);
    }
    // The target goes away while the answer is awaited: a lost connection.
    {
        Copy c(fetchReply(1, date1, "") + bodyReply(1, "abc"), "");
        EXPECT_EQ(ImapConnectionError, c.source.client.copyMessage(L"F", c.target.client, 1));
        EXPECT_TRUE(c.target.session->closed);
    }
    // A target that is not connected: 1, and the source, left inside the
    // body, is closed.
    {
        Copy c(fetchReply(1, date1, "") + bodyReply(1, "abc"), "");
        c.target.client.disconnect(false);
        EXPECT_EQ(ImapNotConnected, c.source.client.copyMessage(L"F", c.target.client, 1));
        EXPECT_TRUE(c.source.session->closed);
    }
}

TEST(CopyTest, PipelinedRange)
{
    std::string source = "* 1 FETCH (INTERNALDATE \"" + std::string(date1)
        + "\" FLAGS (\\Seen) BODY[] {3}\r\none)\r\n* 7 EXISTS\r\n"
        + "* 2 FETCH (FLAGS () INTERNALDATE \"" + date2 + "\" BODY[] {3}\r\ntwo)\r\n"
        + "%T OK FETCH completed\r\n";
    Copy c(source, targetOk(2));
    unsigned copied = 9, failed = 9;
    EXPECT_EQ(ImapSuccess, c.source.client.copyFolder(L"F", c.target.client, 1, 0, copied, failed));
    EXPECT_EQ(2u, copied);
    EXPECT_EQ(0u, failed);
    EXPECT_EQ("FETCH 1:* (UID INTERNALDATE FLAGS BODY.PEEK[])\r\n", c.source.sent());
    auto sent = appends(c.target.sent());
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ("one", sent[0].data);
    EXPECT_EQ("\\Seen", sent[0].flags);
    EXPECT_EQ("two", sent[1].data);
    EXPECT_EQ(1706828399, sent[1].instant);

    // After abort the message in hand is the last one; it reached the
    // target, so it is counted. The rest of the reply is not read.
    Copy aborted(source, targetOk(2));
    aborted.source.client.abort();
    EXPECT_TRUE(aborted.source.client.wasAborted());
    EXPECT_EQ(ImapSuccess,
        aborted.source.client.copyFolder(L"F", aborted.target.client, 1, 0, copied, failed));
    EXPECT_EQ(1u, copied);
    EXPECT_EQ(0u, failed);
    EXPECT_EQ(1u, appends(aborted.target.sent()).size());
    EXPECT_TRUE(aborted.source.session->closed);

    // A refusal fails its own message only; the copy goes on. Answers that
    // never came end it with 3: the target may hold those messages, which
    // are never to be sent again.
    Copy refused(source, "%T NO [OVERQUOTA] full\r\n" + targetOk(1));
    EXPECT_EQ(ImapSuccess,
        refused.source.client.copyFolder(L"F", refused.target.client, 1, 0, copied, failed));
    EXPECT_EQ(1u, copied);
    EXPECT_EQ(1u, failed);
    Copy unanswered(source, "");
    unanswered.target.client.setReadTimeoutMs(50);
    unanswered.target.client.getConnection().setTimeoutMs(50);
    EXPECT_EQ(ImapConnectionError,
        unanswered.source.client.copyFolder(L"F", unanswered.target.client, 1, 0, copied, failed));
    EXPECT_EQ(2u, failed);
    EXPECT_TRUE(unanswered.target.session->closed);
    EXPECT_FALSE(unanswered.source.session->closed); // its reply was read to its end

    // A target without LITERAL+ takes the APPENDs one at a time, each body
    // after its continuation; with LITERAL- small bodies go in flight.
    struct Literals {
        const char* capabilities;
        std::string answers;
        const char* announced; // of each APPEND
    };
    for (const Literals& l : {Literals{"IMAP4rev1", "+ go\r\n%T OK\r\n+ go\r\n%T OK\r\n", "{3}"},
             Literals{"IMAP4rev1 LITERAL-", "%|%T OK\r\n%T OK\r\n", "{3+}"}}) {
        SCOPED_TRACE(l.capabilities);
        Scripted from(source);
        Scripted to(l.answers, "* OK [CAPABILITY " + std::string(l.capabilities) + "] hi\r\n");
        EXPECT_EQ(ImapSuccess, from.client.copyFolder(L"F", to.client, 1, 0, copied, failed));
        EXPECT_EQ(2u, copied);
        const std::string written = to.sent();
        const std::string each = std::string(l.announced) + "\r\n";
        const std::size_t first = written.find(each);
        EXPECT_NE(std::string::npos, first) << written;
        EXPECT_NE(std::string::npos, written.find(each, first + 1)) << written;
    }

    // Room is made before an APPEND is written: the window's 4 MiB takes
    // four bodies of 900 KiB, and a fifth waits for the first answer, which
    // the target gives only once it is awaited.
    {
        const std::string large = body(900 << 10);
        Copy w(bodies(5, large), "%|" + targetOk(5));
        EXPECT_EQ(
            ImapSuccess, w.source.client.copyFolder(L"F", w.target.client, 1, 0, copied, failed));
        EXPECT_EQ(5u, copied);
        const std::size_t lines = 4 * 100; // the APPEND lines in flight with the bodies
        EXPECT_LE(w.target.session->mostInFlight, AppendWindow::maxBytes + lines);
        EXPECT_GE(w.target.session->mostInFlight, 4 * large.size());
    }

    // The answers that have come are taken after each APPEND, without
    // waiting for those that have not: a message is settled as the target
    // takes it, long before the window is full.
    {
        const std::string ok = "%T OK done\r\n";
        const struct {
            const char* name;
            std::string answers; // "%|": not come yet, until awaited
            std::vector<std::size_t> written; // APPENDs written as each message was settled
        } rows[] = {
            {"each answer there as soon as its APPEND is written", ok + ok + ok, {1, 2, 3}},
            {"the first there at once, the others once awaited", ok + "%|" + ok + ok, {1, 3, 3}},
            {"none there until awaited at the end of the run", "%|" + ok + ok + ok, {3, 3, 3}},
            {"a refusal taken as it comes too", "%T NO [OVERQUOTA] full\r\n" + ok + ok, {1, 2, 3}},
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            Copy e(bodies(3, "msg"), row.answers);
            CopyRun run({1, 2, 3});
            std::vector<std::size_t> written;
            run.onSettled
                = [&](const CopyRun&) { written.push_back(appends(e.target.sent()).size()); };
            EXPECT_EQ(ImapSuccess, e.source.client.copyMessages(L"F", e.target.client, run));
            EXPECT_EQ(row.written, written);
            EXPECT_EQ(3u, run.copied() + run.failed());
        }
    }

    // Unsolicited news about messages (another session changed a flag, a
    // message was expunged) is no failure, before a body or after the
    // last; items may come in any order. A body may come as a quoted
    // string instead of a literal, empty or not, with items on both sides
    // of it. A reply that gives NIL for the body fails its message, and the
    // failure's sentence quotes nothing of the reply; the copy goes on to
    // the tagged end. Where that end says EXPUNGEISSUED and the message was
    // asked for alone, it is removed from the source, not failed: NIL or
    // nothing came for it. Keywords are counted for the messages copied.
    //
    // One answer may split a message's items over several replies, before
    // or after the body: they are one answer. A body whose date or flags
    // are still missing once its reply has ended is fetched again on its
    // own, date and flags first. An EXPUNGE inside the answer numbers the
    // messages after it one lower; a reply's UID says which message it is.
    // A reply with a line over the limit (before the body or after it), or
    // one that gives a part of the body (BODY[]<0>), fails its message; the
    // copy goes on. A date that can't be read never replaces one that can.
    struct Case {
        std::string name;
        std::string reply;
        ImapClientResult result;
        unsigned copied, failed;
        std::vector<std::string> bodies = {}, flags = {}; // as appended
        unsigned keywordsLeft = 0;
        std::vector<std::time_t> instants = {}; // as appended, where given
        std::string failureSays = {}; // of the first message that failed
        std::string asked = {}; // the source's commands, where given
        std::vector<unsigned> expunged = {};
        std::map<unsigned, std::uint32_t> uids = {}; // noted by the run, where given
        std::vector<unsigned> numbers = {1, 2}; // asked for
        unsigned removed = 0;
        bool keptOpen = false; // failed at the tagged end, with the source in step
    };
    const std::string dated = " INTERNALDATE \"" + std::string(date1) + "\"";
    const std::string one = "* 1 FETCH (FLAGS () UID 4" + dated + " BODY[] {3}\r\none)\r\n";
    auto numbered = [&](unsigned n, unsigned uid, const std::string& data) {
        return "* " + std::to_string(n) + " FETCH (UID " + std::to_string(uid) + dated
            + " FLAGS (\\Seen) BODY[] {" + std::to_string(data.size()) + "}\r\n" + data + ")\r\n";
    };
    const std::string keywords = keywordsOverTheLineLimit();
    std::vector<Case> cases = {
        {"news before the tagged end", one + "* 7 FETCH (FLAGS (\\Flagged))\r\n%T OK\r\n",
            ImapSuccess, 1, 0, {"one"}, {""}},
        {"news mid-reply",
            "* 3 EXPUNGE\r\n* 9 FETCH (FLAGS (\\Seen))\r\n* 2 RECENT\r\n" + one + "%T OK\r\n",
            ImapSuccess, 1, 0, {"one"}, {""}, 0, {}, "", "", {3}},
        {"a body that is not given, then given",
            "* 1 FETCH (FLAGS () BODY[] NIL)\r\n" + one + "%T OK\r\n", ImapSuccess, 0, 1, {}, {}, 0,
            {},
            "the FETCH reply of scripted:143 for message 1 (UID 4) gives NIL in place of the body "
            "(BODY[])"},
        {"a body not given beside the text of the message",
            "* 1 FETCH (BODY[HEADER] \"Subject: secret plans\" BODY[] NIL)\r\n%T OK\r\n",
            ImapSuccess, 0, 1, {}, {}, 0, {},
            "the FETCH reply of scripted:143 for message 1 gives NIL in place of the body "
            "(BODY[])"},
        {"quoted bodies, empty or not, keywords on both sides of them",
            "* 1 FETCH (FLAGS ($Label1)" + dated
                + " BODY[] \"short text\")\r\n* 2 FETCH (BODY[] \"\" FLAGS "
                  "(\\Seen $Forwarded) INTERNALDATE \""
                + std::string(date2) + "\")\r\n%T OK\r\n",
            ImapSuccess, 2, 0, {"short text", ""}, {"", "\\Seen"}, 2},
        {"a quoted body with escapes, then a literal",
            "* 1 FETCH (FLAGS (\\Draft)" + dated
                + " BODY[] \"say \\\"hi\\\" \\\\ bye\")\r\n"
                  "* 2 FETCH (FLAGS (\\Seen)"
                + dated + " BODY[] {3}\r\ntwo)\r\n%T OK\r\n",
            ImapSuccess, 2, 0, {"say \"hi\" \\ bye", "two"}, {"\\Draft", "\\Seen"}},
        {"date and flags in replies of their own before the body",
            "* 1 FETCH (FLAGS (\\Seen))\r\n* 1 FETCH (INTERNALDATE \"" + std::string(date2)
                + "\")\r\n* 1 FETCH (UID 4 BODY[] {3}\r\none)\r\n* 2 FETCH (FLAGS (\\Flagged "
                  "$Label1)"
                + dated + ")\r\n* 2 FETCH (BODY[] {3}\r\ntwo)\r\n%T OK\r\n",
            ImapSuccess, 2, 0, {"one", "two"}, {"\\Seen", "\\Flagged"}, 1, {1706828399, 837596665}},
        {"date and flags in a reply of their own after the body",
            "* 1 FETCH (UID 4 BODY[] {3}\r\none)\r\n* 1 FETCH (FLAGS (\\Seen)" + dated + ")\r\n"
                + numbered(2, 5, "two") + "%T OK\r\n* 1 FETCH (UID 4 FLAGS (\\Seen))\r\n"
                + "* 1 FETCH (INTERNALDATE \"" + date2 + "\")\r\n%T OK\r\n"
                + "* 1 FETCH (UID 4 BODY[] {3}\r\none)\r\n" + numbered(2, 5, "two") + "%T OK\r\n",
            ImapSuccess, 2, 0, {"one", "two"}, {"\\Seen", "\\Seen"}, 0, {1706828399, 837596665}, "",
            "FETCH 1:2 (UID INTERNALDATE FLAGS BODY.PEEK[])\r\nFETCH 1:2 (UID INTERNALDATE "
            "FLAGS)\r\nFETCH 1:2 (UID INTERNALDATE FLAGS BODY.PEEK[])\r\n"},
        {"an EXPUNGE of a message copied",
            numbered(1, 4, "one") + "* 1 EXPUNGE\r\n" + numbered(1, 5, "two") + "%T OK\r\n",
            ImapSuccess, 2, 0, {"one", "two"}, {"\\Seen", "\\Seen"}, 0, {}, "", "", {1}},
        {"an EXPUNGE of a message not copied yet",
            "* 1 EXPUNGE\r\n" + numbered(1, 5, "two") + "%T OK\r\n", ImapSuccess, 1, 0, {"two"},
            {"\\Seen"}, 0, {}, "", "", {1}},
        {"a body whose UID is that of a message copied before",
            numbered(1, 4, "one") + numbered(2, 4, "one") + "%T OK\r\n", ImapSuccess, 1, 0, {"one"},
            {"\\Seen"}},
        {"a reply line over the limit",
            "* 1 FETCH (UID 4 FLAGS (\\Seen" + keywords + ")" + dated + " BODY[] {3}\r\none)\r\n"
                + numbered(2, 5, "two") + "%T OK\r\n",
            ImapSuccess, 1, 1, {"two"}, {"\\Seen"}, 0, {},
            "the FETCH reply of scripted:143 for message 1 (UID 4) has a line longer than 1 MiB"},
        {"a reply line over the limit after the body, the date and flags before it",
            "* 1 FETCH (UID 4 FLAGS (\\Seen)" + dated + " BODY[] {3}\r\none X-LABELS (" + keywords
                + "))\r\n" + numbered(2, 5, "two") + "%T OK\r\n",
            ImapSuccess, 1, 1, {"two"}, {"\\Seen"}, 0, {},
            "the FETCH reply of scripted:143 for message 1 (UID 4) has a line longer than 1 MiB"},
        {"dates that can't be read beside dates that can, before and after them",
            "* 1 FETCH (UID 4" + dated + ")\r\n"
                + "* 1 FETCH (INTERNALDATE \"garbage\" FLAGS () BODY[] {3}\r\none)\r\n"
                + "* 2 FETCH (" + dated.substr(1)
                + " FLAGS () BODY[] {3}\r\ntwo INTERNALDATE NIL)\r\n" + "%T OK\r\n",
            ImapSuccess, 2, 0, {"one", "two"}, {"", ""}, 0, {837596665, 837596665}},
        {"a part of the body in place of the body",
            "* 1 FETCH (UID 4" + dated + " FLAGS () BODY[]<0> {3}\r\none)\r\n"
                + numbered(2, 5, "two") + "%T OK\r\n",
            ImapSuccess, 1, 1, {"two"}, {"\\Seen"}, 0, {},
            "the FETCH reply of scripted:143 for message 1 (UID 4) gives BODY[]<0>, a part of "
            "the message that may be cut short, where the whole message (BODY[]) was asked for"},
    };
    // A message another session expunged, as sources answer for it: NIL
    // for its body (or nothing), and EXPUNGEISSUED (RFC 5530) on the tagged
    // line, OK or NO. Only the tagged line says it is gone, and only of a
    // message asked for alone is it known which one that is.
    const std::string gone = "* 1 FETCH (UID 4 FLAGS (\\Deleted \\Seen) BODY[] NIL)\r\n";
    const std::string issuedOk = "%T OK [EXPUNGEISSUED] Some messages were already expunged\r\n";
    {
        Case k{"alone, NIL for the body and OK [EXPUNGEISSUED]: removed", gone + issuedOk,
            ImapSuccess, 0, 0};
        k.numbers = {1};
        k.removed = 1;
        k.uids = {{1, 4}};
        cases.push_back(k);
        k.name = "alone, nothing for it and NO [ExpungeIssued]: removed";
        k.reply = "%T NO [ExpungeIssued] Some of the requested messages no longer exist\r\n";
        k.result = ImapFetchFailed;
        k.keptOpen = true;
        k.uids = {};
        cases.push_back(k);
        k.name = "alone, nothing for it and NO without a code: neither removed nor failed";
        k.reply = "%T NO Some of the requested messages no longer exist\r\n";
        k.removed = 0;
        cases.push_back(k);
        k = Case{"alone, NIL for the body and OK without a code: failed", gone + "%T OK\r\n",
            ImapSuccess, 0, 1, {}, {}, 0, {},
            "the FETCH reply of scripted:143 for message 1 (UID 4) gives NIL in place of the body "
            "(BODY[])"};
        k.numbers = {1};
        cases.push_back(k);
        k = Case{"alone, its body and OK [EXPUNGEISSUED]: copied", numbered(1, 4, "one") + issuedOk,
            ImapSuccess, 1, 0, {"one"}, {"\\Seen"}};
        k.numbers = {1};
        cases.push_back(k);
        k = Case{"of two, NIL for one and OK [EXPUNGEISSUED]: failed, to be asked for alone",
            gone + numbered(2, 5, "two") + issuedOk, ImapSuccess, 1, 1, {"two"}, {"\\Seen"}};
        k.uids = {{1, 4}, {2, 5}};
        cases.push_back(k);
        k = Case{
            "of two, nothing for one and NO [EXPUNGEISSUED]: unanswered, to be asked for alone",
            numbered(2, 5, "two") + "%T NO [EXPUNGEISSUED] gone\r\n", ImapFetchFailed, 1, 0,
            {"two"}, {"\\Seen"}};
        k.keptOpen = true;
        cases.push_back(k);
    }
    // Each item before the body or after it, RFC822.SIZE given unasked,
    // with and without an EXPUNGE of the first message after its reply: the
    // run notes each message's UID wherever it stood, by which the messages
    // left are found again once the folder is numbered otherwise.
    const std::string large = body(ConnectionInternal::wholeBodyLimit + 1);
    auto item = [&](const std::string& name, unsigned uid, const std::string& data) {
        if (name == "UID")
            return "UID " + std::to_string(uid);
        if (name == "FLAGS")
            return std::string("FLAGS (\\Seen)");
        if (name == "INTERNALDATE")
            return dated.substr(1);
        if (name == "RFC822.SIZE")
            return "RFC822.SIZE " + std::to_string(data.size());
        return "BODY[] {" + std::to_string(data.size()) + "}\r\n" + data;
    };
    auto inOrder = [&](const std::vector<std::string>& order, unsigned n, unsigned uid,
                       const std::string& data) {
        std::string reply = "* " + std::to_string(n) + " FETCH (";
        for (const std::string& name : order)
            reply += (&name == &order.front() ? "" : " ") + item(name, uid, data);
        return reply + ")\r\n";
    };
    const struct {
        const char* name;
        std::vector<std::string> order;
        std::string data = "one"; // the first message's body
        std::string after = ""; // a reply of its own after each message's
    } orders[] = {
        {"the UID, the date and the flags before the body",
            {"UID", "INTERNALDATE", "FLAGS", "BODY"}},
        {"the UID after the body", {"INTERNALDATE", "FLAGS", "BODY", "UID"}},
        {"the UID after a large body", {"INTERNALDATE", "FLAGS", "BODY", "UID"}, large},
        {"the UID in a reply of its own after the body", {"INTERNALDATE", "FLAGS", "BODY"}, "one",
            "UID"},
        {"the flags after the body", {"UID", "INTERNALDATE", "BODY", "FLAGS"}},
        {"the date after the body", {"UID", "FLAGS", "BODY", "INTERNALDATE"}},
        {"RFC822.SIZE before the body, the UID after it",
            {"RFC822.SIZE", "INTERNALDATE", "FLAGS", "BODY", "UID"}},
        {"RFC822.SIZE and the UID after the body",
            {"INTERNALDATE", "FLAGS", "BODY", "RFC822.SIZE", "UID"}},
        {"every item after the body", {"BODY", "UID", "RFC822.SIZE", "FLAGS", "INTERNALDATE"}},
    };
    for (const auto& o : orders)
        for (bool expunge : {false, true}) {
            auto message = [&](unsigned n, unsigned uid, const std::string& data) {
                return inOrder(o.order, n, uid, data)
                    + (o.after.empty() ? ""
                                       : "* " + std::to_string(n) + " FETCH ("
                                + item(o.after, uid, data) + ")\r\n");
            };
            Case k{o.name,
                message(1, 4, o.data) + (expunge ? "* 1 EXPUNGE\r\n" : "")
                    + message(expunge ? 1 : 2, 5, "two") + "%T OK\r\n",
                ImapSuccess, 2, 0, {o.data, "two"}, {"\\Seen", "\\Seen"}, 0,
                {837596665, 837596665}};
            k.uids = {{1, 4}, {2, 5}};
            if (expunge) {
                k.name = std::string(o.name) + ", then an EXPUNGE of it";
                k.expunged = {1};
            }
            cases.push_back(k);
        }
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Copy d(k.reply, targetOk(2));
        d.source.client.setLastErrorResponse("earlier");
        CopyRun run(k.numbers);
        EXPECT_EQ(k.result, d.source.client.copyMessages(L"F", d.target.client, run));
        EXPECT_EQ(k.copied, run.copied());
        EXPECT_EQ(k.failed, run.failed());
        EXPECT_EQ(k.removed, run.removedNumbers().size());
        EXPECT_EQ(k.keywordsLeft, run.keywordsLeft());
        EXPECT_EQ(k.result != ImapSuccess && !k.keptOpen, d.source.session->closed);
        for (const auto& [number, uid] : k.uids)
            EXPECT_EQ(uid, run.uid(number)) << number;
        EXPECT_EQ(k.result == ImapSuccess, lastError(d.source.client) == "earlier");
        EXPECT_EQ(std::string::npos, lastError(d.source.client).find("secret"));
        EXPECT_EQ(k.expunged, run.expunged());
        std::vector<std::string> bodies, flags;
        std::vector<std::time_t> instants;
        for (const Append& a : appends(d.target.sent())) {
            bodies.push_back(a.data);
            flags.push_back(a.flags);
            instants.push_back(a.instant);
        }
        EXPECT_EQ(k.bodies, bodies);
        EXPECT_EQ(k.flags, flags);
        if (!k.instants.empty()) {
            EXPECT_EQ(k.instants, instants);
        }
        if (!k.asked.empty()) {
            EXPECT_EQ(k.asked, d.source.sent());
        }
        if (!k.failureSays.empty()) {
            const Failure* failure = run.failure(1);
            ASSERT_NE(nullptr, failure);
            EXPECT_EQ(0u, failure->why.find(k.failureSays)) << failure->why;
        }
    }
}

// RFC 3501 fixes no order of FETCH items: a date and flags after the body
// are read too, also for a body too large to be held (fetched again on its
// own, date and flags first). Each FETCH has a tag of its own: after a
// tagged NO that came early, the rest of that reply is not taken for the
// next FETCH's.
TEST(CopyTest, PipelinedRepliesOutOfTheUsualOrder)
{
    const std::string large = body(ConnectionInternal::wholeBodyLimit + 1);
    const std::string after
        = " FLAGS (\\Flagged \\Seen) INTERNALDATE \"" + std::string(date2) + "\")\r\n";
    Copy c("* 1 FETCH (BODY[] {3}\r\none" + after + "* 2 FETCH (UID 7 BODY[] {"
            + std::to_string(large.size()) + "}\r\n" + large + after + "%T OK\r\n"
            + fetchReply(2, date2, "\\Seen \\Flagged") + bodyReply(2, large),
        targetOk(2));
    CopyRun run({1, 2});
    EXPECT_EQ(ImapSuccess, c.source.client.copyMessages(L"F", c.target.client, run));
    EXPECT_EQ(2u, run.copied());
    EXPECT_EQ("FETCH 1:2 (UID INTERNALDATE FLAGS BODY.PEEK[])\r\nFETCH 2 (INTERNALDATE FLAGS)\r\n"
              "FETCH 2 BODY.PEEK[]\r\n",
        c.source.sent());
    auto sent = appends(c.target.sent());
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ("one", sent[0].data);
    EXPECT_TRUE(large == sent[1].data);
    for (const Append& a : sent) {
        EXPECT_EQ("\\Seen \\Flagged", a.flags);
        EXPECT_EQ(1706828399, a.instant);
    }

    // A body too large to hold, streamed as its date and flags came first,
    // whose reply then has a line over the limit: its APPEND is never
    // completed (the target's connection is closed, nothing is stored), and
    // the message fails as if the line had come before the body.
    {
        const std::string keywords = keywordsOverTheLineLimit();
        Copy streamed("* 1 FETCH (UID 4 FLAGS (\\Seen) INTERNALDATE \"" + std::string(date1)
                + "\" BODY[] {" + std::to_string(large.size()) + "}\r\n" + large + " X-LABELS ("
                + keywords + "))\r\n%T OK\r\n",
            targetOk(1));
        CopyRun one({1});
        EXPECT_EQ(ImapFetchFailed,
            streamed.source.client.copyMessages(L"F", streamed.target.client, one));
        EXPECT_EQ(1u, one.failed());
        ASSERT_NE(nullptr, one.failure(1));
        EXPECT_EQ(0u,
            one.failure(1)->why.find("the FETCH reply of scripted:143 for message 1 (UID 4) has "
                                     "a line longer than 1 MiB"))
            << one.failure(1)->why;
        EXPECT_TRUE(streamed.target.session->closed);
        EXPECT_EQ(std::string::npos, streamed.target.sent().find(large));
    }

    auto piped = [](unsigned n, const std::string& data) {
        return "* " + std::to_string(n) + " FETCH (INTERNALDATE \"" + date1
            + "\" FLAGS (\\Seen) BODY[] {" + std::to_string(data.size()) + "}\r\n" + data + ")\r\n";
    };
    // K1 is the first FETCH's tag (K0 the login's).
    Copy early(piped(1, "one") + "%T NO early\r\n" + piped(2, "two") + piped(3, "three")
            + "K1 OK late\r\n" + piped(2, "two") + piped(3, "three") + "%T OK\r\n"
            + piped(4, "four") + "%T OK\r\n",
        targetOk(4));
    const struct {
        std::vector<unsigned> numbers;
        ImapClientResult result;
        unsigned copied;
    } runs[] = {{{1, 2, 3}, ImapFetchFailed, 1}, {{2, 3}, ImapSuccess, 2}, {{4}, ImapSuccess, 1}};
    for (const auto& r : runs) {
        CopyRun each(r.numbers);
        EXPECT_EQ(r.result, early.source.client.copyMessages(L"F", early.target.client, each));
        EXPECT_EQ(r.copied, each.copied());
        EXPECT_EQ(0u, each.failed());
    }
    std::string bodies;
    for (const Append& a : appends(early.target.sent()))
        bodies += a.data + " ";
    EXPECT_EQ("one two three four ", bodies);
    EXPECT_FALSE(early.source.session->closed);

    // A source that gave a body without its date and flags gives them in
    // replies of their own: that body and those after it are asked for
    // again, in their order, the date and flags first, and so are those of
    // its next runs.
    Copy split("* 1 FETCH (BODY[] {3}\r\none)\r\n* 1 FETCH (" + after + "%T OK\r\n* 1 FETCH ("
            + after + "%T OK\r\n* 1 FETCH (BODY[] {3}\r\none)\r\n%T OK\r\n"
            + "* 2 FETCH (UID 8 FLAGS (\\Seen \\Flagged))\r\n* 2 FETCH (INTERNALDATE \"" + date2
            + "\")\r\n%T OK\r\n* 2 FETCH (UID 8 BODY[] {3}\r\ntwo)\r\n* 2 FETCH (FLAGS ())\r\n%T "
              "OK\r\n",
        targetOk(2));
    for (unsigned n : {1u, 2u}) {
        CopyRun each({n});
        EXPECT_EQ(ImapSuccess, split.source.client.copyMessages(L"F", split.target.client, each));
        EXPECT_EQ(1u, each.copied());
    }
    EXPECT_EQ("FETCH 1 (UID INTERNALDATE FLAGS BODY.PEEK[])\r\nFETCH 1 (UID INTERNALDATE "
              "FLAGS)\r\nFETCH 1 (UID INTERNALDATE FLAGS BODY.PEEK[])\r\nFETCH 2 (UID "
              "INTERNALDATE FLAGS)\r\nFETCH 2 (UID INTERNALDATE FLAGS BODY.PEEK[])\r\n",
        split.source.sent());
    for (const Append& a : appends(split.target.sent())) {
        EXPECT_EQ("\\Seen \\Flagged", a.flags);
        EXPECT_EQ(1706828399, a.instant);
    }
}

// What a folder's messages are matched by on a second run: each reply tied
// to its number, the Message-ID read from folded header lines, replies for
// numbers not asked for and second replies not used.
TEST(CopyTest, SummariesOfAFolder)
{
    auto reply = [](unsigned n, unsigned size, const std::string& header) {
        return "* " + std::to_string(n) + " FETCH (RFC822.SIZE " + std::to_string(size)
            + " INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" BODY[HEADER.FIELDS (MESSAGE-ID)] {"
            + std::to_string(header.size()) + "}\r\n" + header + ")\r\n";
    };
    // Message 4's items come in two replies, its header first: one answer.
    Scripted s(reply(2, 10, "Message-Id:\r\n\t<x@y> \r\n\r\n") + "* 3 RECENT\r\n"
        + "* 4 FETCH (BODY[HEADER.FIELDS (MESSAGE-ID)] {19}\r\nMessage-ID: <z>\r\n\r\n)\r\n"
        + reply(9, 1, "\r\n") + reply(2, 11, "\r\n") + "* 1 FETCH (FLAGS (\\Seen))\r\n"
        + reply(1, 5, "\r\n") + "* 3 FETCH (RFC822.SIZE 7)\r\n"
        + "* 4 FETCH (RFC822.SIZE 17 INTERNALDATE \"01-Feb-2024 23:59:59 +0100\")\r\n%T OK\r\n");
    std::vector<MessageSummary> summaries;
    unsigned ignored = 0;
    EXPECT_EQ(ImapSuccess, s.client.fetchSummaries(4, summaries, ignored));
    EXPECT_EQ(
        "FETCH 1:4 (RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])\r\n", s.sent());
    ASSERT_EQ(4u, summaries.size());
    EXPECT_TRUE(summaries[3].known);
    EXPECT_EQ(17u, summaries[3].size);
    EXPECT_EQ(1706828399, summaries[3].instant);
    EXPECT_EQ("<z>", summaries[3].messageId);
    EXPECT_TRUE(summaries[0].known);
    EXPECT_EQ(5u, summaries[0].size);
    EXPECT_EQ(837596665, summaries[0].instant);
    EXPECT_EQ("", summaries[0].messageId);
    EXPECT_TRUE(summaries[1].known);
    EXPECT_EQ(10u, summaries[1].size);
    EXPECT_EQ("<x@y>", summaries[1].messageId);
    EXPECT_FALSE(summaries[2].known); // its size alone
    EXPECT_EQ(4u, ignored); // 9, the second 2, the flags of 1, the size of 3

    // Dates as servers give them: the IMAP form, the RFC 822 form, one that
    // can't be read, NIL, none. The last three leave the message undated,
    // and still described.
    struct Dated {
        std::string item; // after RFC822.SIZE 5
        bool dated;
        std::int64_t instant;
    };
    const Dated dates[] = {
        {" INTERNALDATE \"05-May-2021 10:00:00 +0000\"", true, 1620208800},
        {" INTERNALDATE \"Tue, 05 May 2021 10:00:00 +0000\"", true, 1620208800},
        {" INTERNALDATE \"Wed, 5 May 2021 12:00:00 +0200\"", true, 1620208800},
        {" INTERNALDATE \"yesterday\"", false, 0},
        {" INTERNALDATE NIL", false, 0},
        {"", false, 0},
    };
    for (const Dated& d : dates) {
        SCOPED_TRACE(d.item);
        Scripted one("* 1 FETCH (RFC822.SIZE 5" + d.item
            + " BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n)\r\n%T OK\r\n");
        ASSERT_EQ(ImapSuccess, one.client.fetchSummaries(1, summaries, ignored));
        EXPECT_TRUE(summaries[0].known);
        EXPECT_EQ(d.dated, summaries[0].dated);
        EXPECT_EQ(d.instant, summaries[0].instant);
        EXPECT_EQ(0u, ignored);
    }

    // With each message's UID: in the reply with the rest, or in one of its
    // own; a message the server gave no UID for keeps 0.
    Scripted uids("* 1 FETCH (UID 7 RFC822.SIZE 5 BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n)\r\n"
                  "* 2 FETCH (RFC822.SIZE 6 BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n)\r\n"
                  "* 2 FETCH (UID 9)\r\n"
                  "* 3 FETCH (RFC822.SIZE 7 BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n)\r\n"
                  "%T OK\r\n");
    ASSERT_EQ(ImapSuccess, uids.client.fetchSummariesWithUids(3, summaries, ignored));
    EXPECT_EQ("FETCH 1:3 (UID RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])\r\n",
        uids.sent());
    ASSERT_EQ(3u, summaries.size());
    EXPECT_EQ(7u, summaries[0].uid);
    EXPECT_EQ(9u, summaries[1].uid);
    EXPECT_EQ(0u, summaries[2].uid);
    EXPECT_EQ(6u, summaries[1].size);
    EXPECT_EQ(0u, ignored);
}

// The digests that tell apart messages their summaries can't: a piece of
// each message per FETCH, a message whose piece filled the window asked
// for its next piece, one the server left out without a digest, replies
// for other numbers and second replies not used.
TEST(CopyTest, DigestsOfWholeMessagesReadInPieces)
{
    const std::size_t window = digestPiece;
    const std::string longer = std::string(window, 'x') + "tail";
    auto piece = [](unsigned n, std::size_t origin, const std::string& bytes) {
        return "* " + std::to_string(n) + " FETCH (BODY[]<" + std::to_string(origin) + "> {"
            + std::to_string(bytes.size()) + "}\r\n" + bytes + ")\r\n";
    };
    Scripted s(piece(2, 0, "two") + piece(4, 0, longer.substr(0, window)) + piece(9, 0, "nine")
        + piece(2, 0, "again") + "%T OK\r\n" + piece(4, window, "tail") + "%T OK\r\n");
    std::vector<std::string> digests;
    unsigned ignored = 0;
    EXPECT_EQ(ImapSuccess, s.client.fetchDigests({2, 3, 4}, digests, ignored));
    EXPECT_EQ("FETCH 2:4 (BODY.PEEK[]<0.1048576>)\r\nFETCH 4 (BODY.PEEK[]<1048576.1048576>)\r\n",
        s.sent());
    auto sha512 = [](const std::string& bytes) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        EVP_Digest(bytes.data(), bytes.size(), out, &length, EVP_sha512(), nullptr);
        return std::string(reinterpret_cast<const char*>(out), length);
    };
    ASSERT_EQ(3u, digests.size());
    EXPECT_EQ(sha512("two"), digests[0]);
    EXPECT_EQ("", digests[1]);
    EXPECT_EQ(sha512(longer), digests[2]);
    EXPECT_EQ(2u, ignored);
}

TEST(CopyTest, XAppendVersionTest)
{
    struct Case {
        std::string reply;
        bool supported;
    };
    for (const Case& c :
        {Case{"%T OK X-CHECKVERSION 6.5.2", true}, Case{"%T NO version 7.0.0", true},
            Case{"%T OK X-CHECKVERSION 6.4.9", false}, Case{"%T OK X-CHECKVERSION 6.5", false},
            Case{"%T BAD unknown command", false}, Case{"%T", false}}) {
        Scripted s(c.reply + "\r\n");
        EXPECT_EQ(c.supported, s.client.isXAppendSupported()) << c.reply;
    }
}

} // namespace
