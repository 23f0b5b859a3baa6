// The settings a migration changes on the target: each is one row that is
// read before it is changed and written back with the read values at the end.
// A row counts as changed from the moment its update is sent, so that an
// update whose answer was lost is still put back.
#include "tinydb/TinyDbClient.h"

#include "crypto/Random.h"
#include "tinydb/Sql.h"

namespace tavir::tinydb {

using tavir::tiny::KMutexLocker;

namespace {

std::string assignments(const std::vector<std::string>& columns, const std::vector<Value>& values)
{
    std::string out;
    for (std::size_t i = 0; i < columns.size(); ++i)
        out += (i ? ", " : "") + columns[i] + " = " + sqlValue(values[i]);
    return out;
}

std::string joined(const std::vector<std::string>& columns)
{
    std::string out;
    for (std::size_t i = 0; i < columns.size(); ++i)
        out += (i ? ", " : "") + columns[i];
    return out;
}

} // namespace

bool TinyDbClient::save(Saved& row)
{
    KMutexLocker hold(lock_);
    if (row.changed)
        return true; // what was saved before the change is what must come back
    return readRow("read " + row.what,
        "SELECT " + joined(row.columns) + " FROM " + row.table + row.where, row.columns.size(),
        row.values);
}

bool TinyDbClient::writeRow(
    const Saved& row, const std::vector<Value>& values, const std::string& action)
{
    return execute(
        action, "UPDATE " + row.table + " SET " + assignments(row.columns, values) + row.where);
}

bool TinyDbClient::change(Saved& row, const std::vector<Value>& values, const std::string& action)
{
    KMutexLocker hold(lock_);
    if (!save(row))
        return false;
    row.changed = true;
    return writeRow(row, values, action);
}

bool TinyDbClient::restore(Saved& row, const std::string& service)
{
    KMutexLocker hold(lock_);
    if (!row.changed)
        return true;
    const std::string action = "restore " + row.what;
    if (!writeRow(row, row.values, action)
        || (!service.empty() && !restartService(service, action)))
        return false;
    row.changed = false;
    return true;
}

bool TinyDbClient::saveBackend()
{
    return save(backend_);
}

bool TinyDbClient::enableBackend(const std::string& masterPassword)
{
    KMutexLocker hold(lock_);
    const std::string action = "switch on the backend mode";
    if (!save(backend_))
        return false;
    if (accessList_.empty()) {
        std::string suffix;
        try {
            tavir::utils::Random().getAscii(suffix, 6);
        } catch (const std::exception& e) {
            return fail(action, std::string("no random name for the access list: ") + e.what());
        }
        // Set before the insert, so that a list whose answer was lost is
        // still dropped.
        accessList_ = "zorp_" + suffix;
        if (!execute(action,
                "INSERT INTO IpAccessList (Name, FirstAddress, LastAddress) VALUES ("
                    + sqlText(accessList_) + ", '0.0.0.0', '255.255.255.255')"))
            return false;
    }
    return change(backend_,
        {Value::of(std::int64_t{1}), Value::of(masterPassword), Value::of(accessList_)}, action);
}

bool TinyDbClient::restoreBackend()
{
    KMutexLocker hold(lock_);
    bool clusterRestored = restore(backend_);
    std::string clusterError = clusterRestored ? std::string() : error_;
    bool listDropped = accessList_.empty()
        || execute("drop the temporary IP access list " + accessList_,
            "DELETE FROM IpAccessList WHERE Name = " + sqlText(accessList_));
    if (listDropped)
        accessList_.clear();
    if (!clusterRestored)
        error_ = clusterError; // the first failure is the one to report
    return clusterRestored && listDropped;
}

bool TinyDbClient::saveCaches()
{
    return save(caches_);
}

bool TinyDbClient::enableCaches()
{
    return change(caches_, {Value::of(std::int64_t{1}), Value::of(std::int64_t{1})},
        "switch the folder and index-write caches on");
}

bool TinyDbClient::restoreCaches()
{
    return restore(caches_);
}

bool TinyDbClient::saveSecurityPolicy()
{
    return save(policy_);
}

bool TinyDbClient::setSecurityPolicyMode(std::int64_t mode)
{
    return change(
        policy_, {Value::of(mode)}, "set the security policy mode to " + std::to_string(mode));
}

bool TinyDbClient::restoreSecurityPolicy()
{
    return restore(policy_);
}

bool TinyDbClient::saveImapBinding(bool ssl)
{
    KMutexLocker hold(lock_);
    const std::string service = ssl ? "IMAPS" : "IMAP";
    if (binding_.changed && service != imapService_) {
        return fail("read the binding of the " + service + " service",
            "the binding of the " + imapService_ + " service is still changed");
    }
    imapService_ = service;
    binding_.what = "the " + service + " service binding";
    binding_.where = " WHERE Service = " + sqlText(service);
    return save(binding_);
}

bool TinyDbClient::restartService(const std::string& service, const std::string& action)
{
    return execute(action, "CALL stop_service(" + sqlText(service) + ")")
        && execute(action, "CALL start_service(" + sqlText(service) + ")");
}

bool TinyDbClient::bindImap(bool ssl, unsigned port)
{
    KMutexLocker hold(lock_);
    if (!saveImapBinding(ssl))
        return false;
    const std::string action
        = "bind the " + imapService_ + " service to all addresses on port " + std::to_string(port);
    if (!change(
            binding_, {Value::of(std::string("0.0.0.0")), Value::of(std::int64_t{port})}, action))
        return false;
    if (restartService(imapService_, action))
        return true;
    // Never leave the target without IMAP: the old binding goes back at once.
    std::string failure = error_;
    if (restoreImapBinding())
        error_ = failure;
    else
        error_ = failure + " " + error_;
    return false;
}

bool TinyDbClient::restoreImapBinding()
{
    KMutexLocker hold(lock_);
    return restore(binding_, imapService_);
}

void TinyDbClient::restoreAll()
{
    // Bounded: a server that can't be reached again ends the attempt.
    const std::string action = "restore the settings";
    bool (TinyDbClient::*steps[])() = {&TinyDbClient::restoreBackend, &TinyDbClient::restoreCaches,
        &TinyDbClient::restoreSecurityPolicy, &TinyDbClient::restoreImapBinding};
    for (auto step : steps) {
        bool pending = backend_.changed || !accessList_.empty() || caches_.changed
            || policy_.changed || binding_.changed;
        if (!pending || !open(action))
            return;
        (this->*step)();
    }
}

} // namespace tavir::tinydb
