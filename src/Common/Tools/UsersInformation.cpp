// The account list under its lock.
#include "Common/Tools/UsersInformation.h"

#include "Common/Tools/RunSummary.h"

#include <algorithm>

namespace tavir::migration {

using tiny::KMutexLocker;

UsersInformation::UsersInformation(std::vector<UserInfo> users)
    : users_(std::move(users))
{
}

std::size_t UsersInformation::size() const
{
    KMutexLocker lock(mutex_);
    return users_.size();
}

bool UsersInformation::get(std::size_t index, UserInfo& out) const
{
    KMutexLocker lock(mutex_);
    if (index >= users_.size())
        return false;
    out = users_[index];
    return true;
}

void UsersInformation::copyTo(std::vector<UserInfoData>& out) const
{
    KMutexLocker lock(mutex_);
    out.clear();
    out.reserve(users_.size());
    for (std::size_t i = 0; i < users_.size(); ++i) {
        const UserInfo& user = users_[i];
        UserInfoData data;
        data.index = static_cast<std::uint32_t>(i);
        data.mailbox = user.publicFolders ? publicFoldersMailbox : user.mailbox;
        data.domain = user.domain;
        data.smtpAddress = user.address();
        data.fullName = user.fullName;
        data.password = user.password;
        data.migrate = user.migrate;
        data.started = user.state >= UserInProgress;
        data.failure = user.progress.failure;
        data.loginRefusal = user.testRefusal;
        data.loginNotNow = user.testNotNow;
        out.push_back(std::move(data));
    }
}

void UsersInformation::setMigrate(std::size_t index, bool migrate)
{
    KMutexLocker lock(mutex_);
    if (index >= users_.size())
        return;
    UserInfo& user = users_[index];
    user.migrate = migrate;
    if (user.state < UserInProgress)
        user.state = migrate ? UserToMigrate : UserNotSelected;
    rewindTo(index);
}

void UsersInformation::setPassword(std::size_t index, const std::wstring& password)
{
    KMutexLocker lock(mutex_);
    if (index >= users_.size())
        return;
    users_[index].password = password;
    users_[index].testStatus = TestNotTested;
    users_[index].testRefusal.clear();
    users_[index].testNotNow.clear();
    rewindTo(index);
}

void UsersInformation::setTestStatus(std::size_t index, TestStatus status)
{
    KMutexLocker lock(mutex_);
    if (index >= users_.size())
        return;
    users_[index].testStatus = status;
    rewindTo(index);
}

void UsersInformation::setTestSentences(std::size_t index, const LoginTestSentences& sentences)
{
    KMutexLocker lock(mutex_);
    if (index >= users_.size())
        return;
    users_[index].testRefusal = sentences.refusal;
    users_[index].testNotNow = sentences.notNow;
}

void UsersInformation::setAlreadyExists(std::size_t index, bool exists)
{
    KMutexLocker lock(mutex_);
    if (index < users_.size())
        users_[index].alreadyExists = exists;
}

void UsersInformation::setFailure(std::size_t index, const std::wstring& failure)
{
    KMutexLocker lock(mutex_);
    if (index < users_.size())
        users_[index].progress.failure = failure;
}

void UsersInformation::setStopped(std::size_t index, const std::wstring& sentence)
{
    KMutexLocker lock(mutex_);
    if (index >= users_.size())
        return;
    users_[index].progress.failure = sentence;
    users_[index].progress.stopped = true;
}

bool UsersInformation::changeState(std::size_t index, UserState to)
{
    KMutexLocker lock(mutex_);
    if (index >= users_.size() || !isAllowedStateChange(users_[index].state, to))
        return false;
    users_[index].state = to;
    rewindTo(index);
    return true;
}

void UsersInformation::updateProgress(
    std::size_t index, const std::function<void(UserProgress&)>& update)
{
    KMutexLocker lock(mutex_);
    if (index < users_.size())
        update(users_[index].progress);
}

namespace {

bool isAcceptedToMigrate(const UserInfo& user)
{
    return user.state == UserToMigrate && user.testStatus == TestLoginAccepted;
}

bool isUntestedToMigrate(const UserInfo& user)
{
    return user.state == UserToMigrate && user.testStatus == TestNotTested;
}

} // namespace

template <class Match> std::size_t UsersInformation::scan(Cursor& cursor, Match matches) const
{
    while (cursor.next < users_.size() && !matches(users_[cursor.next]))
        ++cursor.next;
    return cursor.next;
}

void UsersInformation::rewindTo(std::size_t index)
{
    toMigrate_.next = std::min(toMigrate_.next, index);
    toTest_.next = std::min(toTest_.next, index);
}

template <class Match, class Take>
bool UsersInformation::takeFirst(Cursor UsersInformation::*cursor, Match matches, Take take,
    std::size_t& index, UserInfo& account)
{
    KMutexLocker lock(mutex_);
    const std::size_t found = scan(this->*cursor, matches);
    if (found == users_.size())
        return false;
    take(users_[found]);
    index = found;
    account = users_[found];
    return true;
}

bool UsersInformation::takeNextToMigrate(std::size_t& index, UserInfo& account)
{
    return takeFirst(
        &UsersInformation::toMigrate_, isAcceptedToMigrate,
        [](UserInfo& user) { user.state = UserInProgress; }, index, account);
}

void UsersInformation::leaveOutRefused()
{
    KMutexLocker lock(mutex_);
    for (UserInfo& user : users_)
        if (user.state == UserToMigrate && user.testStatus == TestLoginRefused) {
            user.migrate = false;
            user.state = UserNotSelected;
        }
}

bool UsersInformation::hasAcceptedToMigrate() const
{
    KMutexLocker lock(mutex_);
    return scan(toMigrate_, isAcceptedToMigrate) != users_.size();
}

std::size_t UsersInformation::untestedToMigrate() const
{
    KMutexLocker lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(users_.begin(), users_.end(), isUntestedToMigrate));
}

bool UsersInformation::takeNextToTest(std::size_t& index, UserInfo& account)
{
    return takeFirst(
        &UsersInformation::toTest_, isUntestedToMigrate,
        [](UserInfo& user) { user.testStatus = TestTesting; }, index, account);
}

void UsersInformation::fillStatus(MigrationStatus& status) const
{
    KMutexLocker lock(mutex_);
    status.inProgress.clear();
    status.accounts = static_cast<std::uint32_t>(users_.size());
    status.selectedAccounts = status.finishedAccounts = status.failedAccounts = 0;
    status.foldersDone = status.folderErrors = status.messagesDone = status.messageErrors = 0;
    status.foldersNotReached = status.messagesNotReached = status.messagesAlreadyThere = 0;
    status.foldersNotCounted = 0;
    status.loginsTested = status.loginsRefused = status.loginsInTest = 0;
    status.accountsStopped = 0;
    status.notStartedFirst.clear();
    status.messagesRemoved = 0;
    for (const UserInfo& user : users_) {
        status.loginsTested
            += user.testStatus == TestLoginAccepted || user.testStatus == TestLoginRefused;
        status.loginsRefused += user.testStatus == TestLoginRefused;
        status.loginsInTest += user.testStatus == TestTesting;
        const UserProgress& p = user.progress;
        status.selectedAccounts += user.state != UserNotSelected;
        status.finishedAccounts += user.state == UserFinished;
        status.failedAccounts += user.state == UserFailed;
        status.accountsStopped += user.state == UserFailed && p.stopped;
        if (user.state == UserToMigrate && status.notStartedFirst.size() < namedAtMost)
            status.notStartedFirst.push_back(user.address());
        status.foldersDone += p.foldersDone;
        status.folderErrors += p.folderErrors;
        status.messagesDone += p.messagesDone;
        status.messageErrors += p.messageErrors;
        status.foldersNotReached += p.foldersNotReached;
        status.messagesNotReached += p.messagesNotReached;
        status.messagesAlreadyThere += p.messagesAlreadyThere;
        status.foldersNotCounted += p.foldersNotCounted;
        status.messagesRemoved += p.messagesRemoved;
        if (user.state == UserInProgress)
            status.inProgress.push_back({user.fullName, p.folder, p.folderMessages,
                p.folderMessagesDone, p.folderMessageErrors});
    }
}

} // namespace tavir::migration
