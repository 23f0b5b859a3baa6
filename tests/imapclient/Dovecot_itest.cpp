// The connection and command execution against a real Dovecot, plain and
// with implicit TLS: greetings, logins, refusals and literals compared byte
// for byte with what Dovecot serves.
#include "imapclient/Command.h"
#include "imapclient/ConnectionInternal.h"
#include "imapclient/ImapException.h"
#include "support/Dovecot.h"
#include "support/Loopback.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>

using namespace tavir::mail;
using namespace tavir::test;

namespace {

const std::map<std::string, std::string> users = {
    {"alice", "secret"},
    {"bob", "back\\slash"},
    {"carol", "quo\"te"},
    {"dave", "both\\\"mixed\\"},
};

class DovecotTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (Dovecot::available())
            server = std::make_unique<Dovecot>(users);
    }
    void SetUp() override
    {
        if (!server)
            GTEST_SKIP() << Dovecot::unavailable();
    }
    static void TearDownTestSuite() { server.reset(); }

    static void connect(
        ConnectionInternal& c, const std::string& user, const std::string& password, bool tls)
    {
        c.initialize("127.0.0.1", static_cast<unsigned>(tls ? server->tlsPort() : server->port()),
            user, password, false, 180, tls);
        c.setTimeoutMs(10000);
    }

    static std::unique_ptr<Dovecot> server;
    ScopedHome home; // its self-signed certificate is pinned here
};

std::unique_ptr<Dovecot> DovecotTest::server;

// What Dovecot serves for a stored message: bare LF becomes CR LF, NUL 0x80.
std::string served(const std::string& message)
{
    std::string out;
    for (std::size_t i = 0; i < message.size(); ++i) {
        char c = message[i];
        if (c == '\n' && (i == 0 || message[i - 1] != '\r'))
            out += '\r';
        out += c == '\0' ? '\x80' : c;
    }
    return out;
}

// The literal of a FETCH response: the bytes after "{n}\r\n".
std::string literalOf(const std::string& response)
{
    std::size_t open = response.find('{');
    std::size_t close = response.find("}\r\n", open);
    if (open == std::string::npos || close == std::string::npos)
        return "<no literal>";
    std::size_t n = std::stoul(response.substr(open + 1, close - open - 1));
    return response.substr(close + 3, n);
}

TEST_F(DovecotTest, GreetingAndLoginPlainAndTls)
{
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        ConnectionInternal c;
        connect(c, "alice", "secret", tls);
        ASSERT_NO_THROW(c.init(true));
        EXPECT_EQ("* OK ", c.getGreeting().substr(0, 5));
        EXPECT_EQ('\r', c.getGreeting().back());
        EXPECT_EQ(ConnectionInternal::Authenticated, c.getState());
        auto capabilities = c.getCapability();
        EXPECT_NE(
            capabilities.end(), std::find(capabilities.begin(), capabilities.end(), "IMAP4rev1"));
        EXPECT_NO_THROW(c.logout());
        EXPECT_EQ(ConnectionInternal::NotConnected, c.getState());
    }
}

TEST_F(DovecotTest, PasswordsWithBackslashAndQuote)
{
    for (const auto& [user, password] : users) {
        SCOPED_TRACE(user);
        ConnectionInternal c;
        connect(c, user, password, false);
        EXPECT_NO_THROW(c.init(true));
        EXPECT_EQ(ConnectionInternal::Authenticated, c.getState());
    }
}

TEST_F(DovecotTest, WrongPasswordKeepsTheServersLine)
{
    for (bool tls : {false, true}) {
        ConnectionInternal c;
        connect(c, "alice", "wrong", tls);
        try {
            c.init(true);
            FAIL();
        } catch (const AuthenticateFailedException& e) {
            EXPECT_EQ(ImapLoginFailed, handleImapException(e, ImapLoginFailed));
        }
        EXPECT_EQ(0u, withoutTags(c.getLastErrorResponse()).find("NO "))
            << c.getLastErrorResponse();
        EXPECT_NE(std::string::npos, c.getLastErrorResponse().find("AUTHENTICATIONFAILED"));
        EXPECT_EQ(ConnectionInternal::NotConnected, c.getState());
    }
}

TEST_F(DovecotTest, LiteralsArriveByteForByte)
{
    std::string several;
    for (std::size_t i = 0; several.size() < 3u << 20; ++i) {
        several += "line " + std::to_string(i) + " \xe4\xf6\xfc";
        several += (i % 3 == 0) ? std::string("\0\n", 2) : std::string("\r\n");
    }
    std::vector<std::string> messages = {
        std::string(1, 'x'),
        std::string(10240, 'a'),
        std::string(10241, 'b'),
        several,
    };
    messages[1][100] = '\0';
    messages[2][200] = '\n';
    messages[2][10240] = '\xff';
    RawImap raw(server->port());
    ASSERT_TRUE(raw.login("alice", "secret"));
    raw.command("DELETE Literals");
    ASSERT_TRUE(raw.create("Literals"));
    for (const std::string& m : messages)
        ASSERT_TRUE(raw.append("Literals", m));
    bool selected = false;
    raw.command("SELECT Literals", &selected);
    ASSERT_TRUE(selected);

    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        ConnectionInternal c;
        connect(c, "alice", "secret", tls);
        c.init(true);
        Command select(c, "SELECT");
        select.addParamString("Literals");
        ASSERT_EQ(Command::OK, select.execute(nullptr));
        for (std::size_t i = 0; i < messages.size(); ++i) {
            SCOPED_TRACE(i);
            Command fetch(c, "FETCH");
            fetch.addParam(static_cast<unsigned>(i + 1));
            fetch.addParam("BODY.PEEK[]");
            ASSERT_EQ(Command::OK, fetch.execute(nullptr));
            std::vector<ResponseResult> results;
            ASSERT_EQ(1u, fetch.filterResponses(results, RespFetch));
            std::string mine = literalOf(fetch.getUntaggedResponses().back());
            std::string expected = served(messages[i]);
            EXPECT_EQ(expected.size(), mine.size());
            EXPECT_TRUE(expected == mine);
            std::string theirs
                = literalOf(raw.command("FETCH " + std::to_string(i + 1) + " BODY.PEEK[]"));
            EXPECT_TRUE(theirs == mine);
        }
        // A literal of 0 bytes: a partial fetch of no bytes.
        Command empty(c, "FETCH");
        empty.addParam("1 BODY.PEEK[]<0.0>");
        ASSERT_EQ(Command::OK, empty.execute(nullptr));
        EXPECT_EQ("* 1 FETCH (BODY[]<0> {0}\r\n)", empty.getUntaggedResponses().back());
    }
}

TEST_F(DovecotTest, NoAndBadAreResultsNotFailures)
{
    ConnectionInternal c;
    connect(c, "alice", "secret", false);
    c.init(true);
    Command select(c, "SELECT");
    select.addParamString("does-not-exist");
    EXPECT_EQ(Command::NO, select.execute(nullptr));
    EXPECT_EQ(select.getTaggedResponse(), c.getLastErrorResponse());
    Command bad(c, "FROBNICATE");
    EXPECT_EQ(Command::BAD, bad.execute(nullptr));
    // The connection is still usable.
    Command noop(c, "NOOP");
    EXPECT_EQ(Command::OK, noop.execute(nullptr));
}

TEST_F(DovecotTest, FolderNamesNeedingLiteralsAndEscapes)
{
    ConnectionInternal c;
    connect(c, "carol", "quo\"te", false);
    c.init(true);
    for (std::string name : {"a\"b", "a\\b", "NILS", "Drafts}"}) {
        SCOPED_TRACE(name);
        Command create(c, "CREATE");
        create.addParamString(name);
        ASSERT_EQ(Command::OK, create.execute(nullptr)) << create.getTaggedResponse();
        Command list(c, "LIST");
        list.addParamString("");
        list.addParamString(name);
        ASSERT_EQ(Command::OK, list.execute(nullptr));
        std::vector<ResponseResult> results;
        ASSERT_EQ(1u, list.filterResponses(results, RespList));
        std::string text = results[0].getString();
        Parser parser(text);
        std::string flags, delimiter, listed;
        ASSERT_TRUE(parser.getNode(flags));
        ASSERT_TRUE(parser.getNode(delimiter));
        ASSERT_TRUE(parser.getNode(listed));
        EXPECT_EQ(name, listed) << text;
    }
}

} // namespace

namespace {

// A server that does not announce LITERAL+ gets synchronising literals: a
// password with a non-ASCII byte (which must go as a literal) logs in, and
// the wire, seen through a relay, shows the literal waited for the server.
// (Dovecot itself would take LITERAL+ whatever it announces; servers that
// keep to RFC 3501 refuse it.)
TEST(DovecotWithoutLiteralPlus, PasswordWithAnEightBitByteLogsIn)
{
    if (!Dovecot::available())
        GTEST_SKIP() << Dovecot::unavailable();
    Dovecot::Options options;
    options.extraConfig = "imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE\n";
    Dovecot server({{"erik", "p\xc3\xa4ss"}}, options);
    LoopbackServer relay([&](PeerSocket& peer) { peer.relayTo(server.port()); });
    ConnectionInternal c;
    c.initialize(
        "127.0.0.1", static_cast<unsigned>(relay.port()), "erik", "p\xc3\xa4ss", false, 180, false);
    c.setTimeoutMs(10000);
    ASSERT_NO_THROW(c.init(true)) << c.getLastErrorResponse();
    EXPECT_EQ(std::string::npos, c.getGreeting().find("LITERAL")) << c.getGreeting();
    EXPECT_EQ(ConnectionInternal::Authenticated, c.getState());
    EXPECT_EQ("LOGIN \"erik\" {5}\r\np\xc3\xa4ss\r\n", withoutTags(relay.received(0)));
}

// Dovecot's login and mail processes run as its own users: with TMPDIR in
// a folder closed to them (as `mktemp -d` makes it), its files go where
// they can reach them, and are gone with the server.
TEST(DovecotFilesBase, ATemporaryFolderClosedToDovecotsUsersIsPassedOver)
{
    if (!Dovecot::available())
        GTEST_SKIP() << Dovecot::unavailable();
    struct Case {
        const char* name;
        mode_t parentMode;
        bool filesUnderTmpdir;
    } cases[] = {
        {"a private folder", 0700, false},
        {"an open folder", 0755, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Open on its way, also when the tests run under a private TMPDIR.
        TempDir parent(Dovecot::filesBase());
        ASSERT_EQ(0, chmod(parent.path().c_str(), c.parentMode));
        const std::string tmpdir = parent.file("t");
        ASSERT_EQ(0, mkdir(tmpdir.c_str(), 0755));
        ScopedEnv privateTmpdir("TMPDIR", tmpdir);
        EXPECT_EQ(Dovecot::closedToOthers(tmpdir).empty(), c.filesUnderTmpdir)
            << Dovecot::closedToOthers(tmpdir);
        std::string files;
        {
            Dovecot server(std::map<std::string, std::string>{{"alice", "secret"}});
            files = server.logFile().substr(0, server.logFile().rfind('/'));
            EXPECT_EQ(files.rfind(tmpdir + "/", 0) == 0, c.filesUnderTmpdir) << files;
            RawImap imap(server.port());
            EXPECT_TRUE(imap.login("alice", "secret")) << server.log();
            EXPECT_TRUE(imap.create("Kept")) << server.log();
        }
        EXPECT_FALSE(std::filesystem::exists(files));
    }
}

TEST(DovecotFilesBase, ClosedToOthersNamesTheFolderThatIsClosed)
{
    if (Dovecot::filesBase().empty())
        GTEST_SKIP() << Dovecot::unavailable();
    TempDir parent(Dovecot::filesBase());
    const std::string inner = parent.file("t");
    ASSERT_EQ(0, mkdir(inner.c_str(), 0755));
    const std::string real = std::filesystem::canonical(parent.path()).string();
    struct Case {
        mode_t parentMode;
        std::string folder;
        std::string said;
    } cases[] = {
        {0755, inner, ""},
        {0700, inner, real + " is 0700"},
        {0710, inner, real + " is 0710"},
        {0701, inner, ""},
        {0755, parent.file("missing"), parent.file("missing") + " can't be read (No such file or directory)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.parentMode << " " << c.folder);
        ASSERT_EQ(0, chmod(parent.path().c_str(), c.parentMode));
        EXPECT_EQ(Dovecot::closedToOthers(c.folder), c.said);
    }
}

} // namespace
