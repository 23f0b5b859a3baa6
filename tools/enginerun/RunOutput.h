#pragma once
// What zorp-engine-run tells its terminal: why a run did not start, each
// account that failed, one summary line at the end, and, while a run goes on
// and standard error is a terminal, a progress line redrawn in place. The
// engine's sentences come as the report has them, passwords as "***"; no
// password is printed.
#include "Common/Tools/MigrationRecords.h"

#include <chrono>
#include <string>
#include <vector>

namespace tavir::enginerun {

// On standard error: the report's lines on why the start failed, then where
// the report is.
void printNotStarted(const std::wstring& startFailure, const std::string& report);

// On standard output: one line per account that failed, with the report's
// sentence on why.
void printFailedAccounts(const std::vector<migration::UserInfoData>& users);

// On standard output: how the run ended (`how`: "ended", "stopped by
// SIGTERM" ...), after how long, the accounts, folders and messages in
// their counts, and where the report is.
void printSummary(const migration::MigrationStatus& status, const std::string& how,
    std::chrono::seconds duration, const std::string& report);

// One line on standard error, redrawn in place while a run goes on; nothing
// at all when standard error is not a terminal (a pipe or a file gets no
// trace of it).
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine() { erase(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool shown() const { return terminal_; }
    void draw(const migration::MigrationStatus& status, std::chrono::seconds duration);
    // Leaves the line empty, for what is printed next.
    void erase();

private:
    bool terminal_ = false;
    bool drawn_ = false;
};

} // namespace tavir::enginerun
