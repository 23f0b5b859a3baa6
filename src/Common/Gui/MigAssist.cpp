// The crash-report hook: empty on this platform.
#include "Common/Gui/MigAssist.h"

namespace tavir::gui {

MigAssist::MigAssist(const char*, const char*, const char*, const char*)
    : handle(nullptr)
{
}

MigAssist::~MigAssist()
{
    close();
}

void MigAssist::open(const char*, const char*, const char*, const char*) {}

void MigAssist::close()
{
    handle = nullptr;
}

} // namespace tavir::gui
