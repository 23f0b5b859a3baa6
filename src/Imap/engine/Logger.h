#pragma once
// The logging front end of one thread or task. Debug lines go to the debug
// log at once; report lines are copied to the debug log at once and kept
// until flush(), which writes them to the report as one block (a worker's
// block per account). Not shared between threads.
//
// Passwords are never handed to a Logger; a server that quotes one back is
// masked on the way into the files (LogManager::hideSecrets).
// counted(), the report's counts with their nouns, is written once there.
#include "Common/Tools/RunSummary.h"
#include "Imap/engine/LogManager.h"
#include "imapclient/Failure.h"

#include <boost/format.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavir::migration {

struct SourceLocation {
    const char* file;
    int line;
    const char* function;
};

#define TAVIR_HERE (::tavir::migration::SourceLocation{__FILE__, __LINE__, __func__})

// A log sentence from a Boost.Format pattern ("%1%" ...) and its arguments.
template <class... Args> std::wstring sentence(const wchar_t* pattern, const Args&... args)
{
    boost::wformat format(pattern);
    (void)(format % ... % args);
    return format.str();
}

// "yyyy-mm-dd hh:mm:ss" in local time: the stamp of every debug line and
// the times in the report and the status record.
std::string localTimeText(std::int64_t seconds);

// A server's line without the line end it kept.
std::wstring withoutLineEnd(std::wstring text);

// The text with a full stop at its end unless it has one; an empty text
// says that no reason was given.
std::wstring asSentence(std::wstring text);

// Why `failure` failed, as the logs take it: without the line end a
// server's line kept.
std::wstring failureText(const mail::Failure& failure);

// The logs show these passwords as "***" from now on, wherever they occur.
// Views, so that a list's passwords are handed over without a copy.
void hideInLogs(const std::vector<std::wstring_view>& secrets);

class Logger {
public:
    // Opens the failure sentence of an account's road.
    static constexpr const wchar_t* fatalPrefix = L"Fatal Error (error code = %d) - ";

    Logger();
    // Flushes what is still kept.
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void debug(const SourceLocation& where, const std::wstring& message);
    // Without a source location the message follows the time and thread id
    // bare.
    void debug(const std::wstring& message);
    void report(const SourceLocation& where, const std::wstring& line);
    void report(const std::wstring& line);
    // A report line for a failure that ends an account, with the IMAP
    // client's result code of the step that failed.
    void fatal(
        const SourceLocation& where, mail::ImapClientResult errorCode, const std::wstring& message);
    // Writes the kept report lines as one block.
    void flush();
    // The report lines kept since the last flush, as the report will show
    // them (secrets masked), each ended by a line end; the last of them
    // alone, without its line end.
    std::wstring kept() const;
    std::wstring lastKept() const;
    // The kept report lines (UTF-8, masked, each with its line end), taken
    // out unwritten, for whoever writes them later
    // (LogManager::writeReport).
    std::string takeKept();

    // "[yyyy-mm-dd hh:mm:ss][thread id]\tIn file:line (function): message",
    // the local time and the calling thread; without `where` the message
    // follows the tab bare.
    static std::string debugLine(const SourceLocation* where, const std::string& message);
    // The line's beginning up to the message.
    static std::string debugStamp(const SourceLocation* where);

private:
    // The debug line's entry (LogManager::writeDebugLine): a report line
    // is converted and masked once, for both files.
    std::string writeDebug(const SourceLocation* where, const std::wstring& message);
    void keepForReport(const std::string& entry);

    LogManager& manager_;
    std::string pending_;
};

} // namespace tavir::migration
