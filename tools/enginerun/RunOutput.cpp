// The terminal's lines of zorp-engine-run.
#include "RunOutput.h"

#include "Imap/textconv/TextConversion.h"
#include "utils/Descriptor.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace tavir::enginerun {

using migration::MigrationStatus;
using migration::unicodeToUtf8;

namespace {

const char* const program = "zorp-engine-run: ";

std::string count(std::uint32_t n, const char* what)
{
    return std::to_string(n) + " " + what;
}

// "accounts 4 finished, 1 failed, 0 not migrated; folders ...": every
// message counted on the source is in one of the message counts.
std::string countsText(const MigrationStatus& status)
{
    const std::uint32_t ended = status.finishedAccounts + status.failedAccounts;
    return "accounts " + count(status.finishedAccounts, "finished, ")
        + count(status.failedAccounts, "failed, ")
        + count(status.selectedAccounts - ended, "not migrated; ") + "folders "
        + count(status.foldersDone, "copied, ") + count(status.folderErrors, "failed, ")
        + count(status.foldersNotReached, "not reached; ") + "messages "
        + count(status.messagesDone, "copied, ")
        + count(status.messagesAlreadyThere, "already there, ")
        + count(status.messageErrors, "failed, ")
        + count(status.messagesNotReached, "not reached");
}

// The text cut to `columns`, counting every character beyond ASCII as two
// (most of them take one, CJK two): a line that wraps can't be redrawn in
// place.
std::wstring cutTo(const std::wstring& text, unsigned columns)
{
    unsigned used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        used += text[i] < 0x80 ? 1 : 2;
        if (used > columns)
            return text.substr(0, i > 3 ? i - 3 : 0) + L"...";
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
std::string durationText(std::chrono::seconds duration)
{
    const long long total = duration.count() < 0 ? 0 : duration.count();
    char text[48];
    if (total < 60)
        std::snprintf(text, sizeof text, "%lld s", total);
    else if (total < 3600)
        std::snprintf(text, sizeof text, "%lld min %02lld s", total / 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld h %02lld min %02lld s", total / 3600,
            total / 60 % 60, total % 60);
    return text;
}

// The counts of a run in hand as one line, cut to `columns`.
std::string progressText(
    const MigrationStatus& status, std::chrono::seconds duration, unsigned columns)
{
    const std::uint32_t ended = status.finishedAccounts + status.failedAccounts;
    std::wstring text = migration::utf8ToUnicode(durationText(duration) + ": accounts "
        + std::to_string(ended) + " of " + std::to_string(status.selectedAccounts) + " done, "
        + count(status.failedAccounts, "failed; messages ") + count(status.messagesDone, "copied, ")
        + count(status.messagesAlreadyThere, "already there, ")
        + count(status.messageErrors, "failed"));
    if (!status.inProgress.empty()) {
        const migration::ActualUserStatus& first = status.inProgress.front();
        text += L"; " + first.fullName + L": " + first.folder + L" "
            + std::to_wstring(first.messagesDone) + L" of " + std::to_wstring(first.folderMessages);
        if (status.inProgress.size() > 1)
            text += L" (and " + std::to_wstring(status.inProgress.size() - 1) + L" more)";
    }
    return unicodeToUtf8(cutTo(text, columns));
}

} // namespace

void printNotStarted(const std::wstring& startFailure, const std::string& report)
{
    std::string lines = unicodeToUtf8(startFailure);
    if (lines.empty())
        lines = "The migration did not start.\n";
    for (std::size_t begin = 0; begin < lines.size();) {
        std::size_t end = lines.find('\n', begin);
        if (end == std::string::npos)
            end = lines.size();
        if (end > begin)
            std::fprintf(stderr, "%s%s\n", program, lines.substr(begin, end - begin).c_str());
        begin = end + 1;
    }
    std::fprintf(stderr, "%sthe report: %s\n", program, report.c_str());
}

void printFailedAccounts(const std::vector<migration::UserInfoData>& users)
{
    for (const migration::UserInfoData& user : users)
        if (!user.failure.empty())
            std::printf("%saccount %s failed: %s\n", program, unicodeToUtf8(user.smtpAddress).c_str(),
                unicodeToUtf8(user.failure).c_str());
}

void printSummary(const MigrationStatus& status, const std::string& how,
    std::chrono::seconds duration, const std::string& report)
{
    std::printf("%smigration %s after %s: %s; the report: %s\n", program, how.c_str(),
        durationText(duration).c_str(), countsText(status).c_str(), report.c_str());
    std::fflush(stdout);
}

ProgressLine::ProgressLine()
    : terminal_(isatty(STDERR_FILENO) == 1)
{
}

void ProgressLine::draw(const MigrationStatus& status, std::chrono::seconds duration)
{
    if (!terminal_)
        return;
    // Back to the line's start, the new text, the rest of the old one
    // cleared. A terminal that went away has nothing to be told any more.
    utils::writeAll(
        STDERR_FILENO, "\r" + progressText(status, duration, terminalColumns()) + "\033[K");
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
