// The table of allowed account state changes.
#include "Common/Tools/UserInfo.h"

namespace tavir::migration {

bool isAllowedStateChange(UserState from, UserState to)
{
    // Row: from; column: to.
    static const bool allowed[5][5] = {
        {true, true, false, false, false},
        {true, true, true, false, false},
        {false, false, true, true, true},
        {false, false, false, true, false},
        {false, false, false, false, true},
    };
    if (from > UserFinished || to > UserFinished)
        return false;
    return allowed[from][to];
}

} // namespace tavir::migration
