// The preparation of the target for a run, its undoing, the restoration at
// the end, and what a start does about other runs: one still going, or one
// that ended without putting the target back.
#include "Imap/engine/TargetPreparation.h"

#include "Imap/textconv/TextConversion.h"

#include <algorithm>
#include <cwctype>
#include <vector>

namespace tavir::migration {

using tinydb::Outcome;
using tinydb::PreparationJournal;
using tinydb::RunIdentity;
using tinydb::TinyDbClient;

namespace {

const wchar_t* const notStarted = L"the migration did not start, and nothing was changed.";

// Each step that failed, on a line of its own. A step that a stop ended
// did not fail: the report's summary says where the stop came, and the
// debug log alone keeps the step's sentence.
bool reportFailure(TinyDbClient& admin, const Outcome& failed, Logger& log)
{
    const bool stopped = admin.stopped();
    const std::wstring text = utf8ToUnicode(failed.failure);
    for (std::size_t begin = 0; begin <= text.size();) {
        const std::size_t end = std::min(text.find(L'\n', begin), text.size());
        if (end > begin && stopped)
            log.debug(TAVIR_HERE, text.substr(begin, end - begin));
        else if (end > begin)
            log.report(TAVIR_HERE, text.substr(begin, end - begin));
        begin = end + 1;
    }
    return false;
}

bool notChanged(TinyDbClient& admin, const Outcome& failed, Logger& log)
{
    reportFailure(admin, failed, log);
    admin.close();
    log.report(TAVIR_HERE, L"The target server was not changed; the migration did not start.");
    return false;
}

// "a migration started on <time> by process <pid> on <host>", as far as
// the run is known.
std::wstring aMigration(const RunIdentity& run)
{
    if (!run.known())
        return L"another migration";
    std::wstring text = sentence(L"a migration started on %1% by process %2%",
        utf8ToUnicode(localTimeText(run.startTime)), run.pid);
    return run.host.empty() ? text : text + L" on " + utf8ToUnicode(run.host);
}

// The text with its first letter capital, to open a sentence.
std::wstring capitalised(std::wstring text)
{
    if (!text.empty())
        text[0] = static_cast<wchar_t>(std::towupper(text[0]));
    return text;
}

// One sentence per setting put back or not, in order; `routine` ones (put
// back at the first attempt) matter to the report only when another one
// did not go back at once, or after a run that died.
struct PutBackLine {
    bool routine;
    std::wstring text;
};

// What became of one setting that the restore put back, or tried to.
struct Restoring {
    explicit Restoring(TinyDbClient::Setting which)
        : setting(which)
    {
    }

    TinyDbClient::Setting setting;
    std::string done; // the sentence once it is back, asked before each attempt
    Outcome first; // the first attempt's
    Outcome last; // the latest attempt's
    unsigned attempts = 0;

    bool back() const { return attempts > 0 && static_cast<bool>(last); }
};

// A failure's sentence without its cause and full stop: "Could not put
// back ... on host:44337: ".
std::string beforeCause(const Outcome& failed)
{
    const std::size_t cut = failed.cause.size() + 1;
    return failed.cause.empty() || failed.failure.size() < cut
        ? failed.failure
        : failed.failure.substr(0, failed.failure.size() - cut);
}

// The failure's sentence without its full stop.
std::string withoutFullStop(const std::string& text)
{
    return !text.empty() && text.back() == '.' ? text.substr(0, text.size() - 1) : text;
}

// The one sentence a setting gets: put back, at once or on a second attempt
// (with why the first failed), or left for the next start with why (both
// attempts' causes when they differ).
PutBackLine lineOf(TinyDbClient& admin, const Restoring& r)
{
    if (r.back() && r.attempts == 1)
        return {true, utf8ToUnicode(r.done)};
    if (r.back()) {
        return {false,
            utf8ToUnicode(withoutFullStop(r.done) + " on a second attempt, after the first failed: "
                + (r.first.cause.empty() ? r.first.failure : r.first.cause + "."))};
    }
    std::string text = withoutFullStop(r.first.failure);
    if (r.attempts > 1 && r.last.failure != r.first.failure) {
        // The same step failing otherwise adds its cause; another step (the
        // list, once the backend settings went back) is what is left.
        text = beforeCause(r.last) == beforeCause(r.first)
            ? text + ", and on a second attempt: " + r.last.cause
            : withoutFullStop(r.last.failure);
    }
    return {false, utf8ToUnicode(text + "; " + admin.leftForTheNextStart(r.setting) + ".")};
}

// Every changed setting put back, then those that failed once more: a lost
// connection is made again by then, and a busy server may have caught up.
// The settings of each attempt go together (one round trip); the backend
// settings, which name the access list that marks the target as prepared,
// come last, and only once everything else is back and acknowledged: a
// target that is not whole keeps its mark. One line per setting, in their
// order.
bool putBack(TinyDbClient& admin, std::vector<PutBackLine>& lines)
{
    using Setting = TinyDbClient::Setting;
    std::vector<Restoring> settings;
    for (auto setting : TinyDbClient::allSettings)
        if (admin.isChanged(setting))
            settings.emplace_back(setting);
    auto attempt = [&](const std::vector<Restoring*>& some) {
        if (some.empty())
            return;
        std::vector<Setting> which;
        for (Restoring* r : some) {
            which.push_back(r->setting);
            r->done = admin.restoreSentence(r->setting);
        }
        const std::vector<Outcome> outcomes = admin.restore(which);
        for (std::size_t i = 0; i < some.size(); ++i) {
            some[i]->last = outcomes[i];
            if (some[i]->attempts++ == 0)
                some[i]->first = outcomes[i];
        }
    };
    // The settings not back yet that were tried (or not) so far, the
    // backend settings (`mark`) or the others.
    auto notBack = [&](bool mark, bool tried) {
        std::vector<Restoring*> some;
        for (Restoring& r : settings)
            if ((r.setting == Setting::Backend) == mark && !r.back() && (r.attempts > 0) == tried)
                some.push_back(&r);
        return some;
    };
    auto othersBack = [&] { return notBack(false, true).empty(); };
    attempt(notBack(false, false));
    if (othersBack())
        attempt(notBack(true, false));
    // Not once more when the process ends on a signal and its time ran out.
    std::vector<Restoring*> again = notBack(false, true);
    const std::vector<Restoring*> mark = notBack(true, true);
    again.insert(again.end(), mark.begin(), mark.end());
    if (!again.empty() && !admin.outOfTime())
        attempt(again);
    // The backend settings not tried yet, after the second attempts of the
    // others: refused, naming the mark that stays, or put back once the
    // others are (and tried once more).
    if (!notBack(true, false).empty()) {
        attempt(notBack(true, false));
        if (othersBack() && !notBack(true, true).empty() && !admin.outOfTime())
            attempt(notBack(true, true));
    }
    bool complete = true;
    for (const Restoring& r : settings) {
        lines.push_back(lineOf(admin, r));
        complete = complete && r.back();
    }
    return complete;
}

bool removeJournal(PreparationJournal& journal, Logger& log)
{
    std::string why;
    if (journal.remove(why))
        return true;
    log.report(TAVIR_HERE,
        sentence(L"The target's settings are back, but %1%; the next start compares them with "
                 L"it again.",
            utf8ToUnicode(why)));
    return false;
}

// The journal of a run that ended without putting the target back, compared
// with the target and found alone there: every setting that still holds
// what that run set goes back, each one named in the report; one changed
// since is kept, and named with what it was before that run.
bool putBackLeftRun(TinyDbClient& admin, PreparationJournal& journal,
    const PreparationJournal::Record& left, Logger& log)
{
    const std::wstring who = capitalised(aMigration(left.run));
    if (const Outcome adopted = admin.adoptSettings(); !adopted) {
        reportFailure(admin, adopted, log);
        log.report(TAVIR_HERE,
            sentence(L"The migration did not start; %1% keeps what the target had, and the next "
                     L"start tries again.",
                utf8ToUnicode(journal.path())));
        return false;
    }
    std::vector<std::wstring> kept;
    for (auto setting : TinyDbClient::allSettings)
        if (const std::string line = admin.keptSentence(setting); !line.empty())
            kept.push_back(utf8ToUnicode(line));
    std::vector<PutBackLine> lines;
    const bool complete = putBack(admin, lines);
    if (lines.empty() && kept.empty()) {
        log.report(TAVIR_HERE,
            who
                + L" ended before it changed the target's settings, or after it had put them "
                  L"back; its journal is removed.");
        removeJournal(journal, log);
        return true;
    }
    log.report(TAVIR_HERE,
        who
            + (complete ? L" ended without restoring the target; its settings were restored:"
                        : L" ended without restoring the target; not all its settings could be "
                          L"restored:"));
    for (const PutBackLine& line : lines)
        log.report(TAVIR_HERE, line.text);
    for (const std::wstring& line : kept)
        log.report(TAVIR_HERE, line);
    if (!complete) {
        log.report(TAVIR_HERE,
            sentence(L"The migration did not start; %1% keeps what the target had, and the next "
                     L"start tries again.",
                utf8ToUnicode(journal.path())));
        return false;
    }
    // A journal that can't be removed is replaced by this run's own.
    removeJournal(journal, log);
    return true;
}

// Another run's preparation on the target, which no journal here explains:
// that run is going on (from another computer, or under another name of
// the target) or it ended without putting the target back. `consequence`
// ends the first sentence, `advice` is the last one.
void reportOtherRun(const TinyDbClient::Traces& traces, const std::string& target,
    const wchar_t* consequence, const wchar_t* advice, Logger& log)
{
    RunIdentity other;
    std::wstring lists;
    for (const std::string& name : traces.accessLists) {
        if (!other.known())
            RunIdentity::fromAccessList(name, other);
        lists += (lists.empty() ? L"" : L", ") + utf8ToUnicode(name);
    }
    log.report(TAVIR_HERE,
        sentence(L"The target server %1% shows the preparation of %2% (IP access list %3%), which "
                 L"is still running or ended without restoring the target; %4%",
            utf8ToUnicode(target), aMigration(other), lists, consequence));
    for (const std::string& line : traces.sentences)
        log.report(TAVIR_HERE, utf8ToUnicode(line));
    log.report(TAVIR_HERE,
        sentence(advice,
            other.host.empty() ? std::wstring(L"the computer that ran it")
                               : utf8ToUnicode(other.host),
            lists));
}

// After a refusal: the computer that ran the other migration keeps what the
// target had, and puts it back by itself.
const wchar_t* const otherRunAdvice
    = L"If that migration has ended, start a migration against this target again on %1%, as "
      L"the user who ran it: it puts back from its journal there whatever that migration "
      L"changed, and keeps what was changed since. Only if that journal is lost, put those "
      L"settings back by hand and drop the IP access list %2%.";
// After a back-off: nothing to do by hand.
const wchar_t* const backedOffAdvice
    = L"Nothing is to be done by hand: this migration puts back what it changed, and the other "
      L"one (on %1%) backs off too if it started at the same moment, dropping its IP access "
      L"list %2%; start this one again once no other migration runs against the target.";

bool lockJournal(PreparationJournal& journal, const TargetPlan& plan, Logger& log)
{
    RunIdentity holder;
    std::string why;
    switch (journal.lock(plan.run, holder, why)) {
    case PreparationJournal::Lock::Taken:
        return true;
    case PreparationJournal::Lock::Busy:
        log.report(TAVIR_HERE,
            sentence(L"%1% is still running against the target server %2%; %3%",
                capitalised(aMigration(holder)), utf8ToUnicode(journalTarget(plan)), notStarted));
        return false;
    default:
        log.report(TAVIR_HERE,
            sentence(L"The target's settings can't be kept safe: %1%; %2%", utf8ToUnicode(why),
                notStarted));
        return false;
    }
}

// Before logging in: a journal left here is read, and one that is not whole,
// not of this target or not this program's is refused with its sentence
// before anything is sent.
bool readJournal(TinyDbClient& admin, PreparationJournal& journal, PreparationJournal::Record& left,
    bool& found, Logger& log)
{
    std::string why;
    const PreparationJournal::Read read = journal.read(left, why);
    found = read == PreparationJournal::Read::Found;
    if (found)
        why = admin.foreignSettings(left.settings);
    if (read == PreparationJournal::Read::None || (found && why.empty()))
        return true;
    if (found)
        why = "the journal " + journal.path() + " is not one this program wrote: " + why;
    log.report(TAVIR_HERE,
        sentence(L"A migration against this target left a journal of its settings, but %1%; "
                 L"compare the target's settings with it by hand and remove it. The "
                 L"migration did not start, and nothing was changed.",
            utf8ToUnicode(why)));
    return false;
}

// The target searched for a preparation that no journal here explains
// (`explained`, a left journal's access list, is one); a refusal when one
// shows.
bool aloneOnTarget(
    TinyDbClient& admin, const TargetPlan& plan, const std::string& explained, Logger& log)
{
    TinyDbClient::Traces traces;
    if (const Outcome searched = admin.findPreparationTraces(traces, explained); !searched)
        return notChanged(admin, searched, log);
    if (traces.accessLists.empty())
        return true;
    reportOtherRun(traces, journalTarget(plan), notStarted, otherRunAdvice, log);
    return false;
}

// A journal left here by a run that no longer lives (its lock is ours now):
// what the target has is read beside it, then, unless the target shows a
// preparation the journal does not explain, what still holds that run's
// values is put back.
bool settleLeftRun(TinyDbClient& admin, PreparationJournal& journal, const TargetPlan& plan,
    const PreparationJournal::Record& left, Logger& log)
{
    if (const Outcome compared = admin.compareSettings(left.settings); !compared)
        return notChanged(admin, compared, log);
    return aloneOnTarget(admin, plan, left.settings.accessList, log)
        && putBackLeftRun(admin, journal, left, log);
}

// Every setting the preparation changes read, then the target searched for
// another run (whose values must not be taken for the target's own), then
// read once more: a run that came and went between the first read and the
// search left its values in the first.
bool readOriginals(TinyDbClient& admin, const TargetPlan& plan, Logger& log)
{
    if (const Outcome saved = admin.saveSettings(plan.ssl); !saved)
        return notChanged(admin, saved, log);
    if (!aloneOnTarget(admin, plan, {}, log))
        return false;
    bool unchanged = true;
    const Outcome same = admin.confirmSettings(unchanged);
    if (unchanged && !same)
        return notChanged(admin, same, log);
    if (!same) {
        reportFailure(admin, same, log);
        log.report(TAVIR_HERE,
            L"Another migration or an administrator may be changing them; this migration "
            L"changed nothing on the target and did not start. Start it again.");
        return false;
    }
    return true;
}

// Every change of the preparation, the first of them the access list that
// claims the target, with a look at the target in the same round trip; then,
// once that look showed no other run, every setting in one more: what the
// journal planned. False, with the sentence of each step that failed.
bool changeTarget(TinyDbClient& admin, const TargetPlan& plan, Logger& log)
{
    // A run of another computer that searched the target at the same moment
    // shows now; both back off rather than take turns at the same settings.
    TinyDbClient::Traces traces;
    if (const Outcome claimed = admin.claimTarget(traces); !claimed)
        return reportFailure(admin, claimed, log);
    if (!traces.accessLists.empty()) {
        reportOtherRun(
            traces, journalTarget(plan), L"this migration backs off.", backedOffAdvice, log);
        return false;
    }
    if (const Outcome done = admin.applyPlan(); !done)
        return reportFailure(admin, done, log);
    return true;
}

// The steps of prepareTarget, each ended by a stop; `changing` is true once
// the changes were begun, and what they did must be put back.
bool prepareSteps(TinyDbClient& admin, PreparationJournal& journal, const TargetPlan& plan,
    PreparedTarget& out, Logger& log, bool& changing)
{
    PreparationJournal::Record left;
    bool found = false;
    if (!lockJournal(journal, plan, log) || !readJournal(admin, journal, left, found, log))
        return false;
    if (const Outcome login = admin.connect(plan.host, plan.adminUser, plan.adminPassword); !login)
        return notChanged(admin, login, log);
    out.notice = admin.notice();
    // Every read up to the journal goes in one round trip, with the
    // version's unless a journal left here is acted on in between.
    if (!found)
        admin.readPreparationAhead(plan.ssl, true);
    if (const Outcome read = admin.readVersion(out.version); !read)
        return notChanged(admin, read, log);
    if (found) {
        if (!settleLeftRun(admin, journal, plan, left, log)) {
            admin.close();
            return false;
        }
        admin.readPreparationAhead(plan.ssl, false);
    }
    if (!readOriginals(admin, plan, log)) {
        admin.close();
        return false;
    }
    // Everything the preparation changes, and what it sets there, is on
    // disk before the first change, so that whatever ends this process, the
    // next start can put the target back.
    Outcome planned = admin.nameAccessList(plan.run.tag());
    if (planned)
        planned = admin.planChanges(plan.masterPassword, plan.imapPort);
    if (!planned)
        return notChanged(admin, planned, log);
    std::string why;
    if (!journal.write({plan.run, journalTarget(plan), admin.savedSettings()}, why)) {
        log.report(TAVIR_HERE,
            sentence(L"The target's settings can't be kept safe: %1%; %2%", utf8ToUnicode(why),
                notStarted));
        admin.close();
        return false;
    }
    changing = true;
    if (!changeTarget(admin, plan, log))
        return false;
    unsigned count = 0;
    if (const Outcome read = admin.readWorkerCount(count); !read) {
        log.report(TAVIR_HERE,
            sentence(L"%1% %2% workers migrate.", utf8ToUnicode(read.failure), defaultWorkerCount));
        out.workers = defaultWorkerCount;
    } else {
        out.workers = count == 0 ? 1 : count;
    }
    return true;
}

} // namespace

std::string journalTarget(const TargetPlan& plan)
{
    return plan.host + ":" + std::to_string(tinydb::adminPort);
}

bool prepareTarget(TinyDbClient& admin, PreparationJournal& journal, const TargetPlan& plan,
    PreparedTarget& out, Logger& log)
{
    bool changing = false;
    bool prepared = false;
    {
        TinyDbClient::StopScope stoppable(admin, plan.stop);
        prepared = prepareSteps(admin, journal, plan, out, log, changing);
    }
    // Half a preparation must not stay behind, whatever ended it: an access
    // list that admits everyone, no security policy and a master password
    // nobody will use again. Put back outside the stop's scope.
    if (!prepared && changing) {
        if (plan.puttingBack)
            plan.puttingBack->store(true, std::memory_order_release);
        undoPreparation(admin, journal, log);
    }
    return prepared;
}

void undoPreparation(TinyDbClient& admin, PreparationJournal& journal, Logger& log)
{
    const bool restored = restoreTarget(admin, journal, log);
    admin.close();
    log.report(TAVIR_HERE,
        restored
            ? L"What was changed on the target server was put back; the migration did not start."
            : L"The migration did not start.");
}

bool restoreTarget(TinyDbClient& admin, PreparationJournal& journal, Logger& log)
{
    std::vector<PutBackLine> lines;
    const bool complete = putBack(admin, lines);
    // Every setting in the report once one of them did not go back at once.
    const bool routine = std::all_of(
        lines.begin(), lines.end(), [](const PutBackLine& line) { return line.routine; });
    for (const PutBackLine& line : lines) {
        if (routine)
            log.debug(TAVIR_HERE, line.text);
        else
            log.report(TAVIR_HERE, line.text);
    }
    if (complete) {
        removeJournal(journal, log);
        return true;
    }
    log.report(TAVIR_HERE,
        sentence(L"Not everything could be put back on the target server; the journal %1% keeps "
                 L"what it had, and the next migration started from this computer against it "
                 L"puts it back first.",
            utf8ToUnicode(journal.path())));
    return false;
}

} // namespace tavir::migration
