#pragma once
// Report sentences written before the part of the report they belong to
// has begun: held until it has (release), then written as they come. A
// run's login tests begin before the run's header is in the report.
#include "Imap/engine/Logger.h"
#include "tiny/KMutex.h"

#include <string>
#include <vector>

namespace tavir::migration {

class HeldSentences {
public:
    // What `log` keeps for the report goes there now, or is held; nothing
    // when it keeps nothing.
    void say(Logger& log);
    // Writes what was held; what comes later goes to the report at once.
    void release();

private:
    tiny::KMutex lock_;
    bool released_ TAVIR_GUARDED_BY(lock_) = false;
    std::vector<std::string> held_ TAVIR_GUARDED_BY(lock_);
};

} // namespace tavir::migration
