// What the wizard's test of the accounts' logins costs against a Dovecot
// with its shipped settings: a refused login answered after
// auth_failure_delay (2 s), and a penalty that the source keeps per client
// address, which delays every later login from that address, the right
// ones too. The test runs as the accounts page starts it
// (IMigrator::startUserTest, one account after the other) for the two
// accounts files of the README's table, each on a fresh Dovecot and then
// once more at once on the same one. Two more rows say why: the refusals
// of "three mistyped" made first by hand from this address, or from
// another loopback address, then the test of dave alone.
//
//   logins_bench
#include "Imap/engine/LogManager.h"
#include "Imap/engine/Migrator.h"
#include "support/Dovecot.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using namespace tavir::migration;
using Clock = std::chrono::steady_clock;

namespace {

const std::map<std::string, std::string> dovecotUsers
    = {{"alice@example.com", "pw-alice"}, {"bob@example.com", "pw-bob"},
        {"carol@example.com", "pw-carol"}, {"dave@example.com", "pw-dave"},
        {"erin@example.com", "pw-erin"}, {"frank@example.com", "pw-frank"}};

struct Account {
    std::string name;
    bool mistyped;
};

const std::vector<Account> aliceBobCarol = {{"alice", false}, {"bob", true}, {"carol", false}};
const std::vector<Account> threeMistypedThenDave
    = {{"bob", true}, {"erin", true}, {"frank", true}, {"dave", false}};
const std::vector<Account> daveAlone = {{"dave", false}};

std::string accountsText(const std::vector<Account>& accounts)
{
    std::string text;
    for (const Account& account : accounts)
        text += account.name + "@example.com;pw-" + account.name + (account.mistyped ? "-typo" : "")
            + "\n";
    return text;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Notes when each account's test ended; the tester thread calls it.
class Timeline : public ICallbacks {
public:
    Timeline(std::vector<TestStatus>& statuses, Clock::time_point start)
        : statuses_(statuses)
        , start_(start)
        , ended_(statuses.size(), -1)
    {
    }
    void started() override { }
    void statusChanged() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < statuses_.size(); ++i) {
            const TestStatus status = readTestStatus(statuses_[i]);
            if (ended_[i] < 0 && (status == TestLoginAccepted || status == TestLoginRefused))
                ended_[i] = secondsSince(start_);
        }
    }
    void stopped(bool) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }
    bool waitStopped()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(10), [this] { return done_; });
    }
    std::vector<double> ended() const { return ended_; }

private:
    std::vector<TestStatus>& statuses_;
    Clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<double> ended_;
    bool done_ = false;
};

// The wizard's test of `accounts`, printed as one line: the whole, then
// each account's end and verdict.
bool measure(const char* what, const tavir::test::Dovecot& dovecot,
    const std::vector<Account>& accounts, const tavir::test::TempDir& dir)
{
    const std::string path = dir.file("accounts.txt");
    tavir::test::writeFile(path, accountsText(accounts));
    Migrator migrator;
    Configuration configuration;
    configuration.sourceServer = L"127.0.0.1:" + std::to_wstring(dovecot.port());
    migrator.init(configuration);
    if (!migrator.loadUsers(std::wstring(path.begin(), path.end())))
        return false;
    std::vector<TestStatus> statuses(accounts.size(), TestNotTested);
    const Clock::time_point start = Clock::now();
    Timeline timeline(statuses, start);
    if (!migrator.startUserTest(&timeline, statuses) || !timeline.waitStopped())
        return false;
    const double whole = secondsSince(start);
    std::printf("%-44s %5.1f s:", what, whole);
    const std::vector<double> ended = timeline.ended();
    for (std::size_t i = 0; i < accounts.size(); ++i)
        std::printf(" %s %s %.1f s;", accounts[i].name.c_str(),
            statuses[i] == TestLoginAccepted ? "accepted" : "refused", ended[i]);
    std::printf("\n");
    std::fflush(stdout);
    return true;
}

// One LOGIN from `from` (a loopback address of this machine), as a plain
// client writes it; the answer's tagged line is awaited.
bool refusedLoginFrom(const std::string& from, int port, const std::string& user)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = tavir::test::ipv4Address(from, 0);
    sockaddr_in server = tavir::test::ipv4Address("127.0.0.1", port);
    bool answered = false;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0
        && connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
        const std::string login = "a LOGIN " + user + " wrong-password\r\n";
        std::string received;
        char buffer[512];
        bool sent = false;
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
            received.append(buffer, static_cast<std::size_t>(got));
            if (!sent && received.find("\r\n") != std::string::npos)
                sent = write(fd, login.data(), login.size()) == static_cast<ssize_t>(login.size());
            if (received.find("\r\na ") != std::string::npos) {
                answered = true;
                break;
            }
        }
    }
    close(fd);
    return answered;
}

// "Three mistyped" as the wizard's test tries them (the address, then the
// mailbox name), by hand from `from`, then the test of dave alone.
bool measureAfterRefusalsFrom(
    const std::string& from, const char* what, const tavir::test::TempDir& dir)
{
    tavir::test::Dovecot dovecot(dovecotUsers);
    for (const char* user : {"bob", "erin", "frank"}) {
        if (!refusedLoginFrom(from, dovecot.port(), std::string(user) + "@example.com")
            || !refusedLoginFrom(from, dovecot.port(), user))
            return false;
    }
    return measure(what, dovecot, daveAlone, dir);
}

} // namespace

int main()
{
    if (!tavir::test::Dovecot::available()) {
        std::fprintf(stderr, "logins_bench: %s\n", tavir::test::Dovecot::unavailable().c_str());
        return 2;
    }
    tavir::test::TempDir dir;
    if (!LogManager::instance().open(dir.file("report.txt"), dir.file("debug.log")))
        return 2;
    bool measured = true;
    for (const auto& [name, accounts] : {std::pair{"alice, bob (mistyped), carol", aliceBobCarol},
             std::pair{"three mistyped, then dave", threeMistypedThenDave}}) {
        tavir::test::Dovecot dovecot(dovecotUsers);
        measured = measured && measure(name, dovecot, accounts, dir)
            && measure("  the same again at once", dovecot, accounts, dir);
    }
    measured = measured
        && measureAfterRefusalsFrom(
            "127.0.0.1", "dave, after three mistyped from this address", dir)
        && measureAfterRefusalsFrom("127.0.0.2", "dave, after three mistyped from 127.0.0.2", dir);
    LogManager::instance().close();
    return measured ? 0 : 1;
}
