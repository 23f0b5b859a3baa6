#pragma once
// The migration's administrator of the target server: one per migration,
// shared by all workers. Each operation is one step of the migration and
// returns its Outcome: done, or the sentence saying what failed and where.
// Settings it changes are saved first and put back by the restore
// operations, the backend settings (which name the temporary access list,
// the mark of a prepared target) last; whatever is still changed when the
// client is destroyed is put back then. A connection that broke is reopened
// by the next operation. Once the process was asked to end on a signal
// (tiny/TerminationNote.h), every exchange ends by that signal's deadline,
// and after it every operation fails at once.
// Statements that need no answer before the next one is sent go out
// together (pipelined), in the order of the steps, so that the target sees
// that order (docs/tinydb-protocol.md, "What goes together").
// Every operation holds the client's recursive lock, which nested operations
// take again.
#include "tiny/KCondition.h"
#include "tiny/KMutex.h"
#include "tinydb/CvnDomain.h"
#include "tinydb/CvnUser.h"
#include "tinydb/ResultSet.h"
#include "tinydb/SavedSettings.h"
#include "tinydb/TinyDb.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tavir::tinydb {

// What one operation came to: done, or not done with the sentence that says
// what failed and where ("Could not ... on host:44337: ..."). A failure that
// names several steps gives each its own line.
struct Outcome {
    Outcome() = default;
    Outcome(std::string failed, std::string why = {})
        : failure(std::move(failed))
        , cause(std::move(why))
    {
    }

    std::string failure; // empty when done
    // The clause of a one-step failure that says why, as its sentence has
    // it after the host ("no answer within 30 s"); empty otherwise.
    std::string cause;
    explicit operator bool() const { return failure.empty(); }
};

class TinyDbClient {
public:
    // With a failed login, its status: Refused, ReadOnly (logged in, and
    // out again), or how the connection failed.
    struct LoginOutcome : Outcome {
        Status login = Status::Ok;
    };

    struct Options {
        unsigned timeoutMs = 30000;
        std::string knownHostsFile; // empty: KnownHosts::defaultPath()
        TinyDbStreamFactory factory; // null: TLS
    };

    // Holds the client for the thread that makes it (other threads wait),
    // and while it lives that thread's operations give up at once when
    // `stop` is raised; the connection is then dropped, and the next
    // operation opens a new one. Putting settings back is the exception:
    // it has bounds of its own (each exchange's time-out, the end on a
    // signal), and a stop must not leave the target half put back.
    class StopScope {
    public:
        StopScope(TinyDbClient& client, std::shared_ptr<const tavir::utils::StopSignal> stop);
        ~StopScope();
        StopScope(const StopScope&) = delete;
        StopScope& operator=(const StopScope&) = delete;

    private:
        TinyDbClient& client_;
        tavir::tiny::KMutexLocker hold_;
    };

    TinyDbClient();
    explicit TinyDbClient(Options options);
    // Restores what is still changed (caches, security policy, IMAP
    // binding, then the backend settings and access list), then closes.
    ~TinyDbClient();
    TinyDbClient(const TinyDbClient&) = delete;
    TinyDbClient& operator=(const TinyDbClient&) = delete;

    // Connects to host:44337 and logs in. A read-only administrator is
    // logged in but can change nothing; the connection is closed again.
    LoginOutcome connect(
        const std::string& host, const std::string& user, const std::string& password);
    // Closes the connection; a later operation (or the destructor's restore)
    // opens it again with the same credentials.
    void close();
    bool isConnected();

    Outcome readVersion(std::string& version);
    Outcome readWorkerCount(unsigned& count);

    // The settings a preparation changes, in the order they are put back:
    // the backend settings last, since they name the access list that shows
    // every computer the target is prepared (they go back only once every
    // other setting is back, and the list goes after them).
    enum class Setting { Caches, Policy, Binding, Backend };
    static constexpr Setting allSettings[]
        = {Setting::Caches, Setting::Policy, Setting::Binding, Setting::Backend};
    // The security policy mode of a migration.
    static constexpr std::int64_t migrationPolicyMode = 0;

    // Sends ahead, in one round trip (pipelined), the reads of a preparation
    // up to its journal: with `version` the server's version
    // (readVersion), then, while no setting is read or changed yet, every
    // setting (saveSettings, the binding of the service `ssl` chooses), the
    // look for another run (findPreparationTraces) and the settings once
    // more (confirmSettings). The target runs them in that order; those
    // operations then take their answers, in that order, without a round
    // trip of their own, and a statement sent before them drops the
    // answers left (the reads changed nothing). A read whose answer the
    // connection lost fails the operation that takes it. Reports nothing.
    void readPreparationAhead(bool ssl, bool version);
    // Reads every setting a preparation changes (the binding of the IMAP
    // service that `ssl` chooses), before any of them is changed; a setting
    // changed already keeps what was read before its change.
    Outcome saveSettings(bool ssl);
    // Reads the saved settings once more; `unchanged` false, with the
    // sentence, when one of them is no longer what was read (another run,
    // or an administrator, changed it meanwhile). Changes nothing.
    Outcome confirmSettings(bool& unchanged);
    // Fixes what a preparation sets, before any of it is sent, so that the
    // journal can hold it: backend mode on with `masterPassword` and the
    // access list (named now when it is not), caches on, security policy
    // mode migrationPolicyMode, the IMAP service on all addresses at `port`.
    // The operations below set exactly that when given the same.
    Outcome planChanges(const std::string& masterPassword, unsigned port);
    // What was read and what is set instead, as the journal keeps it, with
    // the access list's name.
    SavedSettings savedSettings();
    // Names the temporary IP access list "zorp_", six random lower-case
    // hexadecimal characters and, when `tag` is not empty, "_" and `tag`
    // (the run's identity), without creating it yet: the journal names it
    // first. Nothing when it is named already.
    Outcome nameAccessList(const std::string& tag);
    // Sets what planChanges fixed, in one round trip once the access list
    // is there (created first when it is not): backend mode on, caches on,
    // the security policy mode, the IMAP service's binding and its restart,
    // in that order, and then reads the worker count ahead
    // (readWorkerCount takes its answer). Each setting counts as changed
    // once sent, and one the server refuses does not keep those sent with
    // it from running. The failure names every step that failed, each in a
    // sentence on a line of its own; an IMAP service that failed to stop or
    // start gets its old binding back at once, as with bindImap, unless a
    // stop scope's signal was raised: whoever stopped the preparation puts
    // everything back then, in one go.
    Outcome applyPlan();

    // Backend mode on with `masterPassword` and the temporary IP access
    // list, created first. Saves the cluster's settings first.
    Outcome saveBackend();
    Outcome enableBackend(const std::string& masterPassword);
    // Puts the saved settings back, then drops the access list; refused while
    // another setting is still changed, and the list stays when the settings
    // could not be put back: the target keeps its mark until it is whole.
    Outcome restoreBackend();
    // Folder cache and index-write cache on.
    Outcome saveCaches();
    Outcome enableCaches();
    Outcome restoreCaches();
    Outcome setSecurityPolicyMode(std::int64_t mode);
    Outcome restoreSecurityPolicy();
    // The IMAP service (over TLS when `ssl`) on all addresses at `port`,
    // restarted. When it fails to start there, the old binding is put back.
    Outcome saveImapBinding(bool ssl);
    Outcome bindImap(bool ssl, unsigned port);
    Outcome restoreImapBinding();

    // Changed and not yet put back (for the backend: or its access list not
    // yet dropped).
    bool isChanged(Setting setting);
    // One of the restore operations above.
    Outcome restore(Setting setting);
    // Puts back the settings named, one outcome each, in their order: all
    // but the backend settings in one round trip (pipelined: each runs
    // whether or not one before it failed), then, once their answers came,
    // restoreBackend, which is refused while another setting is still
    // changed. A setting not changed is done at once. A stop scope's signal
    // does not end it (see StopScope).
    std::vector<Outcome> restore(const std::vector<Setting>& settings);
    // What restoring the setting does, as a sentence ("Put back the security
    // policy mode (PolicyMode 2)."); a password shows as "as it was". Asked
    // before restore(), which forgets the access list's name.
    std::string restoreSentence(Setting setting);
    // What a restore that failed left of the setting for the next start,
    // as the end of the failure's sentence: "it is left for the next start,
    // which puts it back from the journal" ("they ... them" for the caches
    // and the backend settings; "it is left for the next start, which drops
    // it" once the backend settings are back and their access list is
    // not). Asked after restore().
    std::string leftForTheNextStart(Setting setting);
    // After adoptSettings: the values of the setting that were changed after
    // the run that died had set them, which stay as they are, each with what
    // it was before that run ("Kept the security policy mode as changed
    // after that migration: PolicyMode 5 (2 before that migration)."); empty
    // when there are none. Asked before restore().
    std::string keptSentence(Setting setting);

    // Why `saved` (a journal's) holds settings this client does not change,
    // or does not say what a preparation set in them; empty when it is fit
    // to act on. Sends nothing.
    std::string foreignSettings(const SavedSettings& saved);
    // The first half of taking over the settings of a run that ended
    // without restoring them: reads what the target has now beside what the
    // run found and what it set, and whether its access list is still
    // there. Sends no change and takes nothing over yet; refused, sending
    // nothing, when the settings are foreign or this client has changed
    // settings of its own.
    Outcome compareSettings(const SavedSettings& saved);
    // The second half: every value that still holds what that run set
    // counts as changed, so that the restore operations put it back; a
    // value changed since (neither what the run found nor what it set) is
    // kept as it is (keptSentence); the access list, if it is still there,
    // counts as created. An IMAP service whose binding the restore will not
    // write (all as the run found it, or all changed since) is restarted
    // first, stop then start in one round trip: a run that died while it
    // put the binding back, or while it restarted the service, may have
    // left the listener on the binding it had set, or none. The failure of
    // either call fails the adoption, with nothing taken over.
    Outcome adoptSettings();

    // What the target shows of a preparation that is neither this client's
    // nor the one `explained` names (a journal's access list): temporary
    // access lists ("zorp_..." in any case), listed or named by the
    // cluster, and then a sentence for each setting that holds what a
    // preparation sets (which it may also have held before). The look's two
    // reads take one round trip (none when a step before sent them ahead),
    // and the three that describe what it found one more.
    struct Traces {
        std::vector<std::string> accessLists;
        std::vector<std::string> sentences;
    };
    Outcome findPreparationTraces(Traces& out, const std::string& explained = {});
    // createAccessList, and in the same round trip after it the look above
    // (without a journal's list): a run of another computer that looked at
    // the target at the same moment shows now.
    Outcome claimTarget(Traces& out);

    // One account of a batch: its domain and, unless `domainOnly` (the
    // public folders live in the domain's own store), the account itself.
    struct NewAccount {
        CvnUser user;
        bool domainOnly = false;
        // What came of it: done, or the sentence naming the account (or its
        // domain, when that could not be made).
        Outcome outcome;
        // The account was there already and is used unchanged.
        bool existed = false;
        // False when the connection broke before the outcome was known
        // (`outcome` then says so): a later batch may try it again.
        bool settled = true;
    };
    // Creates the domains and accounts of `batch`; a domain that exists
    // counts as created, an account that exists is used unchanged. The
    // missing ones are found in one round trip (one statement for the
    // domains, one per domain for its accounts), then the missing domains
    // are inserted, then the missing accounts, each kind pipelined: three
    // round trips at most, whatever the batch's size. A statement the
    // server refuses fails the accounts it was about, each with its own
    // sentence. A connection that breaks is made again once, and what was
    // not settled is looked up again: an account whose insert got no
    // answer and is there now counts as there already, since it can't be
    // known who made it. A domain made or found once is not asked for
    // again.
    void createAccounts(std::vector<NewAccount>& batch);
    // createAccounts of the domain alone, or of one account (and its
    // domain); `existed` tells whether the account was there already.
    Outcome createDomain(const CvnDomain& domain);
    Outcome createUser(const CvnUser& user, bool& existed);
    // The migration status record ("IMAP;...").
    Outcome storeMigrationStatus(const std::string& record);

    // The signal of the stop scope in hand was raised: its operations give
    // up at once.
    bool stopped();
    // The process ends on a signal and the time it allows has run out:
    // every operation fails at once from now on.
    bool outOfTime();
    // While an operation waits for the administration service: when the
    // exchange in hand times out (its own time-out; a stop or the end on a
    // signal may end it sooner). None while nothing is awaited. Any thread,
    // at any time: it takes no lock an operation holds.
    std::optional<std::chrono::steady_clock::time_point> waitingUntil() const;

    // The trust-on-first-use sentence of the last connection, if any.
    std::string notice();
    // The temporary access list's name from the moment it is named until it
    // is dropped.
    std::string accessListName();

private:
    // One row of settings: where it lives, what was there, whether we changed
    // it.
    struct Saved {
        std::string what; // "the cluster's backend settings"
        bool plural = false; // `what` is said of as "they"
        std::string table;
        std::vector<std::string> columns;
        std::string service; // ServicePorts' row; empty for the one-row tables
        std::vector<Value> values;
        bool changed = false;
        // `values` were read and are what the journal holds: the change
        // goes ahead without reading the row again. Forgotten once the row
        // is back, so that the next preparation reads it afresh.
        bool saved = false;
        // What the preparation sets (planned or sent), in clear; a journal's
        // has the secret as its digest.
        std::vector<Value> set;
        // Compared with a journal: what the target has now, and which
        // values were changed since the run that died set them (kept as they
        // are; a restore writes the other columns only).
        bool compared = false;
        std::vector<Value> found;
        std::vector<bool> kept;

        // " WHERE Service = '...'" for ServicePorts' row, else empty.
        std::string where() const;
    };

    // The order a preparation reads and changes the settings in.
    static constexpr Setting changeOrder[]
        = {Setting::Backend, Setting::Caches, Setting::Policy, Setting::Binding};
    // Statements that read, as the operations send them.
    static constexpr const char* versionRead = "SELECT Version FROM Info";
    static constexpr const char* workerCountRead = "SELECT WorkerThreads FROM Misc";
    static constexpr const char* listsRead
        = "SELECT Name, FirstAddress, LastAddress FROM IpAccessList";

    // The connection with its handshake, then the login on it.
    Status logIn();
    Status openConnection();
    void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop);
    Outcome open(const std::string& action);
    // A statement and its answer: the one read ahead for it, if it is next
    // in line, else one round trip of its own.
    Outcome execute(
        const std::string& action, const std::string& statement, ResultSet* result = nullptr);
    Outcome fail(const std::string& action, const std::string& cause) const;
    // Done with its result, or the failure that names `action`.
    Outcome outcomeOf(const std::string& action, Answer& answer, ResultSet* result = nullptr);
    // The one row of `width` values a statement answers with.
    Outcome readRow(const std::string& action, const std::string& statement, std::size_t width,
        std::vector<Value>& row);
    Outcome readOne(const std::string& action, const std::string& statement, Value& value);
    Saved& row(Setting setting);
    Saved* rowOfTable(const std::string& table);
    void useImapService(const std::string& service);
    Outcome save(Saved& row);
    // The SELECT of the row's columns.
    static std::string selectOf(const Saved& row);
    // What writes `values` into the row's columns that are not kept: its
    // UPDATE, and for the binding's row the IMAP service's stop and start
    // (pipelined: the start is sent whether or not the stop went through,
    // and starting a running service changes nothing).
    std::vector<std::string> writesOf(const Saved& row, const std::vector<Value>& values) const;
    // The IMAP service in use stopped and started again, so that its
    // listener takes the binding the row holds now.
    std::vector<std::string> imapRestart() const;
    // Statements that go out together, one step of an operation each: what
    // its failure says it could not do, its statements, and then whether
    // each was done and the step's outcome (the failure of its first
    // statement not done).
    struct Step {
        Step(std::string what, std::vector<std::string> toSend)
            : action(std::move(what))
            , statements(std::move(toSend))
        {
        }
        std::string action;
        std::vector<std::string> statements;
        std::vector<bool> done;
        bool sent = false; // false: nothing was sent (no connection could be had)
        Outcome outcome;
    };
    // The steps' statements in one round trip (pipelined), in order, then
    // `reads` read ahead for the operations that send them next.
    void runSteps(std::vector<Step>& steps, const std::vector<std::string>& reads = {});
    // Sets each row to its `set` values (saved first), in one round trip
    // with `reads` after them; the binding's row restarts the IMAP service,
    // and gets its old binding back when that fails. Every step's failure,
    // each its own sentence.
    Outcome setRows(const std::vector<Saved*>& rows, const std::vector<std::string>& reads = {});
    // What setting the row to its `set` values is, as a failure names it.
    std::string changing(const Saved& row) const;
    // Writes the saved values back into the changed rows, in one round
    // trip, restarting the IMAP service after the binding's; one outcome
    // per row.
    std::vector<Outcome> putBackRows(const std::vector<Saved*>& rows);
    // Creates the named access list (naming it first when it is not),
    // admitting every address; once. `readsAfter` go in the same round trip.
    Outcome createAccessList(const std::vector<std::string>& readsAfter = {});
    void restoreAll();
    // Once the process was asked to end on a signal: the stop that its
    // deadline raises, set on every connection from then on.
    void noticeEnding();
    // The end watch's thread: raises ending_ at the deadline, unless the
    // client goes first.
    void watchEnd();
    std::string endedCause() const;
    std::shared_ptr<const tavir::utils::StopSignal> defaultStop() const;

    // A usable connection: the one in hand, or a new one with the same
    // credentials; false with the clause that says why not.
    bool reopen(std::string& cause);
    // Statements pipelined on the connection (tinydb_execute_pipelined);
    // false, with `cause`, when it broke before every answer came. Drops
    // the answers read ahead.
    bool pipeline(const std::vector<std::string>& statements, std::vector<Answer>& answers,
        std::string& cause);
    // `statements`, then `reads`, in one round trip on a usable connection:
    // the answers of `statements` (each the cause, when the connection could
    // not be had); those of `reads` are kept for the operations that send
    // them next, in order.
    std::vector<Answer> sendAhead(
        const std::vector<std::string>& statements, const std::vector<std::string>& reads);
    // `reads` in one round trip, their answers kept for the operation that
    // sends them next, one by one; nothing when all of them are next in
    // line already (a step before sent them ahead).
    void readTogether(const std::vector<std::string>& reads);
    // The answer read ahead for `statement`, when it is the next in line;
    // any other statement drops them all.
    bool takeAhead(const std::string& statement, Answer& answer);
    // One attempt of createAccounts at the accounts in `open`, which it
    // leaves holding those not settled when the connection broke
    // (`cause`).
    struct Pending;
    void createSome(std::vector<Pending>& open, std::string& cause);
    // "create the domain ..." while the account's domain is not ready, then
    // "create the account ...".
    std::string creating(const NewAccount& account) const;

    Options options_;
    tavir::tiny::KMutex lock_;
    // The connection, closed (tinydb_close) when it is replaced or the
    // client goes.
    struct HandleClose {
        void operator()(tinydb_handle* handle) const { tinydb_close(handle); }
    };
    std::unique_ptr<tinydb_handle, HandleClose> connection_;
    tinydb_handle* handle() const { return connection_.get(); }
    std::shared_ptr<const tavir::utils::StopSignal> stop_; // of the StopScope in hand
    std::string host_;
    std::string user_;
    std::string password_;
    bool loggedIn_ = false; // credentials known to work: a broken connection is reopened
    std::string notice_;
    std::string accessList_;
    bool listCreated_ = false; // its INSERT was sent: it is dropped at the end
    std::string imapService_;
    std::set<std::string> domainsReady_; // made or found by this client, folded
    Saved backend_;
    Saved caches_;
    Saved policy_;
    Saved binding_;
    std::string comparedList_; // the journal's access list, still on the target
    // Reads sent ahead, with their answers, in the order sent.
    struct Ahead {
        std::string statement;
        Answer answer;
    };
    std::deque<Ahead> ahead_;

    // The deadline of the exchange in hand, for waitingUntil.
    const std::shared_ptr<ExchangeDeadline> waits_ = std::make_shared<ExchangeDeadline>();
    // Raised at the deadline of the signal the process ends on; null before.
    std::shared_ptr<tavir::utils::StopSignal> ending_;
    int endingSignal_ = 0;
    std::chrono::steady_clock::time_point endDeadline_;
    pthread_t endWatch_ = 0; // the thread that raises it; 0: none
    tavir::tiny::KMutex endLock_;
    tavir::tiny::KCondition endWake_;
    bool destroying_ TAVIR_GUARDED_BY(endLock_) = false;
};

} // namespace tavir::tinydb
