// The terminal's lines of zorp-engine-run.
#include "RunOutput.h"

#include "Imap/engine/Logger.h"
#include "Imap/engine/MigrationReport.h"
#include "Imap/textconv/TextConversion.h"
#include "utils/Descriptor.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

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

// "accounts 4 finished, 1 failed, 1 login refused, 0 not started; folders
// ...": every message counted on the source is in one of the message
// counts; the accounts in the report's words.
std::string countsText(const MigrationStatus& status)
{
    return "accounts " + count(status.finishedAccounts, "finished, ")
        + count(status.failedAccounts, "failed, ") + count(status.loginsRefused, "login refused, ")
        + count(migration::accountsNotStarted(status), "not started; ") + "folders "
        + count(status.foldersDone, "copied, ") + count(status.folderErrors, "failed, ")
        + count(status.foldersNotReached, "not reached; ") + "messages "
        + count(status.messagesDone, "copied, ")
        + count(status.messagesAlreadyThere, "already there, ")
        + count(status.messageErrors, "failed, ") + count(status.messagesNotReached, "not reached");
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

// The terminal's width less one column, so that the cursor never wraps.
unsigned terminalColumns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 20)
        return 79;
    return size.ws_col - 1u;
}

// "42 s", "3 min 05 s", "1 h 02 min 05 s".
std::string durationText(std::int64_t total)
{
    char text[48];
    if (total < 60)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(total));
    else if (total < 3600)
        std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(total / 60),
            static_cast<long long>(total % 60));
    else
        std::snprintf(text, sizeof text, "%lld h %02lld min %02lld s",
            static_cast<long long>(total / 3600), static_cast<long long>(total / 60 % 60),
            static_cast<long long>(total % 60));
    return text;
}

// The counts of a run in hand, from the longest wording to the shortest;
// each keeps both failed counts.
std::vector<std::string> countWordings(const MigrationStatus& status, std::int64_t seconds)
{
    const std::string time = durationText(seconds);
    const std::string done = std::to_string(status.finishedAccounts + status.failedAccounts);
    const std::string of = std::to_string(status.selectedAccounts);
    const std::string failed = std::to_string(status.failedAccounts) + " failed; ";
    const std::string copied = std::to_string(status.messagesDone) + " copied, ";
    const std::string there = std::to_string(status.messagesAlreadyThere);
    const std::string errors = std::to_string(status.messageErrors) + " failed";
    return {
        time + ": accounts " + done + " of " + of + " done, " + failed + "messages " + copied
            + there + " already there, " + errors,
        time + ": accounts " + done + "/" + of + ", " + failed + "messages " + copied + there
            + " there, " + errors,
        time + ": " + done + "/" + of + " accounts, " + failed + copied + errors,
        done + "/" + of + " done, " + failed + copied + errors,
    };
}

// "; Alice: INBOX 3 of 6 (and 1 more)": the first account in progress.
std::wstring inHandText(const MigrationStatus& status)
{
    if (status.inProgress.empty())
        return {};
    const migration::ActualUserStatus& first = status.inProgress.front();
    std::wstring text = L"; " + first.fullName + L": " + first.folder + L" "
        + std::to_wstring(first.messagesDone) + L" of " + std::to_wstring(first.folderMessages);
    if (status.inProgress.size() > 1)
        text += L" (and " + std::to_wstring(status.inProgress.size() - 1) + L" more)";
    return text;
}

// The chosen wording (the shortest, cut, when none fits) and what is left
// of `inHand` after it: all of it, or as much as fits when that is at least
// `least` columns.
std::string fitted(const std::vector<std::string>& wordings,
    std::vector<std::string>::const_iterator chosen, const std::wstring& inHand, unsigned columns,
    unsigned least)
{
    if (chosen == wordings.end())
        return unicodeToUtf8(cutTo(utf8ToUnicode(wordings.back()), columns));
    const unsigned left = columns - static_cast<unsigned>(chosen->size());
    const bool room = !inHand.empty() && left >= std::min(columnsOf(inHand), least);
    return *chosen + (room ? unicodeToUtf8(cutTo(inHand, left)) : std::string());
}

} // namespace

void printReportLines(std::FILE* to, const std::wstring& lines, const std::string& report)
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
    std::fprintf(to, "%sthe report: %s\n", program, report.c_str());
}

void printSkippedLines(std::FILE* to, unsigned skippedLines)
{
    if (skippedLines == 0)
        return;
    std::fprintf(to, "%s%s of the accounts file %s skipped; the report says why.\n", program,
        unicodeToUtf8(migration::counted(skippedLines, L"line")).c_str(),
        skippedLines == 1 ? "was" : "were");
}

std::uint32_t printRefusedLogins(const std::vector<migration::UserInfoData>& users)
{
    std::uint32_t refused = 0;
    for (const migration::UserInfoData& user : users) {
        if (user.loginRefusal.empty())
            continue;
        std::printf("%saccount %s login refused: %s\n", program,
            unicodeToUtf8(user.smtpAddress).c_str(), unicodeToUtf8(user.loginRefusal).c_str());
        ++refused;
    }
    std::fflush(stdout);
    return refused;
}

void printUnfinishedAccounts(const std::vector<migration::UserInfoData>& users)
{
    // Named up to here: the list is for a glance, the next run takes them
    // all up anyway.
    constexpr unsigned named = 10;
    std::string names;
    unsigned waiting = 0;
    for (const migration::UserInfoData& user : users) {
        if (!user.failure.empty())
            std::printf("%saccount %s failed: %s\n", program,
                unicodeToUtf8(user.smtpAddress).c_str(), unicodeToUtf8(user.failure).c_str());
        else if (user.migrate && !user.started && ++waiting <= named)
            names += (names.empty() ? "" : ", ") + unicodeToUtf8(user.smtpAddress);
    }
    if (waiting != 0)
        std::printf("%s%s not started: %s%s\n", program,
            unicodeToUtf8(migration::counted(waiting, L"account")).c_str(), names.c_str(),
            waiting > named ? (" and " + std::to_string(waiting - named) + " more").c_str() : "");
}

void printSummary(const MigrationStatus& status, const std::string& how, const BeforeTheRun& before,
    const std::string& report)
{
    std::printf("%smigration %s after %s: %s; the report: %s\n", program, how.c_str(),
        durationText(migration::runSeconds(status.startTime, status.endTime)).c_str(),
        countsText(status).c_str(), report.c_str());
    if (const std::wstring uncounted
        = migration::notCounted(status, migration::accountsNotStarted(status));
        !uncounted.empty())
        std::printf("%s%s.\n", program, unicodeToUtf8(uncounted).c_str());
    printSkippedLines(stdout, before.skippedLines);
    std::fflush(stdout);
}

void printNothingToMigrate(
    std::uint32_t refused, const BeforeTheRun& before, const std::string& report)
{
    std::printf("%sno migration: the source refused the login of %s; the target was not "
                "changed; the report: %s\n",
        program,
        refused == 1 ? "the one account" : ("all " + std::to_string(refused) + " accounts").c_str(),
        report.c_str());
    printSkippedLines(stdout, before.skippedLines);
    std::fflush(stdout);
}

std::string progressText(const MigrationStatus& status, std::int64_t seconds, unsigned columns)
{
    // The wordings that keep every count and the time, with the account in
    // hand whole; else the longest that fits, and what is left of the
    // account in hand when at least this much of it fits.
    constexpr std::size_t withEveryCount = 2;
    constexpr unsigned leastOfInHand = 16;
    const std::wstring inHand = inHandText(status);
    const unsigned inHandColumns = columnsOf(inHand);
    const std::vector<std::string> wordings = countWordings(status, seconds);
    auto chosen = std::find_if(wordings.begin(), wordings.begin() + withEveryCount,
        [&](const std::string& counts) { return counts.size() + inHandColumns <= columns; });
    if (chosen == wordings.begin() + withEveryCount)
        chosen = std::find_if(wordings.begin(), wordings.end(),
            [&](const std::string& counts) { return counts.size() <= columns; });
    return fitted(wordings, chosen, inHand, columns, leastOfInHand);
}

std::string testProgressText(const MigrationStatus& status, unsigned columns)
{
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
    const auto chosen = std::find_if(wordings.begin(), wordings.end(),
        [&](const std::string& counts) { return counts.size() <= columns; });
    return fitted(wordings, chosen, {}, columns, 0);
}

ProgressLine::ProgressLine()
    : terminal_(isatty(STDERR_FILENO) == 1)
{
}

void ProgressLine::draw(const MigrationStatus& status)
{
    if (!terminal_)
        return;
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    show(progressText(status, migration::runSeconds(status.startTime, now), terminalColumns()));
}

void ProgressLine::drawTest(const MigrationStatus& status)
{
    if (!terminal_)
        return;
    show(testProgressText(status, terminalColumns()));
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
