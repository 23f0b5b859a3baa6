// Reading a message's internal date, and the date argument of APPEND.
#include "imapclient/Synthesizer.h"

#include "timezone/MailDateParser.h"
#include "tiny/Time.h"
#include "utils/StringUtils.h"

#include <cstdlib>

namespace tavir::mail {

std::string time2String(std::time_t t)
{
    tm local{};
    if (tavir::tiny::k_localtime_r(&t, &local) == nullptr)
        return std::string();
    long off = tavir::tiny::timezoneOffset(static_cast<long>(t));
    char buffer[512];
    tavir::utils::snprintfx(buffer, sizeof buffer, "%02d-%s-%04d %02d:%02d:%02d", local.tm_mday,
        tavir::tiny::getMonthName(local.tm_mon), local.tm_year + 1900, local.tm_hour, local.tm_min,
        local.tm_sec);
    long magnitude = std::labs(off);
    char zone[16];
    tavir::utils::snprintfx(
        zone, sizeof zone, " %c%02ld%02ld", off >= 0 ? '+' : '-', magnitude / 60, magnitude % 60);
    return std::string(buffer) + zone;
}

bool readInternalDate(const std::string& text, std::time_t& instant)
{
    return tavir::timezone::parseInternaldate(text.c_str(), &instant)
        || tavir::timezone::parseRFC822Date(text.c_str(), &instant);
}

std::string fixInternalDate(const std::string& date)
{
    std::time_t t = 0;
    if (!readInternalDate(date, t))
        t = std::time(nullptr);
    return time2String(t);
}

} // namespace tavir::mail
