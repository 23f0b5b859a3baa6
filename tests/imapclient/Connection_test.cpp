// The connection against scripted servers: greetings, login, tags, state,
// reconnecting with the session restored, and literals read in parts.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/Command.h"
#include "imapclient/ConnectionInternal.h"
#include "imapclient/ImapException.h"
#include "imapclient/SimpleImapClient.h"
#include "ssl/StopSignal.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

using namespace tavir::mail;
using tavir::test::scriptedGreeting;
using tavir::test::ScriptedServer;
using tavir::test::withoutTags;

namespace {

void userMode(ConnectionInternal& c, ScriptedServer& server, const std::string& user = "user",
    const std::string& password = "secret")
{
    c.initialize("scripted", 0, user, password, false, 180, false);
    c.setStreamFactory(server.factory());
}

TEST(ConnectionTest, DefaultPorts)
{
    struct Case {
        unsigned port;
        bool ssl;
        unsigned expected;
    };
    for (Case c : {Case{0, true, 993}, Case{0, false, 143}, Case{1143, true, 1143}}) {
        ConnectionInternal user;
        user.initialize("h", c.port, "u", "p", false, 5, c.ssl);
        EXPECT_EQ(c.expected, user.getPort());
        EXPECT_FALSE(user.isMasterAuthentication());
        ConnectionInternal master;
        master.initialize("h", c.port, "mp", 5, c.ssl);
        EXPECT_EQ(c.expected, master.getPort());
        EXPECT_TRUE(master.isMasterAuthentication());
        EXPECT_EQ("mp", master.getPassword());
    }
    // The facade names the default port too, and connects to the right one.
    for (bool ssl : {false, true}) {
        ScriptedServer server;
        auto session = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n");
        SimpleImapClient client;
        client.setStreamFactory(server.factory());
        EXPECT_EQ(ImapSuccess,
            client.connect(L"h", SimpleImapClient::defaultServicePort, L"u", L"p", false, ssl));
        EXPECT_EQ(ssl ? 993u : 143u, session->endpoint.port);
    }
}

TEST(ConnectionTest, Greetings)
{
    struct Case {
        std::string server;
        bool accepted;
        std::string greeting; // also the refusal's text and last error
        std::string error = ""; // when not the greeting: a sentence
    };
    const Case cases[] = {
        {"* OK IMAP4rev1 ready\r\n", true, "* OK IMAP4rev1 ready\r"},
        {"* OK [CAPABILITY IMAP4rev1] Dovecot ready.\r\n", true,
            "* OK [CAPABILITY IMAP4rev1] Dovecot ready.\r"},
        {"* PREAUTH IMAP4rev1 server logged in as Smith\r\n", true,
            "* PREAUTH IMAP4rev1 server logged in as Smith\r"},
        {"* ok lower case\n", true, "* ok lower case"},
        {"* BYE Autologout; idle for too long\r\n", false, "* BYE Autologout; idle for too long\r"},
        {"220 mail.example.com ESMTP Postfix\r\n", false, "220 mail.example.com ESMTP Postfix\r"},
        {"SSH-2.0-OpenSSH_9.2\r\n", false, "SSH-2.0-OpenSSH_9.2\r"},
        {"* OKAY\r\n", false, "* OKAY\r"},
        {"* NO go away\r\n", false, "* NO go away\r"},
        {"", false, "", "scripted:143 accepted the connection but sent no greeting within 180 s"},
        {"\r\n", false, "\r", "scripted:143 sent an empty greeting"},
        {"* OK cut off", false, "* OK cut off"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        ScriptedServer server;
        auto session = server.addSession(c.server);
        ConnectionInternal connection;
        userMode(connection, server);
        connection.setLastErrorResponse("earlier");
        if (c.accepted) {
            EXPECT_NO_THROW(connection.init(false));
            EXPECT_EQ(ConnectionInternal::Connected, connection.getState());
            EXPECT_EQ("earlier", connection.getLastErrorResponse());
        } else {
            try {
                connection.init(false);
                ADD_FAILURE() << "accepted";
            } catch (const ImapConnectionFailed& e) {
                EXPECT_EQ(c.error.empty() ? c.greeting : c.error, e.what());
            }
            EXPECT_EQ(ConnectionInternal::NotConnected, connection.getState());
            EXPECT_EQ(c.error.empty() ? c.greeting : c.error, connection.getLastErrorResponse());
            EXPECT_TRUE(session->closed);
        }
        EXPECT_EQ(c.greeting, connection.getGreeting());
        EXPECT_EQ("", session->clientBytes); // no login asked for
    }
}

TEST(ConnectionTest, FailedConnects)
{
    ScriptedServer server;
    auto refused = server.addSession("");
    refused->createFails = true;
    ConnectionInternal connection;
    userMode(connection, server);
    connection.setLastErrorResponse("earlier");
    try {
        connection.init(true);
        FAIL();
    } catch (const ImapConnectionFailed& e) {
        EXPECT_STREQ("could not connect to scripted:143", e.what());
    }
    EXPECT_EQ("could not connect to scripted:143", connection.getLastErrorResponse());
    // No session left: the host name can't be resolved.
    EXPECT_THROW(connection.init(true), ImapConnectionFailed);
    EXPECT_EQ("host name scripted could not be resolved", connection.getLastErrorResponse());
    EXPECT_EQ(ConnectionInternal::NotConnected, connection.getState());
}

TEST(ConnectionTest, LoginQuotesWhatItMust)
{
    struct Case {
        std::string user;
        std::string password;
        std::string wire;
    };
    const Case cases[] = {
        {"joe", "secret", "LOGIN \"joe\" \"secret\"\r\n"},
        {"joe", "a\\b", "LOGIN \"joe\" \"a\\\\b\"\r\n"},
        {"joe", "a\"b", "LOGIN \"joe\" \"a\\\"b\"\r\n"},
        {"joe", "", "LOGIN \"joe\" \"\"\r\n"},
        {"joe", "x\r\nK1 DELETE INBOX", "LOGIN \"joe\" {18+}\r\nx\r\nK1 DELETE INBOX\r\n"},
        {"j\xc3\xb6rg", "p", "LOGIN {5+}\r\nj\xc3\xb6rg \"p\"\r\n"},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        auto session = server.addSession(tavir::test::scriptedGreeting + "%T OK Logged in\r\n");
        ConnectionInternal connection;
        userMode(connection, server, c.user, c.password);
        EXPECT_NO_THROW(connection.init(true));
        EXPECT_EQ(ConnectionInternal::Authenticated, connection.getState());
        EXPECT_EQ(c.wire, withoutTags(session->clientBytes));
    }
}

TEST(ConnectionTest, RefusedLoginKeepsTheServersLine)
{
    ScriptedServer server;
    auto session = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T NO "
                                     "[AUTHENTICATIONFAILED] Authentication failed.\r\n");
    ConnectionInternal connection;
    userMode(connection, server);
    try {
        connection.init(true);
        FAIL();
    } catch (const AuthenticateFailedException& e) {
        EXPECT_STREQ("Authentication failed - Login", e.what());
    }
    EXPECT_EQ("NO [AUTHENTICATIONFAILED] Authentication failed.",
        withoutTags(connection.getLastErrorResponse()));
    EXPECT_EQ(ConnectionInternal::NotConnected, connection.getState());
    EXPECT_TRUE(session->closed);
}

// Logged in already as whoever the server chose: no password goes out.
TEST(ConnectionTest, PreauthNeverReceivesAPassword)
{
    ScriptedServer server;
    auto session = server.addSession("* PREAUTH hi\r\n%T BAD Already logged in\r\n");
    ConnectionInternal connection;
    userMode(connection, server);
    EXPECT_THROW(connection.init(true), AuthenticateFailedException);
    EXPECT_EQ("", session->clientBytes);
    EXPECT_EQ("scripted:143 greets the connection as logged in already (PREAUTH); no password was "
              "sent",
        connection.getLastErrorResponse());
    EXPECT_TRUE(session->closed);
}

TEST(ConnectionTest, TagsCountOnAcrossReconnects)
{
    ScriptedServer server;
    server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\nK0 OK in\r\nK1 OK\r\n");
    server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\nK2 OK in\r\nK3 OK\r\n");
    ConnectionInternal connection;
    userMode(connection, server);
    connection.init(true);
    Command noop(connection, "NOOP");
    EXPECT_EQ("K1", noop.getTag());
    noop.execute(nullptr);
    connection.reconnect();
    EXPECT_EQ("K3", connection.getTag());
}

TEST(ConnectionTest, ReconnectRestoresAccountAndFolder)
{
    ScriptedServer server;
    auto first = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n");
    auto second = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n%T OK user\r\n"
                                    "%T OK [READ-WRITE] selected\r\n%T OK [x] status\r\n");
    ConnectionInternal connection;
    connection.initialize("scripted", 0, "master", "mpw", false, 180, false);
    connection.setStreamFactory(server.factory());
    connection.init(true);
    connection.setSwitchedUser("joe@example.com");
    connection.setState(ConnectionInternal::Selected, "Sent");
    first->writeBudget = 0; // the next command's write fails
    Command status(connection, "STATUS");
    status.addParamString("Sent");
    status.addParam("(MESSAGES)");
    EXPECT_EQ(Command::OK, status.execute(nullptr));
    EXPECT_EQ("LOGIN \"master\" \"mpw\"\r\nX-SETUSER \"joe@example.com\"\r\n"
              "SELECT \"Sent\"\r\nSTATUS \"Sent\" (MESSAGES)\r\n",
        withoutTags(second->clientBytes));
    EXPECT_EQ(ConnectionInternal::Selected, connection.getState());
    EXPECT_EQ("Sent", connection.getSelectedFolder());
}

// Sequence numbers hold within one session. A reconnect selects the folder
// again: numbered as before (the same UIDVALIDITY, count and UIDNEXT), a
// FETCH by number goes on; numbered otherwise, or with nothing said to
// tell, none is written until the caller has found the messages again (by
// UID) or selected the folder; an EXPUNGE has the same effect without a
// reconnect. Commands that name no message by number are written all along.
TEST(ConnectionTest, AReconnectFindsTheFolderNumberedAsBeforeOrNot)
{
    using tavir::test::selectReplies;
    const std::string dateAndFlags
        = "* 3 FETCH (INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" FLAGS ())\r\n%T OK\r\n";
    const std::string uids = "* 3 FETCH (UID 4)\r\n* 4 FETCH (UID 5)\r\n%T OK\r\n";
    struct Case {
        const char* name;
        std::string first; // the first SELECT's replies
        std::string again; // the second session's, after its login
        bool expunge; // a STATUS meets an EXPUNGE instead of a reconnect
        bool renumbered;
        const char* sent; // on the second session after its login
    };
    const Case cases[] = {
        {"numbered as before", selectReplies(10, 7, 11), selectReplies(10, 7, 11) + dateAndFlags,
            false, false, "SELECT \"F\"\r\nFETCH 3 (INTERNALDATE FLAGS)\r\n"},
        {"a message expunged meanwhile", selectReplies(10, 7, 11),
            selectReplies(9, 7, 11) + uids + dateAndFlags, false, true,
            "SELECT \"F\"\r\nUID FETCH 3:* (UID)\r\nFETCH 3 (INTERNALDATE FLAGS)\r\n"},
        {"one arrived meanwhile", selectReplies(10, 7, 11),
            selectReplies(11, 7, 12) + uids + dateAndFlags, false, true,
            "SELECT \"F\"\r\nUID FETCH 3:* (UID)\r\nFETCH 3 (INTERNALDATE FLAGS)\r\n"},
        {"another UIDVALIDITY", selectReplies(10, 7, 11),
            selectReplies(10, 8, 11) + uids + dateAndFlags, false, true,
            "SELECT \"F\"\r\nUID FETCH 3:* (UID)\r\nFETCH 3 (INTERNALDATE FLAGS)\r\n"},
        {"no UIDNEXT said, so nothing tells", selectReplies(10, 7, 0),
            selectReplies(10, 7, 0) + uids + dateAndFlags, false, true,
            "SELECT \"F\"\r\nUID FETCH 3:* (UID)\r\nFETCH 3 (INTERNALDATE FLAGS)\r\n"},
        {"an EXPUNGE on the same connection",
            selectReplies(10, 7, 11) + "* 3 EXPUNGE\r\n* STATUS Other (MESSAGES 1)\r\n%T OK\r\n"
                + uids + dateAndFlags,
            "", true, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavir::test::LoggedInClient client(c.first);
        unsigned count = 0;
        ASSERT_EQ(ImapSuccess, client.client.select(L"F", count));
        EXPECT_EQ(10u, count);
        EXPECT_EQ(10u, client.client.selectedMailbox().count);
        std::shared_ptr<tavir::test::ScriptedSession> second;
        if (c.expunge) {
            EXPECT_EQ(ImapSuccess, client.client.status(L"Other", count));
        } else {
            client.session->writeBudget = 0; // the next command's write fails
            second = client.server.addSession(scriptedGreeting + "%T OK in\r\n" + c.again);
        }
        FetchMessage message;
        const ImapClientResult first = client.client.fetchDateAndFlags(3, message);
        EXPECT_EQ(c.renumbered, client.client.renumbered());
        if (c.renumbered) {
            EXPECT_EQ(ImapConnectionError, first);
            // Found again by UID, and numbered as the server numbers them now.
            std::vector<SimpleImapClient::NumberedUid> found;
            ASSERT_EQ(ImapSuccess, client.client.fetchUids(3, found));
            ASSERT_EQ(2u, found.size());
            EXPECT_EQ(3u, found[0].number);
            EXPECT_EQ(4u, found[0].uid);
            client.client.acceptNumbering();
            EXPECT_EQ(ImapSuccess, client.client.fetchDateAndFlags(3, message));
        } else {
            EXPECT_EQ(ImapSuccess, first);
        }
        if (second) {
            const std::string sent = withoutTags(second->clientBytes);
            EXPECT_EQ(c.sent, sent.substr(sent.find("\r\n") + 2));
        }
    }
}

// An owner with rules of its own for its logins (the engine's, which counts
// its connections to a source) makes a lost connection again itself: its
// greeting and login on the client, as a new login of its, in place of the
// connection's own; the folder is then selected again and the command
// written. What it says of a login that did not come about is the
// command's failure, as a lost connection's, its sentence the last error;
// a stop in it is told as a stop. Either way the client counts as
// connected, as it did before the loss.
TEST(ConnectionTest, AReconnectLogsInThroughItsOwnersLoginWhenOneIsSet)
{
    using tavir::test::selectReplies;
    const struct Row {
        const char* name;
        Failure says; // what the owner's login says after its greeting and LOGIN
        bool stop; // the owner's login met a stop
        ImapClientResult result;
        const char* lastError;
        const char* sent; // on the second session after the owner's LOGIN
    } rows[] = {
        {"logged in again", {}, false, ImapSuccess, "",
            "SELECT \"F\"\r\nSTATUS \"Other\" (MESSAGES)\r\n"},
        {"not logged in", {ImapLoginFailed, Side::Source, false, "the owner's own sentence"}, false,
            ImapConnectionError, "the owner's own sentence", ""},
        {"not answered in time", {ImapConnectionError, Side::Source, true, "no answer in time"},
            false, ImapConnectionError, "no answer in time", ""},
        {"stopped", {ImapConnectionError, Side::Source, false, ""}, true, ImapConnectionError,
            "the connection to scripted:143 was closed on a stop request", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        tavir::test::LoggedInClient client(selectReplies(10, 7, 11));
        SimpleImapClient& source = client.client;
        const auto stop = std::make_shared<tavir::utils::StopSignal>();
        source.setStopSignal(stop);
        unsigned count = 0;
        ASSERT_EQ(ImapSuccess, source.select(L"F", count));
        // Its LOGIN refused where the owner's login does not come about.
        const bool accepted = !row.says.failed();
        auto second = client.server.addSession(scriptedGreeting
            + (accepted ? "%T OK in\r\n" : "%T NO [AUTHENTICATIONFAILED] no\r\n")
            + selectReplies(10, 7, 11) + "* STATUS Other (MESSAGES 1)\r\n%T OK\r\n");
        int logins = 0;
        source.setReconnection([&] {
            ++logins;
            EXPECT_FALSE(source.isConnected());
            EXPECT_EQ(SimpleImapClient::Welcome::Ready, source.greet(L"scripted", 0, false).kind);
            EXPECT_EQ(accepted ? SimpleImapClient::LoginAnswer::Accepted
                               : SimpleImapClient::LoginAnswer::Refused,
                source.logIn(L"again", L"pw2").kind);
            if (row.stop)
                stop->raise();
            return row.says;
        });
        client.session->writeBudget = 0; // the next command's write fails
        EXPECT_EQ(row.result, source.status(L"Other", count));
        EXPECT_EQ(1, logins);
        EXPECT_TRUE(source.isConnected());
        if (row.result == ImapSuccess) {
            EXPECT_EQ(1u, count);
            EXPECT_EQ("F", source.getConnection().getSelectedFolder());
        } else {
            EXPECT_EQ(
                row.lastError, tavir::migration::unicodeToUtf8(source.getLastErrorResponse()));
            EXPECT_EQ(row.says.timedOut, source.lastFailureWasTimeout());
            EXPECT_EQ(ConnectionInternal::NotConnected, source.getConnection().getState());
        }
        const std::string sent = withoutTags(second->clientBytes);
        const std::size_t login = sent.find("\r\n") + 2;
        EXPECT_EQ("LOGIN \"again\" \"pw2\"\r\n", sent.substr(0, login));
        EXPECT_EQ(row.sent, sent.substr(login));
    }
}

TEST(ConnectionTest, ReconnectThatCantRestoreFails)
{
    struct Case {
        const char* name;
        std::string second;
    };
    const Case cases[] = {
        {"account switch refused",
            "* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n%T NO no such user\r\n"},
        {"folder gone",
            "* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n%T OK user\r\n%T NO no folder\r\n"},
        {"login refused", "* OK [CAPABILITY IMAP4rev1] hi\r\n%T NO bad password\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        auto first = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n");
        auto second = server.addSession(c.second);
        ConnectionInternal connection;
        userMode(connection, server);
        connection.init(true);
        connection.setSwitchedUser("joe@example.com");
        connection.setState(ConnectionInternal::Selected, "Sent");
        first->writeBudget = 0;
        Command del(connection, "EXPUNGE");
        try {
            del.execute(nullptr);
            ADD_FAILURE();
        } catch (const ImapException& e) {
            EXPECT_EQ(ImapConnectionError, handleImapException(e, ImapSelectFailed)) << e.what();
        }
        EXPECT_EQ(std::string::npos, second->clientBytes.find("EXPUNGE"));
        EXPECT_EQ(ConnectionInternal::NotConnected, connection.getState());
    }
}

TEST(ConnectionTest, SendWithoutReconnectFails)
{
    ScriptedServer server;
    auto first = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n");
    ConnectionInternal connection;
    userMode(connection, server);
    connection.init(true);
    first->writeBudget = 0;
    try {
        connection.send("x\r\n", false, true);
        FAIL();
    } catch (const ImapConnectionFailed& e) {
        EXPECT_STREQ("sending a command to scripted:143 failed", e.what());
    }
    EXPECT_EQ(ConnectionInternal::NotConnected, connection.getState());
}

TEST(ConnectionTest, StateRules)
{
    using S = ConnectionInternal::State;
    struct Case {
        S from;
        S to;
        S expected;
        const char* folder;
    };
    const Case cases[] = {
        {S::NotConnected, S::Authenticated, S::NotConnected, ""},
        {S::NotConnected, S::Selected, S::NotConnected, ""},
        {S::Connected, S::Selected, S::Connected, ""},
        {S::Connected, S::Authenticated, S::Authenticated, ""},
        {S::Authenticated, S::Selected, S::Selected, "F"},
        {S::Authenticated, S::Connected, S::Connected, ""},
        {S::Selected, S::Selected, S::Selected, "F"},
        {S::Selected, S::Authenticated, S::Authenticated, ""},
        {S::Selected, S::Connected, S::Selected, ""},
        {S::Selected, S::NotConnected, S::NotConnected, ""},
    };
    for (const Case& c : cases) {
        ConnectionInternal connection;
        // Walk to the start state through allowed steps.
        if (c.from != S::NotConnected)
            connection.setState(S::Connected);
        if (c.from == S::Authenticated || c.from == S::Selected)
            connection.setState(S::Authenticated);
        if (c.from == S::Selected)
            connection.setState(S::Selected, "E");
        ASSERT_EQ(c.from, connection.getState());
        connection.setState(c.to, "F");
        EXPECT_EQ(c.expected, connection.getState()) << c.from << "->" << c.to;
        EXPECT_EQ(c.folder, connection.getSelectedFolder()) << c.from << "->" << c.to;
    }
}

TEST(ConnectionTest, RecvDataReadsInPartsAndReportsShortReads)
{
    ScriptedServer server;
    std::string literal(21000, '\0');
    for (std::size_t i = 0; i < literal.size(); ++i)
        literal[i] = static_cast<char>(i * 7);
    server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n" + literal);
    ConnectionInternal connection;
    userMode(connection, server);
    connection.init(true);
    std::string out = "x";
    EXPECT_EQ(10240u, connection.recvData(out, 10240));
    EXPECT_EQ(21000u - 10240u, connection.recvData(out, 25000));
    EXPECT_EQ("x" + literal, out);
    EXPECT_EQ(0u, connection.recvData(out, 0));
}

// LOGOUT is written and the connection closed without waiting for an
// answer: a server that answers, one that never does and one already gone
// cost nothing, throw nothing and leave the last error as it was.
TEST(ConnectionTest, LogoutAndFarewell)
{
    struct Case {
        const char* name;
        std::string afterLogin;
        int writesLeft; // -1: every write goes through
        const char* written;
    };
    const Case cases[] = {
        {"answered with BYE and OK", "* BYE bye\r\n%T OK out\r\n", -1, "LOGOUT\r\n"},
        {"never answered", "", -1, "LOGOUT\r\n"},
        {"the connection is gone", "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        auto session
            = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n" + c.afterLogin);
        ConnectionInternal connection;
        userMode(connection, server);
        connection.init(true);
        session->writesLeft = c.writesLeft;
        connection.setLastErrorResponse("earlier");
        EXPECT_NO_THROW(connection.logout());
        EXPECT_EQ(ConnectionInternal::NotConnected, connection.getState());
        EXPECT_EQ("earlier", connection.getLastErrorResponse());
        EXPECT_TRUE(session->closed);
        EXPECT_EQ(std::string("LOGIN \"user\" \"secret\"\r\n") + c.written,
            withoutTags(session->clientBytes));
    }
    ScriptedServer server;
    auto session = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n");
    {
        ConnectionInternal connection;
        userMode(connection, server);
        connection.init(true);
    } // the farewell LOGOUT, unanswered
    EXPECT_EQ("LOGIN \"user\" \"secret\"\r\nLOGOUT\r\n", withoutTags(session->clientBytes));
    EXPECT_TRUE(session->closed);
}

// A greeting that lists none: asked before the login (whether LOGIN may be
// sent), and never again on that connection.
TEST(ConnectionTest, CapabilitiesAreAskedOnce)
{
    ScriptedServer server;
    auto session
        = server.addSession("* OK hi\r\n* OK notice\r\n"
                            "* CAPABILITY IMAP4rev1 LITERAL+ \"X Y\"\r\n%T OK\r\n%T OK in\r\n");
    ConnectionInternal connection;
    userMode(connection, server);
    connection.init(true);
    auto expected = std::vector<std::string>{"IMAP4rev1", "LITERAL+", "X Y"};
    EXPECT_EQ(expected, connection.getCapability());
    EXPECT_EQ(expected, connection.getCapability());
    EXPECT_EQ(1u, std::count(session->clientBytes.begin(), session->clientBytes.end(), '\n') - 1);
}

} // namespace

namespace {

TEST(ConnectionTest, InitOnASelectedConnectionStartsAfresh)
{
    ScriptedServer server;
    auto first = server.addSession("* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n");
    auto second = server.addSession("* OK again\r\n");
    ConnectionInternal connection;
    userMode(connection, server);
    connection.init(true);
    connection.setState(ConnectionInternal::Selected, "INBOX");
    connection.init(false);
    EXPECT_TRUE(first->closed);
    EXPECT_EQ(ConnectionInternal::Connected, connection.getState());
    EXPECT_EQ("", connection.getSelectedFolder());
    EXPECT_EQ("* OK again\r", connection.getGreeting());
}

// The read time-out bounds each operation in all, and a literal adds the
// time its bytes take at the slowest rate still counted as moving.
TEST(ConnectionTest, EachOperationGetsTheReadTimeoutAndTimeForItsLiterals)
{
    ScriptedServer server;
    auto session = server.addSession(scriptedGreeting + "%T OK Logged in\r\n* 1 FETCH (BODY[] {"
        + std::to_string(ConnectionInternal::slowestRate * 2) + "}\r\n"
        + std::string(ConnectionInternal::slowestRate * 2, 'x') + ")\r\n%T OK done\r\n");
    SimpleImapClient client;
    client.setStreamFactory(server.factory());
    ASSERT_EQ(ImapSuccess, client.connect(L"scripted", 0, L"user", L"secret", false, false));
    // Connecting with the greeting, then the login: 180 seconds each.
    EXPECT_EQ((std::vector<unsigned>{180000, 180000}), session->deadlines);
    EXPECT_EQ(0u, session->extendedMs);
    Command fetch(client.getConnection(), "FETCH");
    fetch.addParam("1 BODY[]");
    EXPECT_EQ(Command::OK, fetch.execute(nullptr));
    EXPECT_EQ((std::vector<unsigned>{180000, 180000, 180000}), session->deadlines);
    // Two seconds for the literal; its lines are too short to count.
    EXPECT_EQ(2000u, session->extendedMs);
}

} // namespace
