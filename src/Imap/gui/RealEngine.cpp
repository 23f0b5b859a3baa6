// The real engine's entry functions, for the program.
#include "Imap/engine/Engine.h"
#include "Imap/gui/ImapWizard.h"

namespace tavir::gui {

EngineEntries realEngineEntries()
{
    return EngineEntries{&migration::init, &migration::done, &migration::createMigrator,
        &migration::testImap, &migration::sourceTestFailure, &migration::testCvn};
}

} // namespace tavir::gui
