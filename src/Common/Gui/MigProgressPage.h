#pragma once
// The progress page: starts the migration when entered, shows its progress
// by polling the engine's status, offers Stop, and fills the result page.
// The engine's callbacks only set the state word.
#include "Common/Gui/MigPage.h"
#include "Imap/engine/IMigrator.h"

#include <atomic>
#include <cstdint>

class QGridLayout;
class QLabel;
class QProgressBar;
class QTreeWidget;

namespace tavir::gui {

class MigResultPage;
class ProgressDelegateItem;

class MigProgressPage : public MigPage, public migration::ICallbacks {
    Q_OBJECT

public:
    enum State { NotStarted = 0, Running, Aborted, Finished };

    explicit MigProgressPage(int nextId);

    void initializePage() override;
    bool isComplete() const override;

    void started() override;
    void statusChanged() override;
    void stopped(bool aborted) override;

    int stateValue() const { return state.load(); }

    // The engine's sentences on why the start failed (`why`, one a line, as
    // the report has them), then where the report is; empty when the engine
    // gave none.
    static QString startFailureText(const QString& why, const QString& report);
    // "Total time: h:mm:ss" for an elapsed count of seconds.
    static QString totalTimeText(std::int32_t elapsed);
    // The total time of the run `status` tells of, from the engine's start
    // to its end (or to now while it goes on), as the report counts it;
    // empty before the run started.
    static QString totalTime(const migration::MigrationStatus& status);
    // While the target is put back, what the engine waits for, in the words
    // of zorp-engine-run's progress line as a sentence: "Putting the target
    // back: waiting for the administration service, at most 35 s more.";
    // empty otherwise.
    static QString puttingBackText(const migration::MigrationStatus& status);
    // "" for none, "(1 error found)", "(n errors found)".
    static QString errorCountText(unsigned count);
    // The result page's notes: above its sections, what the report says of
    // the whole run (a source that can't be tested, the source's limit);
    // under its accounts, folders and messages, the report's summary lines,
    // in its words (RunSummary.h), so that the page and the report read
    // alike: each kind in its counts, the accounts not started named and
    // those of them made on the target ahead, and whose messages were not
    // counted. One sentence a line.
    struct ResultNotes {
        QString run;
        QString accounts;
        QString folders;
        QString messages;
    };
    static ResultNotes resultNotes(const migration::MigrationStatus& status);

public slots:
    void slotStop() override;

protected:
    bool startAction(unsigned int n) override;
    bool getActionResult(unsigned int n) override;
    void slotTimer() override;

private:
    struct Counter {
        QLabel* value;
        QLabel* errors;
        QLabel* notCopied;
    };

    Counter addCounter(QGridLayout* grid, const QString& name, const QString& caption);
    void setStatus();
    // A counter row's errors or what it did not copy: shown only when there
    // is something to say.
    static void setRemark(QLabel* label, const QString& text);
    // The wizard's page after this one, when it is the result page.
    MigResultPage* resultPage() const;
    void setResultPage();
    // Moves on to the result page once no box of the Stop request is open.
    void goToResultPage();
    void setStopButtonVisible(bool visible);

    std::atomic<int> state{NotStarted};
    bool startedOk = false;
    // A box of the Stop request is open: its question, or the answer that
    // follows. A run that ends meanwhile goes on to the result page only
    // once the box is closed.
    bool stopBoxOpen = false;

    QLabel* nowMigratingLabel;
    QLabel* startLabel;
    QTreeWidget* table;
    QLabel* puttingBackLabel;
    ProgressDelegateItem* delegate;
    Counter folders;
    Counter messages;
    Counter accounts;
    QProgressBar* overallBar;
};

} // namespace tavir::gui
