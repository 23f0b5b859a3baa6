// Message copy from a real Dovecot (the kind of source a migration meets)
// into the stand-in target: bodies arrive byte for byte as the source serves
// them, with their standard flags and internal date, and the source messages
// stay unread. Also the logins (CRAM-MD5, master authentication), the switch
// to each account, and folder names that need quoting or modified UTF-7.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/ConnectionInternal.h"
#include "imapclient/SimpleImapClient.h"
#include "support/Dovecot.h"
#include "support/ImapLogins.h"
#include "support/MailSnapshot.h"
#include "support/StandInTarget.h"
#include "timezone/MailDateParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

using namespace tavir::mail;
using tavir::mailserver::common::KUuid;
using tavir::test::Dovecot;
using tavir::test::RawImap;
using tavir::test::StandInTarget;
using tavir::test::standardFlagsOf;

namespace {

const char* master = "master-secret";

void useTestTimeout(SimpleImapClient& client)
{
    client.setReadTimeoutMs(10000);
}

// The literal of the first BODY[] in a raw FETCH reply.
std::string bodyOf(const std::string& reply)
{
    std::size_t at = reply.find("BODY[] {");
    if (at == std::string::npos)
        return "<no body>";
    std::size_t close = reply.find('}', at);
    std::size_t size = std::stoul(reply.substr(at + 8, close - at - 8));
    return reply.substr(close + 3, size);
}

std::string between(const std::string& text, const std::string& open, char close)
{
    std::size_t at = text.find(open);
    if (at == std::string::npos)
        return "<missing>";
    at += open.size();
    return text.substr(at, text.find(close, at) - at);
}

std::time_t instant(const std::string& date)
{
    std::time_t t = 0;
    EXPECT_TRUE(tavir::timezone::parseInternaldate(date.c_str(), &t)) << date;
    return t;
}

std::string sortedFlags(const std::vector<std::string>& flags)
{
    std::vector<std::string> lower;
    for (std::string f : flags) {
        std::transform(f.begin(), f.end(), f.begin(), ::tolower);
        lower.push_back(f);
    }
    std::sort(lower.begin(), lower.end());
    std::string out;
    for (const std::string& f : lower)
        out += (out.empty() ? "" : " ") + f;
    return out;
}

struct Seed {
    std::string data;
    std::string flags;
    std::string date;
};

std::string pattern(std::size_t size, unsigned seed)
{
    std::string text;
    text.reserve(size);
    unsigned x = seed;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        text += static_cast<char>(x >> 16);
    }
    return text;
}

std::string mailText(std::size_t size, const std::string& extra)
{
    std::string text = "From: a@example.com\r\nSubject: test\r\n\r\n" + extra;
    while (text.size() < size)
        text += "line of text " + std::to_string(text.size()) + "\r\n";
    text.resize(size);
    return text;
}

class CopyFromDovecot : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << Dovecot::unavailable();
    }
};

TEST_F(CopyFromDovecot, BodiesFlagsAndDatesArriveAsServed)
{
    Dovecot dovecot(std::map<std::string, std::string>{{"alice", "alicepw"}});
    std::vector<Seed> seeds = {
        // (Dovecot refuses to store a message of no bytes; that case is
        // served by the scripted source of CopyFaults_itest.)
        {"x", "\\Seen", "17-Jul-1996 02:44:25 -0700"},
        {mailText(10240, ""), "\\Flagged $Label1", "01-Feb-2024 23:59:59 +0100"},
        {mailText(10241, "bare\nLF\n"), "", "29-Feb-2020 00:00:00 +0000"},
        {mailText(25000, std::string("NUL\0byte 8-bit \xe9\xff\r\n", 19)), "\\Answered \\Draft",
            "31-Dec-1999 23:59:59 -1200"},
        {mailText(3u << 20, std::string(200000, 'L') + "\r\n" + pattern(500000, 7)),
            "\\Deleted \\Seen \\Answered", "05-Mar-2024 14:07:09 +0530"},
    };
    {
        RawImap raw(dovecot.port());
        ASSERT_TRUE(raw.login("alice", "alicepw"));
        for (const Seed& s : seeds)
            ASSERT_TRUE(raw.append("INBOX", s.data, s.flags, s.date));
    }
    StandInTarget::Options options;
    options.masterPassword = master;
    options.accounts = {{"alice@example.com", ""}};
    StandInTarget target(options);

    SimpleImapClient source;
    ASSERT_EQ(ImapSuccess, tavir::test::connectSource(source, dovecot.port(), L"alicepw", 10000));
    unsigned count = 0;
    ASSERT_EQ(ImapSuccess, source.status(L"INBOX", count));
    ASSERT_EQ(seeds.size(), count);

    SimpleImapClient to;
    ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, 10000));
    for (unsigned n = 1; n <= count; ++n)
        ASSERT_EQ(ImapSuccess, source.copyMessage(L"INBOX", to, n)) << n;

    auto folders = target.folders("alice@example.com");
    ASSERT_EQ(count, folders["INBOX"].messages.size());
    RawImap check(dovecot.port());
    ASSERT_TRUE(check.login("alice", "alicepw"));
    check.command("SELECT INBOX");
    for (unsigned n = 1; n <= count; ++n) {
        std::string served
            = check.command("FETCH " + std::to_string(n) + " (FLAGS INTERNALDATE BODY.PEEK[])");
        const StandInTarget::Message& copy = folders["INBOX"].messages[n - 1];
        std::string expected = bodyOf(served);
        EXPECT_EQ(expected.size(), copy.data.size()) << n;
        EXPECT_TRUE(expected == copy.data) << n;
        EXPECT_EQ(standardFlagsOf(between(served, "FLAGS (", ')')), sortedFlags(copy.flags)) << n;
        EXPECT_EQ(instant(between(served, "INTERNALDATE \"", '"')), instant(copy.date)) << n;
    }
    // The peeking fetch left the unread messages unread.
    for (unsigned n = 1; n <= count; ++n) {
        std::string flags
            = between(check.command("FETCH " + std::to_string(n) + " FLAGS"), "FLAGS (", ')');
        bool seen = flags.find("\\Seen") != std::string::npos;
        EXPECT_EQ(seeds[n - 1].flags.find("\\Seen") != std::string::npos, seen)
            << n << " " << flags;
    }
}

// Another session changes a flag while we copy: Dovecot tells us with an
// unsolicited "* n FETCH (FLAGS (...))" just before its tagged OK. That is
// news, not a failed message, in the single copy and in the pipelined one.
TEST_F(CopyFromDovecot, FlagChangesOfAnotherSessionAreNoFailures)
{
    Dovecot dovecot(std::map<std::string, std::string>{{"alice", "alicepw"}});
    RawImap other(dovecot.port());
    ASSERT_TRUE(other.login("alice", "alicepw"));
    for (unsigned n = 1; n <= 3; ++n)
        ASSERT_TRUE(other.append("INBOX", mailText(2000, "message " + std::to_string(n))));
    other.command("SELECT INBOX");
    StandInTarget::Options options;
    options.accounts = {{"alice@example.com", ""}};
    StandInTarget target(options);
    SimpleImapClient to;
    ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, 10000));
    SimpleImapClient source;
    ASSERT_EQ(ImapSuccess, tavir::test::connectSource(source, dovecot.port(), L"alicepw", 10000));
    source.setLastErrorResponse("earlier");
    for (unsigned n = 1; n <= 3; ++n) {
        other.command("STORE " + std::to_string(4 - n) + " +FLAGS (\\Flagged)");
        EXPECT_EQ(ImapSuccess, source.copyMessage(L"INBOX", to, n)) << n;
    }
    // Messages 1 and 2 in one FETCH, while message 3 changes.
    other.command("STORE 3 -FLAGS (\\Flagged)");
    unsigned copied = 0, failed = 0;
    EXPECT_EQ(ImapSuccess, source.copyFolder(L"INBOX", to, 1, 2, copied, failed));
    EXPECT_EQ(2u, copied);
    EXPECT_EQ(0u, failed);
    EXPECT_NE(ConnectionInternal::NotConnected, source.getConnection().getState());
    EXPECT_EQ(L"earlier", source.getLastErrorResponse());
    EXPECT_EQ(5u, target.folders("alice@example.com")["INBOX"].messages.size());
    // What Dovecot sent: the news about message 3 in the reply to a FETCH
    // of messages 1 and 2, as a raw session sees it.
    RawImap watcher(dovecot.port());
    ASSERT_TRUE(watcher.login("alice", "alicepw"));
    watcher.command("SELECT INBOX");
    other.command("STORE 3 +FLAGS (\\Flagged)");
    EXPECT_NE(std::string::npos, watcher.command("FETCH 1:2 FLAGS").find("* 3 FETCH (FLAGS ("));
}

TEST_F(CopyFromDovecot, LoginsAndAccountSwitch)
{
    Dovecot dovecot(std::map<std::string, std::string>{{"alice", "alicepw"}, {"bob", "bobpw"}});
    for (const char* user : {"alice", "bob"}) {
        RawImap raw(dovecot.port());
        ASSERT_TRUE(raw.login(user, std::string(user) + "pw"));
        ASSERT_TRUE(raw.append("INBOX", std::string("Subject: for ") + user + "\r\n\r\nhi\r\n"));
    }
    StandInTarget::Options options;
    options.masterPassword = master;
    options.accounts = {{"alice@example.com", ""}, {"bob@example.com", ""}};
    StandInTarget target(options);

    // CRAM-MD5 against Dovecot, right and wrong.
    SimpleImapClient cram;
    useTestTimeout(cram);
    EXPECT_EQ(
        ImapLoginFailed, cram.connect(L"127.0.0.1", dovecot.port(), L"bob", L"wrong", true, false));
    EXPECT_FALSE(cram.isConnected());
    EXPECT_EQ(
        ImapSuccess, cram.connect(L"127.0.0.1", dovecot.port(), L"bob", L"bobpw", true, false));

    // A wrong master password is refused.
    SimpleImapClient refused;
    useTestTimeout(refused);
    EXPECT_EQ(ImapLoginFailed, refused.connect(target.whost(), target.port(), L"not-it", false));
    EXPECT_FALSE(refused.isConnected());

    SimpleImapClient to;
    useTestTimeout(to);
    ASSERT_EQ(ImapSuccess, to.connect(target.whost(), target.port(), L"master-secret", false));
    EXPECT_EQ(ImapSetUserFailed, to.setUser(L"nobody", L"example.com"));
    for (const wchar_t* user : {L"alice", L"bob"}) {
        SimpleImapClient source;
        useTestTimeout(source);
        ASSERT_EQ(ImapSuccess,
            source.connect(L"127.0.0.1", dovecot.port(), user, std::wstring(user) + L"pw",
                user[0] == L'b', false));
        ASSERT_EQ(ImapSuccess, source.select(L"INBOX"));
        ASSERT_EQ(ImapSuccess, to.setUser(user, L"example.com"));
        KUuid guid;
        ASSERT_EQ(ImapSuccess, to.createFolder(L"Copied", guid, L"IPF.Note"));
        EXPECT_FALSE(guid.isNull());
        unsigned n = 0;
        KUuid listed;
        ASSERT_EQ(ImapSuccess, to.status(L"Copied", n, listed));
        EXPECT_EQ(guid, listed);
        EXPECT_EQ(ImapSuccess, source.copyMessage(L"Copied", to, 1));
    }
    for (const char* user : {"alice", "bob"}) {
        auto folders = target.folders(std::string(user) + "@example.com");
        ASSERT_EQ(1u, folders["Copied"].messages.size()) << user;
        EXPECT_NE(
            std::string::npos, folders["Copied"].messages[0].data.find(std::string("for ") + user));
        EXPECT_TRUE(folders["INBOX"].messages.empty());
    }
}

TEST_F(CopyFromDovecot, FolderNames)
{
    const std::vector<std::wstring> names = {L"with space", L"Grüße", L"Жёлтый", L"mail \U0001F600",
        L"a\"b", L"a\\b", L"NILS", L"Drafts}", L"&amp"};
    for (char separator : {'.', '/'}) {
        Dovecot::Options options;
        options.separator = separator;
        Dovecot dovecot({{"alice", "alicepw"}}, options);
        std::wstring sep(1, static_cast<wchar_t>(separator));
        {
            RawImap raw(dovecot.port());
            ASSERT_TRUE(raw.login("alice", "alicepw"));
            for (const std::wstring& name : names) {
                std::string wire = tavir::migration::unicodeToUtf7M(name);
                std::string escaped;
                for (char c : wire) {
                    if (c == '"' || c == '\\')
                        escaped += '\\';
                    escaped += c;
                }
                ASSERT_TRUE(raw.create(escaped)) << wire;
            }
            ASSERT_TRUE(raw.create(tavir::migration::unicodeToUtf7M(L"Parent" + sep + L"Kind ü")));
        }
        SimpleImapClient source;
        useTestTimeout(source);
        ASSERT_EQ(ImapSuccess,
            source.connect(L"127.0.0.1", dovecot.port(), L"alice", L"alicepw", false, false));
        std::vector<std::wstring> listed;
        char delimiter = '?';
        ASSERT_EQ(ImapSuccess, source.list(listed, false, delimiter));
        EXPECT_EQ(separator, delimiter);
        std::vector<std::wstring> expected = names;
        expected.push_back(L"INBOX");
        // "Parent" exists only as the parent of its child: listed, not selectable.
        expected.push_back(L"Parent" + sep + L"Kind ü");
        std::sort(expected.begin(), expected.end());
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(expected, listed) << separator;
        std::vector<FolderInfo> infos;
        ASSERT_EQ(ImapSuccess, source.list(infos, false, delimiter));
        auto parent = std::find_if(infos.begin(), infos.end(),
            [](const FolderInfo& info) { return info.name == "Parent"; });
        ASSERT_NE(infos.end(), parent);
        EXPECT_FALSE(parent->selectable);
        for (const std::wstring& name : names) {
            EXPECT_EQ(ImapSuccess, source.select(name));
            unsigned count = 7;
            EXPECT_EQ(ImapSuccess, source.status(name, count));
            EXPECT_EQ(0u, count);
        }

        // The same names made on the target arrive as the same wire names.
        StandInTarget::Options targetOptions;
        targetOptions.masterPassword = master;
        targetOptions.accounts = {{"alice@example.com", ""}};
        StandInTarget target(targetOptions);
        SimpleImapClient to;
        ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, 10000));
        for (const std::wstring& name : names) {
            KUuid guid;
            EXPECT_EQ(ImapSuccess, to.createFolder(name, guid, L"IPF.Note"));
        }
        auto folders = target.folders("alice@example.com");
        for (const std::wstring& name : names)
            EXPECT_EQ(1u, folders.count(tavir::migration::unicodeToUtf7M(name)));
        ASSERT_EQ(ImapSuccess, to.list(infos, true, delimiter));
        EXPECT_EQ(names.size() + StandInTarget::accountFolders().size(), infos.size());
        for (const FolderInfo& info : infos)
            EXPECT_FALSE(info.guid.isNull()) << info.name;
    }
}

TEST_F(CopyFromDovecot, ImplicitTlsOnBothSides)
{
    tavir::test::ScopedHome home; // both self-signed certificates are pinned here
    Dovecot dovecot(std::map<std::string, std::string>{{"alice", "alicepw"}});
    std::string data = mailText(200000, "over TLS\r\n");
    {
        RawImap raw(dovecot.port());
        ASSERT_TRUE(raw.login("alice", "alicepw"));
        ASSERT_TRUE(raw.append("INBOX", data, "\\Seen", "17-Jul-1996 02:44:25 -0700"));
    }
    StandInTarget::Options options;
    options.masterPassword = master;
    options.accounts = {{"alice@example.com", ""}};
    StandInTarget target(options);
    SimpleImapClient source;
    ASSERT_EQ(ImapSuccess,
        tavir::test::connectSource(source, dovecot.tlsPort(), L"alicepw", 10000, {true, false}));
    SimpleImapClient to;
    ASSERT_EQ(ImapSuccess, tavir::test::connectTarget(to, target, 10000, true));
    ASSERT_EQ(ImapSuccess, source.copyMessage(L"INBOX", to, 1));
    auto stored = target.folders("alice@example.com")["INBOX"].messages;
    ASSERT_EQ(1u, stored.size());
    EXPECT_TRUE(data == stored[0].data);
}

} // namespace
