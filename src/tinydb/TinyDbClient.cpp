// TinyDbClient's connection, its one statement frame (execute/fail) and the
// account and record operations; the settings it saves, changes and restores
// are in TinyDbClientSettings.cpp.
#include "tinydb/TinyDbClient.h"

#include "ssl/StopSignal.h"
#include "tiny/TerminationNote.h"
#include "tiny/Thread.h"
#include "tinydb/Sql.h"
#include "utils/CaseFolding.h"

#include <algorithm>
#include <map>

namespace tavir::tinydb {

using tavir::tiny::KMutexLocker;

namespace {

// Domain and account names compare as the server compares them, by
// Unicode's simple case folding: a look-up that finds "\u03BF\u03B4\u03BF\u03C2"
// for "\u039F\u0394\u039F\u03A3" has found the account.
std::string folded(const std::string& name)
{
    return utils::foldCaseUtf8(name);
}

// The values of an IN condition: "'a', 'b'".
std::string textList(const std::vector<std::string>& texts)
{
    std::string list;
    for (const std::string& text : texts)
        list += (list.empty() ? "" : ", ") + sqlText(text);
    return list;
}

// The names a look-up found (its first column), folded.
std::set<std::string> namesFound(const ResultSet& result)
{
    std::set<std::string> names;
    for (const std::vector<Value>& row : result.rows)
        if (!row.empty() && row[0].kind == Value::Text)
            names.insert(folded(row[0].text));
    return names;
}

// What a failure of making the domain, or the account, says could not be
// done.
std::string domainAction(const std::string& domain)
{
    return "create the domain \"" + printable(domain) + "\"";
}

std::string accountAction(const CvnUser& user)
{
    return "create the account \"" + printable(user.name + "@" + user.domain) + "\"";
}

// The row was there already: made by someone else since the look-up (or
// by an insert of ours whose answer was lost).
bool alreadyThere(const Answer& answer)
{
    return answer.status == Status::ServerError
        && answer.serverCode == static_cast<std::uint16_t>(ServerCode::Exists);
}

} // namespace

// An account of createAccounts not yet settled.
struct TinyDbClient::Pending {
    NewAccount* account;
    std::string domain; // folded
    bool found = false; // the look-up found the account
    bool done = false; // settled in this attempt
};

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
    auto define = [](Saved& row, const char* what, bool plural, const char* table,
                      std::vector<std::string> columns) {
        row.what = what;
        row.plural = plural;
        row.table = table;
        row.columns = std::move(columns);
    };
    define(backend_, "the cluster's backend settings", true, "Cluster",
        {"BackendMode", "MasterPassword", "BackendAccessList"});
    define(caches_, "the folder and index-write caches", true, "MessageStore",
        {"FolderCache", "IndexWriteCache"});
    define(policy_, "the security policy mode", false, "Security", {"PolicyMode"});
    define(binding_, "the IMAP service binding", false, "ServicePorts", {"Address", "Port"});
}

TinyDbClient::~TinyDbClient()
{
    KMutexLocker hold(lock_);
    restoreAll();
    close();
    if (endWatch_ != 0) {
        {
            KMutexLocker watch(endLock_);
            destroying_ = true;
        }
        endWake_.notifyAll();
        tavir::tiny::waitForThreadClose(endWatch_);
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
    Status status = openConnection();
    // Not connected is not refused: the sentence says which it was.
    const char* action = status == Status::Ok ? "log in to the administration service"
                                              : "connect to the administration service";
    if (status == Status::Ok)
        status = tinydb_authenticate(handle(), user_, password_);
    notice_ = tinydb_notice(handle());
    if (status == Status::Ok) {
        loggedIn_ = true;
        return {};
    }
    const LoginOutcome failed{fail(action, tinydb_error(handle())), status};
    close();
    return failed;
}

Status TinyDbClient::logIn()
{
    const Status status = openConnection();
    return status == Status::Ok ? tinydb_authenticate(handle(), user_, password_) : status;
}

Status TinyDbClient::openConnection()
{
    TinyDbOptions options;
    options.host = host_;
    options.timeoutMs = options_.timeoutMs;
    options.knownHostsFile = options_.knownHostsFile;
    options.factory = options_.factory;
    options.stop = defaultStop();
    options.exchangeDeadline = waits_;
    tinydb_handle* opened = nullptr;
    const Status status = tinydb_open(options, &opened);
    connection_.reset(opened);
    return status;
}

void TinyDbClient::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop)
{
    KMutexLocker hold(lock_);
    stop_ = std::move(stop);
    tinydb_set_stop_signal(handle(), defaultStop());
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
    tinydb_set_stop_signal(handle(), defaultStop());
    endDeadline_ = tavir::tiny::terminationDeadline();
    // Ends a wait in hand too (a server that stopped answering), which a
    // deadline looked at between exchanges would not.
    if (!tavir::tiny::createThread(
            [](void* client) { static_cast<TinyDbClient*>(client)->watchEnd(); }, this, &endWatch_,
            tavir::tiny::threadNameAttr("end watch"))) {
        // No thread: each exchange still ends within its own time-out, and
        // none starts after the deadline.
        if (std::chrono::steady_clock::now() >= endDeadline_)
            ending_->raise();
    }
}

void TinyDbClient::watchEnd()
{
    KMutexLocker watch(endLock_);
    if (!endWake_.waitUntil(endLock_, endDeadline_, destroying_))
        ending_->raise();
}

bool TinyDbClient::stopped()
{
    KMutexLocker hold(lock_);
    return stop_ && stop_->raised();
}

bool TinyDbClient::outOfTime()
{
    KMutexLocker hold(lock_);
    return ending_ && (ending_->raised() || std::chrono::steady_clock::now() >= endDeadline_);
}

std::optional<std::chrono::steady_clock::time_point> TinyDbClient::waitingUntil() const
{
    return waits_->get();
}

std::string TinyDbClient::endedCause() const
{
    return "the time this program takes to end on "
        + tavir::tiny::terminationSignalName(endingSignal_) + " ran out";
}

void TinyDbClient::close()
{
    KMutexLocker hold(lock_);
    connection_.reset();
    ahead_.clear();
}

bool TinyDbClient::isConnected()
{
    KMutexLocker hold(lock_);
    return handle() && tinydb_is_usable(handle());
}

bool TinyDbClient::reopen(std::string& cause)
{
    noticeEnding();
    if (outOfTime()) {
        cause = endedCause();
        return false;
    }
    if (handle() && tinydb_is_usable(handle()))
        return true;
    if (!loggedIn_) {
        cause = "not logged in to the administration service";
        return false;
    }
    // The connection broke during an earlier step: one new connection with
    // the same credentials.
    close();
    if (logIn() == Status::Ok)
        return true;
    // The end watch's deadline stops the connect as a stop would: said as
    // what it is.
    cause = "connecting again failed: "
        + (ending_ && ending_->raised() ? endedCause() : tinydb_error(handle()));
    close();
    return false;
}

Outcome TinyDbClient::open(const std::string& action)
{
    std::string cause;
    return reopen(cause) ? Outcome{} : fail(action, cause);
}

Outcome TinyDbClient::execute(
    const std::string& action, const std::string& statement, ResultSet* result)
{
    KMutexLocker hold(lock_);
    Answer answer;
    if (!takeAhead(statement, answer)) {
        if (Outcome opened = open(action); !opened)
            return opened;
        answer.status = tinydb_execute(handle(), statement, answer.result);
        answer.error = tinydb_error(handle());
    }
    return outcomeOf(action, answer, result);
}

Outcome TinyDbClient::outcomeOf(const std::string& action, Answer& answer, ResultSet* result)
{
    if (answer.status == Status::Ok) {
        if (result)
            *result = std::move(answer.result);
        return {};
    }
    return fail(
        action, !answer.answered() && ending_ && ending_->raised() ? endedCause() : answer.error);
}

std::vector<Answer> TinyDbClient::sendAhead(
    const std::vector<std::string>& statements, const std::vector<std::string>& reads)
{
    ahead_.clear();
    if (statements.empty() && reads.empty())
        return {};
    std::string cause;
    if (!reopen(cause))
        return std::vector<Answer>(statements.size(), Answer{Status::NotReady, {}, cause, 0});
    std::vector<std::string> all = statements;
    all.insert(all.end(), reads.begin(), reads.end());
    std::vector<Answer> answers;
    pipeline(all, answers, cause);
    for (std::size_t i = statements.size(); i < answers.size(); ++i)
        ahead_.push_back({all[i], std::move(answers[i])});
    answers.resize(std::min(answers.size(), statements.size()));
    return answers;
}

void TinyDbClient::readTogether(const std::vector<std::string>& reads)
{
    const bool inLine = reads.size() <= ahead_.size()
        && std::equal(reads.begin(), reads.end(), ahead_.begin(),
            [](const std::string& read, const Ahead& sent) { return read == sent.statement; });
    if (!inLine)
        sendAhead({}, reads);
}

bool TinyDbClient::takeAhead(const std::string& statement, Answer& answer)
{
    if (ahead_.empty())
        return false;
    if (ahead_.front().statement != statement) {
        // Another statement comes first: the reads ran, but their answers
        // could be older than its effect, so none of them is taken.
        ahead_.clear();
        return false;
    }
    answer = std::move(ahead_.front().answer);
    ahead_.pop_front();
    return true;
}

Outcome TinyDbClient::fail(const std::string& action, const std::string& cause) const
{
    return {"Could not " + action + " on " + host_ + ":" + std::to_string(adminPort) + ": " + cause
            + ".",
        cause};
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
    if (Outcome done = readOne(action, versionRead, value); !done)
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
    if (Outcome done = readOne(action, workerCountRead, value); !done)
        return done;
    if (value.kind != Value::Integer || value.integer < 0 || value.integer > 0xFFFF)
        return fail(action, "the count is not a number from 0 to 65535");
    count = static_cast<unsigned>(value.integer);
    return {};
}

bool TinyDbClient::pipeline(
    const std::vector<std::string>& statements, std::vector<Answer>& answers, std::string& cause)
{
    answers.clear();
    ahead_.clear();
    if (statements.empty())
        return true;
    if (!handle()) {
        cause = "not connected to the administration service";
        answers.assign(statements.size(), Answer{Status::NotReady, {}, cause, 0});
        return false;
    }
    if (tinydb_execute_pipelined(handle(), statements, answers) == Status::Ok)
        return true;
    cause = ending_ && ending_->raised() ? endedCause() : tinydb_error(handle());
    return false;
}

std::string TinyDbClient::creating(const NewAccount& account) const
{
    return account.domainOnly || !domainsReady_.count(folded(account.user.domain))
        ? domainAction(account.user.domain)
        : accountAction(account.user);
}

void TinyDbClient::createAccounts(std::vector<NewAccount>& batch)
{
    KMutexLocker hold(lock_);
    std::vector<Pending> open;
    for (NewAccount& account : batch) {
        account.outcome = {};
        account.existed = false;
        account.settled = true;
        std::string why;
        if (!CvnDomain{account.user.domain}.validate(why))
            account.outcome = fail(domainAction(account.user.domain), why);
        else if (!account.domainOnly && !account.user.validate(why))
            account.outcome = fail(accountAction(account.user), why);
        else
            open.push_back({&account, folded(account.user.domain)});
    }
    std::string cause;
    // A connection that breaks on the way is made again once; a stop, or a
    // server that can't be reached, ends the batch.
    for (int attempt = 0; attempt < 2 && !open.empty(); ++attempt) {
        if ((attempt > 0 && stop_ && stop_->raised()) || !reopen(cause))
            break;
        createSome(open, cause);
    }
    for (Pending& left : open) {
        left.account->outcome = fail(creating(*left.account), cause);
        left.account->settled = false;
    }
}

void TinyDbClient::createSome(std::vector<Pending>& open, std::string& cause)
{
    auto settle = [this](Pending& one, const std::string& failure) {
        one.account->outcome = failure.empty() ? Outcome{} : fail(creating(*one.account), failure);
        one.done = true;
    };
    // Every domain as first spelled, those to look for, and each domain's
    // accounts.
    std::map<std::string, std::string> spelled;
    std::vector<std::string> domainsToFind;
    std::map<std::string, std::vector<std::string>> names;
    for (const Pending& one : open) {
        const std::string& domain = one.account->user.domain;
        if (spelled.emplace(one.domain, domain).second && !domainsReady_.count(one.domain))
            domainsToFind.push_back(one.domain);
        if (!one.account->domainOnly)
            names[one.domain].push_back(one.account->user.name);
    }
    // The look-ups, in one round trip.
    std::vector<std::string> statements;
    if (!domainsToFind.empty()) {
        std::vector<std::string> asSpelled;
        for (const std::string& domain : domainsToFind)
            asSpelled.push_back(spelled[domain]);
        statements.push_back("SELECT Name FROM Domain WHERE Name IN (" + textList(asSpelled) + ")");
    }
    for (const auto& [domain, accounts] : names)
        statements.push_back("SELECT Name FROM User WHERE Domain = " + sqlText(spelled[domain])
            + " AND Name IN (" + textList(accounts) + ")");
    std::vector<Answer> answers;
    if (!pipeline(statements, answers, cause))
        return; // nothing changed: all of it is looked up again
    std::size_t at = 0;
    std::set<std::string> domainsMissing;
    if (!domainsToFind.empty()) {
        const Answer& found = answers[at++];
        const std::set<std::string> there = namesFound(found.result);
        for (const std::string& domain : domainsToFind) {
            if (found.status != Status::Ok)
                continue;
            if (there.count(domain))
                domainsReady_.insert(domain);
            else
                domainsMissing.insert(domain);
        }
        if (found.status != Status::Ok)
            for (Pending& one : open)
                if (!domainsReady_.count(one.domain))
                    settle(one, found.error);
    }
    for (const auto& [domain, accounts] : names) {
        const Answer& found = answers[at++];
        const std::set<std::string> there = namesFound(found.result);
        for (Pending& one : open) {
            if (one.done || one.account->domainOnly || one.domain != domain)
                continue;
            if (found.status != Status::Ok) {
                one.account->outcome = fail(accountAction(one.account->user), found.error);
                one.done = true;
            } else {
                one.found = there.count(folded(one.account->user.name)) > 0;
            }
        }
    }

    // The missing domains that an account still waits for, in one round
    // trip.
    std::vector<std::string> domains;
    statements.clear();
    for (const std::string& domain : domainsMissing)
        if (std::any_of(open.begin(), open.end(),
                [&](const Pending& one) { return !one.done && one.domain == domain; })) {
            domains.push_back(domain);
            statements.push_back(
                "INSERT INTO Domain (Name) VALUES (" + sqlText(spelled[domain]) + ")");
        }
    bool whole = pipeline(statements, answers, cause);
    for (std::size_t i = 0; i < domains.size(); ++i) {
        if (answers[i].status == Status::Ok || alreadyThere(answers[i]))
            domainsReady_.insert(domains[i]);
        else if (answers[i].answered())
            for (Pending& one : open)
                if (!one.done && one.domain == domains[i])
                    settle(one, answers[i].error);
    }

    // Then the missing accounts, in one round trip.
    std::vector<Pending*> inserted;
    statements.clear();
    for (Pending& one : open) {
        if (!whole || one.done || !domainsReady_.count(one.domain))
            continue;
        if (one.account->domainOnly || one.found) {
            one.account->existed = one.found;
            settle(one, {});
            continue;
        }
        const CvnUser& user = one.account->user;
        inserted.push_back(&one);
        statements.push_back("INSERT INTO User (Domain, Name, Password, FullName) VALUES ("
            + sqlText(user.domain) + ", " + sqlText(user.name) + ", " + sqlText(user.password)
            + ", " + sqlText(user.fullName) + ")");
    }
    whole = whole && pipeline(statements, answers, cause);
    for (std::size_t i = 0; i < inserted.size(); ++i) {
        if (!answers[i].answered())
            continue; // lost: looked up again
        inserted[i]->account->existed = alreadyThere(answers[i]);
        settle(*inserted[i],
            answers[i].status == Status::Ok || alreadyThere(answers[i]) ? std::string()
                                                                        : answers[i].error);
    }
    open.erase(
        std::remove_if(open.begin(), open.end(), [](const Pending& one) { return one.done; }),
        open.end());
    if (!open.empty() && cause.empty())
        cause = "the server's answers left it open";
}

Outcome TinyDbClient::createDomain(const CvnDomain& domain)
{
    std::vector<NewAccount> batch(1);
    batch[0].user.domain = domain.name;
    batch[0].domainOnly = true;
    createAccounts(batch);
    return batch[0].outcome;
}

Outcome TinyDbClient::createUser(const CvnUser& user, bool& existed)
{
    std::vector<NewAccount> batch(1);
    batch[0].user = user;
    createAccounts(batch);
    existed = batch[0].existed;
    return batch[0].outcome;
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
