// The settings a migration changes on the target: each is one row that is
// read before it is changed and written back with the read values at the end.
// A row counts as changed from the moment its update is sent, so that an
// update whose answer was lost is still put back. What was read, and what is
// set instead, can be handed to the journal; after a run that died, a
// journal's values are taken over where the target still holds what that
// run set.
#include "tinydb/TinyDbClient.h"

#include "crypto/Random.h"
#include "tinydb/Sql.h"
#include "utils/StringUtils.h"

namespace tavir::tinydb {

using tavir::tiny::KMutexLocker;

namespace {

const char* const temporaryListPrefix = "zorp_";
const char* const beforeThatRun = " before that migration";

std::string joined(const std::vector<std::string>& columns)
{
    std::string out;
    for (std::size_t i = 0; i < columns.size(); ++i)
        out += (i ? ", " : "") + columns[i];
    return out;
}

using tavir::utils::lower;

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

// Whether `now` is what a run set, as its journal keeps it (the secret as
// its digest, salted with the run's access list).
bool holdsWhatWasSet(
    const std::string& column, const Value& now, const Value& set, const std::string& salt)
{
    if (column != secretColumn)
        return now == set;
    return now.kind == Value::Text && set.kind == Value::Text
        && secretDigest(now.text, salt) == set.text;
}

// What a preparation sets.
std::vector<Value> cachesOn()
{
    return {Value::of(std::int64_t{1}), Value::of(std::int64_t{1})};
}

std::vector<Value> allAddresses(unsigned port)
{
    return {Value::of(std::string("0.0.0.0")), Value::of(std::int64_t{port})};
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

Outcome TinyDbClient::save(Saved& row)
{
    KMutexLocker hold(lock_);
    if (row.changed || row.saved)
        return {}; // what was saved before the change is what must come back
    Outcome read = readRow("read " + row.what,
        "SELECT " + joined(row.columns) + " FROM " + row.table + row.where(), row.columns.size(),
        row.values);
    row.saved = static_cast<bool>(read);
    // What a journal left kept is the target's own from now on.
    row.kept.clear();
    row.found.clear();
    return read;
}

namespace {

// The columns a restore writes (those not kept) with their values.
void written(const std::vector<std::string>& columns, const std::vector<Value>& values,
    const std::vector<bool>& kept, std::vector<std::string>& outColumns,
    std::vector<Value>& outValues)
{
    for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i) {
        if (i < kept.size() && kept[i])
            continue;
        outColumns.push_back(columns[i]);
        outValues.push_back(values[i]);
    }
}

} // namespace

Outcome TinyDbClient::writeRow(
    const Saved& row, const std::vector<Value>& values, const std::string& action)
{
    std::vector<std::string> columns;
    std::vector<Value> put;
    written(row.columns, values, row.kept, columns, put);
    std::string assignments;
    for (std::size_t i = 0; i < columns.size(); ++i)
        assignments += (i ? ", " : "") + columns[i] + " = " + sqlValue(put[i]);
    return execute(action, "UPDATE " + row.table + " SET " + assignments + row.where());
}

Outcome TinyDbClient::change(
    Saved& row, const std::vector<Value>& values, const std::string& action)
{
    KMutexLocker hold(lock_);
    if (Outcome saved = save(row); !saved)
        return saved;
    row.changed = true;
    row.set = values;
    return writeRow(row, values, action);
}

Outcome TinyDbClient::restore(Saved& row, const std::string& service)
{
    KMutexLocker hold(lock_);
    if (!row.changed)
        return {};
    const std::string action = "restore " + row.what;
    Outcome done = writeRow(row, row.values, action);
    if (done && !service.empty())
        done = restartService(service, action);
    if (done) {
        row.changed = row.saved = false;
        row.set.clear();
        row.kept.clear();
    }
    return done;
}

Outcome TinyDbClient::saveSettings(bool ssl)
{
    KMutexLocker hold(lock_);
    Outcome done = saveBackend();
    if (done)
        done = saveCaches();
    if (done)
        done = saveSecurityPolicy();
    return done ? saveImapBinding(ssl) : done;
}

Outcome TinyDbClient::confirmSettings(bool& unchanged)
{
    KMutexLocker hold(lock_);
    unchanged = true;
    for (Setting setting : allSettings) {
        Saved& r = row(setting);
        if (!r.saved)
            continue;
        std::vector<Value> now;
        Outcome read = readRow("read " + r.what + " again",
            "SELECT " + joined(r.columns) + " FROM " + r.table + r.where(), r.columns.size(), now);
        if (!read)
            return read;
        if (now != r.values) {
            // Read afresh by the next start.
            r.saved = false;
            unchanged = false;
            return {"The target server " + host_ + ":" + std::to_string(adminPort) + " changed "
                + r.what + " while this migration read its settings."};
        }
    }
    return {};
}

Outcome TinyDbClient::planChanges(const std::string& masterPassword, unsigned port)
{
    KMutexLocker hold(lock_);
    if (Outcome named = nameAccessList({}); !named)
        return named;
    backend_.set = {Value::of(std::int64_t{1}), Value::of(masterPassword), Value::of(accessList_)};
    caches_.set = cachesOn();
    policy_.set = {Value::of(migrationPolicyMode)};
    binding_.set = allAddresses(port);
    return {};
}

SavedSettings TinyDbClient::savedSettings()
{
    KMutexLocker hold(lock_);
    SavedSettings saved;
    for (Setting setting : allSettings) {
        const Saved& r = row(setting);
        if (r.values.size() != r.columns.size())
            continue;
        std::vector<Value> set = r.set;
        for (std::size_t i = 0; i < set.size() && i < r.columns.size(); ++i)
            if (r.columns[i] == secretColumn && set[i].kind == Value::Text)
                set[i] = Value::of(secretDigest(set[i].text, accessList_));
        saved.settings.push_back({r.table, r.service, r.columns, r.values, std::move(set)});
    }
    saved.accessList = accessList_;
    return saved;
}

Outcome TinyDbClient::nameAccessList(const std::string& tag)
{
    KMutexLocker hold(lock_);
    if (!accessList_.empty())
        return {};
    std::string suffix;
    try {
        tavir::utils::Random().getAscii(suffix, 6);
    } catch (const std::exception& e) {
        return fail(
            "name the temporary IP access list", std::string("no random name: ") + e.what());
    }
    accessList_ = temporaryListPrefix + suffix + (tag.empty() ? "" : "_" + tag);
    return {};
}

Outcome TinyDbClient::createAccessList()
{
    KMutexLocker hold(lock_);
    if (Outcome named = nameAccessList({}); !named || listCreated_)
        return named;
    // Counted before the insert, so that a list whose answer was lost is
    // still dropped.
    listCreated_ = true;
    return execute("create the temporary IP access list " + accessList_,
        "INSERT INTO IpAccessList (Name, FirstAddress, LastAddress) VALUES (" + sqlText(accessList_)
            + ", '0.0.0.0', '255.255.255.255')");
}

Outcome TinyDbClient::saveBackend()
{
    return save(backend_);
}

Outcome TinyDbClient::enableBackend(const std::string& masterPassword)
{
    KMutexLocker hold(lock_);
    Outcome done = save(backend_);
    if (done)
        done = createAccessList();
    if (!done)
        return done;
    return change(backend_,
        {Value::of(std::int64_t{1}), Value::of(masterPassword), Value::of(accessList_)},
        "switch on the backend mode");
}

Outcome TinyDbClient::restoreBackend()
{
    KMutexLocker hold(lock_);
    if (!isChanged(Setting::Backend))
        return {};
    // The backend settings and the list they name are the run's mark on the
    // target: another computer learns from them alone that the target is
    // not as its administrator left it. They go last, once everything else
    // is back, and a target that can't be put back whole keeps them.
    for (Setting other : {Setting::Caches, Setting::Policy, Setting::Binding}) {
        if (row(other).changed) {
            return fail("restore " + backend_.what,
                "they stay, with the temporary IP access list " + accessList_
                    + ", until every other setting is back, so that the target shows it is not "
                      "put back yet");
        }
    }
    if (Outcome cluster = restore(backend_); !cluster)
        return cluster;
    const Outcome list = !listCreated_
        ? Outcome{}
        : execute("drop the temporary IP access list " + accessList_,
            "DELETE FROM IpAccessList WHERE Name = " + sqlText(accessList_));
    if (list) {
        accessList_.clear();
        listCreated_ = false;
    }
    return list;
}

Outcome TinyDbClient::saveCaches()
{
    return save(caches_);
}

Outcome TinyDbClient::enableCaches()
{
    return change(caches_, cachesOn(), "switch the folder and index-write caches on");
}

Outcome TinyDbClient::restoreCaches()
{
    return restore(caches_);
}

Outcome TinyDbClient::saveSecurityPolicy()
{
    return save(policy_);
}

Outcome TinyDbClient::setSecurityPolicyMode(std::int64_t mode)
{
    return change(
        policy_, {Value::of(mode)}, "set the security policy mode to " + std::to_string(mode));
}

Outcome TinyDbClient::restoreSecurityPolicy()
{
    return restore(policy_);
}

Outcome TinyDbClient::saveImapBinding(bool ssl)
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

Outcome TinyDbClient::restartService(const std::string& service, const std::string& action)
{
    Outcome stopped = execute(action, "CALL stop_service(" + sqlText(service) + ")");
    return stopped ? execute(action, "CALL start_service(" + sqlText(service) + ")") : stopped;
}

Outcome TinyDbClient::bindImap(bool ssl, unsigned port)
{
    KMutexLocker hold(lock_);
    Outcome done = saveImapBinding(ssl);
    const std::string action
        = "bind the " + imapService_ + " service to all addresses on port " + std::to_string(port);
    if (done)
        done = change(binding_, allAddresses(port), action);
    if (!done)
        return done;
    done = restartService(imapService_, action);
    if (done)
        return done;
    // Never leave the target without IMAP: the old binding goes back at once.
    if (Outcome back = restoreImapBinding(); !back)
        done.failure += " " + back.failure;
    return done;
}

Outcome TinyDbClient::restoreImapBinding()
{
    KMutexLocker hold(lock_);
    return restore(binding_, imapService_);
}

bool TinyDbClient::isChanged(Setting setting)
{
    KMutexLocker hold(lock_);
    return row(setting).changed || (setting == Setting::Backend && listCreated_);
}

Outcome TinyDbClient::restore(Setting setting)
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
    if (r.changed) {
        std::vector<std::string> columns;
        std::vector<Value> values;
        written(r.columns, r.values, r.kept, columns, values);
        done = "Restored " + r.what + " (" + describedValues(columns, values) + ")";
    }
    if (setting == Setting::Binding && r.changed)
        done += " and restarted the service";
    if (setting == Setting::Backend && listCreated_)
        done += (done.empty() ? "Dropped" : " and dropped")
            + std::string(" the temporary IP access list ") + accessList_;
    return done.empty() ? done : done + ".";
}

std::string TinyDbClient::keptSentence(Setting setting)
{
    KMutexLocker hold(lock_);
    const Saved& r = row(setting);
    std::string kept;
    for (std::size_t i = 0; i < r.kept.size() && i < r.found.size(); ++i) {
        if (!r.kept[i])
            continue;
        kept += (kept.empty() ? "" : ", ") + r.columns[i];
        kept += r.columns[i] == secretColumn
            ? std::string(" (not shown, nor its value") + beforeThatRun + ")"
            : " " + sqlValue(r.found[i]) + " (" + sqlValue(r.values[i]) + beforeThatRun + ")";
    }
    return kept.empty() ? kept
                        : "Kept " + r.what + " as changed after that migration: " + kept + ".";
}

std::string TinyDbClient::foreignSettings(const SavedSettings& saved)
{
    KMutexLocker hold(lock_);
    std::set<std::string> seen;
    for (const SavedSetting& setting : saved.settings) {
        const Saved* r = rowOfTable(setting.table);
        const bool binding = r == &binding_;
        if (!r || r->columns != setting.columns || setting.values.size() != setting.columns.size()
            || !seen.insert(setting.table).second
            || (binding && setting.service != "IMAP" && setting.service != "IMAPS")
            || (!binding && !setting.service.empty()))
            return "it holds settings of " + setting.table + " that are not ours";
        if (setting.set.size() != setting.columns.size())
            return "it does not say what its migration set in " + setting.table;
    }
    return {};
}

Outcome TinyDbClient::compareSettings(const SavedSettings& saved)
{
    KMutexLocker hold(lock_);
    const std::string action = "compare the target's settings with the journal";
    for (Setting setting : allSettings)
        if (isChanged(setting))
            return fail(action, "this client has changed settings of its own");
    if (const std::string foreign = foreignSettings(saved); !foreign.empty())
        return fail(action, foreign);
    std::vector<std::pair<Saved*, std::vector<Value>>> read;
    for (const SavedSetting& setting : saved.settings) {
        Saved* r = rowOfTable(setting.table);
        if (r == &binding_)
            useImapService(setting.service);
        std::vector<Value> now;
        Outcome done = readRow("read " + r->what,
            "SELECT " + joined(r->columns) + " FROM " + r->table + r->where(), r->columns.size(),
            now);
        if (!done)
            return done;
        read.emplace_back(r, std::move(now));
    }
    comparedList_.clear();
    if (!saved.accessList.empty()) {
        ResultSet lists;
        if (Outcome done
            = execute("read the IP access lists", "SELECT Name FROM IpAccessList", &lists);
            !done)
            return done;
        for (const auto& list : lists.rows)
            if (!list.empty() && sameListName(textOf(list[0]), saved.accessList))
                comparedList_ = saved.accessList;
    }
    // Only now, with every row read, is anything of the journal taken in.
    for (std::size_t i = 0; i < read.size(); ++i) {
        Saved& r = *read[i].first;
        r.values = saved.settings[i].values;
        r.set = saved.settings[i].set;
        r.found = std::move(read[i].second);
        r.compared = true;
        r.saved = false; // unchanged, it is read afresh by the next preparation
    }
    accessList_ = saved.accessList; // the salt of the secret's digest until adopted
    return {};
}

Outcome TinyDbClient::adoptSettings()
{
    KMutexLocker hold(lock_);
    for (Setting setting : allSettings) {
        Saved& r = row(setting);
        if (!r.compared)
            continue;
        r.compared = false;
        r.kept.assign(r.columns.size(), false);
        bool asFound = true;
        for (std::size_t i = 0; i < r.columns.size(); ++i) {
            if (r.found[i] == r.values[i])
                continue;
            asFound = false;
            if (holdsWhatWasSet(r.columns[i], r.found[i], r.set[i], accessList_))
                r.changed = true;
            else
                r.kept[i] = true;
        }
        if (&r == &binding_ && asFound) {
            if (Outcome started = execute("start the " + imapService_ + " service",
                    "CALL start_service(" + sqlText(imapService_) + ")");
                !started)
                return started;
        }
    }
    listCreated_ = !comparedList_.empty();
    accessList_ = comparedList_;
    return {};
}

Outcome TinyDbClient::findPreparationTraces(Traces& out, const std::string& explained)
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
    Outcome done = execute("read the IP access lists",
        "SELECT Name, FirstAddress, LastAddress FROM IpAccessList", &lists);
    if (!done)
        return done;
    for (const auto& list : lists.rows) {
        if (list.size() != 3 || !isTemporaryList(textOf(list[0])) || ours(textOf(list[0])))
            continue;
        note(textOf(list[0]));
        out.sentences.push_back("The IP access list " + textOf(list[0]) + " admits "
            + textOf(list[1]) + " to " + textOf(list[2]) + ".");
    }
    std::vector<Value> cluster;
    done = readRow("read the cluster's backend settings",
        "SELECT BackendMode, MasterPassword, BackendAccessList FROM Cluster", 3, cluster);
    if (!done)
        return done;
    // What this preparation read must hold no trace of another one either:
    // a run that came and went between the read and this look left its
    // values in what was read.
    const std::string readList
        = backend_.saved && backend_.values.size() == 3 ? textOf(backend_.values[2]) : "";
    if (isTemporaryList(readList) && !ours(readList)) {
        note(readList);
        out.sentences.push_back("When this migration read the cluster's backend settings, they "
                                "named the IP access list "
            + readList + ".");
    }
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
        return {};
    // A preparation shows: whatever else holds what one sets is named too.
    std::vector<Value> caches, policy;
    ResultSet ports;
    done = readRow("read the folder and index-write caches",
        "SELECT FolderCache, IndexWriteCache FROM MessageStore", 2, caches);
    if (done)
        done = readRow(
            "read the security policy mode", "SELECT PolicyMode FROM Security", 1, policy);
    if (done)
        done = execute(
            "read the service bindings", "SELECT Service, Address, Port FROM ServicePorts", &ports);
    if (!done)
        return done;
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
    return {};
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
