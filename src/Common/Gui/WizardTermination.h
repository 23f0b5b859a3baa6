#pragma once
// What the wizard does on SIGTERM, SIGINT or SIGHUP: what closing the window
// would do, without the questions. A migration in progress is stopped and
// left to put the target back and write its report and status record; a
// credential test is told to end; then the event loop ends with 128 plus
// the signal's number, which the program returns.
#include "Common/Gui/TerminationSignals.h"

#include <QObject>

namespace tavir::gui {

class MigWizard;

class WizardTermination : public QObject {
    Q_OBJECT

public:
    explicit WizardTermination(MigWizard& wizard);

private:
    void begin(int signalNumber);
    // Ends the event loop once no migration runs any more.
    void endWhenStopped();

    MigWizard& wizard_;
    TerminationSignals signals_;
    int signal_ = 0;
};

} // namespace tavir::gui
