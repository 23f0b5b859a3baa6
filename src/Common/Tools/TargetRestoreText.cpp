// The words of the target's restore in progress.
#include "Common/Tools/TargetRestoreText.h"

namespace tavir::migration {

std::vector<std::wstring> puttingBackWordings(const MigrationStatus& status)
{
    if (!status.puttingTargetBack)
        return {};
    if (status.targetWaitSeconds == 0)
        return {L"putting the target back", L"restoring the target", L"restoring"};
    const std::wstring n = std::to_wstring(status.targetWaitSeconds) + L" s";
    return {
        L"putting the target back: waiting for the administration service, at most " + n + L" more",
        // Every word that matters within 80 columns.
        L"putting the target back: waiting for the administration service, at most " + n,
        L"putting the target back: waiting for the server, at most " + n + L" more",
        L"putting the target back, at most " + n + L" more",
        L"restoring the target, at most " + n,
        L"restoring, at most " + n,
        L"restoring, " + n,
    };
}

} // namespace tavir::migration
