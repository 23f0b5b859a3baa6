// Debug line format, report buffering and the fatal-error sentence.
#include "Imap/engine/Logger.h"

#include "Imap/textconv/TextConversion.h"
#include "tiny/Thread.h"
#include "tiny/Time.h"
#include "utils/StringUtils.h"

#include <cstring>
#include <ctime>
#include <string_view>

namespace tavir::migration {

namespace {

const char* baseName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // namespace

std::string localTimeText(std::int64_t seconds)
{
    std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    tiny::k_localtime_r(&when, &local);
    std::string text;
    utils::sprintf(text, "%4d-%.2d-%.2d %.2d:%.2d:%.2d", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::wstring withoutLineEnd(std::wstring text)
{
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text;
}

std::wstring asSentence(std::wstring text)
{
    text = withoutLineEnd(std::move(text));
    while (!text.empty() && text.back() == L' ')
        text.pop_back();
    if (text.empty())
        return L"no reason was given.";
    if (text.back() != L'.')
        text += L'.';
    return text;
}

std::wstring failureText(const mail::Failure& failure)
{
    return withoutLineEnd(utf8ToUnicode(failure.why));
}

void hideInLogs(const std::vector<std::wstring_view>& secrets)
{
    std::vector<std::string> bytes;
    bytes.reserve(secrets.size());
    for (const std::wstring_view secret : secrets)
        bytes.push_back(unicodeToUtf8(std::wstring(secret)));
    LogManager::instance().hideSecrets(bytes);
}

Logger::Logger()
    : manager_(LogManager::instance())
{
}

Logger::~Logger()
{
    flush();
}

std::string Logger::debugStamp(const SourceLocation* where)
{
    std::string stamp = "[" + localTimeText(std::time(nullptr)) + "]";
    utils::sprintfadd(stamp, "[%lu]\t", tiny::threadID());
    if (where)
        utils::sprintfadd(
            stamp, "In %s:%d (%s): ", baseName(where->file), where->line, where->function);
    return stamp;
}

std::string Logger::debugLine(const SourceLocation* where, const std::string& message)
{
    return debugStamp(where) + message;
}

void Logger::debug(const SourceLocation& where, const std::wstring& message)
{
    writeDebug(&where, message);
}

void Logger::debug(const std::wstring& message)
{
    writeDebug(nullptr, message);
}

void Logger::report(const SourceLocation& where, const std::wstring& line)
{
    keepForReport(writeDebug(&where, line));
}

void Logger::report(const std::wstring& line)
{
    keepForReport(writeDebug(nullptr, line));
}

void Logger::fatal(
    const SourceLocation& where, mail::ImapClientResult errorCode, const std::wstring& message)
{
    std::wstring line = (boost::wformat(fatalPrefix) % errorCode).str() + message;
    report(where, line);
}

void Logger::flush()
{
    if (pending_.empty())
        return;
    manager_.writeReport(pending_);
    pending_.clear();
}

std::wstring Logger::kept() const
{
    return utf8ToUnicode(pending_);
}

std::wstring Logger::lastKept() const
{
    if (pending_.empty())
        return {};
    // Every kept line ends with a line end; the last one's is left out.
    const std::string_view lines(pending_.data(), pending_.size() - 1);
    const std::size_t lineEnd = lines.rfind('\n');
    return utf8ToUnicode(
        std::string(lines.substr(lineEnd == std::string_view::npos ? 0 : lineEnd + 1)));
}

std::string Logger::takeKept()
{
    std::string taken;
    taken.swap(pending_);
    return taken;
}

std::string Logger::writeDebug(const SourceLocation* where, const std::wstring& message)
{
    return manager_.writeDebugLine(debugStamp(where), unicodeToUtf8(message));
}

void Logger::keepForReport(const std::string& entry)
{
    pending_ += entry;
    pending_ += '\n';
}

} // namespace tavir::migration
