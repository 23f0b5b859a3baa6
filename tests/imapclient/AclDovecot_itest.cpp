// Folder ACLs against a real Dovecot with its acl and imap_acl plugins: its
// GETACL replies read into records, SETACL and DELETEACL round trips, and
// the refusals of forms it doesn't take coming back as result codes.
#include "imapclient/CommandAcl.h"
#include "imapclient/SimpleImapClient.h"
#include "support/Dovecot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

using namespace tavir::mail;
using tavir::test::Dovecot;
using tavir::test::RawImap;

namespace {

class AclDovecotTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << Dovecot::unavailable();
        Dovecot::Options options;
        options.acl = true;
        server = std::make_unique<Dovecot>(
            std::map<std::string, std::string>{{"alice", "alice-pw"}, {"bob", "bob-pw"}}, options);
        client.setReadTimeoutMs(10000);
        ASSERT_EQ(ImapSuccess,
            client.connect(L"127.0.0.1", server->port(), L"alice", L"alice-pw", false, false));
    }

    // The folder's ACL as records read through the client.
    std::map<std::string, std::string> getAcl(const std::string& folder)
    {
        CommandGetAcl command(client.getConnection(), folder);
        EXPECT_EQ(Command::OK, command.execute(nullptr));
        std::vector<ACLInfo> entries;
        command.getAclInfo(entries);
        std::map<std::string, std::string> out;
        for (const ACLInfo& e : entries)
            out[e.identifier] = e.rights.getStr();
        return out;
    }

    // The same ACL as Dovecot words it, read by a client of its own: the
    // pairs of the untagged ACL line, their letters sorted.
    std::map<std::string, std::string> rawAcl(const std::string& folder)
    {
        RawImap raw(server->port());
        EXPECT_TRUE(raw.login("alice", "alice-pw"));
        std::string reply = raw.command("GETACL \"" + folder + "\"");
        std::map<std::string, std::string> out;
        std::size_t at = reply.find("* ACL ");
        if (at == std::string::npos)
            return out;
        std::istringstream in(reply.substr(at + 6, reply.find("\r\n", at) - at - 6));
        std::vector<std::string> words;
        std::string word;
        while (in >> word)
            words.push_back(
                word.size() >= 2 && word.front() == '"' ? word.substr(1, word.size() - 2) : word);
        for (std::size_t i = 1; i + 1 < words.size(); i += 2)
            out[words[i]] = words[i + 1];
        return out;
    }

    static std::string sorted(std::string letters)
    {
        std::sort(letters.begin(), letters.end());
        return letters;
    }

    std::unique_ptr<Dovecot> server;
    SimpleImapClient client;
};

} // namespace

TEST_F(AclDovecotTest, RecordsMatchTheServersReply)
{
    // Dovecot lists every entry in one ACL response, with rights letters
    // beyond the known set (t, e, k, x) and negative and group identifiers.
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"bob lrs"));
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"$staff l"));
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"-carol lw"));
    std::map<std::string, std::string> records = getAcl("INBOX");
    std::map<std::string, std::string> reference = rawAcl("INBOX");
    ASSERT_EQ(4u, reference.size()) << server->log();
    ASSERT_EQ(reference.size(), records.size());
    for (const auto& [identifier, letters] : reference) {
        SCOPED_TRACE(identifier);
        ASSERT_EQ(1u, records.count(identifier));
        // The same letters, the known ones first in table order.
        EXPECT_EQ(sorted(letters), sorted(records[identifier]));
        EXPECT_EQ(ACL(letters).getStr(), records[identifier]);
    }
    EXPECT_EQ("lrs", records["bob"]);
    EXPECT_EQ("lw", records["-carol"]);
    EXPECT_EQ("l", records["$staff"]);
    // The owner holds every right Dovecot has, which has no "O".
    EXPECT_EQ("lrswipcdatekx", records["alice"]);

    // Identifiers Dovecot sends as a quoted string or a literal.
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"\"dan smith\" r"));
    ASSERT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"jörg ri"));
    records = getAcl("INBOX");
    EXPECT_EQ("r", records["dan smith"]);
    EXPECT_EQ("ri", records["j\xc3\xb6rg"]);
    EXPECT_EQ(6u, records.size());
}

TEST_F(AclDovecotTest, SetAndDeleteRoundTrips)
{
    RawImap seed(server->port());
    ASSERT_TRUE(seed.login("alice", "alice-pw"));
    ASSERT_TRUE(seed.create("Entw&APw-rfe"));

    EXPECT_EQ(ImapSuccess, client.setAcl(L"Entwürfe", L"bob lrwi"));
    EXPECT_EQ("lrwi", getAcl("Entw&APw-rfe")["bob"]);
    EXPECT_EQ(ImapSuccess, client.setAcl(L"Entwürfe", L"bob +d"));
    // RFC 4314: the obsolete right d stands for e and t as well.
    EXPECT_EQ("lrwidet", getAcl("Entw&APw-rfe")["bob"]);
    EXPECT_EQ(ImapSuccess, client.setAcl(L"Entwürfe", L"bob -wi"));
    EXPECT_EQ("lrdet", getAcl("Entw&APw-rfe")["bob"]);
    EXPECT_EQ(ImapSuccess, client.deleteAcl(L"Entwürfe", L"bob"));
    EXPECT_EQ(0u, getAcl("Entw&APw-rfe").count("bob"));
    EXPECT_EQ(1u, getAcl("Entw&APw-rfe").count("alice"));

    // Dovecot takes the three-argument DELETEACL of a reset too: it reads
    // the folder and the identifier and passes over the rights.
    EXPECT_EQ(ImapSuccess, client.setAcl(L"INBOX", L"bob lr"));
    CommandDeleteAcl three(client.getConnection(), "INBOX", "bob", "lr");
    EXPECT_EQ(Command::OK, three.execute(nullptr));
    EXPECT_EQ(0u, getAcl("INBOX").count("bob"));
}

TEST_F(AclDovecotTest, RefusalsAreResultCodes)
{
    struct Case {
        const char* name;
        std::function<SimpleImapClient::ImapClientResult()> run;
        const char* reply; // in the last error
    };
    const Case cases[] = {
        {"no such folder", [&] { return client.setAcl(L"Missing", L"bob lr"); },
            " NO [NONEXISTENT]"},
        {"no rights", [&] { return client.setAcl(L"INBOX", L"bob"); }, " BAD "},
        {"a right Dovecot does not have", [&] { return client.setAcl(L"INBOX", L"bob lrO"); },
            " BAD "},
        {"an identifier Dovecot refuses", [&] { return client.setAcl(L"INBOX", L"anyone l"); },
            " BAD "},
        {"no identifier", [&] { return client.deleteAcl(L"INBOX", L""); }, " BAD "},
        {"delete in a missing folder", [&] { return client.deleteAcl(L"Missing", L"bob"); },
            " NO "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ImapAclFailed, c.run());
        std::string error;
        for (wchar_t w : client.getLastErrorResponse())
            error += static_cast<char>(w);
        EXPECT_NE(std::string::npos, error.find(c.reply)) << error;
    }
    // A user login may not reset: nothing is sent.
    EXPECT_EQ(ImapNotConnected, client.resetAcl(L"INBOX"));
    EXPECT_EQ(1u, getAcl("INBOX").size());
}
