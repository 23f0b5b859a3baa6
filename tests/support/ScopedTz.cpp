#include "support/ScopedTz.h"

#include <cstdlib>
#include <ctime>

namespace tavir::test {

ScopedTz::ScopedTz()
{
    const char* old = std::getenv("TZ");
    hadTz_ = old != nullptr;
    if (old)
        saved_ = old;
}

ScopedTz::ScopedTz(const char* tz)
    : ScopedTz()
{
    if (tz)
        ::setenv("TZ", tz, 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

ScopedTz::~ScopedTz()
{
    if (hadTz_)
        ::setenv("TZ", saved_.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

} // namespace tavir::test
