// The procedural tinydb client against scripted servers: the handshake, the
// login answers, and every way a server can misbehave, each ending in a clear
// status and clause with the connection dropped where it can't be trusted.
#include "tinydb/TinyDb.h"

#include "support/TestSupport.h"
#include "tinydb/ScriptedTinyDbStream.h"
#include "tinydb/ServerFrames.h"

#include <gtest/gtest.h>

using namespace tavir::tinydb;
using tavir::test::ScriptedTinyDb;
namespace w = tavir::test::tinydbwire;

namespace {

class TinyDbScripted : public ::testing::Test {
protected:
    // Opens a handle on a server that says `serverBytes`.
    Status open(const std::string& serverBytes, ReadEnd end = ReadEnd::Closed)
    {
        script->serverBytes = serverBytes;
        script->endOfScript = end;
        TinyDbOptions options;
        options.host = "target.example";
        options.timeoutMs = 1500;
        options.knownHostsFile = dir.file("known_hosts.cfg");
        options.factory = tavir::test::scriptedFactory(script);
        return tinydb_open(options, &handle);
    }
    // Opens and logs in; then the server says `afterLogin`.
    void openLoggedIn(const std::string& afterLogin, ReadEnd end = ReadEnd::Closed)
    {
        ASSERT_EQ(Status::Ok, open(w::welcome("7.0.0") + w::loggedIn(0) + afterLogin, end));
        ASSERT_EQ(Status::Ok, tinydb_authenticate(handle, "admin", "pw"));
    }
    void TearDown() override { tinydb_close(handle); }

    tavir::test::TempDir dir;
    std::shared_ptr<ScriptedTinyDb> script = std::make_shared<ScriptedTinyDb>();
    tinydb_handle* handle = nullptr;
};

} // namespace

TEST_F(TinyDbScripted, HandshakeSaysHelloAndReadsTheProductVersion)
{
    ASSERT_EQ(Status::Ok, open(w::welcome("6.5.2")));
    EXPECT_EQ("6.5.2", tinydb_server_version(handle));
    EXPECT_EQ(helloFrame("Tavir Zorp"), script->clientBytes);
    EXPECT_EQ("target.example:44337", tinydb_where(handle));
    EXPECT_TRUE(tinydb_is_usable(handle));
    EXPECT_NE(std::string::npos, tinydb_notice(handle).find("aa:bb:cc")) << "first use is told";
}

TEST_F(TinyDbScripted, LoginAnswers)
{
    struct Case {
        std::uint8_t answer;
        Status status;
        bool usable;
    } cases[] = {{0, Status::Ok, true}, {1, Status::ReadOnly, true}, {2, Status::Refused, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.answer));
        tinydb_close(handle);
        script->clientBytes.clear();
        ASSERT_EQ(Status::Ok, open(w::welcome("7.0.0") + w::loggedIn(c.answer)));
        EXPECT_EQ(c.status, tinydb_authenticate(handle, "admin", "secret"));
        EXPECT_EQ(c.usable, tinydb_is_usable(handle));
        EXPECT_EQ(helloFrame("Tavir Zorp") + loginFrame("admin", "secret"), script->clientBytes);
    }
    EXPECT_EQ(Status::NotReady, tinydb_send_query(handle, "SELECT Version FROM Info"))
        << "refused credentials don't open the statement door";
}

TEST_F(TinyDbScripted, StatementsGetTheirResultOrTheServersError)
{
    openLoggedIn(w::result({{"Version", 2}}, {{w::str("7.0.0")}})
        + w::error(2, "no such column: Foo") + w::done(1));
    ResultSet result;
    ASSERT_EQ(Status::Ok, tinydb_execute(handle, "SELECT Version FROM Info", result));
    EXPECT_EQ("7.0.0", result.rows.at(0).at(0).text);

    EXPECT_EQ(Status::ServerError, tinydb_execute(handle, "SELECT Foo FROM Info", result));
    EXPECT_EQ(2, tinydb_server_error_code(handle));
    EXPECT_NE(std::string::npos, tinydb_error(handle).find("no such column: Foo (error 2)"));
    EXPECT_TRUE(tinydb_is_usable(handle)) << "a refused statement keeps the connection";

    ASSERT_EQ(Status::Ok, tinydb_execute(handle, "UPDATE Security SET PolicyMode = 0", result));
    EXPECT_EQ(1, result.changed);
    EXPECT_EQ(0, tinydb_server_error_code(handle));
}

TEST_F(TinyDbScripted, MisbehavingServersEndInAClearStatus)
{
    const std::string good = w::result({{"N", 1}}, {{w::integer(1)}});
    struct Case {
        const char* name;
        std::string afterLogin;
        ReadEnd end;
        Status status;
        const char* says;
    } cases[] = {
        {"closes before answering", "", ReadEnd::Closed, Status::ConnectionLost,
            "closed the connection before it answered"},
        {"closes inside the header", good.substr(0, 2), ReadEnd::Closed, Status::ConnectionLost,
            "closed the connection before it answered"},
        {"closes in the middle of a result", good.substr(0, good.size() - 3), ReadEnd::Closed,
            Status::ConnectionLost, "in the middle of a message"},
        {"never answers", "", ReadEnd::TimedOut, Status::ConnectionLost,
            "no answer within 1.5 s"},
        {"connection fails", "", ReadEnd::Failed, Status::ConnectionLost, "connection failed"},
        {"frame above the bound", w::be(maxFrameSize + 1, 4) + "\x83", ReadEnd::Closed,
            Status::ProtocolError, "above the limit"},
        {"frame of 4 GiB", w::be(0xFFFFFFFFu, 4), ReadEnd::Closed, Status::ProtocolError,
            "above the limit"},
        {"empty frame", w::be(0, 4), ReadEnd::Closed, Status::ProtocolError, "without a type"},
        {"wrong column count",
            w::frame(0x83,
                w::be(0, 8) + w::be(1, 2) + w::text("N") + "\x01" + w::be(1, 4) + w::be(2, 2)
                    + w::integer(1) + w::integer(2)),
            ReadEnd::Closed, Status::ProtocolError, "a row of 2 values in a result of 1 columns"},
        {"unknown type",
            w::frame(0x83, w::be(0, 8) + w::be(1, 2) + w::text("N") + "\x05" + w::be(0, 4)),
            ReadEnd::Closed, Status::ProtocolError, "unknown column type 5"},
        {"text not UTF-8", w::result({{"T", 2}}, {{w::str("caf\xE9")}}), ReadEnd::Closed,
            Status::ProtocolError, "not UTF-8"},
        {"a welcome where a result belongs", w::welcome("7.0.0"), ReadEnd::Closed,
            Status::ProtocolError, "unexpected message of type 0x81"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tinydb_close(handle);
        openLoggedIn(c.afterLogin, c.end);
        ResultSet result;
        EXPECT_EQ(c.status, tinydb_execute(handle, "SELECT N FROM Misc", result));
        EXPECT_NE(std::string::npos, tinydb_error(handle).find(c.says)) << tinydb_error(handle);
        EXPECT_FALSE(tinydb_is_usable(handle));
        EXPECT_TRUE(script->closed);
        EXPECT_EQ(Status::NotReady, tinydb_execute(handle, "SELECT N FROM Misc", result))
            << "a broken connection is not used again";
    }
}

// Statements sent without waiting: all of them in one write before the
// first answer is read, the answers taken in order, and when the connection
// ends early no statement after the last answer counts as answered.
TEST_F(TinyDbScripted, PipelinedStatementsAreAnsweredInOrderAndACutLeavesTheRestUnanswered)
{
    const std::vector<std::string> statements = {"INSERT INTO Domain (Name) VALUES ('a')",
        "INSERT INTO Domain (Name) VALUES ('b')", "SELECT Name FROM Domain"};
    const std::string rows = w::result({{"Name", 2}}, {{w::str("a")}, {w::str("b")}});
    struct Case {
        const char* name;
        std::string answers;
        ReadEnd end;
        Status status;
        std::vector<Status> each;
        const char* lost; // the clause of the unanswered ones
    } cases[] = {
        {"all answered", w::done(1) + w::error(4, "exists") + rows, ReadEnd::Closed, Status::Ok,
            {Status::Ok, Status::ServerError, Status::Ok}, ""},
        {"closed after the first answer", w::done(1), ReadEnd::Closed, Status::ConnectionLost,
            {Status::Ok, Status::ConnectionLost, Status::ConnectionLost},
            "closed the connection before it answered"},
        {"cut inside the second answer", w::done(1) + w::done(1).substr(0, 7), ReadEnd::Closed,
            Status::ConnectionLost, {Status::Ok, Status::ConnectionLost, Status::ConnectionLost},
            "in the middle of a message"},
        {"silent", "", ReadEnd::TimedOut, Status::ConnectionLost,
            {Status::ConnectionLost, Status::ConnectionLost, Status::ConnectionLost},
            "no answer within 1.5 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tinydb_close(handle);
        openLoggedIn(c.answers, c.end);
        const std::size_t before = script->clientBytes.size();
        const int writes = script->writes;
        const std::size_t reads = script->writtenAtRead.size();
        std::vector<Answer> answers;
        EXPECT_EQ(c.status, tinydb_execute_pipelined(handle, statements, answers));
        EXPECT_EQ(writes + 1, script->writes);
        EXPECT_EQ(queryFrame(statements[0]) + queryFrame(statements[1]) + queryFrame(statements[2]),
            script->clientBytes.substr(before));
        ASSERT_LT(reads, script->writtenAtRead.size());
        EXPECT_EQ(script->clientBytes.size(), script->writtenAtRead[reads])
            << "all sent before an answer was read";
        ASSERT_EQ(statements.size(), answers.size());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(c.each[i], answers[i].status);
            if (c.each[i] == Status::ConnectionLost) {
                EXPECT_NE(std::string::npos, answers[i].error.find(c.lost)) << answers[i].error;
            }
        }
        if (c.status == Status::Ok) {
            EXPECT_EQ(1, answers[0].result.changed);
            EXPECT_EQ(4, answers[1].serverCode);
            EXPECT_EQ(2u, answers[2].result.rows.size());
            EXPECT_TRUE(tinydb_is_usable(handle));
        } else {
            EXPECT_FALSE(tinydb_is_usable(handle));
        }
    }

    // A long pipeline waits for an answer once the window is full.
    tinydb_close(handle);
    std::string answers;
    for (std::size_t i = 0; i <= pipelineWindow; ++i)
        answers += w::done(1);
    openLoggedIn(answers);
    const std::size_t before = script->clientBytes.size();
    const std::size_t reads = script->writtenAtRead.size();
    std::vector<Answer> got;
    ASSERT_EQ(Status::Ok,
        tinydb_execute_pipelined(
            handle, std::vector<std::string>(pipelineWindow + 1, statements[0]), got));
    EXPECT_EQ(before + pipelineWindow * queryFrame(statements[0]).size(),
        script->writtenAtRead.at(reads));
}

TEST_F(TinyDbScripted, HandshakeFailures)
{
    struct Case {
        const char* name;
        std::string server;
        bool connectFails;
        const char* says;
    } cases[] = {
        {"refused port", "", true, "connection refused"},
        {"another protocol version", w::welcome("7.0.0", 2), false,
            "protocol version 2 and this client version 1"},
        {"server refuses our version", w::error(6, "protocol version 1 is not spoken here"), false,
            "refused the handshake: protocol version 1 is not spoken here (error 6)"},
        {"silent server", "", false, "closed the connection before it answered"},
        {"a result in place of the welcome", w::done(), false, "unexpected message"},
        {"cut welcome", w::welcome("7.0.0").substr(0, 8), false, "in the middle of a message"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tinydb_close(handle);
        script->connectFails = c.connectFails;
        Status status = open(c.server);
        EXPECT_NE(Status::Ok, status);
        EXPECT_NE(std::string::npos, tinydb_error(handle).find(c.says)) << tinydb_error(handle);
        EXPECT_FALSE(tinydb_is_usable(handle));
        EXPECT_EQ(Status::NotReady, tinydb_authenticate(handle, "admin", "pw"));
    }
}

TEST_F(TinyDbScripted, TextThatCantBeSentIsRefusedBeforeSending)
{
    openLoggedIn("");
    const std::size_t sent = script->clientBytes.size();
    EXPECT_EQ(Status::BadText, tinydb_send_query(handle, "SELECT '\xC0\xAF' FROM Info"));
    EXPECT_EQ(Status::BadText, tinydb_send_query(handle, std::string("SELECT '\0' FROM Info", 21)));
    EXPECT_EQ(sent, script->clientBytes.size());
    EXPECT_TRUE(tinydb_is_usable(handle));
}

TEST_F(TinyDbScripted, APinnedServerWithAnotherCertificateIsRefusedBeforeTheHandshake)
{
    ASSERT_EQ(Status::Ok, open(w::welcome("7.0.0")));
    tinydb_close(handle);
    handle = nullptr;
    script->fingerprint = "dd:ee:ff";
    script->clientBytes.clear();
    EXPECT_EQ(Status::NoConnection, open(w::welcome("7.0.0")));
    const std::string& says = tinydb_error(handle);
    for (const char* part : {"target.example:44337", "dd:ee:ff", "aa:bb:cc"})
        EXPECT_NE(std::string::npos, says.find(part)) << says;
    EXPECT_TRUE(script->clientBytes.empty()) << "not a byte of the protocol was sent";
}
