#pragma once
// The one owner of the report file and the debug log, shared by every Logger
// of the process. Each file has its own lock and takes whole lines or whole
// blocks, so the lines of concurrent writers never mix; a third lock guards
// opening and closing. Every line passes the secrets mask on its way in.
#include "Imap/engine/SecretMask.h"
#include "tiny/KMutex.h"
#include "utils/Descriptor.h"

#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

class LogManager {
public:
    // The one instance; it lives until the process ends, so a thread still
    // logging at exit never meets a destroyed manager.
    static LogManager& instance();

    // Opens both files for appending, creating them when missing; a new,
    // empty file gets the UTF-8 byte-order mark first. A file left open by
    // an earlier call is closed. A report that holds an earlier run's lines
    // gets a blank line before the first block written now, unless it ends
    // with one. False when either can't be opened (the other is kept), with
    // `why` naming the file and the reason.
    bool open(const std::string& reportFile, const std::string& debugFile, std::string& why);
    bool open(const std::string& reportFile, const std::string& debugFile);
    void close();

    // The message as entry() makes it, after the stamp, with a line end;
    // returns the entry, for a report line to use as it stands. Nothing is
    // written while the file is closed. The stamp (time, thread, source
    // location) is the program's own and is not masked: a password such as
    // "2026" must not hide the dates.
    std::string writeDebugLine(const std::string& stamp, const std::string& message);
    // Lines made by entry(), each with its line end; masked once more, so
    // that nothing reaches the report unmasked.
    void writeReport(const std::string& block);
    // The next block written to the report begins a part of its own (a
    // run's): after a blank line, unless the report is new or ends with one.
    void beginReportPart();

    // From now on the files show these secrets (UTF-8) as "***" wherever
    // they occur, whoever wrote the text (SecretMask.h). The engine hands
    // over every password it is given; they are kept for the process.
    void hideSecrets(const std::vector<std::string>& secrets);

    LogManager() = default;
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

private:
    class File {
    public:
        // False with the reason (errno's text) in `why`.
        bool open(const std::string& path, std::string& why);
        void close();
        void append(const std::string& bytes);
        // The first block appended from now on comes after a blank line,
        // unless the file is new or ends with one.
        void beginPart();

    private:
        tiny::KMutex lock_;
        utils::Descriptor fd_ TAVIR_GUARDED_BY(lock_);
        bool blankLineFirst_ TAVIR_GUARDED_BY(lock_) = false;
    };

    // A message (UTF-8) as either file shows it: the secrets masked first,
    // then its line breaks made blanks, so that it is one line and a
    // secret with a line break in it is still seen whole.
    std::string entry(const std::string& message);
    std::string masked(const std::string& text);
    // The mask in force, taken under secretsLock_ and used without it.
    std::shared_ptr<const SecretMask> currentMask();

    // Serialises opening and closing the two files.
    tiny::KMutex initLock_;
    File report_;
    File debug_;
    // Replaced whole when secrets are added, so a writer masks with the
    // mask it took without holding the lock; a new mask is built under
    // addLock_ alone, while writers go on with the old one.
    tiny::KMutex addLock_;
    tiny::KMutex secretsLock_;
    std::shared_ptr<const SecretMask> secrets_ TAVIR_GUARDED_BY(secretsLock_)
        = std::make_shared<SecretMask>();
};

} // namespace tavir::migration
