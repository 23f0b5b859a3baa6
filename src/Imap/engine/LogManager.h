#pragma once
// The one owner of the report file and the debug log, shared by every Logger
// of the process. Each file has its own lock and takes whole lines or whole
// blocks, so the lines of concurrent writers never mix; a third lock guards
// opening and closing.
#include "tiny/KMutex.h"

#include <string>

namespace tavir::migration {

class LogManager {
public:
    // The one instance; it lives until the process ends, so a thread still
    // logging at exit never meets a destroyed manager.
    static LogManager& instance();

    // Opens both files for appending, creating them when missing; a new,
    // empty file gets the UTF-8 byte-order mark first. A file left open by
    // an earlier call is closed. False when either can't be opened (the
    // other is kept).
    bool open(const std::string& reportFile, const std::string& debugFile);
    void close();

    // Bytes are UTF-8; a line end is added to the debug line, the report
    // block is written as it stands. Nothing happens while a file is closed.
    void writeDebugLine(const std::string& line);
    void writeReport(const std::string& block);

    LogManager() = default;
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

private:
    class File {
    public:
        ~File() { close(); }
        bool open(const std::string& path);
        void close();
        void append(const std::string& bytes);

    private:
        tiny::KMutex lock_;
        int fd_ = -1;
    };

    tiny::KMutex initLock_;
    File report_;
    File debug_;
};

} // namespace tavir::migration
