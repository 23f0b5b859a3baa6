// Folder ACLs and message annotations through the client against the
// stand-in target server, which keeps what it was sent so that it can be
// read back: the wire forms it receives (the unquoted entry texts, the
// three-argument DELETEACL of a reset), the refusals as result codes, and
// caller texts that must never turn into a second command.
#include "imapclient/SimpleImapClient.h"
#include "support/Dovecot.h"
#include "support/ImapLogins.h"
#include "support/StandInTarget.h"

#include <gtest/gtest.h>

using namespace tavir::mail;
using tavir::mailserver::common::KUuid;
using tavir::test::aliceTargetOptions;
using tavir::test::RawImap;
using tavir::test::StandInTarget;

namespace {

const char* const account = "alice@example.com";

// A master connection switched to the account.
void connectMaster(SimpleImapClient& client, const StandInTarget& target)
{
    ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(client, target, 10000));
}

std::string acl(const StandInTarget& target, const std::string& folder)
{
    auto folders = target.folders(account);
    auto it = folders.find(folder);
    return it == folders.end() ? "<no folder>" : it->second.aclJson;
}

// The command lines the client sent, in order, without their tags.
std::vector<std::string> sent(const StandInTarget& target, const std::string& verb)
{
    std::vector<std::string> lines;
    std::istringstream in(target.transcript());
    std::string line;
    while (std::getline(in, line)) {
        std::size_t at = line.find(" C: ");
        if (at == std::string::npos)
            continue;
        std::string command = line.substr(at + 4);
        std::size_t blank = command.find(' ');
        if (blank == std::string::npos)
            continue;
        command = command.substr(blank + 1);
        if (command.compare(0, verb.size(), verb) == 0)
            lines.push_back(command);
    }
    return lines;
}

std::string lastError(const SimpleImapClient& client)
{
    std::wstring w = client.getLastErrorResponse();
    return std::string(w.begin(), w.end()); // ASCII in these tests
}

} // namespace

TEST(AclTargetTest, SetAndDeleteAsTheServerReceivesThem)
{
    StandInTarget target(aliceTargetOptions());
    SimpleImapClient client;
    connectMaster(client, target);
    KUuid guid;
    ASSERT_EQ(
        ImapSuccess, client.createFolder(L"Entwürfe", guid, SimpleImapClient::FolderTypeNone));

    EXPECT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"fred lrs"));
    EXPECT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"\"john smith\" lrx"));
    EXPECT_EQ(ImapSuccess, client.setAcl(L"Entwürfe", L"bob lrswipcda"));
    EXPECT_EQ("{\"fred\": \"lrs\", \"john smith\": \"lrx\"}", acl(target, "INBOX"));
    EXPECT_EQ("{\"bob\": \"lrswipcda\"}", acl(target, "Entw&APw-rfe"));

    EXPECT_EQ(ImapSuccess, client.deleteAcl(L"INBOX", L"fred"));
    EXPECT_EQ("{\"john smith\": \"lrx\"}", acl(target, "INBOX"));

    std::vector<std::string> expected = {
        "SETACL \"INBOX\" fred lrs",
        "SETACL \"INBOX\" \"john smith\" lrx",
        "SETACL \"Entw&APw-rfe\" bob lrswipcda",
    };
    EXPECT_EQ(expected, sent(target, "SETACL"));
    EXPECT_EQ(std::vector<std::string>{"DELETEACL \"INBOX\" fred"}, sent(target, "DELETEACL"));
}

TEST(AclTargetTest, ResetKeepsOnlyOwnerEntries)
{
    StandInTarget target(aliceTargetOptions());
    SimpleImapClient client;
    connectMaster(client, target);
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"alice lrswipcdaO"));
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"bob lrsxy"));
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"fred lr"));
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"zed O"));

    // The stand-in lists every entry in one ACL response: all of them count.
    EXPECT_EQ(ImapSuccess, client.resetAcl(L"INBOX"));
    EXPECT_EQ("{\"alice\": \"lrswipcdaO\", \"zed\": \"O\"}", acl(target, "INBOX"));
    std::vector<std::string> expected = {
        "DELETEACL \"INBOX\" \"bob\" \"lrsxy\"",
        "DELETEACL \"INBOX\" \"fred\" \"lr\"",
    };
    EXPECT_EQ(expected, sent(target, "DELETEACL"));

    // Nothing left to remove, and an empty list: both succeed.
    EXPECT_EQ(ImapSuccess, client.resetAcl(L"INBOX"));
    KUuid guid;
    ASSERT_EQ(ImapSuccess, client.createFolder(L"Empty", guid, SimpleImapClient::FolderTypeNone));
    EXPECT_EQ(ImapSuccess, client.resetAcl(L"Empty"));
    EXPECT_EQ(2u, sent(target, "DELETEACL").size());
}

TEST(AclTargetTest, ResetStopsAtTheFirstRefusal)
{
    StandInTarget target(aliceTargetOptions(R"([{"on": "DELETEACL", "count": 2, "action": "no"}])"));
    SimpleImapClient client;
    connectMaster(client, target);
    for (const wchar_t* entry : {L"a l", L"b l", L"c l"})
        ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", entry));
    EXPECT_EQ(ImapAclFailed, client.resetAcl(L"INBOX"));
    EXPECT_NE(std::string::npos, lastError(client).find("NO planned refusal"));
    EXPECT_EQ("{\"b\": \"l\", \"c\": \"l\"}", acl(target, "INBOX"));
    EXPECT_EQ(2u, sent(target, "DELETEACL").size());
}

TEST(AclTargetTest, ResultCodes)
{
    StandInTarget target(aliceTargetOptions(
        R"([{"on": "GETACL", "action": "bad"}, {"on": "SETACL", "count": 3, "action": "drop"}])"));
    SimpleImapClient client;
    // Not connected: nothing is sent and the last error stays.
    client.setLastErrorResponse("before");
    AnnotationList none;
    EXPECT_EQ(ImapNotConnected, client.setAcl(L"INBOX", L"fred l"));
    EXPECT_EQ(ImapNotConnected, client.deleteAcl(L"INBOX", L"fred"));
    EXPECT_EQ(ImapNotConnected, client.resetAcl(L"INBOX"));
    EXPECT_EQ(ImapNotConnected, client.storeAnnotations(1, none));
    EXPECT_EQ("before", lastError(client));

    connectMaster(client, target);
    EXPECT_EQ(ImapAclFailed, client.resetAcl(L"INBOX")); // GETACL refused
    EXPECT_NE(std::string::npos, lastError(client).find("BAD planned refusal"));
    EXPECT_EQ(ImapAclFailed, client.setAcl(L"Missing", L"fred l"));
    EXPECT_NE(std::string::npos, lastError(client).find("NO [NONEXISTENT]"));
    EXPECT_EQ(ImapAclFailed, client.deleteAcl(L"Missing", L"fred"));
    EXPECT_EQ(ImapAclFailed, client.setAcl(L"INBOX", L"fred")); // no rights: BAD
    EXPECT_EQ(ImapConnectionError, client.setAcl(L"INBOX", L"x l")); // dropped (3rd SETACL)

    // A user login can't reset: nothing is sent.
    SimpleImapClient user;
    user.setReadTimeoutMs(10000);
    ASSERT_EQ(ImapSuccess,
        user.connect(target.whost(), target.port(), L"alice@example.com", L"alice-pw", false, false));
    std::size_t before = sent(target, "GETACL").size();
    EXPECT_EQ(ImapNotConnected, user.resetAcl(L"INBOX"));
    EXPECT_EQ(before, sent(target, "GETACL").size());
    EXPECT_EQ(ImapSuccess, user.setAcl(L"INBOX", L"fred l"));
}

TEST(AclTargetTest, CallerTextNeverStartsASecondCommand)
{
    StandInTarget target(aliceTargetOptions());
    SimpleImapClient client;
    connectMaster(client, target);
    const std::wstring entries[] = {
        L"fred lr\r\nK99 DELETE INBOX",
        L"fred lr\nK99 DELETE INBOX",
        L"fred lr\rK99 DELETE INBOX",
        std::wstring(L"fred lr\0K99 DELETE INBOX", 24),
        L"fred {12}",
        L"fred {25+}",
    };
    for (const std::wstring& entry : entries) {
        EXPECT_EQ(ImapAclFailed, client.setAcl(L"INBOX", entry));
        EXPECT_EQ(ImapAclFailed, client.deleteAcl(L"INBOX", entry));
    }
    EXPECT_TRUE(sent(target, "SETACL").empty());
    EXPECT_TRUE(sent(target, "DELETEACL").empty());
    EXPECT_TRUE(sent(target, "DELETE ").empty());
    // The connection is still in step.
    EXPECT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"fred lr"));
    EXPECT_EQ("{\"fred\": \"lr\"}", acl(target, "INBOX"));

    // An identifier read back from the server goes out again as one string,
    // whatever it holds.
    RawImap raw(target.host(), target.port());
    ASSERT_TRUE(raw.login(account, "alice-pw"));
    bool ok = false;
    raw.command("SETACL \"INBOX\" {13+}\r\nx\r\nK99 LOGOUT lr", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ImapSuccess, client.resetAcl(L"INBOX"));
    EXPECT_EQ("{}", acl(target, "INBOX"));
    EXPECT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"fred lr"));
    EXPECT_EQ("{\"fred\": \"lr\"}", acl(target, "INBOX"));
}

TEST(AnnotationTargetTest, StoreAndReadBack)
{
    StandInTarget target(aliceTargetOptions(R"([{"on": "UID STORE", "count": 3, "action": "no"}])"));
    RawImap raw(target.host(), target.port());
    ASSERT_TRUE(raw.login(account, "alice-pw"));
    ASSERT_TRUE(raw.append("INBOX", "Subject: one\r\n\r\nbody\r\n"));
    ASSERT_TRUE(raw.append("INBOX", "Subject: two\r\n\r\nbody\r\n"));

    SimpleImapClient client;
    connectMaster(client, target);
    ASSERT_EQ(ImapSuccess, client.select(L"INBOX"));

    AnnotationList list;
    list.add("/comment", "hello", "not sent");
    list.addNil("/flag");
    list.add("/empty", "", "");
    list.add("/odd", "a\r\nK99 DELETE INBOX \"q\" \\", "");
    list.add("/gr\xc3\xbc\xc3\x9f", "gr\xc3\xbc\xc3\x9f", "");
    EXPECT_EQ(ImapSuccess, client.storeAnnotations(2, list));

    auto folders = target.folders(account);
    ASSERT_EQ(2u, folders["INBOX"].messages.size());
    EXPECT_EQ("{}", folders["INBOX"].messages[0].annotationsJson);
    EXPECT_EQ("{\"/comment\": {\"value\": \"hello\"}, \"/flag\": {\"value\": null}, "
              "\"/empty\": {\"value\": \"\"}, "
              "\"/odd\": {\"value\": \"a\\r\\nK99 DELETE INBOX \\\"q\\\" \\\\\"}, "
              "\"/gr\\u00fc\\u00df\": {\"value\": \"gr\\u00fc\\u00df\"}}",
        folders["INBOX"].messages[1].annotationsJson);
    EXPECT_TRUE(sent(target, "DELETE ").empty());
    std::vector<std::string> expected = {"UID STORE 2:2 ANNOTATION (\"/comment\" ( \"value\" "
                                         "{5+}"};
    EXPECT_EQ(expected, sent(target, "UID STORE"));

    // An empty list, and a refusal.
    EXPECT_EQ(ImapSuccess, client.storeAnnotations(1, AnnotationList()));
    EXPECT_EQ(ImapAnnotationFailed, client.storeAnnotations(1, list));
    EXPECT_NE(std::string::npos, lastError(client).find("NO planned refusal"));
    EXPECT_EQ("{}", target.folders(account)["INBOX"].messages[0].annotationsJson);
}

TEST(AclTargetTest, TimeOutsAreConnectionErrors)
{
    StandInTarget target(aliceTargetOptions(
        R"([{"on": "GETACL", "action": "stall"}, {"on": "UID STORE", "action": "stall"}])"));
    SimpleImapClient reset;
    connectMaster(reset, target);
    reset.getConnection().setTimeoutMs(300);
    EXPECT_EQ(ImapConnectionError, reset.resetAcl(L"INBOX"));
    const std::string timedOut
        = "connection to " + target.host() + ":" + std::to_string(target.port()) + " timed out after 0.3 s";
    EXPECT_EQ(timedOut, lastError(reset));

    RawImap raw(target.host(), target.port());
    ASSERT_TRUE(raw.login(account, "alice-pw"));
    ASSERT_TRUE(raw.append("INBOX", "Subject: one\r\n\r\nbody\r\n"));
    SimpleImapClient store;
    connectMaster(store, target);
    ASSERT_EQ(ImapSuccess, store.select(L"INBOX"));
    store.getConnection().setTimeoutMs(300);
    AnnotationList list;
    list.add("/comment", "x", "");
    EXPECT_EQ(ImapConnectionError, store.storeAnnotations(1, list));
    EXPECT_EQ(timedOut, lastError(store));
}
