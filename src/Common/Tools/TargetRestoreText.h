#pragma once
// The words of the target's restore while it goes on, written once for
// zorp-engine-run's progress line and the wizard's progress page.
#include "Common/Tools/MigrationRecords.h"

#include <string>
#include <vector>

namespace tavir::migration {

// While the target server is put back (MigrationStatus::puttingTargetBack),
// what the run does, from the longest wording to the shortest, none with a
// full stop: the first is what every surface says where it has the room,
// "putting the target back: waiting for the administration service, at
// most 35 s more" while the administration service keeps the restore
// waiting (targetWaitSeconds), "putting the target back" otherwise. Empty
// while the target is not being put back.
std::vector<std::wstring> puttingBackWordings(const MigrationStatus& status);

} // namespace tavir::migration
