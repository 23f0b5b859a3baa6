// Batches of accounts made on the target ahead of the workers.
#include "Imap/engine/TargetAccounts.h"

#include "Imap/textconv/TextConversion.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

tinydb::TinyDbClient::NewAccount newAccount(const UserInfo& account)
{
    tinydb::TinyDbClient::NewAccount made;
    made.user = {unicodeToUtf8(account.domain), unicodeToUtf8(account.mailbox),
        unicodeToUtf8(account.password), unicodeToUtf8(account.fullName)};
    made.domainOnly = account.publicFolders;
    return made;
}

} // namespace

TargetAccounts::TargetAccounts(std::shared_ptr<UsersInformation> users,
    std::shared_ptr<tinydb::TinyDbClient> admin, std::size_t batch)
    : users_(std::move(users))
    , admin_(std::move(admin))
    , batch_(std::max<std::size_t>(1, batch))
{
}

TargetAccounts::Made TargetAccounts::prepare(std::size_t index, const UserInfo& account,
    const std::shared_ptr<const utils::StopSignal>& stop)
{
    Made made;
    if (!take(index, made)) {
        // Held while it waits: a batch in the making may bring the account.
        tinydb::TinyDbClient::StopScope hold(*admin_, stop);
        const std::pair<std::size_t, UserInfo> own{index, account};
        if (!take(index, made))
            made = makeBatch(&own);
    }
    if (wantAhead(index)) {
        tinydb::TinyDbClient::StopScope hold(*admin_, stop);
        makeBatch(nullptr);
    }
    return made;
}

std::vector<std::wstring> TargetAccounts::madeAheadUnused()
{
    std::vector<std::wstring> addresses;
    KMutexLocker hold(lock_);
    for (const auto& [index, made] : made_) {
        UserInfo account;
        // The public folders' line makes its domain alone: no account.
        if (made.outcome && !made.existed && users_->get(index, account) && !account.publicFolders)
            addresses.push_back(account.address());
    }
    return addresses;
}

bool TargetAccounts::take(std::size_t index, Made& made)
{
    KMutexLocker hold(lock_);
    const auto found = made_.find(index);
    if (found == made_.end())
        return false;
    made = std::move(found->second);
    made_.erase(found);
    return true;
}

std::size_t TargetAccounts::madeAhead(std::size_t index) const
{
    return static_cast<std::size_t>(std::distance(made_.upper_bound(index), made_.end()));
}

bool TargetAccounts::wantAhead(std::size_t index)
{
    KMutexLocker hold(lock_);
    if (aheadPlanned_ || frontier_ >= users_->size() || madeAhead(index) >= aheadAtLeast())
        return false;
    aheadPlanned_ = true;
    return true;
}

TargetAccounts::Made TargetAccounts::makeBatch(const std::pair<std::size_t, UserInfo>* own)
{
    std::vector<std::size_t> indexes;
    std::vector<tinydb::TinyDbClient::NewAccount> batch;
    {
        KMutexLocker hold(lock_);
        if (own) {
            indexes.push_back(own->first);
            batch.push_back(newAccount(own->second));
        }
        std::size_t next = std::max(frontier_, own ? own->first + 1 : 0);
        // Made only once its login is accepted: an account still waiting
        // for its test is passed over, and the next batch looks from the
        // first of them on (the tests answer a little out of order).
        std::size_t untested = users_->size();
        // Not far past the tests, though: what lies there is untested too.
        for (; next < users_->size() && batch.size() < batch_
             && (untested == users_->size() || next < untested + batch_);
             ++next) {
            UserInfo waiting;
            if (!users_->get(next, waiting) || waiting.state != UserToMigrate)
                continue;
            if (waiting.testStatus != TestLoginAccepted)
                untested = std::min(untested, next);
            else if (!made_.count(next)) {
                indexes.push_back(next);
                batch.push_back(newAccount(waiting));
            }
        }
        // Ahead of the workers a batch waits until the tests have given it
        // half its size, so that batches stay full; one that brings a
        // worker's own account is made as it is.
        if (!own && batch.size() < batch_ / 2 && untested < users_->size()) {
            aheadPlanned_ = false;
            return {};
        }
        frontier_ = std::max(frontier_, std::min(next, untested));
    }
    if (!batch.empty())
        admin_->createAccounts(batch);
    Made mine;
    KMutexLocker hold(lock_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Made made{batch[i].outcome, batch[i].existed};
        if (own && indexes[i] == own->first)
            mine = std::move(made);
        else if (batch[i].settled)
            made_[indexes[i]] = std::move(made);
    }
    if (!own)
        aheadPlanned_ = false;
    return mine;
}

} // namespace tavir::migration
