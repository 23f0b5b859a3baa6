// The page base: action chain, validation, status row, busy cursor, Back lock.
#include "Common/Gui/MigPage.h"

#include "Common/Gui/MigThread.h"
#include "Common/Gui/MigWizard.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>

namespace tavir::gui {

MigPage::MigPage(int nextId, bool commitPrevious_)
    : nextPageId(nextId)
    , commitPrevious(commitPrevious_)
{
    migThread = new MigThread;
    connect(migThread, &QThread::finished, this, &MigPage::slotActionFinished);

    statusRow = new QHBoxLayout;
    warningIcon = iconLabel(":/images/circlewarning.png");
    warningLabel = new QLabel;
    warningLabel->setWordWrap(true);
    warningLabel->setSizePolicy(QSizePolicy::Expanding, warningLabel->sizePolicy().verticalPolicy());
    progressLabel = new QLabel;
    progressRightLabel = new QLabel;
    progressRightLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    warningIcon->setObjectName("warningIcon");
    warningLabel->setObjectName("warningLabel");
    progressLabel->setObjectName("progressLabel");
    progressRightLabel->setObjectName("progressRightLabel");
    for (QLabel* label : {warningIcon, warningLabel, progressLabel, progressRightLabel}) {
        statusRow->addWidget(label);
        label->hide();
    }
}

MigPage::~MigPage()
{
    // No close is allowed while an action runs, so this wait is short; it
    // keeps a thread from outliving its object if one still ends.
    migThread->wait();
    delete migThread;
}

void MigPage::setPreviousCommit(bool commit)
{
    if (nextPageId < 2 || !wizard())
        return;
    if (QWizardPage* previous = wizard()->page(nextPageId - 2))
        previous->setCommitPage(commit);
}

void MigPage::updateStarted()
{
    actionRunning = true;
    QApplication::setOverrideCursor(Qt::BusyCursor);
    progressLabel->show();
    progressRightLabel->show();
    if (!commitPrevious)
        setPreviousCommit(true);
}

void MigPage::updateFinished()
{
    QApplication::restoreOverrideCursor();
    setControlsEnabled(true);
    progressLabel->hide();
    progressRightLabel->hide();
    actionRunning = false;
    if (!commitPrevious)
        setPreviousCommit(false);
    emit completeChanged();
}

void MigPage::initializePage()
{
    if (commitPrevious)
        setPreviousCommit(true);
    setControlsEnabled(false);
    if (!autoStartActions) {
        emit completeChanged();
        return;
    }
    updateStarted();
    if (startAction(actionIndex))
        return;
    if (advanceChain())
        return;
    updateFinished();
}

void MigPage::slotActionFinished()
{
    if (advanceChain())
        return;
    updateFinished();
}

bool MigPage::advanceChain()
{
    const bool ok = getActionResult(actionIndex);
    ++actionIndex;
    if (ok && startAction(actionIndex))
        return true;
    if (!ok && !warningsSuppressed)
        setWarningVisible(true);
    return false;
}

bool MigPage::validatePage()
{
    // One validation at a time in the whole wizard.
    static bool validateStarted = false;

    if (!validationConnected) {
        disconnect(migThread, &QThread::finished, this, &MigPage::slotActionFinished);
        connect(migThread, &QThread::finished, this, &MigPage::slotValidationFinished);
        validationConnected = true;
    }
    if (!validateStarted) {
        validateStarted = true;
        emit completeChanged();
        if (warningShown())
            setWarningVisible(false);
        updateStarted();
        if (startValidation()) {
            emit completeChanged();
            return false;
        }
        updateFinished();
        validateStarted = false;
        return true;
    }
    const bool ok = getValidationResult();
    if (!ok && !warningShown() && !warningsSuppressed)
        setWarningVisible(true);
    validateStarted = false;
    return ok;
}

void MigPage::slotValidationFinished()
{
    updateFinished();
    if (wizard())
        wizard()->next();
}

bool MigPage::isComplete() const
{
    return !migThread->isRunning() && actionIndex != 0;
}

int MigPage::nextId() const
{
    return nextPageId;
}

void MigPage::slotChanged()
{
    emit completeChanged();
    if (warningShown())
        setWarningVisible(false);
}

QLabel* MigPage::iconLabel(const QString& image)
{
    auto* icon = new QLabel;
    icon->setPixmap(QPixmap(image));
    icon->setSizePolicy(QSizePolicy::Fixed, icon->sizePolicy().verticalPolicy());
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    return icon;
}

bool MigPage::warningShown() const
{
    return !warningIcon->isHidden();
}

void MigPage::setWarningText(const QString& text)
{
    warningLabel->setText(text);
}

void MigPage::setProgressText(const QString& text)
{
    progressLabel->setText(text);
}

void MigPage::setProgressRightText(const QString& text)
{
    progressRightLabel->setText(text);
}

void MigPage::setWarningVisible(bool show)
{
    if (show && warningsSuppressed)
        return;
    warningIcon->setVisible(show);
    warningLabel->setVisible(show);
}

void MigPage::setProgressRightVisible(bool show)
{
    progressRightLabel->setVisible(show);
}

void MigPage::setResultErrorText(const QString& text)
{
    auto* result = wizard() ? qobject_cast<MigPage*>(wizard()->page(MigWizard::ResultPageId)) : nullptr;
    if (!result)
        return;
    result->setWarningText(text);
    result->setWarningVisible(!text.isEmpty());
}

QString MigPage::getWizardName() const
{
    auto* migWizard = qobject_cast<MigWizard*>(wizard());
    return migWizard ? migWizard->name() : QString();
}

bool MigPage::startActionManual(unsigned int n)
{
    if (actionIndex != 0)
        actionIndex = n;
    emit completeChanged();
    setControlsEnabled(false);
    updateStarted();
    return startAction(actionIndex);
}

bool MigPage::startValidation()
{
    return false;
}

bool MigPage::getValidationResult()
{
    return true;
}

bool MigPage::startAction(unsigned int)
{
    return false;
}

bool MigPage::getActionResult(unsigned int)
{
    return true;
}

void MigPage::setControlsEnabled(bool)
{
}

void MigPage::slotTimer()
{
}

void MigPage::slotStop()
{
}

} // namespace tavir::gui
