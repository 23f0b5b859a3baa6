#pragma once
// The wizard of this program: the six pages from the welcome page to the
// result page, over the real engine or one given by the caller.
#include "Common/Gui/MigWizard.h"

namespace tavir::gui {

// The real engine's entry functions.
EngineEntries realEngineEntries();

class ImapWizard : public MigWizard {
    Q_OBJECT

public:
    // Inline, so that only the program itself links the real engine.
    explicit ImapWizard(QWidget* parent)
        : ImapWizard(parent, realEngineEntries())
    {
    }
    ImapWizard(QWidget* parent, EngineEntries engine);
};

} // namespace tavir::gui
