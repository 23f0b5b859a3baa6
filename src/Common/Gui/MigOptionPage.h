#pragma once
// The account list page base: the accounts read from a file as a check
// list, the credential test of every account while the list is shown, and
// the accounts left unchecked told to the engine when the page is left.
// The engine's tester thread reports through the callbacks, which only set
// testState; the page polls the status vector it handed to the engine, and
// shows each row's status as it changes, the account in test among them.
#include "Common/Gui/MigPage.h"
#include "Imap/engine/IMigrator.h"
#include "tiny/KMutex.h"

#include <memory>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

namespace tavir::gui {

class MigOptionPage : public MigPage, public migration::ICallbacks {
    Q_OBJECT

public:
    enum TestState : unsigned {
        TestNotRequested = 0,
        TestRequested,
        TestRunning,
        TestStatusChanged,
        TestStopRequested,
        TestAborted,
        TestFinished,
    };

    MigOptionPage(int nextId, const QString& sourceName);
    ~MigOptionPage() override;

    bool validatePage() override;
    bool isComplete() const override;
    int nextId() const override;

    void started() override;
    void statusChanged() override;
    void stopped(bool aborted) override;

    unsigned testStateValue() const;
    void setTestUsersCall(bool test);

public slots:
    void slotStopTesting();

protected:
    bool startAction(unsigned int n) override;
    bool getActionResult(unsigned int n) override;
    void setControlsEnabled(bool enable) override;
    void slotTimer() override;

    void restartAction();

    QVBoxLayout* listLayout;
    // Puts the list and its buttons after `previous` in the Tab order, in
    // the order they are shown.
    void setTabOrderAfter(QWidget* previous);
    QString accountsFilePath;

private slots:
    void slotSelectAll();
    void slotClearSelection();
    void slotItemChanged(QTreeWidgetItem* item, int column);

private:
    void init();
    // Shows the rows whose status changed since they were last shown.
    void updateTestColumn();
    void showTestStatus(QTreeWidgetItem* item, migration::TestStatus status);
    // Once the test has ended: each entry not accepted has the report's
    // sentence on why as its tooltip; the accounts left untested, because
    // the source could not be tested or could not take their logins now,
    // are not shown as refused, and the notes above the list say why.
    void showWhyTestsFailed();
    void startTest();
    void readFailure();
    // Says above the list how many lines of the file were skipped and
    // where to read why; hidden for none.
    void showSkippedLines(unsigned count);
    // Says above the list why the source could not be tested and what
    // then; hidden for an empty sentence.
    void showSourceUntestable(const QString& sentence, int untested);
    // Says above the list why the source could not take these accounts'
    // logins now, in the report's sentences, and what then; hidden for
    // none.
    void showNotNow(const QStringList& sentences);
    bool isCheckedAtLeastOneUser() const;
    void createStatusVector();
    void deleteStatusVector();
    void clearListUsers();
    void rearm();

    QTreeWidget* accountList;
    QPushButton* selectAllButton;
    QPushButton* deselectAllButton;
    QPushButton* abortButton;
    QLabel* skippedIcon;
    QLabel* skippedNote;
    QLabel* sourceIcon;
    QLabel* sourceNote;
    QLabel* notNowIcon;
    QLabel* notNowNote;
    bool readFailed = false;
    unsigned testState = TestNotRequested;
    QString sourceName;
    std::vector<migration::UserInfoData>* users = nullptr;
    std::unique_ptr<std::vector<migration::TestStatus>> testStatuses;
    // What each row of the list shows, in list order, while the test runs.
    std::vector<migration::TestStatus> shownStatuses;
    mutable tiny::KMutex stateMutex;
};

} // namespace tavir::gui
