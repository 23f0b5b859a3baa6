// TinyDbClient against a scripted server: the statements it sends are the
// documented ones, an answer of the wrong shape is named, its destructor
// gives up at once on a server that is gone instead of trying every setting
// in turn, and a journal holding settings it does not change is refused
// with nothing read, taken over or written.
#include "tinydb/TinyDbClient.h"

#include "support/TestSupport.h"
#include "tinydb/AdminPeers.h"
#include "tinydb/ScriptedTinyDbStream.h"
#include "tinydb/ServerFrames.h"

#include <gtest/gtest.h>

using namespace tavir::tinydb;
using tavir::test::done;
namespace w = tavir::test::tinydbwire;

TEST(TinyDbClientScripted, RestoringOnAServerThatIsGoneTriesOneConnectionOnly)
{
    tavir::test::TempDir dir;
    auto script = std::make_shared<tavir::test::ScriptedTinyDb>();
    script->serverBytes = w::welcome("7.0.0") + w::loggedIn(0)
        + w::result({{"FolderCache", 1}, {"IndexWriteCache", 1}}, {{w::integer(0), w::integer(0)}})
        + w::done(1) + w::result({{"PolicyMode", 1}}, {{w::integer(2)}}) + w::done(1)
        + w::result({{"WorkerThreads", 1}, {"Spare", 1}}, {{w::integer(4), w::integer(5)}});
    TinyDbClient::Options options;
    options.knownHostsFile = dir.file("known_hosts.cfg");
    options.factory = tavir::test::scriptedFactory(script);
    {
        TinyDbClient client(options);
        ASSERT_EQ(Status::Ok, client.connect("target.example", "admin", "pw").login);
        ASSERT_TRUE(done(client.enableCaches()));
        ASSERT_TRUE(done(client.setSecurityPolicyMode(0)));
        for (const char* statement : {"SELECT FolderCache, IndexWriteCache FROM MessageStore",
                 "UPDATE MessageStore SET FolderCache = 1, IndexWriteCache = 1",
                 "SELECT PolicyMode FROM Security", "UPDATE Security SET PolicyMode = 0"})
            EXPECT_NE(std::string::npos, script->clientBytes.find(queryFrame(statement)))
                << statement;

        unsigned count = 0;
        EXPECT_EQ("Could not read the worker thread count on target.example:44337: the server "
                  "answered with a row of 2 values instead of 1.",
            client.readWorkerCount(count).failure);
        const Outcome read = client.readWorkerCount(count);
        EXPECT_FALSE(read);
        EXPECT_EQ("Could not read the worker thread count on target.example:44337: the server "
                  "closed the connection before it answered.",
            read.failure);
        script->connectFails = true;
    }
    EXPECT_EQ(2, script->connects) << "the first connection and one attempt to restore";
}

TEST(TinyDbClientScripted, AJournalHoldingSettingsNotOursIsRefusedWithNothingSent)
{
    tavir::test::TempDir dir;
    auto script = std::make_shared<tavir::test::ScriptedTinyDb>();
    script->serverBytes = w::welcome("7.0.0") + w::loggedIn(0);
    TinyDbClient::Options options;
    options.knownHostsFile = dir.file("known_hosts.cfg");
    options.factory = tavir::test::scriptedFactory(script);
    SavedSettings saved;
    saved.accessList = "zorp_3fa1c2";
    saved.settings = {{"Security", "", {"PolicyMode"}, {Value::of(std::int64_t{2})},
                          {Value::of(std::int64_t{0})}},
        {"User", "", {"Name"}, {Value::of(std::string("x"))}, {Value::of(std::string("y"))}}};
    {
        TinyDbClient client(options);
        ASSERT_EQ(Status::Ok, client.connect("target.example", "admin", "pw").login);
        EXPECT_EQ("it holds settings of User that are not ours", client.foreignSettings(saved));
        EXPECT_FALSE(client.compareSettings(saved));
        EXPECT_FALSE(client.isChanged(TinyDbClient::Setting::Policy));
    }
    for (const char* verb : {"SELECT", "UPDATE", "DELETE", "CALL"})
        EXPECT_EQ(std::string::npos, script->clientBytes.find(verb)) << verb;
}
