#pragma once
// The engine's free entry functions as the wizard reaches them: held as
// values so that the program passes the real engine and the tests a scripted
// one, with nothing else in the wizard knowing which.
#include "Imap/engine/IMigrator.h"

#include <functional>
#include <string>

namespace tavir::gui {

struct EngineEntries {
    // Opens the report and the debug log; false when the logs or the
    // conversion library can't be opened.
    std::function<bool(const std::wstring& reportFile, const std::wstring& debugFile)> init;
    std::function<void()> done;
    // Creates the one engine object; the caller owns it.
    std::function<bool(migration::IMigrator** out)> createMigrator;
    // 0 when the source answers over IMAP, 1 otherwise.
    std::function<int(const std::wstring& server, bool ssl)> testImap;
    // After a testImap that gave 1: whether the source was refused for
    // showing another certificate than the one pinned for it, or greeted but
    // takes no password this tool can send on that connection.
    std::function<migration::SourceTestFailure()> sourceTestFailure;
    // 0 ok, 1 no connection, 2 authentication failed, 3 read-only
    // administrator, 4 unsupported server version.
    std::function<int(const std::wstring& server, const std::wstring& user, const std::wstring& password)>
        testCvn;
};

} // namespace tavir::gui
