// The wizard's end on a termination signal.
#include "Common/Gui/WizardTermination.h"

#include "Common/Gui/MigProgressPage.h"
#include "Common/Gui/MigThread.h"
#include "Common/Gui/MigWizard.h"

#include <QCoreApplication>
#include <QTimer>

namespace tavir::gui {

namespace {

// How often the end of a stopped migration is looked for.
constexpr int StoppedPollMs = 100;

} // namespace

WizardTermination::WizardTermination(MigWizard& wizard)
    : wizard_(wizard)
    , signals_([this](int signalNumber) { begin(signalNumber); })
{
}

void WizardTermination::begin(int signalNumber)
{
    signal_ = signalNumber;
    if (auto* progress = dynamic_cast<MigProgressPage*>(wizard_.page(MigWizard::ProgressPageId))) {
        // Without a test this does nothing; a test in hand ends with the
        // engine, which waits for it when the wizard goes.
        progress->migrator()->stopUserTest();
        if (progress->stateValue() == MigProgressPage::Running)
            progress->migrator()->stopMigration();
    }
    endWhenStopped();
}

void WizardTermination::endWhenStopped()
{
    auto* progress = dynamic_cast<MigProgressPage*>(wizard_.page(MigWizard::ProgressPageId));
    // Running until stopped() came, which is after the target was put back
    // and the report and the status record were written.
    if (progress && progress->stateValue() == MigProgressPage::Running) {
        QTimer::singleShot(StoppedPollMs, this, &WizardTermination::endWhenStopped);
        return;
    }
    QCoreApplication::exit(128 + signal_);
}

} // namespace tavir::gui
