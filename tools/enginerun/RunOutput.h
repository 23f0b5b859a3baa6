#pragma once
// What zorp-engine-run tells its terminal: why a run did not start, each
// account whose login the source refused, each account that failed, the
// accounts a run did not start, one summary at the end, and, while the
// logins are tested and while a run goes on and standard error is a
// terminal, a progress line redrawn in place. The engine's sentences come as
// the report has them, passwords as "***"; no password is printed.
#include "Common/Tools/MigrationRecords.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tavir::enginerun {

// What the summary adds to the engine's counts: the lines of the accounts
// file that were skipped.
struct BeforeTheRun {
    unsigned skippedLines = 0;
};

// On `to`: the report's lines (one sentence each, as the engine hands them
// over), each after the program's name, then where the report is.
void printReportLines(std::FILE* to, const std::wstring& lines, const std::string& report);

// On standard output: a stop (by `signalNumber`, 0 for the user) ended the
// start before its run, where `phase` says, in the report's words:
// "stopped by signal SIGINT while the logins were tested; nothing was
// migrated and the target was not changed; the report: ...". Once the
// target was being prepared, the start's lines (`startFailure`, what became
// of the target) come first, on standard error, and the target is not
// said to be unchanged.
void printStoppedBeforeTheRun(int signalNumber, migration::StartPhase phase,
    const std::wstring& startFailure, const std::string& report);

// On `to`: "3 lines of the accounts file were skipped; the report says
// why.", or nothing when none was.
void printSkippedLines(std::FILE* to, unsigned skippedLines);

// On standard output: one line per account whose login the run's test
// found refused, with the report's sentence on why. The number of them.
std::uint32_t printRefusedLogins(const std::vector<migration::UserInfoData>& users);

// On standard output: one line per account that failed, with the report's
// sentence on why.
void printFailedAccounts(const std::vector<migration::UserInfoData>& users);

// On standard output: one line per account that failed, with the report's
// sentence on why; then one line that counts and names (the first ten of)
// the accounts to migrate that the run did not start, in the report's words.
void printUnfinishedAccounts(
    const std::vector<migration::UserInfoData>& users, const migration::MigrationStatus& status);

// On standard output: the source's limit, once the run met one ("The source
// server accepted at most 4 connections at once; ..."); nothing otherwise.
void printSourceLimit(const migration::MigrationStatus& status);

// On standard output, each after the program's name: what putting the
// target back at the run's end said in the report when a setting did not
// go back at once (each setting put back or left for the next start, and
// where the journal is); nothing otherwise.
void printTargetRestore(const migration::MigrationStatus& status);

// How a run ended, for the summary, in the report's words: "ended", or
// "stopped by signal SIGTERM" once a termination signal (`signalNumber`, 0
// for none) stopped it, or "stopped after an hour" when it ran that long.
std::string howItEnded(int signalNumber, bool withinTheHour);

// On standard output, each line after the program's name: how the run
// ended (`how`: "ended", "stopped by signal SIGTERM" ...), after how long
// (as the report counts it), the accounts, folders and messages in their
// counts (in the report's words, RunSummary.h), and where the report is;
// then whose messages were not counted, and the skipped lines.
void printSummary(const migration::MigrationStatus& status, const std::string& how,
    const BeforeTheRun& before, const std::string& report);

// On standard output: no account is left to migrate once the source refused
// every login tested (`refused` of them) or could not log the account in
// now (`notNow`); the target was not changed.
void printNothingToMigrate(std::uint32_t refused, std::uint32_t notNow, const BeforeTheRun& before,
    const std::string& report);

// The progress line of a run in hand, fitted to `columns`: the counts
// first (the accounts done and failed, the logins still being tested while
// there are any, the messages copied, on the target already and failed),
// every one of them with the run's time while they fit with room for the
// account in hand, in the longest wording that does; then the account in
// hand, in the longest form that fits in what is left, down to its name
// cut short. No count is ever cut: words are shortened first, and where
// even the shortest wording is too wide, whole clauses are left out from
// its end. A character beyond ASCII counts as two columns.
std::string progressText(
    const migration::MigrationStatus& status, std::int64_t seconds, unsigned columns);

// The progress line while the logins are tested before the run, fitted to
// `columns` the same way: the logins tested of all and those refused.
std::string testProgressText(const migration::MigrationStatus& status, unsigned columns);

// The progress line while the target is put back, whether the run went
// ahead or its preparation was cut short: the longest wording that fits
// (TargetRestoreText.h), "putting the target back: waiting for the
// administration service, at most 35 s more" where there is room.
std::string puttingBackText(const migration::MigrationStatus& status, unsigned columns);

// One line on standard error, redrawn in place while the logins are tested,
// while a run goes on and while the target is put back; nothing at all when
// standard error is not a terminal (a pipe or a file gets no trace of it).
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine() { erase(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool shown() const { return terminal_; }
    // The counts of a run in hand; what the restore waits for once the
    // target is put back.
    void draw(const migration::MigrationStatus& status);
    // How far the logins' test is; what the restore waits for once a stop
    // or a failure cut the target's preparation short.
    void drawTest(const migration::MigrationStatus& status);
    // Leaves the line empty, for what is printed next.
    void erase();

private:
    void show(const std::string& text);

    bool terminal_ = false;
    bool drawn_ = false;
};

} // namespace tavir::enginerun
