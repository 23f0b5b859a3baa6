// The progress page: start, polling, stop, and the hand-over to the result page.
#include "Common/Gui/MigProgressPage.h"

#include "Common/Gui/MigResultPage.h"
#include "Common/Gui/MigThread.h"
#include "Common/Gui/MigWizard.h"
#include "Common/Gui/ProgressDelegateItem.h"
#include "Common/Tools/RunSummary.h"
#include "Common/Tools/TargetRestoreText.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QScopedValueRollback>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace tavir::gui {

namespace {

enum Column { NameColumn = 0, FolderColumn, ProgressColumn };

constexpr int FirstPollMs = 10;
constexpr int PollMs = 250;

} // namespace

MigProgressPage::MigProgressPage(int nextId)
    : MigPage(nextId, true)
    , nowMigratingLabel(new QLabel(tr("Now migrating:")))
    , startLabel(new QLabel)
    , table(new QTreeWidget)
    , puttingBackLabel(new QLabel)
    , delegate(new ProgressDelegateItem(this))
    , overallBar(new QProgressBar)
{
    nowMigratingLabel->setObjectName("nowMigratingLabel");
    startLabel->setObjectName("startLabel");
    table->setObjectName("progressTable");
    puttingBackLabel->setObjectName("puttingBackLabel");
    overallBar->setObjectName("overallBar");
    setTitle(tr("Migration Status"));
    setSubTitle(tr("The selected accounts are being migrated."));

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(nowMigratingLabel);
    top->addStretch();
    top->addWidget(startLabel);
    layout->addLayout(top);

    table->setColumnCount(3);
    table->setColumnWidth(NameColumn, 150);
    table->setColumnWidth(FolderColumn, 130);
    table->setColumnWidth(ProgressColumn, 100);
    table->setHeaderHidden(true);
    table->setRootIsDecorated(false);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setFocusPolicy(Qt::NoFocus);
    table->setItemDelegateForColumn(ProgressColumn, delegate);
    // The table takes the height there is; once a stopped run has hidden
    // it, the stretch below keeps the counters together.
    layout->addWidget(table, 1);
    // In the table's place while the target is put back.
    puttingBackLabel->setWordWrap(true);
    puttingBackLabel->hide();
    layout->addWidget(puttingBackLabel);

    // One grid for the three counter rows, so that their columns stay in
    // line when a figure widens its column.
    auto* counters = new QGridLayout;
    folders = addCounter(counters, "folders", tr("Folders done:"));
    messages = addCounter(counters, "messages", tr("Messages done:"));
    accounts = addCounter(counters, "accounts", tr("Accounts done:"));
    counters->setColumnStretch(2, 1);
    layout->addLayout(counters);
    layout->addSpacing(10);
    overallBar->setValue(0);
    overallBar->setTextVisible(false);
    layout->addWidget(overallBar);
    layout->addStretch();
    layout->addLayout(statusRow);
}

MigProgressPage::Counter MigProgressPage::addCounter(QGridLayout* grid, const QString& name, const QString& caption)
{
    const int row = grid->rowCount();
    auto* captionLabel = new QLabel(caption);
    captionLabel->setFixedWidth(110);
    Counter counter{new QLabel, new QLabel, new QLabel};
    // 50 pixels at least, and as wide as the figure: 12345678 messages or
    // 1000/1200 accounts are never cut.
    counter.value->setMinimumWidth(50);
    counter.value->setSizePolicy(QSizePolicy::Fixed, counter.value->sizePolicy().verticalPolicy());
    counter.value->setObjectName(name + "Value");
    counter.errors->setObjectName(name + "Errors");
    counter.notCopied->setObjectName(name + "NotCopied");
    // Beside a wide figure and its errors it may need a second line.
    counter.notCopied->setWordWrap(true);
    // Shown only with a text: an empty label would still take its place and
    // the layout's spacing, and push the next remark out of line with the
    // remarks of the other rows.
    counter.errors->hide();
    counter.notCopied->hide();
    grid->addWidget(captionLabel, row, 0);
    grid->addWidget(counter.value, row, 1);
    // What was not copied follows the row's own errors.
    auto* remarks = new QHBoxLayout;
    remarks->addWidget(counter.errors);
    remarks->addWidget(counter.notCopied, 1);
    // Takes the width while both remarks are hidden: a grid gives the room
    // of a column that holds nothing to the others, and the figures would
    // drift away from their captions.
    remarks->addStretch();
    grid->addLayout(remarks, row, 2);
    return counter;
}

void MigProgressPage::initializePage()
{
    setStopButtonVisible(true);
    connect(wizard(), &QWizard::customButtonClicked, this, &MigProgressPage::slotStop);
    MigPage::initializePage();
}

bool MigProgressPage::isComplete() const
{
    return state == Aborted || state == Finished;
}

void MigProgressPage::started()
{
    state = Running;
}

void MigProgressPage::statusChanged()
{
}

void MigProgressPage::stopped(bool aborted)
{
    state = aborted ? Aborted : Finished;
}

bool MigProgressPage::startAction(unsigned int n)
{
    if (n > 0)
        return startedOk;
    startedOk = migrator()->startMigration(this);
    if (!startedOk) {
        // Why, as the report has it: a user who started the wizard from the
        // desktop's menu would otherwise have to find the report to learn
        // that the administrator's password was wrong.
        migration::MigrationStatus status;
        migrator()->getStatus(status);
        const QString text = tr("The migration failed to start.");
        setWarningText(text);
        setResultErrorText(text);
        if (MigResultPage* result = resultPage())
            result->setNotStarted(
                startFailureText(QString::fromStdWString(status.startFailure), MigThread::reportFilePath()));
        state = Finished;
    }
    QTimer::singleShot(FirstPollMs, this, &MigProgressPage::slotTimer);
    return true;
}

bool MigProgressPage::getActionResult(unsigned int n)
{
    return n == 0 ? startedOk : state == Running;
}

void MigProgressPage::slotTimer()
{
    switch (state.load()) {
    case Aborted: {
        setStatus();
        overallBar->hide();
        table->clear();
        // Nothing is being migrated any more.
        table->hide();
        nowMigratingLabel->hide();
        setSubTitle(tr("The migration has been stopped. Press the Next button to show result of the unfinished "
                       "migration."));
        const QString text = tr("The migration has been aborted.");
        setWarningText(text);
        setResultPage();
        setResultErrorText(text);
        setWarningVisible(true);
        setStopButtonVisible(false);
        // No poll comes after this one, so the chain ends here: a stop seen
        // at the first poll finds it at the start, which a start that went
        // ahead moves on by one action more.
        while (actionIsRunning())
            slotActionFinished();
        // The end of the busy phase hides the progress texts; the time the
        // run took stays in view.
        setProgressRightVisible(true);
        return;
    }
    case Finished:
        // The totals and the time as the run ended, however long a box of
        // the Stop request then stays open.
        setResultPage();
        if (stopBoxOpen) {
            // The end in view behind the box, and no Stop for a run that
            // has ended; nothing is being migrated any more.
            setStatus();
            setSubTitle(
                tr("The migration has ended. Its result follows once the question is answered."));
            setStopButtonVisible(false);
            table->hide();
            nowMigratingLabel->hide();
        }
        goToResultPage();
        return;
    default:
        setStatus();
        QTimer::singleShot(PollMs, this, &MigProgressPage::slotTimer);
        break;
    }
    slotActionFinished();
}

void MigProgressPage::goToResultPage()
{
    if (stopBoxOpen) {
        // Not behind the open box: the wizard would change pages under a
        // modal question that still asks about a run in progress.
        QTimer::singleShot(PollMs, this, &MigProgressPage::goToResultPage);
        return;
    }
    wizard()->next();
    setStopButtonVisible(false);
    slotActionFinished();
}

void MigProgressPage::setStopButtonVisible(bool visible)
{
    if (QAbstractButton* stop = wizard()->button(QWizard::CustomButton1))
        stop->setVisible(visible);
}

void MigProgressPage::setStatus()
{
    migration::MigrationStatus status;
    migrator()->getStatus(status);
    overallBar->setMaximum(static_cast<int>(status.selectedAccounts));
    if (startLabel->text().isEmpty()) {
        const QDateTime start = QDateTime::fromSecsSinceEpoch(status.startTime);
        startLabel->setText(tr("Migration started: %1").arg(QLocale::system().toString(start, QLocale::ShortFormat)));
    } else {
        setProgressRightText(totalTime(status));
    }

    table->clear();
    table->setUpdatesEnabled(false);
    int widest = 0;
    for (const migration::ActualUserStatus& account : status.inProgress) {
        auto* item = new QTreeWidgetItem(table);
        item->setText(NameColumn, QString::fromStdWString(account.fullName));
        item->setIcon(NameColumn, QIcon(":/images/user.png"));
        item->setText(FolderColumn, QString::fromStdWString(account.folder));
        item->setData(ProgressColumn, Qt::DisplayRole, account.messagesDone);
        item->setData(ProgressColumn, Qt::ToolTipRole, account.folderMessages);
        const QString numbers = progressNumbers(account.messagesDone, account.folderMessages);
        widest = std::max(widest, QFontMetrics(item->font(ProgressColumn)).horizontalAdvance(numbers));
    }
    delegate->textWidth = widest;
    table->setUpdatesEnabled(true);

    accounts.value->setText(QString("%1/%2").arg(status.finishedAccounts).arg(status.selectedAccounts));
    folders.value->setText(QString::number(status.foldersDone));
    messages.value->setText(QString::number(status.messagesDone));
    overallBar->setValue(static_cast<int>(status.finishedAccounts));
    setRemark(accounts.errors, errorCountText(status.failedAccounts));
    setRemark(folders.errors, errorCountText(status.folderErrors));
    setRemark(messages.errors, errorCountText(status.messageErrors));
    // After the errors, in the same style and the report's words: of the
    // accounts' errors, those the user's stop ended half-way, and a source
    // that took fewer connections than the run would have used; what was
    // not copied of the folders and messages.
    QStringList accountRemarks;
    for (const std::wstring& remark : {migration::stoppedText(status.accountsStopped), status.sourceLimit})
        if (!remark.empty())
            accountRemarks << QString::fromStdWString(remark);
    setRemark(accounts.notCopied, accountRemarks.join('\n'));
    setRemark(folders.notCopied,
        QString::fromStdWString(migration::notCopiedText(status.foldersNotReached, 0, 0)));
    setRemark(messages.notCopied,
        QString::fromStdWString(migration::notCopiedText(
            status.messagesNotReached, status.messagesAlreadyThere, status.messagesRemoved)));
    // Nothing is migrated while the target is put back: what the engine
    // waits for then takes the table's place.
    const QString restoring = puttingBackText(status);
    puttingBackLabel->setText(restoring);
    puttingBackLabel->setVisible(!restoring.isEmpty());
    if (!restoring.isEmpty()) {
        table->hide();
        nowMigratingLabel->hide();
    }
}

QString MigProgressPage::puttingBackText(const migration::MigrationStatus& status)
{
    const std::vector<std::wstring> wordings = migration::puttingBackWordings(status);
    if (wordings.empty())
        return QString();
    QString text = QString::fromStdWString(wordings.front()) + ".";
    text[0] = text[0].toUpper();
    return text;
}

void MigProgressPage::setRemark(QLabel* label, const QString& text)
{
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

QString MigProgressPage::errorCountText(unsigned count)
{
    if (count == 0)
        return QString();
    if (count == 1)
        return tr("(1 error found)");
    return tr("(%1 errors found)").arg(count);
}

MigProgressPage::ResultNotes MigProgressPage::resultNotes(const migration::MigrationStatus& status)
{
    const auto lines = [](const std::vector<std::wstring>& sentences) {
        QStringList shown;
        for (const std::wstring& sentence : sentences)
            shown << QString::fromStdWString(sentence);
        return shown.join('\n');
    };
    const migration::SummaryLines summary = migration::summaryLines(status);
    return {lines(migration::runSentences(status)), lines(summary.accounts), lines(summary.folders),
        lines(summary.messages)};
}

QString MigProgressPage::startFailureText(const QString& why, const QString& report)
{
    QStringList lines = why.split('\n', Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return QString();
    lines << tr("The report %1 says the same.").arg(report);
    // A blank line after each sentence: several long ones, each wrapped,
    // would otherwise read as one block.
    return lines.join("\n\n");
}

QString MigProgressPage::totalTimeText(std::int32_t elapsed)
{
    const auto two = [](std::int32_t n) { return QString("%1").arg(n, 2, 10, QLatin1Char('0')); };
    return tr("Total time: %1:%2:%3").arg(two(elapsed / 3600), two(elapsed % 3600 / 60), two(elapsed % 60));
}

QString MigProgressPage::totalTime(const migration::MigrationStatus& status)
{
    if (status.startTime == 0)
        return QString();
    const std::int64_t end
        = status.endTime != 0 ? status.endTime : QDateTime::currentSecsSinceEpoch();
    return totalTimeText(static_cast<std::int32_t>(migration::runSeconds(status.startTime, end)));
}

MigResultPage* MigProgressPage::resultPage() const
{
    return dynamic_cast<MigResultPage*>(wizard()->page(wizard()->nextId()));
}

void MigProgressPage::setResultPage()
{
    MigResultPage* result = resultPage();
    // A run that did not start counted nothing; the result page shows why
    // instead (startAction).
    if (!result || !startedOk)
        return;
    migration::MigrationStatus status;
    migrator()->getStatus(status);
    // The engine's start and end, as the report has them: a run that ended
    // before the first poll, or behind a box of the Stop request, took the
    // time between them.
    result->setTotalTimeText(totalTime(status));
    result->setUserText(tr("%1 account(s) have been migrated.").arg(status.finishedAccounts));
    if (status.failedAccounts != 0)
        result->setUsersErrorText(tr("%1 error(s) found.").arg(status.failedAccounts));
    result->setFolderText(tr("%1 folder(s) have been migrated.").arg(status.foldersDone));
    if (status.folderErrors != 0)
        result->setFoldersErrorText(tr("%1 error(s) found.").arg(status.folderErrors));
    result->setMessageText(tr("%1 message(s) have been migrated.").arg(status.messagesDone));
    if (status.messageErrors != 0)
        result->setMessagesErrorText(tr("%1 error(s) found.").arg(status.messageErrors));
    // Beside them, every count in the report's own lines: what was not
    // copied (stopped, not started, not reached, on the target already),
    // the accounts made ahead, and whose messages are in no count; above
    // them what the report says of the whole run.
    const ResultNotes notes = resultNotes(status);
    result->setRunNoteText(notes.run);
    result->setAccountNoteText(notes.accounts);
    result->setFolderNoteText(notes.folders);
    result->setMessageNoteText(notes.messages);
}

void MigProgressPage::slotStop()
{
    QScopedValueRollback<bool> asking(stopBoxOpen, true);
    const auto answer = QMessageBox::question(wizard(), getWizardName(),
        tr("Do you really want to stop the migration? After aborting the migration, data which would have as yet "
           "been migrated to the Corvane won't be automatically removed from there."),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (state == Finished) {
        QMessageBox::information(wizard(), getWizardName(),
            tr("The migration cannot be aborted for it has already finished."), QMessageBox::Ok);
        return;
    }
    if (!migrator()->stopMigration()) {
        QMessageBox::information(wizard(), getWizardName(), tr("The migration aborting failed."), QMessageBox::Ok);
        return;
    }
    if (QAbstractButton* stop = wizard()->button(QWizard::CustomButton1))
        stop->setEnabled(false);
    setWarningVisible(true);
    setWarningText(tr("The migration is being aborted, please wait..."));
}

} // namespace tavir::gui
