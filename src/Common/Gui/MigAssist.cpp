// The crash-report hook: empty on this platform.
#include "Common/Gui/MigAssist.h"

namespace tavir::gui {

MigAssist::MigAssist(const char*, const char*, const char*, const char*) {}

MigAssist::~MigAssist()
{
    close();
}

void MigAssist::open(const char*, const char*, const char*, const char*) {}

void MigAssist::close() {}

} // namespace tavir::gui
