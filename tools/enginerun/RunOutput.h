#pragma once
// What zorp-engine-run tells its terminal: why a run did not start, each
// account whose login the source refused, each account that failed, the
// report's summary at the end, and, while the logins are tested and while a
// run goes on and standard error is a terminal, a progress line redrawn in
// place. The engine's sentences come as
// the report has them, passwords as "***"; no password is printed.
#include "Common/Tools/MigrationRecords.h"

#include <cstdint>
#include <cstdio>
#include <functional>
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

// Why a start did not go ahead, the report's lines
// (MigrationStatus::startFailure: what failed, or where a stop came, and
// what became of the target), or "The migration did not start." when the
// engine gave no sentence.
std::wstring startFailureLines(const migration::MigrationStatus& status);
// On standard error: startFailureLines, each after the program's name.
void printStartFailure(const migration::MigrationStatus& status);

// On standard output: a stop (by `signalNumber`, 0 for the user) came
// before the engine was asked to start: "stopped by signal SIGINT before
// the logins were tested; nothing was migrated and the target was not
// changed; the report: ...".
void printStoppedBeforeTheLogins(int signalNumber, const std::string& report);

// On `to`: "3 lines of the accounts file were skipped; the report says
// why.", or nothing when none was.
void printSkippedLines(std::FILE* to, unsigned skippedLines);

// On standard output, once a run, or a start that did not go ahead after
// its tests began, has ended: one line per account whose login the source
// refused ("account ADDRESS login refused: " and the report's sentence)
// and one per account that failed ("account ADDRESS failed: ..."); what
// the report says of the whole run (RunSummary.h, runSentences: a source
// that can't be tested, the source's limit); the report's summary, line by
// line, as the engine hands it over (MigrationStatus::summary: how and when
// the run ended, the accounts, folders and messages in their counts, the
// accounts not started and those of them made on the target ahead, whose
// messages were not counted); where the report is; the skipped lines.
void printRunEnd(const std::vector<migration::UserInfoData>& users,
    const migration::MigrationStatus& status, const BeforeTheRun& before,
    const std::string& report);

// The progress line of a run in hand, fitted to `columns`: the counts
// first (the accounts done and failed, the logins still being tested while
// there are any, the messages copied, on the target already and failed),
// every one of them with the run's time while they fit with room for the
// account in hand, in the longest wording that does; then the account in
// hand, in the longest form that fits in what is left, down to its name
// cut short. No count is ever cut: words are shortened first, and where
// even the shortest wording is too wide, whole clauses are left out from
// its end. A character beyond ASCII counts as two columns. While the
// target is put back, puttingBackText instead.
std::string progressText(
    const migration::MigrationStatus& status, std::int64_t seconds, unsigned columns);

// The progress line while the logins are tested before the run, fitted to
// `columns` the same way: the logins tested of all and those refused; while
// the target is put back, puttingBackText instead.
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
    // What `text` draws for the terminal's width (its columns less one, so
    // that the cursor never wraps): progressText, testProgressText or the
    // text of any other phase, each fitted to the columns it is given.
    void draw(const std::function<std::string(unsigned columns)>& text);
    // Leaves the line empty, for what is printed next.
    void erase();

private:
    void show(const std::string& text);

    bool terminal_ = false;
    bool drawn_ = false;
};

} // namespace tavir::enginerun
