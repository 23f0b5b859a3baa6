// The settings a migration changes on the target: each is one row that is
// read before it is changed and written back with the read values at the end.
// A row counts as changed from the moment its update is sent, so that an
// update whose answer was lost is still put back. What was read, and what is
// set instead, can be handed to the journal; after a run that died, a
// journal's values are taken over where the target still holds what that
// run set.
#include "tinydb/TinyDbClient.h"

#include "crypto/Random.h"
#include "ssl/StopSignal.h"
#include "tiny/ScopeExit.h"
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
    Outcome read = readRow("read " + row.what, selectOf(row), row.columns.size(), row.values);
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

std::string TinyDbClient::selectOf(const Saved& row)
{
    return "SELECT " + joined(row.columns) + " FROM " + row.table + row.where();
}

std::vector<std::string> TinyDbClient::writesOf(
    const Saved& row, const std::vector<Value>& values) const
{
    std::vector<std::string> columns;
    std::vector<Value> put;
    written(row.columns, values, row.kept, columns, put);
    std::string assignments;
    for (std::size_t i = 0; i < columns.size(); ++i)
        assignments += (i ? ", " : "") + columns[i] + " = " + sqlValue(put[i]);
    std::vector<std::string> writes{"UPDATE " + row.table + " SET " + assignments + row.where()};
    if (&row == &binding_) {
        const std::vector<std::string> restart = imapRestart();
        writes.insert(writes.end(), restart.begin(), restart.end());
    }
    return writes;
}

std::vector<std::string> TinyDbClient::imapRestart() const
{
    std::vector<std::string> calls;
    for (const char* call : {"stop_service", "start_service"})
        calls.push_back(std::string("CALL ") + call + "(" + sqlText(imapService_) + ")");
    return calls;
}

void TinyDbClient::runSteps(std::vector<Step>& steps, const std::vector<std::string>& reads)
{
    std::vector<std::string> statements;
    for (const Step& step : steps)
        statements.insert(statements.end(), step.statements.begin(), step.statements.end());
    std::vector<Answer> answers = sendAhead(statements, reads);
    std::size_t at = 0;
    for (Step& step : steps) {
        step.done.clear();
        step.outcome = {};
        step.sent = !step.statements.empty() && answers[at].status != Status::NotReady
            && answers[at].status != Status::BadText;
        for (std::size_t i = 0; i < step.statements.size(); ++i, ++at) {
            step.done.push_back(answers[at].status == Status::Ok);
            if (step.outcome && !step.done.back())
                step.outcome = outcomeOf(step.action, answers[at]);
        }
    }
}

std::string TinyDbClient::changing(const Saved& row) const
{
    if (&row == &backend_)
        return "switch on the backend mode";
    if (&row == &caches_)
        return "switch the folder and index-write caches on";
    if (&row == &policy_)
        return "set the security policy mode to " + textOf(row.set.at(0));
    return "bind the " + imapService_ + " service to all addresses on port "
        + textOf(row.set.at(1));
}

Outcome TinyDbClient::setRows(const std::vector<Saved*>& rows, const std::vector<std::string>& reads)
{
    KMutexLocker hold(lock_);
    for (Saved* r : rows)
        if (Outcome saved = save(*r); !saved)
            return saved;
    std::vector<Step> steps;
    for (Saved* r : rows) {
        // Changed from the moment it is sent: a change whose answer is
        // lost is still put back.
        r->changed = true;
        steps.emplace_back(changing(*r), writesOf(*r, r->set));
    }
    runSteps(steps, reads);
    // Stopped, the preparation's own undo puts everything back at once.
    const bool stoppedNow = stopped();
    std::vector<Outcome> failures;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!steps[i].outcome)
            failures.push_back(steps[i].outcome);
        // Never leave the target without IMAP: a service that did not stop
        // and start again gets its old binding back at once.
        if (rows[i] == &binding_ && steps[i].sent && !(steps[i].done[1] && steps[i].done[2])
            && !stoppedNow)
            if (Outcome back = putBackRows({&binding_})[0]; !back)
                failures.push_back(back);
    }
    if (failures.size() == 1)
        return failures[0];
    Outcome done;
    for (const Outcome& failed : failures)
        done.failure += (done ? "" : "\n") + failed.failure;
    return done;
}

std::vector<Outcome> TinyDbClient::putBackRows(const std::vector<Saved*>& rows)
{
    KMutexLocker hold(lock_);
    std::vector<Step> steps;
    for (Saved* r : rows)
        if (r->changed)
            steps.emplace_back("put back " + r->what, writesOf(*r, r->values));
    runSteps(steps);
    std::vector<Outcome> outcomes;
    std::size_t at = 0; // the changed rows' steps, in order
    for (Saved* r : rows) {
        if (!r->changed) {
            outcomes.emplace_back();
            continue;
        }
        const Outcome& back = steps[at++].outcome;
        if (back) {
            r->changed = r->saved = false;
            r->set.clear();
            r->kept.clear();
        }
        outcomes.push_back(back);
    }
    return outcomes;
}

Outcome TinyDbClient::saveSettings(bool ssl)
{
    KMutexLocker hold(lock_);
    for (Setting setting : changeOrder)
        if (Outcome done = setting == Setting::Binding ? saveImapBinding(ssl) : save(row(setting));
            !done)
            return done;
    return {};
}

void TinyDbClient::readPreparationAhead(bool ssl, bool version)
{
    KMutexLocker hold(lock_);
    std::vector<std::string> reads;
    if (version)
        reads.push_back(versionRead);
    bool fresh = true;
    for (Setting setting : allSettings)
        fresh = fresh && !row(setting).changed && !row(setting).saved;
    if (fresh) {
        // As saveSettings, findPreparationTraces and confirmSettings send
        // them.
        useImapService(ssl ? "IMAPS" : "IMAP");
        for (Setting setting : changeOrder)
            reads.push_back(selectOf(row(setting)));
        reads.insert(reads.end(), {listsRead, selectOf(backend_)});
        for (Setting setting : allSettings)
            reads.push_back(selectOf(row(setting)));
    }
    sendAhead({}, reads);
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
        Outcome read = readRow("read " + r.what + " again", selectOf(r), r.columns.size(), now);
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

Outcome TinyDbClient::createAccessList(const std::vector<std::string>& readsAfter)
{
    KMutexLocker hold(lock_);
    if (Outcome named = nameAccessList({}); !named || listCreated_)
        return named;
    // Counted before the insert, so that a list whose answer was lost is
    // still dropped.
    listCreated_ = true;
    std::vector<Step> create{{"create the temporary IP access list " + accessList_,
        {"INSERT INTO IpAccessList (Name, FirstAddress, LastAddress) VALUES ("
            + sqlText(accessList_) + ", '0.0.0.0', '255.255.255.255')"}}};
    runSteps(create, readsAfter);
    return create[0].outcome;
}

Outcome TinyDbClient::claimTarget(Traces& out)
{
    KMutexLocker hold(lock_);
    if (Outcome created = createAccessList({listsRead, selectOf(backend_)}); !created)
        return created;
    return findPreparationTraces(out);
}

Outcome TinyDbClient::applyPlan()
{
    KMutexLocker hold(lock_);
    for (Setting setting : allSettings)
        if (row(setting).set.size() != row(setting).columns.size())
            return fail("change the target's settings", "no change of them was planned");
    if (Outcome created = createAccessList(); !created)
        return created;
    std::vector<Saved*> rows;
    for (Setting setting : changeOrder)
        rows.push_back(&row(setting));
    return setRows(rows, {workerCountRead});
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
    backend_.set = {Value::of(std::int64_t{1}), Value::of(masterPassword), Value::of(accessList_)};
    return setRows({&backend_});
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
            return fail("put back " + backend_.what,
                "they stay, with the temporary IP access list " + accessList_
                    + ", until every other setting is back, so that the target shows it is not "
                      "put back yet");
        }
    }
    if (Outcome cluster = putBackRows({&backend_})[0]; !cluster)
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
    KMutexLocker hold(lock_);
    caches_.set = cachesOn();
    return setRows({&caches_});
}

Outcome TinyDbClient::restoreCaches()
{
    return restore(Setting::Caches);
}

Outcome TinyDbClient::setSecurityPolicyMode(std::int64_t mode)
{
    KMutexLocker hold(lock_);
    policy_.set = {Value::of(mode)};
    return setRows({&policy_});
}

Outcome TinyDbClient::restoreSecurityPolicy()
{
    return restore(Setting::Policy);
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

Outcome TinyDbClient::bindImap(bool ssl, unsigned port)
{
    KMutexLocker hold(lock_);
    if (Outcome saved = saveImapBinding(ssl); !saved)
        return saved;
    binding_.set = allAddresses(port);
    return setRows({&binding_});
}

Outcome TinyDbClient::restoreImapBinding()
{
    return restore(Setting::Binding);
}

bool TinyDbClient::isChanged(Setting setting)
{
    KMutexLocker hold(lock_);
    return row(setting).changed || (setting == Setting::Backend && listCreated_);
}

Outcome TinyDbClient::restore(Setting setting)
{
    return restore(std::vector<Setting>{setting})[0];
}

std::vector<Outcome> TinyDbClient::restore(const std::vector<Setting>& settings)
{
    KMutexLocker hold(lock_);
    // Not ended by the stop scope's signal, whose thread may be putting
    // back what it stopped; only by its own time-outs and the end on a
    // signal (defaultStop without the scope).
    auto scoped = stop_;
    setStopSignal(nullptr);
    const tavir::tiny::ScopeExit again([&] { setStopSignal(std::move(scoped)); });
    std::vector<Saved*> rows;
    for (Setting setting : settings)
        if (setting != Setting::Backend)
            rows.push_back(&row(setting));
    const std::vector<Outcome> back = putBackRows(rows);
    std::vector<Outcome> outcomes;
    std::size_t at = 0;
    for (Setting setting : settings)
        outcomes.push_back(setting == Setting::Backend ? restoreBackend() : back[at++]);
    return outcomes;
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
        done = "Put back " + r.what + " (" + describedValues(columns, values) + ")";
    }
    if (setting == Setting::Binding && r.changed)
        done += " and restarted the service";
    if (setting == Setting::Backend && listCreated_)
        done += (done.empty() ? "Dropped" : " and dropped")
            + std::string(" the temporary IP access list ") + accessList_;
    return done.empty() ? done : done + ".";
}

std::string TinyDbClient::leftForTheNextStart(Setting setting)
{
    KMutexLocker hold(lock_);
    const Saved& r = row(setting);
    if (setting == Setting::Backend && !r.changed && listCreated_)
        return "it is left for the next start, which drops it";
    return r.plural ? "they are left for the next start, which puts them back from the journal"
                    : "it is left for the next start, which puts it back from the journal";
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
    const std::string listNames = "SELECT Name FROM IpAccessList";
    std::vector<Saved*> rows;
    std::vector<std::string> reads;
    for (const SavedSetting& setting : saved.settings) {
        rows.push_back(rowOfTable(setting.table));
        if (rows.back() == &binding_)
            useImapService(setting.service);
        reads.push_back(selectOf(*rows.back()));
    }
    if (!saved.accessList.empty())
        reads.push_back(listNames);
    // Every read in one round trip.
    sendAhead({}, reads);
    std::vector<std::pair<Saved*, std::vector<Value>>> read;
    for (Saved* r : rows) {
        std::vector<Value> now;
        if (Outcome done = readRow("read " + r->what, selectOf(*r), r->columns.size(), now); !done)
            return done;
        read.emplace_back(r, std::move(now));
    }
    comparedList_.clear();
    if (!saved.accessList.empty()) {
        ResultSet lists;
        if (Outcome done = execute("read the IP access lists", listNames, &lists); !done)
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
    // Whether a compared value is still what that run set, not what it found.
    auto stillSet = [this](const Saved& r, std::size_t i) {
        return r.found[i] != r.values[i]
            && holdsWhatWasSet(r.columns[i], r.found[i], r.set[i], accessList_);
    };
    // A binding the restore does not write is not restarted by it either,
    // yet the listener may not follow the row: that run may have died after
    // putting the row back and before stopping the service (the listener
    // still on its binding), or between the stop and the start (no
    // listener). Stopped and started, the service listens where the row
    // says, whatever the kill left. First, so that a service that can't be
    // restarted leaves nothing taken over: nothing is put back, and the
    // journal stays.
    if (binding_.compared) {
        bool written = false;
        for (std::size_t i = 0; i < binding_.columns.size(); ++i)
            written = written || stillSet(binding_, i);
        if (!written) {
            std::vector<Step> restart{{"restart the " + imapService_ + " service", imapRestart()}};
            runSteps(restart);
            if (!restart[0].outcome)
                return restart[0].outcome;
        }
    }
    for (Setting setting : allSettings) {
        Saved& r = row(setting);
        if (!r.compared)
            continue;
        r.compared = false;
        r.kept.assign(r.columns.size(), false);
        for (std::size_t i = 0; i < r.columns.size(); ++i) {
            if (stillSet(r, i))
                r.changed = true;
            else if (r.found[i] != r.values[i])
                r.kept[i] = true;
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
    readTogether({listsRead, selectOf(backend_)});
    ResultSet lists;
    Outcome done = execute("read the IP access lists", listsRead, &lists);
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
    done = readRow("read the cluster's backend settings", selectOf(backend_), 3, cluster);
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
    const std::string cachesRead = "SELECT FolderCache, IndexWriteCache FROM MessageStore";
    const std::string policyRead = "SELECT PolicyMode FROM Security";
    const std::string portsRead = "SELECT Service, Address, Port FROM ServicePorts";
    readTogether({cachesRead, policyRead, portsRead});
    std::vector<Value> caches, policy;
    ResultSet ports;
    done = readRow("read the folder and index-write caches", cachesRead, 2, caches);
    if (done)
        done = readRow("read the security policy mode", policyRead, 1, policy);
    if (done)
        done = execute("read the service bindings", portsRead, &ports);
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
    std::vector<Setting> changed;
    for (Setting setting : allSettings)
        if (isChanged(setting))
            changed.push_back(setting);
    // Bounded: a server that can't be reached again ends the attempt.
    if (!changed.empty() && open("restore the settings"))
        restore(changed);
}

} // namespace tavir::tinydb
