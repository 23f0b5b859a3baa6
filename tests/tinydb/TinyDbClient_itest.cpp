// TinyDbClient against the stand-in target: every save, change and restore
// step and its real effect on the target's IMAP side, domains and accounts,
// the status record, the destructor's restore, faults of the server, and a
// stop that ends a wait on a silent server.
#include "tinydb/TinyDbClient.h"

#include "ssl/StopSignal.h"
#include "support/Loopback.h"
#include "tinydb/AdminPeers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

using namespace tavir::tinydb;
using tavir::test::done;
using tavir::test::StandInTarget;
using tavir::test::TempDir;
using Row = std::vector<std::string>;

namespace {

class TinyDbClientTarget : public ::testing::Test {
protected:
    void start(StandInTarget::Options options = {}, unsigned timeoutMs = 10000)
    {
        target = std::make_unique<StandInTarget>(options);
        client = std::make_unique<TinyDbClient>(tavir::test::adminOptions(dir, timeoutMs));
        ASSERT_TRUE(done(client->connect(target->host(), "admin", "admin-secret")));
    }
    std::string one(const std::string& select) { return target->queryOne(select); }
    // A preparation's steps up to its changes, each done, the IMAP service to
    // be bound to `port`; its traces in `traces`.
    void planPreparation(unsigned port, TinyDbClient::Traces& traces)
    {
        client->readPreparationAhead(false, true);
        std::string version;
        ASSERT_TRUE(done(client->readVersion(version)));
        ASSERT_TRUE(done(client->saveSettings(false)));
        ASSERT_TRUE(done(client->findPreparationTraces(traces)));
        bool unchanged = false;
        ASSERT_TRUE(done(client->confirmSettings(unchanged)));
        ASSERT_TRUE(done(client->planChanges("feedfacecafe", port)));
        ASSERT_TRUE(done(client->claimTarget(traces)));
    }

    TempDir dir;
    tavir::test::ScopedHome home; // the IMAPS listener's certificate is pinned here
    std::unique_ptr<StandInTarget> target;
    std::unique_ptr<TinyDbClient> client;
};

// Every setting a preparation changes, in one row.
const char* const everySetting
    = "SELECT BackendMode, MasterPassword, BackendAccessList, FolderCache, IndexWriteCache, "
      "PolicyMode, Address, Port FROM Cluster, MessageStore, Security, ServicePorts WHERE "
      "Service = 'IMAP'";

std::string binding(const StandInTarget& target, const char* service)
{
    auto rows = target.query(
        std::string("SELECT Address, Port FROM ServicePorts WHERE Service = '") + service + "'");
    return rows.size() == 1 ? rows[0][0] + ":" + rows[0][1] : "?";
}

} // namespace

TEST_F(TinyDbClientTarget, LoginAnswersTellRefusedFromReadOnly)
{
    StandInTarget::Options options;
    options.administrators["reader"] = {"reader-pw", true};
    target = std::make_unique<StandInTarget>(options);
    struct Case {
        const char* user;
        const char* password;
        Status login;
    } cases[] = {
        {"admin", "admin-secret", Status::Ok},
        {"admin", "wrong", Status::Refused},
        {"nobody", "admin-secret", Status::Refused},
        {"reader", "reader-pw", Status::ReadOnly},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + std::string("/") + c.password);
        TinyDbClient admin(tavir::test::adminOptions(dir));
        const auto login = admin.connect(target->host(), c.user, c.password);
        EXPECT_EQ(c.login, login.login);
        EXPECT_EQ(c.login == Status::Ok, admin.isConnected());
        if (c.login != Status::Ok) {
            EXPECT_NE(std::string::npos, login.failure.find(target->host() + ":44337"))
                << login.failure;
        }
    }
}

TEST_F(TinyDbClientTarget, BackendModeAndTheTemporaryMasterPasswordRuleMasterAuthentication)
{
    StandInTarget::Options options;
    options.backendMode = false;
    options.masterPassword = "old-master";
    options.accounts = {{"alice@example.com", "alice-pw"}};
    start(options);
    EXPECT_FALSE(tavir::test::masterAuthWorks(*target, L"old-master")) << "backend mode is off";

    ASSERT_TRUE(done(client->saveBackend()));
    ASSERT_TRUE(done(client->enableBackend("0a1b2c3d4e5f")));
    const std::string list = client->accessListName();
    EXPECT_EQ(11u, list.size()) << list;
    EXPECT_EQ(0u, list.find("zorp_")) << list;
    EXPECT_EQ(std::string::npos, list.find_first_not_of("0123456789abcdef", 5)) << list;
    EXPECT_EQ((Row{"1", "0a1b2c3d4e5f", list}),
        target->query("SELECT BackendMode, MasterPassword, BackendAccessList FROM Cluster").at(0));
    EXPECT_EQ((Row{"0.0.0.0", "255.255.255.255"}),
        target
            ->query(
                "SELECT FirstAddress, LastAddress FROM IpAccessList WHERE Name = '" + list + "'")
            .at(0));
    EXPECT_TRUE(tavir::test::masterAuthWorks(*target, L"0a1b2c3d4e5f", L"alice", L"example.com"));
    EXPECT_FALSE(tavir::test::masterAuthWorks(*target, L"old-master"));

    ASSERT_TRUE(done(client->restoreBackend()));
    EXPECT_EQ((Row{"0", "old-master", ""}),
        target->query("SELECT BackendMode, MasterPassword, BackendAccessList FROM Cluster").at(0));
    EXPECT_EQ("0", one("SELECT COUNT(*) FROM IpAccessList"));
    EXPECT_FALSE(tavir::test::masterAuthWorks(*target, L"0a1b2c3d4e5f"));
    EXPECT_TRUE(client->accessListName().empty());
    EXPECT_TRUE(client->restoreBackend()) << "restoring twice changes nothing";
}

TEST_F(TinyDbClientTarget, CachesAndSecurityPolicyAreChangedAndComeBack)
{
    start();
    const std::string settings
        = "SELECT FolderCache, IndexWriteCache, PolicyMode FROM MessageStore, Security";
    ASSERT_EQ((Row{"0", "0", "2"}), target->query(settings).at(0));
    struct Step {
        const char* name;
        Outcome (*run)(TinyDbClient&);
        Row after;
    } steps[] = {
        {"caches on", [](TinyDbClient& c) { return c.enableCaches(); }, {"1", "1", "2"}},
        {"policy 0", [](TinyDbClient& c) { return c.setSecurityPolicyMode(0); }, {"1", "1", "0"}},
        {"caches again: the first saved values stay",
            [](TinyDbClient& c) {
                Outcome saved = c.saveCaches();
                return saved ? c.enableCaches() : saved;
            },
            {"1", "1", "0"}},
        {"caches back", [](TinyDbClient& c) { return c.restoreCaches(); }, {"0", "0", "0"}},
        {"policy back", [](TinyDbClient& c) { return c.restoreSecurityPolicy(); }, {"0", "0", "2"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        ASSERT_TRUE(done(step.run(*client)));
        EXPECT_EQ(step.after, target->query(settings).at(0));
    }
}

TEST_F(TinyDbClientTarget, ImapBindingMovesTheListenerAndBringsItBack)
{
    start();
    for (bool ssl : {false, true}) {
        SCOPED_TRACE(ssl ? "IMAPS" : "IMAP");
        const char* service = ssl ? "IMAPS" : "IMAP";
        const int oldPort = ssl ? target->tlsPort() : target->port();
        const int newPort = tavir::test::freeLoopbackPort(target->host());
        ASSERT_TRUE(tavir::test::imapAnswers(*target, oldPort, ssl));

        ASSERT_TRUE(done(client->bindImap(ssl, static_cast<unsigned>(newPort))));
        EXPECT_EQ("0.0.0.0:" + std::to_string(newPort), binding(*target, service));
        EXPECT_TRUE(tavir::test::imapAnswers(*target, newPort, ssl));
        EXPECT_FALSE(tavir::test::imapAnswers(*target, oldPort, ssl));

        ASSERT_TRUE(done(client->restoreImapBinding()));
        EXPECT_EQ(target->host() + ":" + std::to_string(oldPort), binding(*target, service));
        EXPECT_TRUE(tavir::test::imapAnswers(*target, oldPort, ssl));
        EXPECT_FALSE(tavir::test::imapAnswers(*target, newPort, ssl));
    }
}

TEST_F(TinyDbClientTarget, ABindingThatCantStartPutsTheOldOneBack)
{
    start();
    // Something else holds the port on the target's address.
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, target->host().c_str(), &address.sin_addr);
    ASSERT_EQ(0, bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(blocker, 1));
    socklen_t length = sizeof address;
    getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const int taken = ntohs(address.sin_port);

    const Outcome bound = client->bindImap(false, static_cast<unsigned>(taken));
    EXPECT_FALSE(bound);
    EXPECT_NE(std::string::npos, bound.failure.find("can't listen")) << bound.failure;
    EXPECT_EQ(target->host() + ":" + std::to_string(target->port()), binding(*target, "IMAP"));
    EXPECT_TRUE(tavir::test::imapAnswers(*target, target->port(), false));
    close(blocker);
}

TEST_F(TinyDbClientTarget, VersionAndWorkerCountAreRead)
{
    StandInTarget::Options options;
    options.workerThreads = 9;
    options.productVersion = "7.0.1";
    start(options);
    std::string version;
    ASSERT_TRUE(done(client->readVersion(version)));
    EXPECT_EQ("7.0.1", version);
    unsigned count = 0;
    ASSERT_TRUE(done(client->readWorkerCount(count)));
    EXPECT_EQ(9u, count);
}

TEST_F(TinyDbClientTarget, DomainsAndAccountsCreatedTwiceAreCreatedOnce)
{
    start();
    const std::string fullName = "Ann \"the\" O'Neil \\ Jr.";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(done(client->createDomain({"example.org"})));
        bool existed = round == 0;
        ASSERT_TRUE(done(client->createUser(
            {"example.org", "ann", round == 0 ? "p'w\\1" : "other", fullName}, existed)));
        EXPECT_EQ(round == 1, existed);
    }
    EXPECT_EQ("1", one("SELECT COUNT(*) FROM Domain WHERE Name = 'example.org'"));
    EXPECT_EQ((Row{"p'w\\1", fullName}),
        target->query("SELECT Password, FullName FROM User WHERE Name = 'ann'").at(0))
        << "stored exactly, and an existing account is used unchanged";
    EXPECT_TRUE(tavir::test::masterAuthWorks(*target, L"master-secret", L"ann", L"example.org"));
    EXPECT_FALSE(tavir::test::masterAuthWorks(*target, L"master-secret", L"bob", L"example.org"));
    tavir::mail::SimpleImapClient login;
    EXPECT_EQ(tavir::mail::ImapSuccess,
        login.connect(target->whost(), static_cast<unsigned>(target->port()), L"ann@example.org",
            L"p'w\\1", false, false));

    bool existed = false;
    const Outcome refused = client->createUser({"example.org", "o'neil", "pw", ""}, existed);
    EXPECT_FALSE(refused);
    EXPECT_NE(std::string::npos, refused.failure.find("o'neil")) << refused.failure;
    EXPECT_FALSE(client->createDomain({"bad domain"}));
    EXPECT_EQ("1", one("SELECT COUNT(*) FROM User"));

    // The password reached the target in a statement and in a LOGIN; the
    // transcript shows neither, and the state (accounts, mail, transcript)
    // is its owner's alone.
    const std::string transcript = target->transcript();
    EXPECT_NE(std::string::npos, transcript.find("'ann', '***', ")) << transcript;
    for (const char* written : {"p\\'w", "p'w"})
        EXPECT_EQ(std::string::npos, transcript.find(written)) << written << " in\n" << transcript;
    namespace fs = std::filesystem;
    const auto others = fs::perms::group_all | fs::perms::others_all;
    EXPECT_EQ(fs::perms::none, fs::status(target->stateDir()).permissions() & others);
    unsigned files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(target->stateDir())) {
        EXPECT_EQ(fs::perms::none, entry.status().permissions() & others) << entry.path();
        files += entry.is_regular_file();
    }
    EXPECT_GT(files, 10u);
}

TEST_F(TinyDbClientTarget, WorkersSharingTheClientCreateEveryAccount)
{
    start();
    ASSERT_TRUE(client->createDomain({"example.net"}));
    std::vector<std::thread> workers;
    std::atomic<int> created{0};
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            for (int a = 0; a < 5; ++a) {
                bool existed = true;
                std::string name = "user" + std::to_string(w) + "x" + std::to_string(a);
                if (client->createUser({"example.net", name, "pw", ""}, existed) && !existed)
                    ++created;
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(20, created.load());
    EXPECT_EQ("20", one("SELECT COUNT(*) FROM User WHERE Domain = 'example.net'"));
}

// Statements sent without waiting for the answers before them run in the
// order they came, each with its real effect, and are answered in order.
TEST_F(TinyDbClientTarget, PipelinedStatementsRunInTheOrderTheyCame)
{
    start();
    TinyDbOptions options;
    options.host = target->host();
    options.knownHostsFile = dir.file("known_hosts.cfg");
    tinydb_handle* handle = nullptr;
    ASSERT_EQ(Status::Ok, tinydb_open(options, &handle));
    ASSERT_EQ(Status::Ok, tinydb_authenticate(handle, "admin", "admin-secret"));
    const std::vector<std::string> statements = {
        "INSERT INTO Domain (Name) VALUES ('order.test')",
        "SELECT Name FROM Domain WHERE Name IN ('none.test', 'ORDER.test')",
        "INSERT INTO Domain (Name) VALUES ('Order.Test')",
        "DELETE FROM Domain WHERE Name = 'order.test'",
        "SELECT Name FROM Domain WHERE Name IN ('order.test')",
        "INSERT INTO Domain (Name) VALUES ('order.test')",
    };
    std::vector<Answer> answers;
    EXPECT_EQ(Status::Ok, tinydb_execute_pipelined(handle, statements, answers));
    tinydb_close(handle);
    ASSERT_EQ(statements.size(), answers.size());
    EXPECT_EQ(1, answers[0].result.changed);
    EXPECT_EQ(1u, answers[1].result.rows.size()) << "found without regard to case";
    EXPECT_EQ(4, answers[2].serverCode) << answers[2].error;
    EXPECT_EQ(1, answers[3].result.changed);
    EXPECT_EQ(0u, answers[4].result.rows.size());
    EXPECT_EQ(Status::Ok, answers[5].status) << answers[5].error;
    EXPECT_EQ("1", one("SELECT COUNT(*) FROM Domain WHERE Name = 'order.test'"));
}

// A batch: one look-up for the domains and one per domain for its accounts,
// then the missing domains, then the missing accounts, each pipelined. What
// is there is used as it is; each failure names its account; a connection
// cut on the way is made again once, and no account counts as made by the
// batch whose insert the server did not answer.
TEST_F(TinyDbClientTarget, ABatchUsesWhatIsThereAndNamesEachFailure)
{
    const CvnUser users[] = {{"there.test", "old", "new-pw", ""},
        {"THERE.test", "Fresh", "pw1", "Fresh One"}, {"new.test", "ann", "pw2", ""},
        {"new.test", "bob", "pw3", ""}, {"pub.test", "", "", ""}, {"new.test", "o'neil", "pw4", ""},
        {"new.test", "ann", "pw5", ""},
        {"there.test", "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "pw6", ""}};
    // Statements: 1 the domains, 2 and 3 the accounts of new.test and
    // there.test, 4 and 5 the domains new.test and pub.test, 6 to 9 the
    // accounts Fresh, ann, bob and ann once more. ΟΔΟΣ is found as the
    // οδος there, which folds alike: no statement makes it.
    auto atAnn = [](const char* action, int times = 1) {
        return std::string(R"([{"on": "TINYDB QUERY", "count": 7, "times": )")
            + std::to_string(times) + R"(, "action": ")" + action + "\"}]";
    };
    const char* const cut = "closed the connection before it answered";
    const char* const badName = "holds a character an account name can't have";
    struct Case {
        const char* name;
        std::string faults;
        // Per account: made, there (existed), failed or open (not settled),
        // and what a failure says besides the account's name.
        std::vector<std::pair<const char*, const char*>> ends;
    } cases[] = {
        {"no fault", "",
            {{"there", ""}, {"made", ""}, {"made", ""}, {"made", ""}, {"made", ""},
                {"failed", badName}, {"there", ""}, {"there", ""}}},
        {"one account refused", atAnn("no"),
            {{"there", ""}, {"made", ""}, {"failed", "planned refusal (error 9)"}, {"made", ""},
                {"made", ""}, {"failed", badName}, {"made", ""}, {"there", ""}}},
        {"cut once an insert ran", atAnn("drop_after"),
            {{"there", ""}, {"made", ""}, {"there", ""}, {"made", ""}, {"made", ""},
                {"failed", badName}, {"there", ""}, {"there", ""}}},
        {"cut before an insert ran", atAnn("drop"),
            {{"there", ""}, {"made", ""}, {"made", ""}, {"made", ""}, {"made", ""},
                {"failed", badName}, {"there", ""}, {"there", ""}}},
        {"cut twice", atAnn("drop", 2),
            {{"there", ""}, {"made", ""}, {"open", cut}, {"open", cut}, {"made", ""},
                {"failed", badName}, {"open", cut}, {"there", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandInTarget::Options options;
        options.accounts["old@there.test"] = "old-pw";
        options.accounts["\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82@there.test"] = "pw";
        options.faults = c.faults;
        start(options);
        std::vector<TinyDbClient::NewAccount> batch(std::size(users));
        for (std::size_t i = 0; i < batch.size(); ++i)
            batch[i].user = users[i];
        batch[4].domainOnly = true;
        client->createAccounts(batch);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            SCOPED_TRACE(i);
            const TinyDbClient::NewAccount& got = batch[i];
            const std::string end = c.ends[i].first;
            EXPECT_EQ(end == "made" || end == "there", bool(got.outcome)) << got.outcome.failure;
            EXPECT_EQ(end == "there", got.existed);
            EXPECT_EQ(end != "open", got.settled);
            if (!got.outcome) {
                for (const std::string& part :
                    {"\"" + users[i].name + "@" + users[i].domain + "\" on ",
                        std::string(c.ends[i].second)})
                    EXPECT_NE(std::string::npos, got.outcome.failure.find(part))
                        << got.outcome.failure;
            }
        }
        EXPECT_EQ("old-pw", one("SELECT Password FROM User WHERE Name = 'old'"));
        EXPECT_EQ("3", one("SELECT COUNT(*) FROM Domain"));
        if (c.faults.empty()) {
            EXPECT_EQ(9u, tavir::test::clientCommands(target->transcript(), "QUERY"));
        }
    }
}

TEST_F(TinyDbClientTarget, TheMigrationStatusRecordIsStored)
{
    start();
    const std::string record = "IMAP;;1.0.0;Mon Mar  3 10:00:00 2025;1741000000;"
                               "Mon Mar  3 11:00:00 2025;1741003600;3;12;345;";
    ASSERT_TRUE(done(client->storeMigrationStatus(record)));
    EXPECT_EQ(record, one("SELECT Record FROM MigrationTools"));
}

TEST_F(TinyDbClientTarget, TheDestructorRestoresWhatIsStillChanged)
{
    StandInTarget::Options options;
    options.backendMode = false;
    start(options);
    const std::string before = everySetting;
    const Row initial = target->query(before).at(0);
    const int newPort = tavir::test::freeLoopbackPort(target->host());
    ASSERT_TRUE(client->enableBackend("feedfacecafe"));
    ASSERT_TRUE(tavir::test::masterAuthWorks(*target, L"feedfacecafe"));
    ASSERT_TRUE(client->enableCaches());
    ASSERT_TRUE(client->setSecurityPolicyMode(0));
    ASSERT_TRUE(client->bindImap(false, static_cast<unsigned>(newPort)));
    ASSERT_NE(initial, target->query(before).at(0));

    client.reset();
    EXPECT_EQ(initial, target->query(before).at(0));
    EXPECT_EQ("0", one("SELECT COUNT(*) FROM IpAccessList"));
    EXPECT_TRUE(tavir::test::imapAnswers(*target, target->port(), false));
    EXPECT_FALSE(tavir::test::imapAnswers(*target, newPort, false));
    EXPECT_FALSE(tavir::test::masterAuthWorks(*target, L"feedfacecafe"));
}

// A stop scope's signal ends the wait in hand at once, long before the
// exchange's own 30 s, whether the service fell silent at the login, at a
// change or at the changes of a preparation; that connection is dropped.
// Meanwhile the wait is published with its deadline, and none once it is
// over. Once the scope has ended, the client connects anew for the next
// operation, and its destructor puts back the change that was sent (the
// stand-in never ran it: the restore writes the old values all the same).
// Stopped in a preparation's changes, the client leaves the IMAP binding to
// the restore, which the raised stop does not end, even in its scope:
// every setting goes back in one round trip, each step that failed said on
// a line of its own.
TEST_F(TinyDbClientTarget, AStopEndsTheWaitInHandAndTheClientWorksAgainAfterItsScope)
{
    enum class Stalls { AtLogin, AtAChange, AtAPreparationsChanges };
    struct Case {
        const char* name;
        const char* faults;
        const char* silentAfter; // in the transcript once the service is silent
        std::vector<std::string> says; // a line each
        Stalls stalls;
    } cases[] = {
        {"at the login", R"([{"on": "TINYDB LOGIN", "action": "stall"}])", " C: LOGIN admin",
            {"Could not log in to the administration service on "}, Stalls::AtLogin},
        {"at a change",
            R"([{"on": "TINYDB QUERY", "statement": "UPDATE MessageStore", "action": "stall"}])",
            " C: QUERY UPDATE MessageStore ",
            {"Could not switch the folder and index-write caches on on "}, Stalls::AtAChange},
        {"at a preparation's changes",
            R"([{"on": "TINYDB QUERY", "statement": "UPDATE Cluster", "action": "stall"}])",
            " C: QUERY UPDATE Cluster ",
            {"Could not switch on the backend mode on ",
                "Could not switch the folder and index-write caches on on ",
                "Could not set the security policy mode to 0 on ",
                "Could not bind the IMAP service to all addresses on port "},
            Stalls::AtAPreparationsChanges},
    };
    const char* const caches = "SELECT FolderCache, IndexWriteCache FROM MessageStore";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StandInTarget::Options options;
        options.faults = c.faults;
        target = std::make_unique<StandInTarget>(options);
        client = std::make_unique<TinyDbClient>(tavir::test::adminOptions(dir, 30000));
        const Row before = target->query(caches).at(0);
        const Row initial = target->query(everySetting).at(0);
        auto stop = std::make_shared<tavir::utils::StopSignal>();
        std::atomic<long long> raisedAt{0};
        std::atomic<long long> waitLeftMs{-1};
        std::thread stopper([&] {
            if (!tavir::test::waitUntil(
                    [&] { return target->transcript().find(c.silentAfter) != std::string::npos; },
                    30000, 20))
                return;
            if (const auto until = client->waitingUntil())
                waitLeftMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                    *until - std::chrono::steady_clock::now())
                                 .count();
            raisedAt = tavir::test::nowMs();
            stop->raise();
        });
        Outcome outcome;
        std::vector<Outcome> restored;
        {
            TinyDbClient::StopScope stoppable(*client, stop);
            outcome = client->connect(target->host(), "admin", "admin-secret");
            if (c.stalls == Stalls::AtAChange && outcome)
                outcome = client->enableCaches();
            if (c.stalls == Stalls::AtAPreparationsChanges && outcome) {
                TinyDbClient::Traces traces;
                planPreparation(
                    static_cast<unsigned>(tavir::test::freeLoopbackPort(target->host())), traces);
                outcome = client->applyPlan();
                // Still in the scope, its stop raised.
                restored = client->restore(std::vector<TinyDbClient::Setting>(
                    std::begin(TinyDbClient::allSettings), std::end(TinyDbClient::allSettings)));
            }
        }
        const long long ended = tavir::test::nowMs();
        stopper.join();
        ASSERT_NE(0, raisedAt.load()) << target->transcript();
        EXPECT_LT(ended - raisedAt, 1000);
        EXPECT_GT(waitLeftMs.load(), 25000) << "the wait's deadline, published";
        EXPECT_LE(waitLeftMs.load(), 30000);
        EXPECT_FALSE(client->waitingUntil()) << "no wait once it is over";
        const std::vector<std::string> lines = tavir::test::linesOf(outcome.failure);
        ASSERT_EQ(c.says.size(), lines.size()) << outcome.failure;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(0u, lines[i].find(c.says[i])) << lines[i];
            EXPECT_NE(std::string::npos,
                lines[i].find(": the connection was closed on a stop request.", c.says[i].size()))
                << lines[i];
        }
        if (c.stalls == Stalls::AtAPreparationsChanges) {
            for (const Outcome& back : restored) {
                EXPECT_TRUE(done(back));
            }
            EXPECT_EQ(initial, target->query(everySetting).at(0));
            EXPECT_EQ("0", one("SELECT COUNT(*) FROM IpAccessList"));
            // The binding with the others, on a new connection.
            const std::vector<std::string> trips
                = tavir::test::adminRoundTrips(target->transcript(), "A2");
            const std::vector<std::string> expected
                = {"HELLO ", "LOGIN ", "QUERY UPDATE MessageStore ", "QUERY UPDATE Cluster ",
                    "QUERY DELETE FROM IpAccessList "};
            ASSERT_EQ(expected.size(), trips.size()) << target->transcript();
            for (std::size_t i = 0; i < trips.size(); ++i)
                EXPECT_EQ(0u, trips[i].rfind(expected[i], 0)) << trips[i];
            client.reset();
            continue;
        }
        if (c.stalls == Stalls::AtLogin) {
            ASSERT_TRUE(done(client->connect(target->host(), "admin", "admin-secret")));
        }
        unsigned count = 0;
        EXPECT_TRUE(done(client->readWorkerCount(count)));
        client.reset();
        EXPECT_EQ(before, target->query(caches).at(0));
        EXPECT_EQ(c.stalls == Stalls::AtLogin ? 0u : 2u,
            tavir::test::occurrences(target->transcript(), " C: QUERY UPDATE MessageStore "));
        if (HasFailure())
            return;
    }
}

// A preparation in round trips: every read up to the journal; the access
// list with the look after it; every change with the worker count; and the
// restore's: every setting but the backend ones, those, their access list.
// A change the server refuses fails its setting alone, named in a sentence
// of its own, while those sent with it run; an IMAP service that did not
// start gets its old binding back; the restore puts back all of them.
TEST_F(TinyDbClientTarget, APreparationsStatementsGoTogetherAndEachRefusalNamesItsSetting)
{
    // Statements: 1 the version, 2 to 11 the settings, the look and the
    // settings again, 12 to 14 the access list and the look, 15 to 20 the
    // changes of the cluster, the caches, the policy and the binding (its
    // update, the service's stop and start), 21 the worker count.
    struct Case {
        const char* name;
        std::vector<int> refused;
        std::vector<std::string> says;
        Row changed; // FolderCache, IndexWriteCache, PolicyMode, Address once applied
    } cases[] = {
        {"none refused", {}, {}, {"1", "1", "0", "0.0.0.0"}},
        {"the caches refused", {16}, {"switch the folder and index-write caches on"},
            {"0", "0", "0", "0.0.0.0"}},
        {"the policy refused, and the service's start", {17, 20},
            {"set the security policy mode to 0",
                "bind the IMAP service to all addresses on port "},
            {"1", "1", "2", "127."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandInTarget::Options options;
        options.workerThreads = 7;
        for (int q : c.refused)
            options.faults += std::string(options.faults.empty() ? "[" : ", ")
                + R"({"on": "TINYDB QUERY", "count": )" + std::to_string(q)
                + R"(, "action": "no"})";
        options.faults += options.faults.empty() ? "" : "]";
        start(options);
        const Row initial = target->query(everySetting).at(0);
        const int port = tavir::test::freeLoopbackPort(target->host());

        TinyDbClient::Traces traces;
        ASSERT_NO_FATAL_FAILURE(planPreparation(static_cast<unsigned>(port), traces));
        EXPECT_TRUE(traces.accessLists.empty());
        const Outcome applied = client->applyPlan();
        unsigned workers = 0;
        ASSERT_TRUE(done(client->readWorkerCount(workers)));
        EXPECT_EQ(7u, workers);

        EXPECT_EQ(c.says.empty(), bool(applied));
        std::size_t sentences = 0;
        for (std::size_t at = 0; (at = applied.failure.find("Could not ", at)) != std::string::npos;
             ++at)
            ++sentences;
        EXPECT_EQ(c.says.size(), sentences) << applied.failure;
        EXPECT_EQ(sentences == 0 ? 0 : sentences - 1,
            static_cast<std::size_t>(
                std::count(applied.failure.begin(), applied.failure.end(), '\n')))
            << "a line each: " << applied.failure;
        for (const std::string& step : c.says)
            EXPECT_NE(std::string::npos,
                applied.failure.find(
                    "Could not " + step + std::string(step.back() == ' ' ? "" : " on ")))
                << applied.failure;
        const Row now = target->query(everySetting).at(0);
        EXPECT_EQ(c.changed, (Row{now[3], now[4], now[5], now[6].substr(0, c.changed[3].size())}));
        EXPECT_TRUE(tavir::test::imapAnswers(
            *target, c.changed[3] == "0.0.0.0" ? port : target->port(), false));

        client.reset();
        EXPECT_EQ(initial, target->query(everySetting).at(0));
        EXPECT_EQ("0", one("SELECT COUNT(*) FROM IpAccessList"));
        std::vector<std::string> expected = {"HELLO ", "LOGIN ", "QUERY SELECT Version ",
            "QUERY INSERT INTO IpAccessList ", "QUERY UPDATE Cluster "};
        if (c.changed[3] != "0.0.0.0") {
            // The old binding at once, which drops the count read ahead.
            expected.push_back("QUERY UPDATE ServicePorts ");
            expected.push_back("QUERY SELECT WorkerThreads ");
        }
        for (const char* restore : {"QUERY UPDATE MessageStore ", "QUERY UPDATE Cluster ",
                 "QUERY DELETE FROM IpAccessList ", "BYE"})
            expected.push_back(restore);
        const std::vector<std::string> trips
            = tavir::test::adminRoundTrips(target->transcript(), "A1");
        ASSERT_EQ(expected.size(), trips.size()) << target->transcript();
        for (std::size_t i = 0; i < trips.size(); ++i)
            EXPECT_EQ(0u, trips[i].rfind(expected[i], 0)) << trips[i];
        if (HasFailure())
            return;
    }
}

TEST_F(TinyDbClientTarget, ServerFaultsFailOneStepAndTheNextStepConnectsAgain)
{
    struct Case {
        const char* name;
        const char* action;
        unsigned timeoutMs;
        const char* says;
    } cases[] = {
        {"statement refused", "no", 10000, "planned refusal (error 9)"},
        {"connection dropped before the statement ran", "drop", 10000,
            "closed the connection before it answered"},
        {"connection dropped after the statement ran", "drop_after", 10000,
            "closed the connection before it answered"},
        {"no answer", "stall", 1000, "no answer within 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandInTarget::Options options;
        // The first statement reads the caches; the second changes them.
        options.faults
            = std::string(R"([{"on": "TINYDB QUERY", "count": 2, "action": ")") + c.action + "\"}]";
        start(options, c.timeoutMs);
        auto began = std::chrono::steady_clock::now();
        const Outcome changed = client->enableCaches();
        EXPECT_FALSE(changed);
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
        const std::string& error = changed.failure;
        EXPECT_NE(std::string::npos,
            error.find(
                "switch the folder and index-write caches on on " + target->host() + ":44337"))
            << error;
        EXPECT_NE(std::string::npos, error.find(c.says)) << error;

        unsigned count = 0;
        EXPECT_TRUE(done(client->readWorkerCount(count)));
        // Whether or not the change arrived, it is put back.
        client.reset();
        EXPECT_EQ((Row{"0", "0"}),
            target->query("SELECT FolderCache, IndexWriteCache FROM MessageStore").at(0));
    }
}
