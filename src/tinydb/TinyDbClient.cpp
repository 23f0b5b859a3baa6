// TinyDbClient's connection, its one statement frame (execute/fail) and the
// account and record operations; the settings it saves, changes and restores
// are in TinyDbClientSettings.cpp.
#include "tinydb/TinyDbClient.h"

#include "ssl/StopSignal.h"
#include "tiny/TerminationNote.h"
#include "tinydb/Sql.h"

namespace tavir::tinydb {

using tavir::tiny::KMutexLocker;

TinyDbClient::StopScope::StopScope(
    TinyDbClient& client, std::shared_ptr<const tavir::utils::StopSignal> stop)
    : client_(client)
    , hold_(client.lock_)
{
    client_.setStopSignal(std::move(stop));
}

TinyDbClient::StopScope::~StopScope()
{
    client_.setStopSignal(nullptr);
}

TinyDbClient::TinyDbClient()
    : TinyDbClient(Options{})
{
}

TinyDbClient::TinyDbClient(Options options)
    : options_(std::move(options))
{
    auto define
        = [](Saved& row, const char* what, const char* table, std::vector<std::string> columns) {
              row.what = what;
              row.table = table;
              row.columns = std::move(columns);
          };
    define(backend_, "the cluster's backend settings", "Cluster",
        {"BackendMode", "MasterPassword", "BackendAccessList"});
    define(caches_, "the folder and index-write caches", "MessageStore",
        {"FolderCache", "IndexWriteCache"});
    define(policy_, "the security policy mode", "Security", {"PolicyMode"});
    define(binding_, "the IMAP service binding", "ServicePorts", {"Address", "Port"});
}

TinyDbClient::~TinyDbClient()
{
    KMutexLocker hold(lock_);
    restoreAll();
    close();
    if (endWatch_.joinable()) {
        {
            std::lock_guard<std::mutex> watch(endLock_);
            destroying_ = true;
        }
        endWake_.notify_all();
        endWatch_.join();
    }
}

TinyDbClient::LoginOutcome TinyDbClient::connect(
    const std::string& host, const std::string& user, const std::string& password)
{
    KMutexLocker hold(lock_);
    close();
    noticeEnding();
    loggedIn_ = false;
    host_ = host;
    user_ = user;
    password_ = password;
    Status status = logIn();
    notice_ = tinydb_notice(handle_);
    if (status == Status::Ok) {
        loggedIn_ = true;
        return {};
    }
    const LoginOutcome failed{fail("log in to the administration service", tinydb_error(handle_)),
        status == Status::Refused        ? Login::Refused
            : status == Status::ReadOnly ? Login::ReadOnly
                                         : Login::NoConnection};
    close();
    return failed;
}

Status TinyDbClient::logIn()
{
    TinyDbOptions options;
    options.host = host_;
    options.timeoutMs = options_.timeoutMs;
    options.knownHostsFile = options_.knownHostsFile;
    options.factory = options_.factory;
    options.stop = defaultStop();
    Status status = tinydb_open(options, &handle_);
    return status == Status::Ok ? tinydb_authenticate(handle_, user_, password_) : status;
}

void TinyDbClient::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop)
{
    KMutexLocker hold(lock_);
    stop_ = std::move(stop);
    tinydb_set_stop_signal(handle_, defaultStop());
}

std::shared_ptr<const tavir::utils::StopSignal> TinyDbClient::defaultStop() const
{
    // A stop scope's own signal while it lasts: its thread gives up on it
    // at once, and the process's end stops every such thread anyway.
    return stop_ ? stop_ : ending_;
}

void TinyDbClient::noticeEnding()
{
    if (ending_ || tavir::tiny::terminationSignal() == 0)
        return;
    endingSignal_ = tavir::tiny::terminationSignal();
    ending_ = std::make_shared<tavir::utils::StopSignal>();
    tinydb_set_stop_signal(handle_, defaultStop());
    const auto deadline = endDeadline_ = tavir::tiny::terminationDeadline();
    try {
        // Ends a wait in hand too (a server that stopped answering), which
        // a deadline looked at between exchanges would not.
        endWatch_ = std::thread([this, deadline] {
            std::unique_lock<std::mutex> watch(endLock_);
            if (!endWake_.wait_until(watch, deadline, [this] { return destroying_; }))
                ending_->raise();
        });
    } catch (const std::exception&) {
        // No thread: each exchange still ends within its own time-out, and
        // none starts after the deadline.
        if (std::chrono::steady_clock::now() >= deadline)
            ending_->raise();
    }
}

bool TinyDbClient::outOfTime()
{
    KMutexLocker hold(lock_);
    return ending_ && (ending_->raised() || std::chrono::steady_clock::now() >= endDeadline_);
}

std::string TinyDbClient::endedCause() const
{
    return "the time this program takes to end on "
        + tavir::tiny::terminationSignalName(endingSignal_) + " ran out";
}

void TinyDbClient::close()
{
    KMutexLocker hold(lock_);
    tinydb_close(handle_);
    handle_ = nullptr;
}

bool TinyDbClient::isConnected()
{
    KMutexLocker hold(lock_);
    return handle_ && tinydb_is_usable(handle_);
}

Outcome TinyDbClient::open(const std::string& action)
{
    noticeEnding();
    if (outOfTime())
        return fail(action, endedCause());
    if (handle_ && tinydb_is_usable(handle_))
        return {};
    if (!loggedIn_)
        return fail(action, "not logged in to the administration service");
    // The connection broke during an earlier step: one new connection with
    // the same credentials.
    close();
    if (logIn() == Status::Ok)
        return {};
    std::string cause = "connecting again failed: " + tinydb_error(handle_);
    close();
    return fail(action, cause);
}

Outcome TinyDbClient::execute(
    const std::string& action, const std::string& statement, ResultSet* result)
{
    KMutexLocker hold(lock_);
    lastServerCode_ = 0;
    if (Outcome opened = open(action); !opened)
        return opened;
    ResultSet ignored;
    if (tinydb_execute(handle_, statement, result ? *result : ignored) == Status::Ok)
        return {};
    lastServerCode_ = tinydb_server_error_code(handle_);
    return fail(action, ending_ && ending_->raised() ? endedCause() : tinydb_error(handle_));
}

Outcome TinyDbClient::fail(const std::string& action, const std::string& cause) const
{
    return {"Could not " + action + " on " + host_ + ":" + std::to_string(adminPort) + ": " + cause
        + "."};
}

Outcome TinyDbClient::readRow(const std::string& action, const std::string& statement,
    std::size_t width, std::vector<Value>& row)
{
    ResultSet result;
    if (Outcome done = execute(action, statement, &result); !done)
        return done;
    if (result.rows.size() != 1) {
        return fail(action,
            "the server answered with " + std::to_string(result.rows.size())
                + " rows where one was expected");
    }
    if (result.rows[0].size() != width) {
        return fail(action,
            "the server answered with a row of " + std::to_string(result.rows[0].size())
                + " values instead of " + std::to_string(width));
    }
    row = std::move(result.rows[0]);
    return {};
}

Outcome TinyDbClient::readOne(const std::string& action, const std::string& statement, Value& value)
{
    std::vector<Value> row;
    Outcome done = readRow(action, statement, 1, row);
    if (done)
        value = std::move(row[0]);
    return done;
}

Outcome TinyDbClient::readVersion(std::string& version)
{
    const std::string action = "read the server version";
    Value value;
    if (Outcome done = readOne(action, "SELECT Version FROM Info", value); !done)
        return done;
    if (value.kind != Value::Text || value.text.empty())
        return fail(action, "the version is empty");
    version = value.text;
    return {};
}

Outcome TinyDbClient::readWorkerCount(unsigned& count)
{
    const std::string action = "read the worker thread count";
    Value value;
    if (Outcome done = readOne(action, "SELECT WorkerThreads FROM Misc", value); !done)
        return done;
    if (value.kind != Value::Integer || value.integer < 0 || value.integer > 0xFFFF)
        return fail(action, "the count is not a number from 0 to 65535");
    count = static_cast<unsigned>(value.integer);
    return {};
}

Outcome TinyDbClient::createOnce(
    const std::string& action, const std::string& lookup, const std::string& insert, bool& existed)
{
    KMutexLocker hold(lock_);
    ResultSet found;
    if (Outcome done = execute(action, lookup, &found); !done)
        return done;
    existed = !found.rows.empty();
    Outcome inserted = existed ? Outcome{} : execute(action, insert);
    // Created by someone else between the look-up and the insert.
    if (!inserted && lastServerCode_ == static_cast<std::uint16_t>(ServerCode::Exists)) {
        existed = true;
        return {};
    }
    return inserted;
}

Outcome TinyDbClient::createDomain(const CvnDomain& domain)
{
    KMutexLocker hold(lock_);
    if (domainsReady_.count(domain.name))
        return {};
    const std::string action = "create the domain \"" + printable(domain.name) + "\"";
    std::string why;
    if (!domain.validate(why))
        return fail(action, why);
    bool existed = false;
    Outcome done
        = createOnce(action, "SELECT Name FROM Domain WHERE Name = " + sqlText(domain.name),
            "INSERT INTO Domain (Name) VALUES (" + sqlText(domain.name) + ")", existed);
    if (done)
        domainsReady_.insert(domain.name);
    return done;
}

Outcome TinyDbClient::createUser(const CvnUser& user, bool& existed)
{
    KMutexLocker hold(lock_);
    const std::string action
        = "create the account \"" + printable(user.name + "@" + user.domain) + "\"";
    std::string why;
    if (!user.validate(why))
        return fail(action, why);
    return createOnce(action,
        "SELECT Name FROM User WHERE Domain = " + sqlText(user.domain)
            + " AND Name = " + sqlText(user.name),
        "INSERT INTO User (Domain, Name, Password, FullName) VALUES (" + sqlText(user.domain) + ", "
            + sqlText(user.name) + ", " + sqlText(user.password) + ", " + sqlText(user.fullName)
            + ")",
        existed);
}

Outcome TinyDbClient::storeMigrationStatus(const std::string& record)
{
    return execute("store the migration status record",
        "INSERT INTO MigrationTools (Record) VALUES (" + sqlText(record) + ")");
}

std::string TinyDbClient::notice()
{
    KMutexLocker hold(lock_);
    return notice_;
}

std::string TinyDbClient::accessListName()
{
    KMutexLocker hold(lock_);
    return accessList_;
}

} // namespace tavir::tinydb
