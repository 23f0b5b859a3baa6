// TinyDbClient against a scripted server: the statements it sends are the
// documented ones, an answer of the wrong shape is named, its destructor
// gives up at once on a server that is gone instead of trying every setting
// in turn, and a journal holding settings it does not change is refused
// with nothing read, taken over or written; taking a journal over restarts
// the IMAP service whose binding the restore will not write.
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

// A run that died may leave the IMAP listener apart from its row: killed
// after the row was put back and before the service stopped, or between the
// stop and the start. Taking its journal over, a binding that the restore
// will not write is restarted first; one that it writes is restarted with
// it. A service that can't be restarted leaves nothing taken over.
TEST(TinyDbClientScripted, ATakenOverBindingTheRestoreWillNotWriteIsRestartedFirst)
{
    using Setting = TinyDbClient::Setting;
    const auto text = [](const char* value) { return Value::of(std::string(value)); };
    const auto number = [](std::int64_t value) { return Value::of(value); };
    struct Case {
        const char* name;
        const char* address; // what the target's binding row holds now
        std::int64_t port;
        std::string callAnswers; // empty: no restart expected
        bool adopted;
        bool bindingWritten; // the restore puts the row back (and restarts the service)
    } cases[] = {
        {"as that run found it", "127.0.0.5", 143, w::done() + w::done(), true, false},
        {"as that run found it, its restart refused", "127.0.0.5", 143,
            w::done() + w::error(8, "the IMAP service can't listen"), false, false},
        {"as that run set it", "0.0.0.0", 1143, "", true, true},
        {"changed since in every column", "10.0.0.7", 993, w::done() + w::done(), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavir::test::TempDir dir;
        auto script = std::make_shared<tavir::test::ScriptedTinyDb>();
        // The compared rows: the security policy still as that run set it,
        // and the binding.
        script->serverBytes = w::welcome("7.0.0") + w::loggedIn(0)
            + w::result({{"PolicyMode", 1}}, {{w::integer(0)}})
            + w::result({{"Address", 2}, {"Port", 1}}, {{w::str(c.address), w::integer(c.port)}})
            + c.callAnswers;
        TinyDbClient::Options options;
        options.knownHostsFile = dir.file("known_hosts.cfg");
        options.factory = tavir::test::scriptedFactory(script);
        SavedSettings saved;
        saved.settings = {{"Security", "", {"PolicyMode"}, {number(2)}, {number(0)}},
            {"ServicePorts", "IMAP", {"Address", "Port"}, {text("127.0.0.5"), number(143)},
                {text("0.0.0.0"), number(1143)}}};
        {
            TinyDbClient client(options);
            ASSERT_EQ(Status::Ok, client.connect("target.example", "admin", "pw").login);
            ASSERT_TRUE(done(client.compareSettings(saved)));
            const std::size_t compared = script->clientBytes.size();
            const Outcome adopted = client.adoptSettings();
            EXPECT_EQ(c.adopted, bool(adopted)) << adopted.failure;
            const std::string calls = script->clientBytes.substr(compared);
            EXPECT_EQ(c.callAnswers.empty() ? std::string()
                                            : queryFrame("CALL stop_service('IMAP')")
                        + queryFrame("CALL start_service('IMAP')"),
                calls);
            if (!c.adopted) {
                EXPECT_EQ("Could not restart the IMAP service on target.example:44337: the "
                          "server refused the statement: the IMAP service can't listen (error 8).",
                    adopted.failure);
            }
            EXPECT_EQ(c.adopted, client.isChanged(Setting::Policy));
            EXPECT_EQ(c.bindingWritten, client.isChanged(Setting::Binding));
            // Whatever the restore would send next goes nowhere.
            script->connectFails = true;
            script->endOfScript = ReadEnd::Closed;
            client.close();
        }
        if (!c.adopted) {
            EXPECT_EQ(std::string::npos, script->clientBytes.find("UPDATE"))
                << "nothing is put back";
        }
    }
}
