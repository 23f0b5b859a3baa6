// The progress and result pages over the scripted engine: start, polls,
// stop, the hand-over of the totals, and the links to the logs.
#include "Common/Gui/MigProgressPage.h"
#include "Common/Gui/MigResultPage.h"
#include "Common/Gui/MigThread.h"
#include "Common/Gui/MigWizard.h"
#include "Common/Gui/ProgressDelegateItem.h"
#include "support/GuiTest.h"
#include "support/ScriptedEngine.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHash>
#include <QDateTime>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>

namespace tavir::test {
namespace {

using gui::MigProgressPage;
using gui::MigWizard;

const QString stopQuestion = "Do you really want to stop the migration? After aborting the migration, data which "
                             "would have as yet been migrated to the Corvane won't be automatically removed from "
                             "there.";

// Counts the paint events of every message box while alive.
class PaintsOfBoxes : public QObject {
public:
    PaintsOfBoxes() { QApplication::instance()->installEventFilter(this); }

    int of(QMessageBox* box) const { return counts.value(box); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (event->type() == QEvent::Paint && widget)
            if (auto* box = qobject_cast<QMessageBox*>(widget->window()))
                ++counts[box];
        return false;
    }

private:
    QHash<QMessageBox*, int> counts;
};

// The last two pages of the wizard, entered at the progress page.
class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        guiApplication();
        gui::MigThread::setViewer("false");
        freshWizard();
    }

    void TearDown() override { wizard.reset(); }

    // The two pages anew, over a fresh scripted engine object.
    void freshWizard()
    {
        wizard.reset();
        wizard = std::make_unique<MigWizard>(nullptr, "Tavir Zorp", engine.entries());
        wizard->initializeEngineExecuter();
        progress = new MigProgressPage(MigWizard::ResultPageId);
        result = new gui::MigResultPage(-1);
        wizard->setPage(MigWizard::ProgressPageId, progress);
        wizard->setPage(MigWizard::ResultPageId, result);
        wizard->setStartId(MigWizard::ProgressPageId);
        migration::MigrationStatus& status = engine.migrator->status;
        status.startTime = QDateTime::currentSecsSinceEpoch() - 3720;
        status.accounts = 4;
        status.selectedAccounts = 3;
    }

    void start()
    {
        wizard->show();
        ASSERT_TRUE(waitFor([&] { return engine.log.contains("getStatus") || !wizard->isVisible() ||
                                         wizard->currentId() == MigWizard::ResultPageId; }));
    }
    template <class T>
    T* child(QWidget* page, const char* name)
    {
        T* widget = page->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString text(QWidget* page, const char* name) { return child<QLabel>(page, name)->text(); }
    bool shown(QWidget* page, const char* name) { return !child<QWidget>(page, name)->isHidden(); }
    QAbstractButton* stopButton() { return wizard->button(QWizard::CustomButton1); }
    // Where a widget begins, across the page.
    int left(const char* name) { return child<QWidget>(progress, name)->mapTo(progress, QPoint()).x(); }
    // The first remark of each counter row begins where the others do,
    // whichever of the row's two remarks it is.
    void expectRemarksInLine(const std::vector<const char*>& firsts)
    {
        for (const char* name : firsts) {
            SCOPED_TRACE(name);
            EXPECT_TRUE(shown(progress, name));
            EXPECT_EQ(left(name), left(firsts.front()));
        }
    }
    std::size_t count(const std::string& call)
    {
        const auto calls = engine.log.calls();
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
    }
    bool reachesResult()
    {
        return waitFor([&] { return wizard->currentId() == MigWizard::ResultPageId; });
    }

    ScriptedEngine engine;
    std::unique_ptr<MigWizard> wizard;
    MigProgressPage* progress = nullptr;
    gui::MigResultPage* result = nullptr;
};

TEST_F(ProgressTest, PollsShowTheAccountsInProgressAndTheTotals)
{
    migration::MigrationStatus& status = engine.migrator->status;
    status.selectedAccounts = 1200;
    status.finishedAccounts = 1000;
    status.failedAccounts = 1;
    status.foldersDone = 12;
    status.folderErrors = 7;
    status.messagesDone = 12345678;
    status.foldersNotReached = 12;
    status.messagesNotReached = 1112;
    status.messagesAlreadyThere = 7457;
    status.messagesRemoved = 3;
    status.inProgress = {{L"Ann Example", L"INBOX", 120, 45, 0}, {L"Bob Example", L"Sent", 0, 0, 0}};
    start();
    EXPECT_TRUE(stopButton()->isVisible());
    EXPECT_EQ(stopButton()->text(), "Stop");
    EXPECT_EQ(engine.log.calls().at(2), "start");
    ASSERT_TRUE(text(progress, "startLabel").startsWith("Migration started: "));
    EXPECT_EQ(text(progress, "progressRightLabel"), "") << "the total time comes from the second poll on";
    ASSERT_TRUE(waitFor([&] { return text(progress, "progressRightLabel").startsWith("Total time: 01:02:"); }));

    auto* table = child<QTreeWidget>(progress, "progressTable");
    ASSERT_EQ(table->topLevelItemCount(), 2);
    EXPECT_EQ(table->topLevelItem(0)->text(0), "Ann Example");
    EXPECT_EQ(table->topLevelItem(0)->text(1), "INBOX");
    EXPECT_EQ(table->topLevelItem(0)->data(2, Qt::DisplayRole).toUInt(), 45u);
    EXPECT_EQ(table->topLevelItem(0)->data(2, Qt::ToolTipRole).toUInt(), 120u);
    auto* delegate = dynamic_cast<gui::ProgressDelegateItem*>(table->itemDelegateForColumn(2));
    ASSERT_NE(delegate, nullptr);
    EXPECT_EQ(delegate->textWidth, table->fontMetrics().horizontalAdvance("45/120"));

    EXPECT_EQ(text(progress, "accountsValue"), "1000/1200");
    EXPECT_EQ(text(progress, "foldersValue"), "12");
    EXPECT_EQ(text(progress, "messagesValue"), "12345678");
    EXPECT_EQ(text(progress, "accountsErrors"), "(1 error found)");
    EXPECT_EQ(text(progress, "foldersErrors"), "(7 errors found)");
    EXPECT_EQ(text(progress, "messagesErrors"), "");
    EXPECT_EQ(text(progress, "accountsNotCopied"), "");
    EXPECT_EQ(text(progress, "foldersNotCopied"), "(12 not reached)");
    EXPECT_EQ(text(progress, "messagesNotCopied"),
        "(1112 not reached, 7457 on the target already, 3 removed from the source)");
    // No figure is cut, and the columns stay in line.
    for (const char* name : {"accountsValue", "foldersValue", "messagesValue"}) {
        SCOPED_TRACE(name);
        auto* value = child<QLabel>(progress, name);
        EXPECT_GE(value->width(), 50);
        EXPECT_GE(value->contentsRect().width(), value->fontMetrics().horizontalAdvance(value->text()));
        EXPECT_EQ(value->x(), child<QLabel>(progress, "accountsValue")->x());
    }
    EXPECT_FALSE(shown(progress, "messagesErrors")) << "an empty remark takes no place";
    expectRemarksInLine({"accountsErrors", "foldersErrors", "messagesNotCopied"});
    EXPECT_GT(left("foldersNotCopied"), left("foldersErrors") + child<QWidget>(progress, "foldersErrors")->width())
        << "what was not copied follows the row's errors";
    EXPECT_FALSE(wizard->button(QWizard::NextButton)->isEnabled());

    status.inProgress.clear();
    settle(300);
    EXPECT_EQ(table->topLevelItemCount(), 0);
    EXPECT_EQ(delegate->textWidth, 0);

    // A source that took fewer connections than the run would have used,
    // said beside the accounts in the engine's words.
    const std::wstring limit = L"The source server accepted at most 4 connections at once; the migration went on with 4.";
    status.sourceLimit = limit;
    EXPECT_TRUE(waitFor([&] { return text(progress, "accountsNotCopied") == QString::fromStdWString(limit); }));
    EXPECT_TRUE(shown(progress, "accountsNotCopied"));

    // Without a remark on any row the figures stay beside their captions.
    status = {};
    status.selectedAccounts = 2;
    ASSERT_TRUE(waitFor([&] { return !shown(progress, "foldersErrors") && !shown(progress, "foldersNotCopied"); }));
    settle(50);
    for (const char* name : {"accountsValue", "foldersValue", "messagesValue"}) {
        SCOPED_TRACE(name);
        EXPECT_LT(left(name), left("overallBar") + 110 + 20);
    }
}

TEST_F(ProgressTest, FinishedRunGoesOnToTheResultPageWithItsTotals)
{
    start();
    migration::MigrationStatus& status = engine.migrator->status;
    status.finishedAccounts = 3;
    status.foldersDone = 8;
    status.folderErrors = 2;
    status.messagesDone = 90;
    status.messagesAlreadyThere = 7457;
    engine.migrator->runCallbacks->stopped(false);
    ASSERT_TRUE(reachesResult());
    EXPECT_FALSE(stopButton()->isVisible());
    EXPECT_TRUE(text(result, "totalTimeLabel").startsWith("Total time: 01:02:"));
    EXPECT_TRUE(child<QWidget>(result, "accountsText")->isVisible());
    EXPECT_FALSE(child<QWidget>(result, "startFailureBox")->isVisible());
    EXPECT_EQ(text(result, "accountsText"), "3 account(s) have been migrated.");
    EXPECT_EQ(text(result, "foldersText"), "8 folder(s) have been migrated.");
    EXPECT_EQ(text(result, "messagesText"), "90 message(s) have been migrated.");
    // Beside the design's texts, every count in the report's own lines.
    EXPECT_TRUE(shown(result, "messagesNote"));
    EXPECT_EQ(text(result, "accountsNote"),
        "Accounts: 3 finished, 0 failed, 0 login refused, 0 not started.");
    EXPECT_EQ(text(result, "foldersNote"), "Folders: 8 copied, 2 failed, 0 not reached.");
    EXPECT_EQ(text(result, "messagesNote"),
        "Messages: 90 copied, 0 failed, 0 not reached, 7457 on the target already, 0 removed from "
        "the source.");
    // Only the section with errors shows its row.
    EXPECT_FALSE(shown(result, "accountsErrorIcon"));
    EXPECT_FALSE(shown(result, "accountsSpacing"));
    EXPECT_TRUE(shown(result, "foldersErrorIcon"));
    EXPECT_TRUE(shown(result, "foldersSpacing"));
    EXPECT_EQ(text(result, "foldersErrorText"), "2 error(s) found.");
    EXPECT_FALSE(shown(result, "messagesErrorIcon"));
    EXPECT_FALSE(shown(result, "warningLabel"));
    EXPECT_FALSE(wizard->button(QWizard::BackButton)->isVisible());
    EXPECT_TRUE(wizard->button(QWizard::FinishButton)->isVisible());

    MessageBoxAnswer any(QMessageBox::No);
    wizard->close();
    EXPECT_FALSE(wizard->isVisible()) << "the last page closes without a question";
    EXPECT_TRUE(any.texts().empty());
}

// Finished, it goes on by itself; stopped, it waits for Next, which its
// one poll must enable: the chain ends with it.
TEST_F(ProgressTest, RunThatEndsBeforeTheFirstPollStillShowsItsTotalTime)
{
    for (const bool aborted : {false, true}) {
        SCOPED_TRACE(aborted ? "stopped" : "finished");
        freshWizard();
        engine.migrator->endInsideStart = true;
        engine.migrator->abortedInsideStart = aborted;
        engine.migrator->status.finishedAccounts = 3;
        start();
        if (aborted) {
            ASSERT_TRUE(waitFor([&] {
                return !progress->actionIsRunning()
                    && wizard->button(QWizard::NextButton)->isEnabled();
            }));
            click(wizard->button(QWizard::NextButton));
        }
        ASSERT_TRUE(reachesResult());
        EXPECT_TRUE(shown(result, "totalTimeLabel"));
        EXPECT_TRUE(text(result, "totalTimeLabel").startsWith("Total time: 01:02:"));
        EXPECT_EQ(text(result, "accountsText"), "3 account(s) have been migrated.");
    }
}

// A refused start keeps its one sentence in the warning rows, and the
// result page says under it why, as the report has it, and where the report
// is: wrapped in line with the warning's text, and scrolled rather than cut
// when the engine's sentences need more room than the page has.
TEST_F(ProgressTest, FailedStartIsShownOnTheResultPageWithWhy)
{
    const std::wstring otherRun
        = L"The target server 127.0.0.5:44337 shows the preparation of a migration started on "
          L"2026-08-12 09:00:00 by process 4242 on desk7 (IP access list ZorpMigration-4242), which "
          L"is still running or ended without restoring the target; the migration did not start, "
          L"and nothing was changed.\n"
          L"The administrator's IP access list is ZorpMigration-4242, not the one it was before.\n"
          L"If that migration has ended, start a migration against this target again on desk7, as "
          L"the user who ran it: it puts back from its journal there whatever that migration "
          L"changed, and keeps what was changed since. Only if that journal is lost, put those "
          L"settings back by hand and drop the IP access list ZorpMigration-4242.\n";
    struct Case {
        const char* name;
        std::wstring why; // as the engine hands it over
        QString said; // under the warning before the report's path; empty: nothing there
    } cases[] = {
        {"no sentence from the engine", L"", ""},
        {"a refused administrator",
            L"Could not log in to the administration service on 127.0.0.5:44337: the server refused "
            L"the login of admin.\nThe target server was not changed; the migration did not start.\n",
            "Could not log in to the administration service on 127.0.0.5:44337: the server refused the "
            "login of admin.\n\nThe target server was not changed; the migration did not start."},
        {"another run holds the target", otherRun, QString::fromStdWString(otherRun).trimmed().replace("\n", "\n\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshWizard();
        // Each wizard names its own log folder, by the second it started in.
        const QString shownText = c.said.isEmpty()
            ? QString()
            : c.said + "\n\nThe report " + gui::MigThread::reportFilePath() + " says the same.";
        engine.migrator->startResult = false;
        engine.migrator->status.startTime = 0;
        engine.migrator->status.startFailure = c.why;
        start();
        ASSERT_TRUE(reachesResult());
        EXPECT_TRUE(shown(result, "warningLabel"));
        EXPECT_EQ(text(result, "warningLabel"), "The migration failed to start.");
        EXPECT_EQ(text(progress, "warningLabel"), "The migration failed to start.");
        // Nothing was counted: no time, and no "0 account(s) have been
        // migrated", though the engine's status holds figures.
        for (const char* total : {"totalTimeLabel", "accountsText", "foldersText", "messagesText"}) {
            SCOPED_TRACE(total);
            EXPECT_FALSE(child<QWidget>(result, total)->isVisibleTo(result));
        }
        EXPECT_FALSE(stopButton()->isVisible());
        EXPECT_EQ(text(result, "startFailureLabel"), shownText);
        settle(50);
        auto* why = child<QLabel>(result, "startFailureLabel");
        auto* area = child<QWidget>(result, "startFailureArea");
        auto* warning = child<QLabel>(result, "warningLabel");
        const auto at = [&](QWidget* w) { return w->mapTo(result, QPoint()); };
        // The warning, why or not, takes the totals' place at the top.
        EXPECT_LT(at(warning).y(), 2 * warning->fontMetrics().lineSpacing());
        if (shownText.isEmpty())
            continue;
        EXPECT_EQ(at(why).x(), at(warning).x()) << "in line with the warning's text";
        EXPECT_GE(at(area).y(), at(warning).y() + warning->height()) << "under the warning";
        EXPECT_LE(at(area).x() + area->width(), result->width()) << "wrapped inside the page";
        EXPECT_GE(why->height(), why->heightForWidth(why->width())) << "no line cut";
        EXPECT_GE(area->height(), 3 * why->fontMetrics().lineSpacing()) << "room for a few lines";
    }
}

TEST_F(ProgressTest, StopAnsweredNoChangesNothing)
{
    start();
    MessageBoxAnswer no(QMessageBox::No);
    click(stopButton());
    ASSERT_EQ(no.texts(), std::vector<QString>{stopQuestion});
    EXPECT_EQ(no.boxes()[0].title, "Tavir Zorp");
    EXPECT_EQ(no.boxes()[0].defaultButton, QMessageBox::No) << "Enter must not stop a migration";
    EXPECT_EQ(count("stop"), 0u);
    EXPECT_TRUE(stopButton()->isEnabled());
}

TEST_F(ProgressTest, StopThenAbortedRunWaitsForNext)
{
    start();
    {
        MessageBoxAnswer yes(QMessageBox::Yes);
        click(stopButton());
        ASSERT_EQ(yes.texts().size(), 1u);
    }
    EXPECT_EQ(count("stop"), 1u);
    EXPECT_FALSE(stopButton()->isEnabled());
    EXPECT_EQ(text(progress, "warningLabel"), "The migration is being aborted, please wait...");
    EXPECT_TRUE(shown(progress, "warningLabel"));
    {
        // A second request (through the window's close) asks the engine again.
        MessageBoxAnswer yes(QMessageBox::Yes);
        wizard->close();
        ASSERT_EQ(yes.texts(), std::vector<QString>{stopQuestion});
        EXPECT_TRUE(wizard->isVisible());
    }
    EXPECT_EQ(count("stop"), 2u);

    // While the target is put back, what the engine waits for, in the
    // words of zorp-engine-run's progress line, counting down.
    migration::MigrationStatus& status = engine.migrator->status;
    // Nothing is migrated then: it takes the table's place.
    EXPECT_FALSE(shown(progress, "puttingBackLabel"));
    status.puttingTargetBack = true;
    status.targetWaitSeconds = 35;
    const QString waiting
        = "Putting the target back: waiting for the administration service, at most %1 s more.";
    ASSERT_TRUE(waitFor([&] { return text(progress, "puttingBackLabel") == waiting.arg(35); }));
    EXPECT_TRUE(shown(progress, "puttingBackLabel"));
    EXPECT_FALSE(shown(progress, "progressTable"));
    EXPECT_FALSE(shown(progress, "nowMigratingLabel"));
    EXPECT_TRUE(shown(progress, "warningLabel"));
    settle(50);
    auto* restoring = child<QLabel>(progress, "puttingBackLabel");
    EXPECT_LE(restoring->mapTo(progress, QPoint()).x() + restoring->width(), progress->width())
        << "wrapped inside the page";
    screenshot(wizard.get(), "progress-putting-back");
    status.targetWaitSeconds = 12;
    EXPECT_TRUE(waitFor([&] { return text(progress, "puttingBackLabel") == waiting.arg(12); }));
    status.targetWaitSeconds = 0;
    EXPECT_TRUE(
        waitFor([&] { return text(progress, "puttingBackLabel") == "Putting the target back."; }));
    status.puttingTargetBack = false;

    // Bob was stopped half-way, carol and dave never begun.
    status.selectedAccounts = 4;
    status.finishedAccounts = 1;
    status.failedAccounts = 1;
    status.accountsStopped = 1;
    status.foldersNotReached = 12;
    status.messagesNotReached = 1112;
    status.notStartedFirst = {L"carol@example.com", L"dave@example.com"};
    // The engine's end, an hour and a bit after its start, whenever the
    // page looks.
    status.endTime = status.startTime + 3725;
    // Of the folders not reached, 6 whose messages were never counted.
    status.foldersNotCounted = 6;
    engine.migrator->runCallbacks->stopped(true);
    ASSERT_TRUE(waitFor([&] { return wizard->button(QWizard::NextButton)->isEnabled(); }));
    EXPECT_EQ(wizard->currentId(), MigWizard::ProgressPageId);
    EXPECT_EQ(progress->subTitle(), "The migration has been stopped. Press the Next button to show result of the "
                                    "unfinished migration.");
    EXPECT_EQ(text(progress, "warningLabel"), "The migration has been aborted.");
    EXPECT_FALSE(stopButton()->isVisible());
    EXPECT_FALSE(child<QWidget>(progress, "overallBar")->isVisible());
    // Nothing is being migrated any more; what the stop left is in view,
    // and so is the time the run took.
    EXPECT_FALSE(shown(progress, "nowMigratingLabel"));
    EXPECT_FALSE(shown(progress, "progressTable"));
    EXPECT_EQ(text(progress, "foldersNotCopied"), "(12 not reached)");
    EXPECT_EQ(text(progress, "messagesNotCopied"), "(1112 not reached)");
    // The design's count of errors, and beside it how many of them the
    // stop ended.
    EXPECT_EQ(text(progress, "accountsErrors"), "(1 error found)");
    EXPECT_EQ(text(progress, "accountsNotCopied"), "(1 stopped half-way)");
    expectRemarksInLine({"accountsErrors", "foldersNotCopied", "messagesNotCopied"});
    EXPECT_TRUE(shown(progress, "progressRightLabel"));
    EXPECT_EQ(text(progress, "progressRightLabel"), "Total time: 01:02:05");
    click(wizard->button(QWizard::NextButton));
    ASSERT_TRUE(reachesResult());
    EXPECT_EQ(text(result, "warningLabel"), "The migration has been aborted.");
    EXPECT_EQ(text(result, "totalTimeLabel"), "Total time: 01:02:05");
    EXPECT_EQ(text(result, "accountsText"), "1 account(s) have been migrated.");
    EXPECT_EQ(text(result, "accountsErrorText"), "1 error(s) found.");
    // The account stopped half-way beside the failed ones; the accounts the
    // run never took up are named, and their messages, like those of the
    // folders never opened, are in no count: said in the report's own
    // words.
    EXPECT_EQ(text(result, "accountsNote"),
        "Accounts: 1 finished, 1 failed (1 stopped half-way), 0 login refused, 2 not started.\n"
        "2 accounts not started: carol@example.com, dave@example.com.");
    EXPECT_EQ(text(result, "foldersNote"), "Folders: 0 copied, 0 failed, 12 not reached.");
    EXPECT_EQ(text(result, "messagesNote"),
        "Messages: 0 copied, 0 failed, 1112 not reached, 0 on the target already, 0 removed from "
        "the source.\nThe messages of 6 folders not reached and of 2 accounts not started were "
        "not counted.");
    settle(50);
    for (const char* note : {"accountsNote", "messagesNote"}) {
        SCOPED_TRACE(note);
        auto* label = child<QWidget>(result, note);
        EXPECT_LE(label->mapTo(result, QPoint()).x() + label->width(), result->width())
            << "wrapped inside the page";
    }
    screenshot(wizard.get(), "result-after-a-stop");
}

TEST_F(ProgressTest, AbortedRunClosesWithoutAQuestion)
{
    start();
    engine.migrator->runCallbacks->stopped(true);
    ASSERT_TRUE(waitFor([&] { return wizard->button(QWizard::NextButton)->isEnabled(); }));
    MessageBoxAnswer any(QMessageBox::No);
    wizard->close();
    EXPECT_FALSE(wizard->isVisible());
    EXPECT_TRUE(any.texts().empty());
}

TEST_F(ProgressTest, StopRefusedOrTooLateIsTold)
{
    start();
    engine.migrator->stopResult = false;
    {
        MessageBoxAnswer answer(QMessageBox::Yes);
        click(stopButton());
        EXPECT_EQ(answer.texts(), (std::vector<QString>{stopQuestion, "The migration aborting failed."}));
        EXPECT_EQ(answer.boxes().at(1).icon, QMessageBox::Information);
    }
    EXPECT_TRUE(stopButton()->isEnabled());

    // The run ends while the question is open: the question is drawn while
    // the polls go on behind it, and the wizard stays on this page, showing
    // the end, until it is answered; the totals are those of the end.
    std::vector<QString> texts;
    PaintsOfBoxes paints;
    int pageBehindTheQuestion = -1;
    QString accountsBehind, totalsTaken, subtitleBehind;
    bool stopShownBehind = true;
    bool tableShownBehind = true;
    OnModal answer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        texts.push_back(box->text());
        if (texts.size() == 1) {
            const std::size_t polls = count("getStatus");
            EXPECT_TRUE(waitFor([&] { return paints.of(box) > 0 && count("getStatus") > polls + 2; }))
                << paints.of(box) << " paints, " << count("getStatus") - polls << " polls";
            engine.migrator->status.finishedAccounts = 3;
            engine.migrator->status.endTime = engine.migrator->status.startTime + 3725;
            engine.migrator->runCallbacks->stopped(false);
            settle(1000);
            pageBehindTheQuestion = wizard->currentId();
            accountsBehind = text(progress, "accountsValue");
            totalsTaken = text(result, "accountsText");
            subtitleBehind = progress->subTitle();
            stopShownBehind = stopButton()->isVisible();
            tableShownBehind = shown(progress, "progressTable");
            screenshot(wizard.get(), "progress-ended-behind-the-stop-question");
            engine.migrator->status.finishedAccounts = 2;
        }
        click(box->button(texts.size() == 1 ? QMessageBox::Yes : QMessageBox::Ok));
    });
    click(stopButton());
    EXPECT_EQ(texts, (std::vector<QString>{stopQuestion, "The migration cannot be aborted for it has already finished."}));
    EXPECT_EQ(count("stop"), 1u);
    EXPECT_EQ(pageBehindTheQuestion, MigWizard::ProgressPageId);
    EXPECT_EQ(accountsBehind, "3/3");
    EXPECT_EQ(totalsTaken, "3 account(s) have been migrated.");
    EXPECT_EQ(subtitleBehind,
        "The migration has ended. Its result follows once the question is answered.");
    EXPECT_FALSE(stopShownBehind) << "no Stop for a run that has ended";
    EXPECT_FALSE(tableShownBehind) << "nothing is being migrated any more";
    EXPECT_TRUE(reachesResult()) << "once answered";
    EXPECT_EQ(text(result, "accountsText"), "3 account(s) have been migrated.");
    EXPECT_EQ(text(result, "totalTimeLabel"), "Total time: 01:02:05")
        << "the run's time, not the question's";
    EXPECT_EQ(text(result, "accountsNote"),
        "Accounts: 3 finished, 0 failed, 0 login refused, 0 not started.")
        << "the end's counts, not those after it";
}

TEST_F(ProgressTest, ResultLinksOfferTheFullPathWhenTheFileCannotBeShown)
{
    engine.migrator->endInsideStart = true;
    start();
    ASSERT_TRUE(reachesResult());
    const gui::MigExecuter* executer = gui::MigThread::executer();
    struct Case {
        const char* link;
        const char* viewer; // one that ends in failure, one that never starts
        QString title;
        QString text;
        QString path;
    } cases[] = {
        {"reportLink", "false", "Report", "Path to the report file:",
            QString::fromStdWString(executer->configuration.reportFile)},
        {"debugLogLink", "/nonexistent/viewer", "Debug log", "Path to the debug log file:",
            QString::fromStdWString(executer->configuration.debugFile)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        gui::MigThread::setViewer(c.viewer);
        QString title, selected;
        QStringList labels;
        OnModal dialog([&](QWidget* modal) {
            title = modal->windowTitle();
            for (QLabel* label : modal->findChildren<QLabel*>())
                labels << label->text();
            selected = modal->findChild<QLineEdit*>()->selectedText();
            for (QPushButton* button : modal->findChildren<QPushButton*>()) {
                if (button->text() == "Close")
                    click(button);
            }
        });
        clickLink(child<QLabel>(result, c.link));
        // The viewer's failure arrives when it ends, after the click.
        EXPECT_TRUE(waitFor([&] { return dialog.seen() == 1; }));
        settle(50);
        EXPECT_EQ(dialog.seen(), 1);
        EXPECT_EQ(title, c.title);
        EXPECT_TRUE(labels.contains(c.text));
        EXPECT_EQ(selected, c.path);
        EXPECT_FALSE(c.path.isEmpty());
    }
    gui::MigThread::setViewer("true");
    OnModal none([](QWidget*) {});
    clickLink(child<QLabel>(result, "reportLink"));
    settle(200);
    EXPECT_EQ(none.seen(), 0);
}

TEST_F(ProgressTest, AViewerNotEndedYetIsNotStartedAgain)
{
    engine.migrator->endInsideStart = true;
    start();
    ASSERT_TRUE(reachesResult());
    // A viewer that hangs until the test lets it end, then fails.
    TempDir dir;
    const std::string viewer = dir.file("viewer.sh");
    writeFile(viewer, "#!/bin/sh\necho started >> " + dir.file("starts") + "\nwhile [ ! -e " + dir.file("go") +
                          " ]; do sleep 0.05; done\nexit 1\n");
    ASSERT_EQ(runShell("chmod +x " + viewer), 0);
    writeFile(dir.file("starts"), "");
    gui::MigThread::setViewer(QString::fromStdString(viewer));
    auto* link = child<QLabel>(result, "reportLink");
    const QString anchor = link->text();
    OnModal dialog([](QWidget* modal) { modal->close(); });
    clickLink(link);
    ASSERT_TRUE(waitFor([&] { return readFile(dir.file("starts")) == "started\n"; }));
    EXPECT_EQ(link->text(), anchor + " (waiting for the viewer...)");
    // A second click, and Enter on the link: nothing more starts.
    clickLink(link);
    link->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), link);
    QTest::keyClick(link, Qt::Key_Return);
    settle(300);
    EXPECT_EQ(readFile(dir.file("starts")), "started\n");
    EXPECT_EQ(dialog.seen(), 0);
    writeFile(dir.file("go"), "");
    EXPECT_TRUE(waitFor([&] { return dialog.seen() == 1; })) << "its failure offers the path once";
    EXPECT_EQ(link->text(), anchor);
    // Ended: the link starts a viewer again, here by the keyboard.
    wizard->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(wizard.get()));
    link->setFocus(Qt::TabFocusReason);
    QTest::keyClick(link, Qt::Key_Return);
    EXPECT_TRUE(waitFor([&] { return dialog.seen() == 2; }));
    EXPECT_EQ(readFile(dir.file("starts")), "started\nstarted\n");
    gui::MigThread::setViewer("false");
}

TEST(ProgressTexts, TotalTime)
{
    struct Case {
        std::int32_t elapsed;
        const char* text;
    } cases[] = {
        {0, "Total time: 00:00:00"},
        {59, "Total time: 00:00:59"},
        {3725, "Total time: 01:02:05"},
        {86400, "Total time: 24:00:00"},
        {360000, "Total time: 100:00:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.elapsed);
        EXPECT_EQ(MigProgressPage::totalTimeText(c.elapsed), c.text);
        // A run that ended took the time from the engine's start to its end.
        migration::MigrationStatus status;
        status.startTime = 1700000000;
        status.endTime = status.startTime + c.elapsed;
        EXPECT_EQ(MigProgressPage::totalTime(status), c.text);
    }
    migration::MigrationStatus status;
    EXPECT_EQ(MigProgressPage::totalTime(status), "") << "not started";
    status.startTime = QDateTime::currentSecsSinceEpoch() - 3725;
    EXPECT_TRUE(MigProgressPage::totalTime(status).startsWith("Total time: 01:02:0"))
        << "going on: until now";
    status.endTime = status.startTime - 5;
    EXPECT_EQ(MigProgressPage::totalTime(status), "Total time: 00:00:00") << "a clock set back";
}

TEST(ProgressTexts, ErrorCounts)
{
    EXPECT_EQ(MigProgressPage::errorCountText(0), "");
    EXPECT_EQ(MigProgressPage::errorCountText(1), "(1 error found)");
    EXPECT_EQ(MigProgressPage::errorCountText(7), "(7 errors found)");
}

TEST(ProgressTexts, PercentOfAFolder)
{
    struct Case {
        int done, total, percent;
    } cases[] = {{0, 0, 0}, {5, 0, 0}, {45, 120, 37}, {1, 3, 33}, {2, 3, 66}, {3, 3, 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.done << "/" << c.total);
        EXPECT_EQ(gui::progressPercent(c.done, c.total), c.percent);
    }
}

TEST(ProgressTexts, PaddingReachesTheWidthAndStops)
{
    guiApplication();
    for (const char* family : {"DejaVu Sans", "DejaVu Sans Mono"}) {
        for (int size : {1, 9, 24}) {
            QFont font(family);
            font.setPixelSize(size);
            const QFontMetrics metrics(font);
            for (int width : {-5, 0, 1, 40, 333, 20000}) {
                SCOPED_TRACE(testing::Message() << family << " " << size << "px, width " << width);
                const QString text = "45/120";
                const QString padded = gui::padToWidth(text, width, metrics);
                EXPECT_TRUE(padded.startsWith(text));
                if (padded.size() > text.size()) {
                    EXPECT_GE(metrics.horizontalAdvance(padded), width);
                    EXPECT_LT(metrics.horizontalAdvance(padded.chopped(1)), width) << "one blank too many";
                } else {
                    // Already wide enough, or blanks too thin to show.
                    EXPECT_TRUE(metrics.horizontalAdvance(text) >= width ||
                        metrics.horizontalAdvance(text + QString(64, ' ')) == metrics.horizontalAdvance(text));
                }
            }
        }
    }
}

} // namespace
} // namespace tavir::test
