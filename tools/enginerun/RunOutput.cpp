// The terminal's lines of zorp-engine-run.
#include "RunOutput.h"

#include "Common/Tools/RunSummary.h"
#include "Common/Tools/TargetRestoreText.h"
#include "Imap/textconv/TextConversion.h"
#include "utils/Descriptor.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace tavir::enginerun {

using migration::MigrationStatus;
using migration::unicodeToUtf8;
using migration::utf8ToUnicode;

namespace {

const char* const program = "zorp-engine-run: ";

std::string count(std::uint32_t n, const char* what)
{
    return std::to_string(n) + " " + what;
}

// The columns a text takes, counting every character beyond ASCII as two
// (most of them take one, CJK two): a line that wraps can't be redrawn in
// place.
unsigned columnsOf(const std::wstring& text)
{
    unsigned used = 0;
    for (const wchar_t c : text)
        used += c < 0x80 ? 1 : 2;
    return used;
}

// The text cut to `columns` as columnsOf counts them, "..." marking the cut.
std::wstring cutTo(const std::wstring& text, unsigned columns)
{
    unsigned used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        used += text[i] < 0x80 ? 1 : 2;
        if (used > columns)
            return columns < 3 ? std::wstring() : text.substr(0, i > 3 ? i - 3 : 0) + L"...";
    }
    return text;
}

// The counts `text` (ASCII) within `columns`, never a count cut: the
// clauses that fit whole ("6/8, 1 failed; 600 copied" without ", 0
// failed"), else the words that do.
std::string wholeClauses(const std::string& text, unsigned columns)
{
    if (text.size() <= columns)
        return text;
    for (const char* boundary : {"; ", ", ", " "}) {
        std::size_t end = std::string::npos;
        for (std::size_t at = text.find(boundary); at != std::string::npos && at <= columns;
             at = text.find(boundary, at + 1))
            end = at;
        if (end != std::string::npos && end > 0)
            return text.substr(0, end);
    }
    return {};
}

// The terminal's width less one column, so that the cursor never wraps.
unsigned terminalColumns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 20)
        return 79;
    return size.ws_col - 1u;
}

// "42 s", "3 min 05 s", "1 h 02 min 05 s"; in the narrower wordings of the
// progress line "42s", "3m05s", "1h02m05s".
std::string durationText(std::int64_t total, bool compact = false)
{
    const std::string h = compact ? "h" : " h ";
    const std::string min = compact ? "m" : " min ";
    const std::string s = compact ? "s" : " s";
    const auto two = [](std::int64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    if (total < 60)
        return std::to_string(total) + s;
    if (total < 3600)
        return std::to_string(total / 60) + min + two(total % 60) + s;
    return std::to_string(total / 3600) + h + two(total / 60 % 60) + min + two(total % 60) + s;
}

// The counts of a run in hand in one wording, and whether it keeps every
// count and the run's time.
struct Wording {
    std::string text;
    bool everyCount;
};

// "1 login", "6 logins".
std::string logins(std::uint32_t n)
{
    return unicodeToUtf8(migration::counted(n, L"login"));
}

// The counts of a run in hand, from the longest wording to the shortest;
// each keeps both failed counts. The logins still being tested, while
// there are any, follow the accounts' counts, and in the shortest wording
// the messages' counts: where even that is too wide they are the clause
// left out, not the messages copied and failed. The longest says them in
// the summary's words.
std::vector<Wording> countWordings(const MigrationStatus& status, std::int64_t seconds)
{
    const std::string time = durationText(seconds) + ": ";
    const std::string shortTime = durationText(seconds, true) + ": ";
    const std::string done = std::to_string(status.finishedAccounts + status.failedAccounts);
    const std::string of = std::to_string(status.selectedAccounts);
    const std::string failed = std::to_string(status.failedAccounts) + " failed";
    const bool testing = status.loginsInTest != 0;
    const auto inTest
        = [&](const std::string& words) { return testing ? ", " + words : std::string(); };
    const std::string tests = std::to_string(status.loginsInTest);
    const std::string copied = std::to_string(status.messagesDone) + " copied, ";
    const std::string there = std::to_string(status.messagesAlreadyThere);
    const std::string errors = std::to_string(status.messageErrors) + " failed";
    return {
        {time + "accounts " + done + " of " + of + " done, " + failed
                + inTest(logins(status.loginsInTest) + " being tested") + "; messages " + copied
                + there + " on the target already, " + errors,
            true},
        {time + "accounts " + done + "/" + of + ", " + failed
                + inTest(logins(status.loginsInTest) + " in test") + "; messages " + copied + there
                + " already there, " + errors,
            true},
        {shortTime + done + "/" + of + " accounts, " + failed + inTest(tests + " in test") + "; "
                + copied + there + " there, " + errors,
            true},
        {shortTime + done + "/" + of + " accounts, " + failed + inTest(tests + " in test") + "; "
                + copied + errors,
            false},
        {done + "/" + of + " done, " + failed + inTest(tests + " in test") + "; " + copied + errors,
            false},
        {done + "/" + of + ", " + failed + inTest(tests + " testing") + "; " + copied + errors,
            false},
        {done + "/" + of + ", " + failed + "; " + std::to_string(status.messagesDone) + ", "
                + errors + (testing ? "; " + tests + " testing" : std::string()),
            false},
    };
}

// The first of `wordings` (from the longest to the shortest) that fits in
// `columns`, else the whole clauses of the shortest that do.
std::string fitted(const std::vector<std::string>& wordings, unsigned columns)
{
    const auto chosen = std::find_if(wordings.begin(), wordings.end(),
        [&](const std::string& text) { return text.size() <= columns; });
    return chosen != wordings.end() ? *chosen : wholeClauses(wordings.back(), columns);
}

// The first account in progress, from the longest form to the shortest:
// "; Alice: INBOX 3 of 6 (and 1 more)", "; Alice: INBOX 3/6", "; Alice";
// none while no account is in progress.
std::vector<std::wstring> inHandForms(const MigrationStatus& status)
{
    if (status.inProgress.empty())
        return {};
    const migration::ActualUserStatus& first = status.inProgress.front();
    const std::wstring name = L"; " + first.fullName;
    const std::wstring done = std::to_wstring(first.messagesDone);
    const std::wstring of = std::to_wstring(first.folderMessages);
    std::wstring more;
    if (status.inProgress.size() > 1)
        more = L" (and " + std::to_wstring(status.inProgress.size() - 1) + L" more)";
    return {name + L": " + first.folder + L" " + done + L" of " + of + more,
        name + L": " + first.folder + L" " + done + L"/" + of, name};
}

// The longest form of the account in hand that fits in `columns`, else its
// name cut to them ("; Anna Lin..."): a name of one letter and its cut
// tell nothing, so below leastOfInHand columns nothing is shown.
constexpr unsigned leastOfInHand = 10;
std::wstring inHandWithin(const std::vector<std::wstring>& forms, unsigned columns)
{
    for (const std::wstring& form : forms)
        if (columnsOf(form) <= columns)
            return form;
    if (forms.empty() || columns < leastOfInHand)
        return {};
    return cutTo(forms.back(), columns);
}

// On `to`: each of `lines` (one sentence a line, as the engine hands them
// over) after the program's name.
void printEachLine(std::FILE* to, const std::wstring& lines)
{
    const std::string text = unicodeToUtf8(lines);
    for (std::size_t begin = 0; begin < text.size();) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        if (end > begin)
            std::fprintf(to, "%s%s\n", program, text.substr(begin, end - begin).c_str());
        begin = end + 1;
    }
}

} // namespace

void printReportLines(std::FILE* to, const std::wstring& lines, const std::string& report)
{
    printEachLine(to, lines);
    std::fprintf(to, "%sthe report: %s\n", program, report.c_str());
}

std::wstring startFailureLines(const MigrationStatus& status)
{
    return status.startFailure.empty() ? L"The migration did not start." : status.startFailure;
}

void printStartFailure(const MigrationStatus& status)
{
    printEachLine(stderr, startFailureLines(status));
}

void printStoppedBeforeTheLogins(int signalNumber, const std::string& report)
{
    std::printf("%s%s; nothing was migrated and the target was not changed; the report: %s\n",
        program,
        unicodeToUtf8(migration::stoppedBeforeTheRunText(
                          signalNumber, migration::StartPhase::BeforeTheLogins))
            .c_str(),
        report.c_str());
    std::fflush(stdout);
}

void printSkippedLines(std::FILE* to, unsigned skippedLines)
{
    if (skippedLines == 0)
        return;
    std::fprintf(to, "%s%s of the accounts file %s skipped; the report says why.\n", program,
        unicodeToUtf8(migration::counted(skippedLines, L"line")).c_str(),
        skippedLines == 1 ? "was" : "were");
}

void printRunEnd(const std::vector<migration::UserInfoData>& users, const MigrationStatus& status,
    const BeforeTheRun& before, const std::string& report)
{
    for (const migration::UserInfoData& user : users)
        if (!user.loginRefusal.empty())
            std::printf("%saccount %s login refused: %s\n", program,
                unicodeToUtf8(user.smtpAddress).c_str(), unicodeToUtf8(user.loginRefusal).c_str());
    for (const migration::UserInfoData& user : users)
        if (!user.failure.empty())
            std::printf("%saccount %s failed: %s\n", program,
                unicodeToUtf8(user.smtpAddress).c_str(), unicodeToUtf8(user.failure).c_str());
    for (const std::wstring& sentence : migration::runSentences(status))
        printEachLine(stdout, sentence);
    printReportLines(stdout, status.summary, report);
    printSkippedLines(stdout, before.skippedLines);
    std::fflush(stdout);
}

std::string progressText(const MigrationStatus& status, std::int64_t seconds, unsigned columns)
{
    if (status.puttingTargetBack)
        return puttingBackText(status, columns);
    // The longest wording that keeps every count and the time and leaves
    // the account in hand room to be named, whether one is in hand now or
    // not (the wording does not change as accounts come and go); else the
    // longest that fits at all. The account in hand takes what is left.
    const std::vector<Wording> wordings = countWordings(status, seconds);
    auto chosen = std::find_if(wordings.begin(), wordings.end(), [&](const Wording& counts) {
        return counts.everyCount && counts.text.size() + leastOfInHand <= columns;
    });
    if (chosen == wordings.end())
        chosen = std::find_if(wordings.begin(), wordings.end(),
            [&](const Wording& counts) { return counts.text.size() <= columns; });
    if (chosen == wordings.end())
        return wholeClauses(wordings.back().text, columns);
    const auto left = static_cast<unsigned>(columns - chosen->text.size());
    return chosen->text + unicodeToUtf8(inHandWithin(inHandForms(status), left));
}

std::string testProgressText(const MigrationStatus& status, unsigned columns)
{
    // A stop or a failure cut the preparation short: the target is put back.
    if (status.puttingTargetBack)
        return puttingBackText(status, columns);
    const std::string tested = std::to_string(status.loginsTested);
    const std::string of = std::to_string(status.accounts);
    const std::string refused = count(status.loginsRefused, "refused");
    const std::vector<std::string> wordings = {
        "testing the accounts' logins on the source: " + tested + " of " + of + " tested, "
            + refused,
        "testing logins: " + tested + " of " + of + " tested, " + refused,
        "logins " + tested + "/" + of + " tested, " + refused,
        tested + "/" + of + " tested, " + refused,
    };
    return fitted(wordings, columns);
}

std::string puttingBackText(const MigrationStatus& status, unsigned columns)
{
    std::vector<std::string> wordings;
    for (const std::wstring& wording : migration::puttingBackWordings(status))
        wordings.push_back(unicodeToUtf8(wording));
    return wordings.empty() ? std::string() : fitted(wordings, columns);
}

ProgressLine::ProgressLine()
    : terminal_(isatty(STDERR_FILENO) == 1)
{
}

void ProgressLine::draw(const std::function<std::string(unsigned columns)>& text)
{
    if (terminal_)
        show(text(terminalColumns()));
}

void ProgressLine::show(const std::string& text)
{
    // Back to the line's start, the new text, the rest of the old one
    // cleared. A terminal that went away has nothing to be told any more.
    utils::writeAll(STDERR_FILENO, "\r" + text + "\033[K");
    drawn_ = true;
}

void ProgressLine::erase()
{
    if (!drawn_)
        return;
    utils::writeAll(STDERR_FILENO, "\r\033[K");
    drawn_ = false;
}

} // namespace tavir::enginerun
