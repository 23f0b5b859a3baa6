// The account list page base and its credential test.
#include "Common/Gui/MigOptionPage.h"

#include "Common/Gui/MigThread.h"
#include "Common/Gui/MigWizard.h"
#include "Common/Gui/OptionPageItem.h"
#include "Common/Tools/RunSummary.h"
#include "Common/Tools/UserInfo.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QStringList>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace tavir::gui {

using tiny::KMutexLocker;

namespace {

enum Action : unsigned { HandOverAction = 0, LoadAction, FetchAction, FillAndTestAction };

constexpr int FirstPollMs = 10;
constexpr int PollMs = 250;
constexpr int MaxNameColumnWidth = 190;
// What a row shows before its first status.
constexpr auto NotShown = static_cast<migration::TestStatus>(-1);

QIcon fullColourIcon(const QString& file)
{
    const QPixmap pixmap(file);
    QIcon icon;
    icon.addPixmap(pixmap, QIcon::Normal);
    icon.addPixmap(pixmap, QIcon::Disabled);
    return icon;
}

// A note above the list: the warning icon and a text that wraps and can be
// selected (a report's path, a server's answer).
QHBoxLayout* noteRow(QLabel* icon, QLabel* note)
{
    note->setWordWrap(true);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(note, 1);
    return row;
}

// Shows the note with `text`, or hides it for an empty one.
void showNote(QLabel* icon, QLabel* note, const QString& text)
{
    note->setText(text);
    icon->setVisible(!text.isEmpty());
    note->setVisible(!text.isEmpty());
}

// An account the test could not judge because the source could not be
// tested: the source's sentence is its own, or the test never tried it.
bool leftUntestedBySource(migration::TestStatus status, const migration::LoginTestSentences& found,
    const std::wstring& source)
{
    return !source.empty() && status != migration::TestLoginAccepted && found.notNow.empty()
        && (found.refusal == source || status == migration::TestNotTested);
}

// An entry that can't be migrated: unchecked and greyed out, its status
// image in full colour.
void greyOut(QTreeWidgetItem* item, const QString& image)
{
    item->setIcon(StatusColumn, fullColourIcon(image));
    item->setText(StatusColumn, QString());
    item->setCheckState(AccountColumn, Qt::Unchecked);
    item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
}

} // namespace

MigOptionPage::MigOptionPage(int nextId, const QString& sourceName_)
    : MigPage(nextId, true)
    , listLayout(new QVBoxLayout)
    , accountList(new QTreeWidget(this))
    , selectAllButton(new QPushButton(tr("Select All")))
    , deselectAllButton(new QPushButton(tr("Deselect All")))
    , abortButton(new QPushButton(tr("Abort...")))
    , skippedIcon(iconLabel(":/images/circlewarning.png"))
    , skippedNote(new QLabel)
    , sourceIcon(iconLabel(":/images/circlewarning.png"))
    , sourceNote(new QLabel)
    , notNowIcon(iconLabel(":/images/circlewarning.png"))
    , notNowNote(new QLabel)
    , sourceName(sourceName_)
{
    accountList->setObjectName("accountList");
    selectAllButton->setObjectName("selectAllButton");
    deselectAllButton->setObjectName("deselectAllButton");
    abortButton->setObjectName("abortButton");
    skippedIcon->setObjectName("skippedIcon");
    skippedNote->setObjectName("skippedNote");
    sourceIcon->setObjectName("sourceIcon");
    sourceNote->setObjectName("sourceNote");
    notNowIcon->setObjectName("notNowIcon");
    notNowNote->setObjectName("notNowNote");
    accountList->setColumnCount(4);
    accountList->setAllColumnsShowFocus(true);
    accountList->setRootIsDecorated(false);
    accountList->setHeaderLabels(
        {tr("Account"), tr("Email address"), tr("Account status"), tr("Index")});
    accountList->setColumnHidden(StatusColumn, true);
    accountList->setColumnHidden(IndexColumn, true);
    abortButton->hide();

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(selectAllButton);
    buttons->addWidget(deselectAllButton);
    buttons->addItem(new QSpacerItem(10, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    buttons->addWidget(abortButton);
    listLayout->addLayout(noteRow(skippedIcon, skippedNote));
    listLayout->addLayout(noteRow(sourceIcon, sourceNote));
    listLayout->addLayout(noteRow(notNowIcon, notNowNote));
    showSkippedLines(0);
    showSourceUntestable(QString(), 0);
    showNotNow({});
    listLayout->addWidget(accountList);
    listLayout->addLayout(buttons);

    setWarningText(tr("Reading of users from %1 failed.").arg(sourceName));
    connect(selectAllButton, &QPushButton::clicked, this, &MigOptionPage::slotSelectAll);
    connect(deselectAllButton, &QPushButton::clicked, this, &MigOptionPage::slotClearSelection);
    connect(abortButton, &QPushButton::clicked, this, &MigOptionPage::slotStopTesting);
    connect(accountList, &QTreeWidget::itemChanged, this, &MigOptionPage::slotItemChanged);
}

MigOptionPage::~MigOptionPage() = default;

void MigOptionPage::setTabOrderAfter(QWidget* previous)
{
    for (QWidget* next : std::initializer_list<QWidget*>{
             accountList, selectAllButton, deselectAllButton, abortButton}) {
        setTabOrder(previous, next);
        previous = next;
    }
}

unsigned MigOptionPage::testStateValue() const
{
    KMutexLocker lock(stateMutex);
    return testState;
}

void MigOptionPage::setTestUsersCall(bool test)
{
    KMutexLocker lock(stateMutex);
    accountList->setColumnHidden(StatusColumn, !test);
    testState = test ? TestRequested : TestNotRequested;
}

// The engine's tester thread calls these three, one at a time.
void MigOptionPage::started()
{
    KMutexLocker lock(stateMutex);
    if (testState != TestNotRequested)
        testState = TestRunning;
}

void MigOptionPage::statusChanged()
{
    KMutexLocker lock(stateMutex);
    if (testState == TestRunning)
        testState = TestStatusChanged;
}

void MigOptionPage::stopped(bool aborted)
{
    KMutexLocker lock(stateMutex);
    if (testState != TestNotRequested)
        testState = aborted ? TestAborted : TestFinished;
}

bool MigOptionPage::startAction(unsigned int n)
{
    switch (n) {
    case HandOverAction:
        setProgressText(tr("Initializing..."));
        migrator()->initConfiguration();
        return true;
    case LoadAction:
        setProgressText(tr("Reading users from %1...").arg(sourceName));
        migrator()->loadUsers(accountsFilePath);
        return true;
    case FetchAction:
        migrator()->getUsers();
        return true;
    case FillAndTestAction: {
        KMutexLocker lock(stateMutex);
        if (testState == TestStopRequested) {
            // Stopped while the accounts were loading: no test was started,
            // so the engine has nothing to stop; end as an aborted test.
            testState = TestAborted;
            QTimer::singleShot(FirstPollMs, this, &MigOptionPage::slotTimer);
            return true;
        }
        init();
        if (testState != TestRequested)
            return false;
        startTest();
        return true;
    }
    default: {
        KMutexLocker lock(stateMutex);
        return testState != TestAborted && testState != TestFinished;
    }
    }
}

bool MigOptionPage::getActionResult(unsigned int n)
{
    switch (n) {
    case HandOverAction:
    case LoadAction:
        if (migrator()->getResult() == 0) {
            readFailure();
            return false;
        }
        if (n == LoadAction) {
            setButtonText(QWizard::NextButton, tr("Migrate"));
            showSkippedLines(migrator()->skippedAccountLines());
        }
        return true;
    case FetchAction:
        users = reinterpret_cast<std::vector<migration::UserInfoData>*>(migrator()->getResult());
        if (!users) {
            readFailure();
            return false;
        }
        createStatusVector();
        return true;
    default:
        return true;
    }
}

void MigOptionPage::showSkippedLines(unsigned count)
{
    if (count == 0) {
        showNote(skippedIcon, skippedNote, QString());
        return;
    }
    // The lines' texts hold passwords: the page gives the count, the report
    // names each line with its reason.
    const QString report = MigThread::reportFilePath();
    showNote(skippedIcon, skippedNote,
        count == 1 ? tr("1 line of %1 was skipped; the report %2 says why.").arg(sourceName, report)
                   : tr("%1 lines of %2 were skipped; the report %3 says why.")
                         .arg(QString::number(count), sourceName, report));
}

void MigOptionPage::showSourceUntestable(const QString& sentence, int untested)
{
    if (sentence.isEmpty()) {
        showNote(sourceIcon, sourceNote, QString());
        return;
    }
    // The page can't go back to the source page: another source means a
    // new start of the wizard, the same one a new load.
    QStringList then;
    if (untested == 1)
        then << tr("1 account was not tested and can't be migrated.");
    else if (untested > 1)
        then << tr("%1 accounts were not tested and can't be migrated.").arg(untested);
    then << tr("Load... tests again once the source server can be tested; its name, port and SSL "
               "are changed by starting the wizard again.");
    showNote(sourceIcon, sourceNote, sentence + '\n' + then.join(' '));
}

void MigOptionPage::showNotNow(const QStringList& sentences)
{
    if (sentences.isEmpty()) {
        showNote(notNowIcon, notNowNote, QString());
        return;
    }
    // Each sentence names its account and says what the server answered,
    // an ALERT of its as written; a long list is cut, the tooltips and the
    // report have every one.
    const auto named = static_cast<int>(migration::namedAtMost);
    QStringList lines = sentences.mid(0, named);
    if (sentences.size() > named)
        lines << tr("The same for %1 more accounts.").arg(sentences.size() - named);
    lines << (sentences.size() == 1
            ? tr("It was not tested and can't be migrated now; Load... tests it again.")
            : tr("These %1 accounts were not tested and can't be migrated now; Load... tests them "
                 "again.")
                  .arg(sentences.size()));
    showNote(notNowIcon, notNowNote, lines.join('\n'));
}

void MigOptionPage::readFailure()
{
    showSkippedLines(0);
    const QString text = tr("Reading of users from %1 failed.").arg(sourceName);
    setWarningText(text);
    setResultErrorText(text);
    readFailed = true;
    KMutexLocker lock(stateMutex);
    // A stop asked for during the load ends here; the next load may start.
    if (testState == TestStopRequested)
        testState = TestAborted;
}

void MigOptionPage::startTest()
{
    setProgressText(tr("Testing accounts against source IMAP server..."));
    abortButton->show();
    abortButton->setEnabled(true);
    testState = TestRunning;
    if (!migrator()->startUserTest(this, *testStatuses)) {
        // No tester thread will ever report: end as an aborted test at the
        // first poll instead of waiting for ever.
        testState = TestAborted;
        setWarningText(tr("The test of the accounts could not be started."));
        setWarningVisible(true);
    }
    QTimer::singleShot(FirstPollMs, this, &MigOptionPage::slotTimer);
}

void MigOptionPage::rearm()
{
    QTimer::singleShot(PollMs, this, &MigOptionPage::slotTimer);
}

void MigOptionPage::slotTimer()
{
    KMutexLocker lock(stateMutex);
    switch (testState) {
    case TestRunning:
    case TestStopRequested:
    case TestStatusChanged:
        // The tester marks an account in test without a callback: every
        // poll looks, so the first row shows it as well as the next ones.
        updateTestColumn();
        if (testState == TestStatusChanged)
            testState = TestRunning;
        rearm();
        break;
    case TestAborted:
        clearListUsers();
        deleteStatusVector();
        abortButton->hide();
        break;
    case TestFinished:
        updateTestColumn();
        showWhyTestsFailed();
        deleteStatusVector();
        abortButton->hide();
        accountList->sortItems(IndexColumn, Qt::AscendingOrder);
        accountList->setSortingEnabled(true);
        break;
    default:
        break;
    }
    slotActionFinished();
}

void MigOptionPage::init()
{
    if (!users)
        return;
    QList<QTreeWidgetItem*> items;
    for (std::size_t i = 0; i < users->size(); ++i) {
        const migration::UserInfoData& user = (*users)[i];
        const bool publicFolders = user.mailbox == migration::publicFoldersMailbox;
        const QString domain = QString::fromStdWString(user.domain);
        auto* item = new OptionPageItem;
        item->setText(AccountColumn, QString::fromStdWString(user.fullName));
        item->setIcon(
            AccountColumn, QIcon(publicFolders ? ":/images/folder.png" : ":/images/user.png"));
        item->setText(AddressColumn,
            publicFolders ? domain : QString::fromStdWString(user.mailbox) + "@" + domain);
        item->setText(IndexColumn, QString::number(i));
        item->setCheckState(AccountColumn, user.migrate ? Qt::Checked : Qt::Unchecked);
        item->setData(AccountColumn, EngineIndexRole, static_cast<unsigned>(user.index));
        item->setData(AccountColumn, PublicFoldersRole, publicFolders ? 1u : 0u);
        item->setData(AccountColumn, ListPositionRole, static_cast<unsigned>(i));
        item->setFlags(item->flags() & ~Qt::ItemIsSelectable);
        items.append(item);
    }
    accountList->addTopLevelItems(items);
    updateTestColumn();
    for (int column : {AccountColumn, AddressColumn, StatusColumn})
        accountList->resizeColumnToContents(column);
    for (int column : {AccountColumn, AddressColumn}) {
        if (accountList->columnWidth(column) > MaxNameColumnWidth)
            accountList->setColumnWidth(column, MaxNameColumnWidth);
    }
    // The user may check entries while the test runs; the buttons wait.
    accountList->setEnabled(true);
}

void MigOptionPage::updateTestColumn()
{
    if (!users || !testStatuses)
        return;
    const std::size_t rows = std::min<std::size_t>(
        static_cast<std::size_t>(accountList->topLevelItemCount()), testStatuses->size());
    shownStatuses.resize(rows, NotShown);
    for (std::size_t row = 0; row < rows; ++row) {
        const migration::TestStatus status = migration::readTestStatus((*testStatuses)[row]);
        if (status == shownStatuses[row])
            continue;
        shownStatuses[row] = status;
        showTestStatus(accountList->topLevelItem(static_cast<int>(row)), status);
    }
}

void MigOptionPage::showTestStatus(QTreeWidgetItem* item, migration::TestStatus status)
{
    switch (status) {
    case migration::TestNotTested:
        item->setIcon(StatusColumn, QIcon(":/images/nottested.png"));
        item->setText(StatusColumn, QString());
        break;
    case migration::TestTesting:
        item->setText(StatusColumn, tr("Testing..."));
        accountList->scrollToItem(item);
        break;
    case migration::TestLoginAccepted:
        item->setIcon(StatusColumn, QIcon(":/images/ok.png"));
        item->setText(StatusColumn, QString());
        item->setFlags(item->flags() | Qt::ItemIsEnabled);
        break;
    case migration::TestLoginRefused:
        greyOut(item, ":/images/fail.png");
        break;
    }
}

void MigOptionPage::showWhyTestsFailed()
{
    // Why each was not accepted: a refused login; a login the source could
    // not take now (an account's own limit, a server unavailable); or a
    // source that could not be tested at all (no connection, no greeting,
    // TLS, at its limit). The last two say nothing of a password. Rows are
    // still in list order here.
    if (!testStatuses)
        return;
    const std::vector<migration::LoginTestSentences> found = migrator()->loginTestSentences();
    migration::MigrationStatus status;
    migrator()->getStatus(status);
    const std::wstring& source = status.sourceUntestable;
    const int rows
        = std::min<int>(accountList->topLevelItemCount(), static_cast<int>(testStatuses->size()));
    int untested = 0;
    QStringList notNow;
    for (int row = 0; row < rows; ++row) {
        const migration::LoginTestSentences why = static_cast<std::size_t>(row) < found.size()
            ? found[static_cast<std::size_t>(row)]
            : migration::LoginTestSentences();
        QTreeWidgetItem* item = accountList->topLevelItem(row);
        const bool untestable
            = leftUntestedBySource(migration::readTestStatus((*testStatuses)[row]), why, source);
        // Not tested, so not to be migrated: a run would meet the same
        // source, or the same answer.
        if (untestable || !why.notNow.empty())
            greyOut(item, ":/images/nottested.png");
        untested += untestable ? 1 : 0;
        if (!why.notNow.empty())
            notNow << QString::fromStdWString(why.notNow);
        const QString tip = QString::fromStdWString(untestable ? source
                : why.notNow.empty()                           ? why.refusal
                                                               : why.notNow);
        for (int column : {AccountColumn, AddressColumn, StatusColumn})
            item->setToolTip(column, tip);
    }
    showSourceUntestable(QString::fromStdWString(source), untested);
    showNotNow(notNow);
}

void MigOptionPage::slotStopTesting()
{
    const auto answer = QMessageBox::question(wizard(), getWizardName(),
        tr("Do you really want to stop the testing of accounts? If you abort the testing process, "
           "it will not be "
           "possible to start the migration."),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    unsigned state = testStateValue();
    if (state == TestFinished) {
        QMessageBox::information(wizard(), getWizardName(),
            tr("Unable to abort the test because it has already been completed."), QMessageBox::Ok);
        return;
    }
    // Before the test has started (the accounts still load) there is no
    // tester to stop: the request is kept and the test is never started.
    const bool accepted = state == TestRequested || migrator()->stopUserTest();
    if (!accepted) {
        QMessageBox::information(
            wizard(), getWizardName(), tr("Aborting of the test failed."), QMessageBox::Ok);
        return;
    }
    setProgressText(tr("The test is being aborted, please wait..."));
    abortButton->setEnabled(false);
    KMutexLocker lock(stateMutex);
    if (testState != TestAborted && testState != TestFinished)
        testState = TestStopRequested;
}

void MigOptionPage::slotSelectAll()
{
    for (int row = 0; row < accountList->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = accountList->topLevelItem(row);
        if (item->checkState(AccountColumn) == Qt::Unchecked
            && item->flags().testFlag(Qt::ItemIsEnabled))
            item->setCheckState(AccountColumn, Qt::Checked);
    }
}

void MigOptionPage::slotClearSelection()
{
    for (int row = 0; row < accountList->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = accountList->topLevelItem(row);
        if (item->checkState(AccountColumn) == Qt::Checked)
            item->setCheckState(AccountColumn, Qt::Unchecked);
    }
}

void MigOptionPage::slotItemChanged(QTreeWidgetItem*, int column)
{
    if (column == AccountColumn)
        emit completeChanged();
}

bool MigOptionPage::isCheckedAtLeastOneUser() const
{
    for (int row = 0; row < accountList->topLevelItemCount(); ++row) {
        if (accountList->topLevelItem(row)->checkState(AccountColumn) == Qt::Checked)
            return true;
    }
    return false;
}

void MigOptionPage::setControlsEnabled(bool enable)
{
    KMutexLocker lock(stateMutex);
    // After an aborted test only a new load brings the list back.
    if (testState == TestAborted)
        enable = false;
    for (QWidget* widget : {static_cast<QWidget*>(accountList),
             static_cast<QWidget*>(selectAllButton), static_cast<QWidget*>(deselectAllButton)})
        widget->setEnabled(enable);
}

bool MigOptionPage::isComplete() const
{
    KMutexLocker lock(stateMutex);
    return testState == TestFinished && isCheckedAtLeastOneUser();
}

int MigOptionPage::nextId() const
{
    return readFailed ? MigWizard::ResultPageId : MigPage::nextId();
}

bool MigOptionPage::validatePage()
{
    if (!MigPage::validatePage())
        return false;
    if (readFailed)
        return true;
    if (!users)
        return false;
    for (int row = 0; row < accountList->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = accountList->topLevelItem(row);
        if (item->checkState(AccountColumn) == Qt::Unchecked)
            migrator()->setMigrate(item->data(AccountColumn, EngineIndexRole).toUInt(), false);
    }
    return true;
}

void MigOptionPage::restartAction()
{
    KMutexLocker lock(stateMutex);
    if (testState != TestRequested && testState != TestAborted && testState != TestFinished)
        return;
    setWarningVisible(false);
    if (readFailed) {
        readFailed = false;
        setResultErrorText(QString());
    }
    accountList->setSortingEnabled(false);
    clearListUsers();
    showSkippedLines(0);
    showSourceUntestable(QString(), 0);
    showNotNow({});
    testState = TestRequested;
    // From the load on when the configuration was handed over before.
    startActionManual(LoadAction);
}

void MigOptionPage::createStatusVector()
{
    testStatuses = std::make_unique<std::vector<migration::TestStatus>>(
        users->size(), migration::TestNotTested);
}

void MigOptionPage::deleteStatusVector()
{
    testStatuses.reset();
}

void MigOptionPage::clearListUsers()
{
    accountList->clear();
    shownStatuses.clear();
}

} // namespace tavir::gui
