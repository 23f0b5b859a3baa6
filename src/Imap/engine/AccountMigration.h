#pragma once
// The migration of one account, as a sequence of named steps: its domain
// and account on the target, the logins (the source's with its folder list,
// and at the same time the target's with its folder list), the folder tree,
// the messages of every folder, and the account's block in the report. A
// step that fails ends the road with one "Fatal Error" sentence; failures
// of one folder or one message are counted and the road goes on.
#include "Common/Tools/UserInfo.h"
#include "Imap/engine/CallbacksWrapper.h"
#include "Imap/engine/FolderCopy.h"
#include "Imap/engine/IFolderList.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/LoginCheck.h"
#include "Imap/engine/MigrationRun.h"
#include "Imap/engine/OpenedFolder.h"
#include "imapclient/SimpleImapClient.h"
#include "ssl/StopSignal.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tavir::migration {

class AccountMigration {
public:
    // `account` is the copy taken from the list at `index`; the road
    // writes its progress back there. `handed`: the connection the
    // account's login test logged in with, which the road goes on with
    // instead of logging in (none: it logs in itself). `stopRequested` is
    // asked before each folder and each message.
    AccountMigration(const MigrationRun& run, std::size_t index, const UserInfo& account,
        SourceLogin handed, Logger& log, CallbacksWrapper& callbacks,
        std::function<bool()> stopRequested);
    ~AccountMigration();
    AccountMigration(const AccountMigration&) = delete;
    AccountMigration& operator=(const AccountMigration&) = delete;

    // The whole road; the account's end state (finished or failed). The
    // account's report block is written but not flushed.
    UserState migrate();
    // From another thread: whatever the road waits for (a connect, a reply,
    // a message body, the administration service) ends at once and the
    // road stops; the message in hand is not copied, and an APPEND cut
    // short is never completed (its connection is closed).
    void abort();

private:
    enum class Step { Next, Failed, Stopped };

    Step createDomainAndAccount();
    // Both logins at once: the target's (the master login, the switch to
    // the account and the listing of its folders) on a thread of its own,
    // while this one logs in to the source and lists the folders there. A
    // source that fails cuts the target's login short; a failure is told
    // as when one came after the other, the source's first.
    Step logIn();
    // The login test's connection when it is still open and the server has
    // said nothing on it meanwhile; otherwise (or without one) a login of
    // the road's own, through the tests' routine (LoginCheck): the address,
    // then the bare mailbox, on a connection the run has room for.
    Step logInToSource();
    // The login test's connection can't be used (`why`, of the account's
    // address): closed, and said in the debug log; the road logs in itself.
    void dropHanded(const std::wstring& why);
    // The source's connection was lost under a command (and closed): it is
    // made again through the road's login, the address or the mailbox that
    // logged in before, counted among the run's connections and waiting
    // for room as any login of the run. How that went, for the command.
    mail::Failure logInAgain();
    // Whether the first exchange on the login test's connection failed as a
    // connection left idle fails (lost, reset, unanswered), which a login
    // of the road's own mends.
    bool handedWentStale(mail::ImapClientResult result) const;
    // The source's LIST (with the inbox's SELECT behind it for a new
    // account), asked again plainly where the source refuses the first.
    mail::ImapClientResult listOnSource();
    // For an account made by this run, the inbox is selected behind the
    // listing: the SELECT its copy begins with when it is the first folder
    // to copy, one round trip off the road. Its outcome waits in
    // selectedAhead_.
    Step listFolders();
    // The names the listing leaves out that the source opens (INBOX, a
    // parent of listed folders) join the listing as folders: their mail is
    // copied as any other's. Nothing is asked where the listing names INBOX
    // and every parent.
    Step addUnlistedFolders();
    // Whether the source opens the folder `name` (modified UTF-7), which it
    // did not list: by the inbox's SELECT made behind the listing, else by
    // a SELECT now. A refusal is no failure; an INBOX refused is named in
    // the report.
    Step opensUnlisted(const std::string& name, bool& opens);
    // Names below INBOX in two spellings ("INBOX/Sub", "Inbox/Sub") that
    // the source opens as one folder (the same UIDVALIDITY, UIDNEXT and
    // count, and the same messages) are listed as one name; others stay
    // apart, each named.
    Step joinInboxSpellings();
    // Spellings of one name that opened a folder of their own: the listed
    // name's index, with what the source said of the folder.
    using OpenedSpellings = std::vector<std::pair<std::size_t, OpenedFolder>>;
    // Selects the folder `name` (modified UTF-7) on the source: `result` is
    // the SELECT's where the source answered it (ImapSelectFailed and
    // ImapStatusFailed: a refusal of that folder alone); any other failure
    // ends the account.
    Step selectByName(const std::string& name, mail::ImapClientResult& result);
    // Next where the source answered the SELECT of `name` with `result`:
    // it opened the folder, or refused that folder alone; any other
    // failure ends the account, said as such.
    Step selectAnswered(const std::string& name, mail::ImapClientResult result);
    // Selects the listed name `listed` on the source; `said` holds what the
    // source said of the folder (its messages not yet described), empty
    // where it does not open it.
    Step selectListed(std::size_t listed, std::optional<OpenedFolder>& said);
    // Reads the messages of the folder just selected into `folder`
    // (sameFolder's summaries and digests); a source that refuses, or
    // expunges meanwhile, leaves it undescribed.
    Step describeSelected(OpenedFolder& folder, const std::wstring& name);
    // selectListed, then describeSelected.
    Step openDescribed(std::size_t listed, std::optional<OpenedFolder>& said);
    // The spelling of `opened` that opens the same folder as the listed name
    // `listed`, selected last (`seen`): only one with its UIDVALIDITY can
    // be, and the messages of both decide, each read anew where it is
    // selected. `same` is opened.end() where none does.
    Step findSameFolder(OpenedSpellings& opened, std::size_t listed, OpenedFolder& seen,
        OpenedSpellings::iterator& same);
    // The target's side of logIn(), on its own thread: it touches only
    // target_ and targetLogin_ (and reads what no one changes meanwhile).
    void logInToTarget();
    // What logInToTarget() found, once its thread has ended.
    Step targetLoggedIn();
    // Names the source's folders for the target's: a folder keeps the
    // target folder an earlier run made for it.
    Step matchTargetFolders();
    // Names in the report an identifier that was not taken as the folder's:
    // listed for several folders, or held on the target by another folder.
    void reportIdentifierConflict(const MigrationFolder& folder);
    Step createFolders();
    // Asks the target for the wave's folders that it lacks, all at once,
    // and settles each in turn.
    Step createWave(const std::vector<const MigrationFolder*>& wave);
    // One folder of a wave, as the target answered: made, or refused and
    // then found there, made with a new identifier, or failed.
    Step settleCreated(
        const MigrationFolder& folder, const mail::SimpleImapClient::FolderToCreate& asked);
    // Not the inbox of an account, nor on the target already.
    bool toBeCreated(const MigrationFolder& folder) const;
    Step copyFolders();
    Step copyFolder(const MigrationFolder& folder);
    // Whether the target folder is known to hold nothing yet.
    bool emptyOnTarget(const MigrationFolder& folder) const;
    // Counts and selects the source folder and sets the message numbers to
    // copy (`copy` false when there are none, the folder then ended here):
    // for an empty target folder all of them, with the count from SELECT;
    // otherwise after a STATUS (which says whether there are any), those
    // the target lacks, of the SELECT's count.
    Step selectForEmptyTarget(
        const MigrationFolder& folder, std::vector<unsigned>& wanted, bool& copy);
    Step selectLacking(const MigrationFolder& folder, std::vector<unsigned>& wanted, bool& copy);
    // The SELECT of the source folder after its STATUS: its count is the
    // folder's (`copy` false, and the folder done, when it is none).
    // `statusCounted`: the STATUS gave the count in hand, which the SELECT's
    // is compared with.
    Step selectNumbering(const MigrationFolder& folder, bool statusCounted, bool& copy);
    // The source's STATUS or SELECT of the folder did not succeed (a SELECT
    // that could not count the folder is told as the STATUS is).
    Step sourceCountFailed(mail::ImapClientResult result, const MigrationFolder& folder);
    Step sourceSelectFailed(mail::ImapClientResult result, const MigrationFolder& folder);
    // The source gave the folder's count: its messages are unsettled, and
    // the wizard shows the count.
    void countRead();
    // The SELECT that counts the folder: the one made ahead for it, if any
    // (no other folder was selected since), else sent now.
    mail::ImapClientResult selectCounting(const MigrationFolder& folder);
    // Every message number of the folder in hand, 1 to its count.
    void wantAll(std::vector<unsigned>& wanted) const;
    // How many messages the target folder holds (`held`) for a source
    // folder that holds some: none (copy them all), or some, which are
    // compared with the source's whatever their number. A folder the target
    // can't count is ended here, as failed, so that it is counted once.
    // Step::Failed only for a lost connection.
    Step checkTarget(const MigrationFolder& folder, bool& copy, unsigned& held);
    // The messages the target folder lacks, when it holds `held` of them.
    Step messagesLacking(const MigrationFolder& folder, unsigned count, unsigned held,
        std::vector<unsigned>& wanted, bool& copy);

    // The failure that ends the account: the folder in hand is failed, and
    // every folder not yet ended, with the messages of the folder in hand
    // not yet settled, is counted as not reached.
    Step fail(mail::ImapClientResult code, const std::wstring& why);
    // A command about one folder that did not succeed: `refused`, the
    // server's refusal of that folder alone, skips the folder with
    // `skipSentence`, its messages failed when their count was read; any
    // other result ends the account with `endSentence`.
    // Both patterns take the folder's name and the server's answer.
    Step folderCommandFailed(mail::ImapClientResult result, mail::ImapClientResult refused,
        mail::SimpleImapClient& client, const std::wstring& folder, const wchar_t* skipSentence,
        const wchar_t* endSentence);
    // A stop: every folder not yet ended (the one in hand too) and the
    // messages of the folder in hand not yet settled are not reached.
    Step stopped();
    // A folder that is skipped as a whole: a folder error and a sentence.
    void folderFailed(const std::wstring& why);
    void folderDone();
    // What became of the messages of the folder in hand.
    void settleMessages(const FolderCopy::Tally& tally);
    void leaveNotReached();
    void publishProgress(const FolderCopy::Tally& tally);
    void writeAccountLine(UserState end);
    std::wstring clientError(mail::SimpleImapClient& client) const;

    const MigrationRun& run_;
    std::size_t index_;
    UserInfo account_;
    Logger& log_;
    CallbacksWrapper& callbacks_;
    std::function<bool()> stopRequested_;
    const FolderStore store_;

    const std::shared_ptr<utils::StopSignal> stop_;
    // Ends the waits of the target's connection alone, so that a source
    // that fails cuts the target's login short; a stop raises both.
    const std::shared_ptr<utils::StopSignal> targetStop_;
    // The name the login test's connection logged in as, until the road's
    // first exchange on it; empty when the road logs in itself.
    std::wstring handedUser_;
    // The name the source's connection is logged in as, which a connection
    // lost under a command logs in as again.
    std::wstring sourceUser_;
    // How the run counts the source's connection, while it is open. Before
    // the client: members go in reverse order, so that on every way out (an
    // exception too) the connection is closed before its slot is given
    // back, as the source counts it until then.
    SourceConnections::Slot sourceSlot_;
    // The login test's connection, or a client of the road's own.
    const std::unique_ptr<mail::SimpleImapClient> sourceClient_;
    mail::SimpleImapClient& source_;
    mail::SimpleImapClient target_;
    // What the target's login found: written on its thread, read once that
    // thread has been joined.
    struct TargetLogin {
        mail::ImapClientResult result = mail::ImapNotConnected;
        mail::SimpleImapClient::AccountSwitch account;
        // Anything it threw, thrown again on the worker's thread.
        std::exception_ptr unexpected;
    };
    TargetLogin targetLogin_;
    std::shared_ptr<IFolderList> folders_;
    // The inbox's SELECT sent behind the listing, until the first folder's
    // copy takes it or another folder is selected.
    std::optional<mail::SimpleImapClient::Selection> selectedAhead_;
    // The source's listing, until the folders are named for the target.
    std::vector<mail::FolderInfo> listed_;
    char separator_ = '/';
    // Folders that could not be made on the target: nothing is copied into
    // them.
    std::set<std::wstring> missingOnTarget_;
    // Folders made by this run, and whether the account was: what they hold
    // is known (nothing) without asking the target.
    std::set<std::wstring> madeNow_;
    bool newAccount_ = false;
    // The folder in progress, as the wizard shows it.
    std::wstring currentFolder_;
    unsigned currentCount_ = 0;
    // Folders of the list not yet ended either way: not reached when the
    // account ends early.
    unsigned foldersLeft_ = 0;
    // A folder is in hand from its count on the source until it is ended;
    // its messages are unsettled from that count until the copy settled them.
    bool folderInHand_ = false;
    // The folder in hand's count was read: its messages are counted.
    bool folderCounted_ = false;
    unsigned unsettled_ = 0;
    // What the copy settled in the folder in hand, as its row shows it.
    FolderCopy::Tally folderSettled_;
    unsigned foldersDone_ = 0;
    unsigned folderErrors_ = 0;
    unsigned foldersNotReached_ = 0;
    unsigned foldersNotCounted_ = 0; // not reached, their messages never counted
    unsigned messagesDone_ = 0;
    unsigned messageErrors_ = 0;
    unsigned messagesNotReached_ = 0;
    unsigned messagesAlreadyThere_ = 0;
    // Removed from the source by another session before they were copied.
    unsigned messagesRemoved_ = 0;
    // Messages copied whose keywords were left behind.
    unsigned keywordsLeft_ = 0;
    // Times the source fell silent in this account (FolderCopy).
    unsigned sourceTimeouts_ = 0;
};

} // namespace tavir::migration
