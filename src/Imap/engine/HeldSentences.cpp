// Report sentences held until their part of the report has begun.
#include "Imap/engine/HeldSentences.h"

#include "Imap/engine/LogManager.h"

namespace tavir::migration {

using tiny::KMutexLocker;

void HeldSentences::say(Logger& log)
{
    KMutexLocker hold(lock_);
    if (!released_) {
        std::string block = log.takeKept();
        if (!block.empty())
            held_.push_back(std::move(block));
        return;
    }
    if (log.kept().empty())
        return;
    // A block among the accounts' blocks, set off as each of them is.
    log.report(L"");
    log.flush();
}

void HeldSentences::release()
{
    KMutexLocker hold(lock_);
    for (const std::string& block : held_)
        LogManager::instance().writeReport(block);
    held_.clear();
    released_ = true;
}

} // namespace tavir::migration
