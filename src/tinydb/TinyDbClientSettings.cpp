// The settings a migration changes on the target: each is one row that is
// read before it is changed and written back with the read values at the end.
// A row counts as changed from the moment its update is sent, so that an
// update whose answer was lost is still put back. What was read can be handed
// to the journal, and a journal's values taken over after a run that died.
#include "tinydb/TinyDbClient.h"

#include "crypto/Random.h"
#include "tinydb/Sql.h"

#include <algorithm>
#include <cctype>

namespace tavir::tinydb {

using tavir::tiny::KMutexLocker;

namespace {

const char* const temporaryListPrefix = "zorp_";
// Shown instead of its value wherever a setting is described.
const char* const secretColumn = "MasterPassword";

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

// "BackendMode 0, MasterPassword as it was, BackendAccessList ''".
std::string described(const std::vector<std::string>& columns, const std::vector<Value>& values)
{
    std::string out;
    for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i)
        out += (i ? ", " : "") + columns[i] + " "
            + (columns[i] == secretColumn ? std::string("as it was") : sqlValue(values[i]));
    return out;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The server compares list names without regard to case.
bool sameListName(const std::string& a, const std::string& b)
{
    return lower(a) == lower(b);
}

bool isTemporaryList(const std::string& name)
{
    return lower(name).rfind(temporaryListPrefix, 0) == 0;
}

std::string textOf(const Value& value)
{
    return value.kind == Value::Text   ? value.text
        : value.kind == Value::Integer ? std::to_string(value.integer)
                                       : std::string();
}

// The temporary master passwords this program sets: 12 lower-case
// hexadecimal characters.
bool looksTemporary(const Value& password)
{
    return password.kind == Value::Text && password.text.size() == 12
        && password.text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace

TinyDbClient::Saved& TinyDbClient::row(Setting setting)
{
    switch (setting) {
    case Setting::Backend:
        return backend_;
    case Setting::Caches:
        return caches_;
    case Setting::Policy:
        return policy_;
    default:
        return binding_;
    }
}

TinyDbClient::Saved* TinyDbClient::rowOfTable(const std::string& table)
{
    for (Setting setting : allSettings)
        if (row(setting).table == table)
            return &row(setting);
    return nullptr;
}

std::string TinyDbClient::Saved::where() const
{
    return service.empty() ? std::string() : " WHERE Service = " + sqlText(service);
}

void TinyDbClient::useImapService(const std::string& service)
{
    if (service != binding_.service)
        binding_.saved = false; // another service's row
    imapService_ = service;
    binding_.service = service;
    binding_.what = "the " + service + " service binding";
}

bool TinyDbClient::save(Saved& row)
{
    KMutexLocker hold(lock_);
    if (row.changed || row.saved)
        return true; // what was saved before the change is what must come back
    row.saved = readRow("read " + row.what,
        "SELECT " + joined(row.columns) + " FROM " + row.table + row.where(), row.columns.size(),
        row.values);
    return row.saved;
}

bool TinyDbClient::writeRow(
    const Saved& row, const std::vector<Value>& values, const std::string& action)
{
    return execute(
        action, "UPDATE " + row.table + " SET " + assignments(row.columns, values) + row.where());
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
    row.saved = false;
    return true;
}

bool TinyDbClient::saveSettings(bool ssl)
{
    KMutexLocker hold(lock_);
    return saveBackend() && saveCaches() && saveSecurityPolicy() && saveImapBinding(ssl);
}

SavedSettings TinyDbClient::savedSettings()
{
    KMutexLocker hold(lock_);
    SavedSettings saved;
    for (Setting setting : allSettings) {
        const Saved& r = row(setting);
        if (r.values.size() == r.columns.size())
            saved.settings.push_back({r.table, r.service, r.columns, r.values});
    }
    saved.accessList = accessList_;
    return saved;
}

bool TinyDbClient::nameAccessList(const std::string& tag)
{
    KMutexLocker hold(lock_);
    if (!accessList_.empty())
        return true;
    std::string suffix;
    try {
        tavir::utils::Random().getAscii(suffix, 6);
    } catch (const std::exception& e) {
        return fail(
            "name the temporary IP access list", std::string("no random name: ") + e.what());
    }
    accessList_ = temporaryListPrefix + suffix + (tag.empty() ? "" : "_" + tag);
    return true;
}

bool TinyDbClient::createAccessList()
{
    KMutexLocker hold(lock_);
    if (!nameAccessList({}))
        return false;
    if (listCreated_)
        return true;
    // Counted before the insert, so that a list whose answer was lost is
    // still dropped.
    listCreated_ = true;
    return execute("create the temporary IP access list " + accessList_,
        "INSERT INTO IpAccessList (Name, FirstAddress, LastAddress) VALUES (" + sqlText(accessList_)
            + ", '0.0.0.0', '255.255.255.255')");
}

bool TinyDbClient::saveBackend()
{
    return save(backend_);
}

bool TinyDbClient::enableBackend(const std::string& masterPassword)
{
    KMutexLocker hold(lock_);
    if (!save(backend_) || !createAccessList())
        return false;
    return change(backend_,
        {Value::of(std::int64_t{1}), Value::of(masterPassword), Value::of(accessList_)},
        "switch on the backend mode");
}

bool TinyDbClient::restoreBackend()
{
    KMutexLocker hold(lock_);
    bool clusterRestored = restore(backend_);
    std::string clusterError = clusterRestored ? std::string() : error_;
    bool listDropped = !listCreated_
        || execute("drop the temporary IP access list " + accessList_,
            "DELETE FROM IpAccessList WHERE Name = " + sqlText(accessList_));
    if (listDropped) {
        accessList_.clear();
        listCreated_ = false;
    }
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
    useImapService(service);
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

bool TinyDbClient::isChanged(Setting setting)
{
    KMutexLocker hold(lock_);
    return row(setting).changed || (setting == Setting::Backend && listCreated_);
}

bool TinyDbClient::restore(Setting setting)
{
    switch (setting) {
    case Setting::Backend:
        return restoreBackend();
    case Setting::Caches:
        return restoreCaches();
    case Setting::Policy:
        return restoreSecurityPolicy();
    default:
        return restoreImapBinding();
    }
}

std::string TinyDbClient::restoreSentence(Setting setting)
{
    KMutexLocker hold(lock_);
    const Saved& r = row(setting);
    std::string done;
    if (r.changed)
        done = "Restored " + r.what + " (" + described(r.columns, r.values) + ")";
    if (setting == Setting::Binding && r.changed)
        done += " and restarted the service";
    if (setting == Setting::Backend && listCreated_)
        done += (done.empty() ? "Dropped" : " and dropped")
            + std::string(" the temporary IP access list ") + accessList_;
    return done.empty() ? done : done + ".";
}

bool TinyDbClient::adoptSettings(const SavedSettings& saved)
{
    KMutexLocker hold(lock_);
    const std::string action = "take over the settings of the journal";
    for (Setting setting : allSettings)
        if (isChanged(setting))
            return fail(action, "this client has changed settings of its own");
    for (const SavedSetting& setting : saved.settings) {
        Saved* r = rowOfTable(setting.table);
        const bool binding = r == &binding_;
        if (!r || r->columns != setting.columns || setting.values.size() != setting.columns.size()
            || (binding && setting.service != "IMAP" && setting.service != "IMAPS")
            || (!binding && !setting.service.empty()))
            return fail(action, "it holds settings of " + setting.table + " that are not ours");
        if (binding)
            useImapService(setting.service);
        std::vector<Value> now;
        if (!readRow("read " + r->what,
                "SELECT " + joined(r->columns) + " FROM " + r->table + r->where(),
                r->columns.size(), now))
            return false;
        r->values = setting.values;
        r->changed = now != setting.values;
        r->saved = false; // unchanged, it is read afresh by the next preparation
        if (binding && !r->changed
            && !execute("start the " + imapService_ + " service",
                "CALL start_service(" + sqlText(imapService_) + ")"))
            return false;
    }
    if (saved.accessList.empty())
        return true;
    ResultSet lists;
    if (!execute("read the IP access lists", "SELECT Name FROM IpAccessList", &lists))
        return false;
    for (const auto& list : lists.rows)
        if (!list.empty() && sameListName(textOf(list[0]), saved.accessList))
            listCreated_ = true;
    accessList_ = listCreated_ ? saved.accessList : std::string();
    return true;
}

bool TinyDbClient::findPreparationTraces(Traces& out, const std::string& explained)
{
    KMutexLocker hold(lock_);
    out = Traces{};
    auto ours = [&](const std::string& name) {
        return (listCreated_ && sameListName(name, accessList_))
            || (!explained.empty() && sameListName(name, explained));
    };
    auto note = [&](const std::string& name) {
        for (const std::string& known : out.accessLists)
            if (sameListName(known, name))
                return;
        out.accessLists.push_back(name);
    };
    ResultSet lists;
    if (!execute("read the IP access lists",
            "SELECT Name, FirstAddress, LastAddress FROM IpAccessList", &lists))
        return false;
    for (const auto& list : lists.rows) {
        if (list.size() != 3 || !isTemporaryList(textOf(list[0])) || ours(textOf(list[0])))
            continue;
        note(textOf(list[0]));
        out.sentences.push_back("The IP access list " + textOf(list[0]) + " admits "
            + textOf(list[1]) + " to " + textOf(list[2]) + ".");
    }
    std::vector<Value> cluster;
    if (!readRow("read the cluster's backend settings",
            "SELECT BackendMode, MasterPassword, BackendAccessList FROM Cluster", 3, cluster))
        return false;
    const std::string clusterList = textOf(cluster[2]);
    if (isTemporaryList(clusterList) && !ours(clusterList)) {
        note(clusterList);
        out.sentences.push_back("The cluster's backend settings are as a migration sets them: "
                                "BackendMode "
            + sqlValue(cluster[0]) + ", BackendAccessList " + sqlValue(cluster[2])
            + (looksTemporary(cluster[1]) ? ", and a MasterPassword of 12 hexadecimal characters"
                                          : "")
            + ".");
    }
    if (out.accessLists.empty())
        return true;
    // A preparation shows: whatever else holds what one sets is named too.
    std::vector<Value> caches, policy;
    ResultSet ports;
    if (!readRow("read the folder and index-write caches",
            "SELECT FolderCache, IndexWriteCache FROM MessageStore", 2, caches)
        || !readRow("read the security policy mode", "SELECT PolicyMode FROM Security", 1, policy)
        || !execute(
            "read the service bindings", "SELECT Service, Address, Port FROM ServicePorts", &ports))
        return false;
    if (caches[0] == Value::of(std::int64_t{1}) && caches[1] == Value::of(std::int64_t{1}))
        out.sentences.push_back(
            "The folder and index-write caches are on (FolderCache 1, IndexWriteCache 1), as a "
            "migration sets them.");
    if (policy[0] == Value::of(std::int64_t{0}))
        out.sentences.push_back(
            "The security policy mode is 0 (PolicyMode 0), as a migration sets it.");
    for (const auto& port : ports.rows)
        if (port.size() == 3 && textOf(port[1]) == "0.0.0.0")
            out.sentences.push_back("The " + textOf(port[0])
                + " service is bound to all addresses (Address '0.0.0.0', Port " + textOf(port[2])
                + "), as a migration binds it.");
    return true;
}

void TinyDbClient::restoreAll()
{
    // Bounded: a server that can't be reached again ends the attempt.
    const std::string action = "restore the settings";
    for (Setting setting : allSettings) {
        bool pending = false;
        for (Setting any : allSettings)
            pending = pending || isChanged(any);
        if (!pending || !open(action))
            return;
        restore(setting);
    }
}

} // namespace tavir::tinydb
