// One sentence per server on how its certificate was trusted.
#include "Imap/engine/TrustReport.h"

#include "Imap/textconv/TextConversion.h"
#include "tiny/KMutex.h"

#include <set>

namespace tavir::migration {

std::wstring trustSentence(const std::string& notice)
{
    std::wstring text = asSentence(utf8ToUnicode(notice));
    if (!text.empty() && text.front() >= L'a' && text.front() <= L'z')
        text.front() = static_cast<wchar_t>(text.front() - L'a' + L'A');
    return text;
}

void reportTrustOnce(Logger& log, const mail::TrustNotice& notice)
{
    static tiny::KMutex lock;
    static std::set<std::string> reported;
    const std::string& said
        = notice.recordedSentence.empty() ? notice.sentence : notice.recordedSentence;
    if (said.empty())
        return;
    {
        tiny::KMutexLocker hold(lock);
        if (!reported.insert(notice.server).second)
            return;
    }
    log.report(TAVIR_HERE, trustSentence(said));
}

} // namespace tavir::migration
