// One sentence per server on how its certificate was trusted.
#include "Imap/engine/TrustReport.h"

#include "Imap/textconv/TextConversion.h"
#include "tiny/KMutex.h"

#include <set>

namespace tavir::migration {

void reportTrustOnce(Logger& log, const mail::TrustNotice& notice)
{
    static tiny::KMutex lock;
    static std::set<std::string> reported;
    if (notice.sentence.empty())
        return;
    {
        tiny::KMutexLocker hold(lock);
        if (!reported.insert(notice.server).second)
            return;
    }
    log.report(TAVIR_HERE, utf8ToUnicode(notice.sentence));
}

} // namespace tavir::migration
