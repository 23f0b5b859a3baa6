#pragma once
// The one class through which the rest of the system speaks IMAP: one
// connection, one operation per task, wide-string arguments, and results as
// ImapClientResult codes (no ImapException leaves it).
#include "crypto/KUuid.h"
#include "imapclient/Annotation.h"
#include "imapclient/CommandFolder.h"
#include "imapclient/ConnectionInternal.h"
#include "imapclient/CopyRun.h"
#include "imapclient/Failure.h"
#include "imapclient/FetchMessage.h"
#include "imapclient/IMessage.h"
#include "imapclient/ImapException.h"
#include "imapclient/MessageSummary.h"
#include "tiny/KMutex.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavir::mail {

class SimpleImapClient {
public:
    using ImapClientResult = tavir::mail::ImapClientResult;

    // The switch of a master connection to one account with the listing of
    // its folders (setUserAndList, connectAndSwitch): what is asked, and
    // what came of it.
    struct AccountSwitch {
        std::wstring user;
        std::wstring domain;
        bool wantGuid = true;
        std::vector<FolderInfo> folders;
        char separator = '/';
        bool loggedIn = false; // connectAndSwitch: the master login went through
        bool switched = false; // the switch was answered OK
    };

    // A folder selected with its message count, and how that went:
    // select(name, count)'s result, with its own error text.
    struct Selection {
        ImapClientResult result = ImapNotConnected;
        unsigned count = 0;
        std::string error;
    };

    enum FolderType : unsigned {
        FolderTypeNone = 0,
        FolderTypeContactClass = 1,
        FolderTypeAppointmentClass = 2,
        FolderTypeTaskClass = 3,
        FolderTypeJournalClass = 4,
        FolderTypeNoteClass = 5,
        FolderTypeStickyNoteClass = 6,
    };

    // The read time-out of every connection (seconds).
    static constexpr unsigned readTimeout = 180;
    // A port of 0 stands for the default port (143, or 993 with TLS).
    static constexpr unsigned defaultServicePort = ConnectionInternal::defaultServicePort;

    SimpleImapClient();
    ~SimpleImapClient();
    SimpleImapClient(const SimpleImapClient&) = delete;
    SimpleImapClient& operator=(const SimpleImapClient&) = delete;

    // Connection.
    ImapClientResult init(const std::wstring& host, unsigned port, const std::wstring& user,
        const std::wstring& password, bool useCramMD5, bool ssl);
    ImapClientResult connect(
        const std::wstring& host, unsigned port, const std::wstring& masterPassword, bool ssl);
    ImapClientResult connect(const std::wstring& host, unsigned port, const std::wstring& user,
        const std::wstring& password, bool useCramMD5, bool ssl);
    // connect(host, port, masterPassword, ssl), then setUserAndList(account),
    // with the X-SETUSER and the LIST written right behind the answer to the
    // master authentication's challenge: all three are answered in one
    // round trip. A failed login is connect's result, `loggedIn` then false;
    // after it, as setUserAndList. A mailbox that needs a literal is
    // switched to once the login is through.
    ImapClientResult connectAndSwitch(const std::wstring& host, unsigned port,
        const std::wstring& masterPassword, bool ssl, AccountSwitch& account);
    // How a server met a new connection, before any credential went out
    // (greet).
    struct Welcome {
        enum Kind {
            // "* OK": a login may follow (logIn).
            Ready,
            // "* PREAUTH": a session already, as whoever the server chose.
            Preauth,
            // "* BYE" in place of a greeting: the server turned the
            // connection away.
            TurnedAway,
            // Closed or reset before any byte of a greeting came.
            Closed,
            // No connection, a TLS handshake or certificate that failed, no
            // greeting in time, another service's greeting, a stop.
            Failed,
        };
        Kind kind = Failed;
        // The greeting without its line end (Ready, Preauth, TurnedAway), or
        // the sentence on why none came.
        std::string text;
    };
    // Connects and reads the greeting, without logging in, so that the
    // caller learns how the server meets a connection before it sends a
    // password (logIn). The client counts as connected only once logged
    // in; disconnect() closes what greet() opened either way.
    Welcome greet(const std::wstring& host, unsigned port, bool ssl);
    // How a login on a connection greet() found Ready went.
    struct LoginAnswer {
        enum Kind {
            Accepted,
            // Answered NO or BAD: `text` is the server's answer from its
            // status word on ("NO [LIMIT] ..."), after the ALERTs it sent
            // beside it in untagged responses, each from its status word
            // on too; `code` and `alert` say what it holds.
            Refused,
            // The server ended the session at the login: a BYE in answer to
            // it, or behind its OK before anything else was read (`text`),
            // or the connection closed there.
            EndedAtLogin,
            // The server takes no password on this connection (LOGINDISABLED,
            // and no AUTHENTICATE CRAM-MD5 offered); nothing was sent.
            NoMethod,
            // No answer in time, cut off, stopped: `text` says which.
            Failed,
        };
        Kind kind = Failed;
        std::string text;
        // Refused: the name of the answer's response code as sent
        // ("AUTHENTICATIONFAILED", "LIMIT"; RFC 5530), empty without one;
        // and the text of the ALERTs the server sent with it (RFC 3501
        // 7.1: text for the user, as written), as the answer's code or in
        // untagged responses, joined by a blank; empty without one.
        std::string code;
        std::string alert;
    };
    // Logs in as `user` on the greeted connection: LOGIN, or AUTHENTICATE
    // CRAM-MD5 where the server refuses LOGIN and offers it
    // (ConnectionInternal::loginMethod); its capabilities are asked for
    // first when the greeting listed none. Accepted: the client is
    // connected, as after connect().
    LoginAnswer logIn(const std::wstring& user, const std::wstring& password);
    // Closes the connection; with `logout` after writing LOGOUT, whose
    // answer is not awaited.
    void disconnect(bool logout);
    // How a connection lost under a command is made again, in place of the
    // connection's own login (ConnectionInternal::setReestablish):
    // `logInAgain` greets (greet) and logs in (logIn) on this client as a
    // new login does, and says how that went. The session is restored after
    // it; whatever came of it, the client counts as connected as it did
    // before the loss, so that a later command may try once more.
    void setReconnection(std::function<Failure()> logInAgain);
    ImapClientResult reconnect();
    // Connects, reads the greeting and learns how a login would go there
    // (ConnectionInternal::loginMethod, a CAPABILITY asked for when the
    // greeting lists none), on a connection of its own that logs in as no
    // one; the greeting's wait and the CAPABILITY's have `timeout`
    // seconds each. True for an IMAP greeting; the method is then
    // testedLoginMethod()'s.
    bool testImapServer(const std::wstring& host, unsigned port, bool ssl, unsigned timeout,
        std::wstring& greeting);
    ConnectionInternal::LoginMethod testedLoginMethod() const { return testedLoginMethod_; }
    // After a testImapServer that gave false: true when the server closed or
    // reset the connection before any byte of its greeting (over TLS, of
    // its handshake).
    bool testClosedBeforeGreeting() const { return testClosedBeforeGreeting_; }

    // Accounts.
    ImapClientResult createUser(const std::wstring& user, const std::wstring& domain,
        const std::wstring& password, const std::wstring& fullName);
    ImapClientResult setUser(const std::wstring& user, const std::wstring& domain);
    // setUser with the LIST of the account's folders (list(folders,
    // wantGuid, separator)) sent behind it before its answer: one round trip
    // for both. A refused switch is ImapSetUserFailed, with the refusal as
    // the last error (the LIST's answer, which is not the account's, is read
    // and dropped); a refused LIST after a switch is ImapListFailed.
    // `switched` says whether the switch was answered OK, so that a failure
    // after it can be told as the listing's.
    ImapClientResult setUserAndList(AccountSwitch& account);

    // Folders. createFolder (X-CREATE) asks for the identifier in `guid`
    // when it is not null, and sets `guid` to the one the server answers.
    ImapClientResult createFolder(const std::wstring& name, tavir::mailserver::common::KUuid& guid,
        const std::wstring& folderClass);
    ImapClientResult createFolder(
        const std::wstring& name, tavir::mailserver::common::KUuid& guid, FolderType type);
    // One folder of createFolders: asked as createFolder(name, guid, type)
    // asks, and what came of it (`error`: the refusal).
    struct FolderToCreate {
        std::wstring name;
        tavir::mailserver::common::KUuid guid;
        FolderType type = FolderTypeNoteClass;
        ImapClientResult result = ImapNotConnected; // not answered
        std::string error;
    };
    // createFolder for each folder, their X-CREATEs written together (up to
    // createTogether at a time) and the answers read in turn: one round trip
    // for all. None may lie inside another of the same call: the server takes
    // each as if it came alone. ImapSuccess when every folder was answered,
    // each with its own result (a refusal ImapCreateFolderFailed, with its
    // line); otherwise the failure of the connection, the folders not
    // answered left at ImapNotConnected.
    ImapClientResult createFolders(std::vector<FolderToCreate>& folders);
    static constexpr std::size_t createTogether = 32;
    static FolderType convertFolderType(const std::wstring& folderClass);
    static unsigned folderTypeBit(FolderType type);
    ImapClientResult deleteFolder(const std::wstring& name, bool recursive);
    // Sends SELECT unless the folder is selected already with the numbering
    // of its messages known (not renumbered()).
    ImapClientResult select(const std::wstring& name);
    // Selects the folder and takes its message count from the last EXISTS
    // of the reply, saving a STATUS where the count is wanted only to copy
    // the folder. Always sends SELECT. A reply without EXISTS is a failed
    // count (ImapStatusFailed), never an empty folder.
    ImapClientResult select(const std::wstring& name, unsigned& count);
    // What the server said of the selected folder (its count, grown by
    // every EXISTS since the SELECT, its UIDVALIDITY and UIDNEXT).
    const ConnectionInternal::Mailbox& selectedMailbox() const { return connection_.mailbox(); }
    // True when the sequence numbers of the selected folder may name other
    // messages than when it was selected: a reconnect found it numbered
    // otherwise, or the server reported an EXPUNGE. Operations that name
    // messages by number then fail (ImapConnectionError, or the refusal of
    // a single message's copy) without a command written, until the folder
    // is selected again or acceptNumbering() says that the caller found its
    // messages again (by UID, fetchUids).
    bool renumbered() const { return connection_.renumbered(); }
    void acceptNumbering() { connection_.acceptNumbering(); }
    ImapClientResult status(const std::wstring& name, unsigned& count);
    ImapClientResult status(const std::wstring& name, unsigned& count,
        tavir::mailserver::common::KUuid& guid, bool wantGuid = true);
    ImapClientResult list(std::vector<FolderInfo>& folders, bool wantGuid, char& separator);
    ImapClientResult list(std::vector<std::wstring>& names, bool wantGuid, char& separator);
    // list(folders, wantGuid, separator) with a SELECT of INBOX written
    // behind it before its answer, one round trip for both: every account
    // has an INBOX, and selecting it depends on nothing the listing says.
    // Returns the listing's result (its failure the last error); `inbox` is
    // select(L"INBOX", count)'s.
    ImapClientResult listAndSelectInbox(
        std::vector<FolderInfo>& folders, bool wantGuid, char& separator, Selection& inbox);

    // Messages.
    ImapClientResult fetchDateAndFlags(unsigned number, FetchMessage& message);
    ImapClientResult fetch(unsigned number, FetchMessage& message);
    ImapClientResult append(const std::wstring& folder, simpleimapclient::IMessage* message,
        bool useXAppend, unsigned* uid);
    ImapClientResult copyMessage(
        const std::wstring& folder, SimpleImapClient& target, unsigned number);
    ImapClientResult copyFolder(const std::wstring& folder, SimpleImapClient& target,
        unsigned first, unsigned last, unsigned& copied, unsigned& failed);
    // The same with a ready FETCH command line, whose tag is replaced by
    // one of the connection's: no two commands on a connection share a tag.
    ImapClientResult copyFolder(const std::wstring& folder, SimpleImapClient& target,
        const std::string& fetchCommand, unsigned& copied, unsigned& failed);
    // The pipelined copy of the messages `run` names, each reply tied to the
    // number it answers; `run` says what became of each message and how
    // the copy ended. The results are copyFolder's.
    ImapClientResult copyMessages(
        const std::wstring& folder, SimpleImapClient& target, CopyRun& run);
    // A message of the selected folder: its sequence number and its UID.
    struct NumberedUid {
        unsigned number = 0;
        std::uint32_t uid = 0;
    };
    // UID FETCH fromUid:* (UID): the messages of the selected folder whose
    // UID is fromUid or more, and its last message whatever its UID (RFC
    // 3501: "n:*" names it), in order, each with its number as the folder
    // numbers it now. A UID command: it is sent also while the numbering is
    // in doubt (renumbered()), which it serves to settle.
    ImapClientResult fetchUids(std::uint32_t fromUid, std::vector<NumberedUid>& found);
    // The summaries of messages 1 to `count` of the selected folder, one
    // per number; a message the server did not answer for (or not with
    // every item) stays unknown. Replies for other numbers, and second
    // replies, are counted in `ignored` and not used.
    ImapClientResult fetchSummaries(
        unsigned count, std::vector<MessageSummary>& summaries, unsigned& ignored);
    // fetchSummaries with each message's UID too (MessageSummary::uid).
    ImapClientResult fetchSummariesWithUids(
        unsigned count, std::vector<MessageSummary>& summaries, unsigned& ignored);
    // The digest (SHA-512) of the whole body of each message `numbers`
    // names (ascending, of the selected folder), read with BODY.PEEK[] in
    // pieces of digestPiece bytes, so that no reply holds more: one FETCH
    // per piece for up to 200 messages. `digests[i]` is that of numbers[i];
    // it stays empty for a message the server did not send whole. Replies
    // for other numbers or pieces, and second replies, are counted in
    // `ignored` and not used.
    ImapClientResult fetchDigests(
        const std::vector<unsigned>& numbers, std::vector<std::string>& digests, unsigned& ignored);
    static ImapClientResult parseTaggedResponse(const std::string& line);
    // Never fails: every problem reads as false.
    bool isXAppendSupported();

    // Folder ACLs and message annotations. The entry texts of setAcl and
    // deleteAcl are written unquoted ("fred lrs", "fred"); resetAcl needs a
    // master connection. storeAnnotations works on the selected folder.
    ImapClientResult setAcl(const std::wstring& folder, const std::wstring& entry);
    ImapClientResult deleteAcl(const std::wstring& folder, const std::wstring& identifier);
    ImapClientResult resetAcl(const std::wstring& folder);
    ImapClientResult storeAnnotations(unsigned uid, const AnnotationList& annotations);

    // Other.
    void abort();
    bool wasAborted();
    std::wstring getLastErrorResponse() const;
    // How the server's certificate was trusted at the last connect or
    // server test over TLS (ssl/ServerTrust.h), or that it was refused as
    // changed; empty otherwise.
    const TrustNotice& trustNotice() const { return trustNotice_; }
    void setLastErrorResponse(const std::string& text) { lastError_ = text; }
    bool isConnected() const { return connected_; }
    // True while the connection is open and the server has said nothing
    // since the last answer was read: a connection left idle that the
    // server logged out (BYE), closed or reset is not. Never waits.
    bool openAndQuiet() { return connected_ && connection_.isOpen() && !connection_.dataWaiting(); }
    // True when the last failure of this client's connection was a
    // time-out: a server that did not answer in time, or sent or took its
    // bytes so slowly that it was cut off at the operation's deadline. A
    // result code alone does not tell (a time-out is ImapConnectionError
    // like a lost connection, or ImapAppendFailed and ImapMessageLoadFailed
    // when it cut a message short).
    bool lastFailureWasTimeout() const { return connection_.lastErrorWasTimeout(); }
    // The failure of the operation that just returned `code`, as the
    // caller, who uses this client for `side`, hands it on: with the last
    // error and whether it was a time-out.
    Failure lastFailure(ImapClientResult code, Side side) const
    {
        return {code, side, lastFailureWasTimeout(), lastError_};
    }
    // Every wait of the connection in hand and of those this client makes
    // from now on (connecting, reading, writing) ends at once when `stop` is
    // raised: the operation in hand fails (ImapConnectionError, or
    // ImapAppendFailed and ImapMessageLoadFailed for a message) and its
    // connection is closed. Called on the thread that uses the client, or
    // while no thread does.
    void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop);

    // The connection, for settings beyond the defaults (limits, a shorter
    // read time-out) and for tests.
    ConnectionInternal& getConnection() { return connection_; }
    // Replaces how streams are made, also for testImapServer's connection.
    void setStreamFactory(ImapStreamFactory factory);
    // A read time-out in milliseconds used instead of the 180 seconds
    // (0 restores the default); kept across connects.
    void setReadTimeoutMs(unsigned ms) { timeoutMs_ = ms; }
    // True once this source gave a message's body without its date or its
    // flags in the same reply or before it (RFC 3501 lets a server split a
    // message's items over replies): its pipelined copies then ask for the
    // date and the flags of their messages before the bodies.
    bool splitsItems() const { return splitsItems_; }
    void noteSplitsItems() { splitsItems_ = true; }

private:
    // The frame of every operation: `run` does the work and returns
    // ImapSuccess or a failure code. `simple` refuses (ImapNotConnected) on a client that
    // is not connected; `guarded` runs whatever the state. Both turn every
    // exception into a result code and see that each failure leaves one
    // error text: the one the connection recorded, else a sentence naming
    // `what` failed and where.
    template <class Run>
    ImapClientResult simple(const std::string& what, ImapClientResult refusal, Run run);
    template <class Run>
    ImapClientResult guarded(const std::string& what, ImapClientResult refusal, Run run);
    // A refused login's answer from the server's tagged line (without its
    // line end) and the untagged responses that came with it.
    static LoginAnswer refusal(const std::string& tagged, const std::vector<std::string>& untagged);
    // connect()'s work; `afterChallenge` as ConnectionInternal::init's.
    ImapClientResult open(const std::wstring& host, unsigned port, const std::wstring& user,
        const std::wstring& password, bool useCramMD5, bool ssl,
        const ConnectionInternal::AfterChallenge& afterChallenge);
    // The X-SETUSER to an account with the LIST of its folders written
    // behind it, before its answer.
    struct SwitchAndList;
    // The answers of both, for setUserAndList.
    ImapClientResult readSwitchAndList(SwitchAndList& pair, AccountSwitch& account);
    // The identifier an X-CREATE answered OK names, into `guid`;
    // ImapCreateFolderFailed, with the reply as the last error, when it
    // names none.
    ImapClientResult createdId(const Command& command, tavir::mailserver::common::KUuid& guid);
    // The rest of a SELECT of `folder` once written: its answer, the folder
    // selected and its count taken from the last EXISTS.
    ImapClientResult countSelected(
        CommandSelect& command, const std::string& folder, unsigned& count);
    // fetchSummaries' work, the FETCH asking for `items`.
    ImapClientResult fetchSummaryItems(unsigned count, const char* items,
        std::vector<MessageSummary>& summaries, unsigned& ignored);
    void recordError() { lastError_ = connection_.getLastErrorResponse(); }
    // Command::OK as success, any other status as `refusal`.
    static ImapClientResult succeededOr(unsigned status, ImapClientResult refusal);
    // After a switch to `mailbox` answered OK: a reconnect switches to it
    // again, and the folder of the previous account is not selected any more.
    void noteSwitch(const std::string& mailbox);
    // Records that a reply of `verb` held no message count; ImapStatusFailed.
    ImapClientResult noMessageCount(const char* verb);

    // The pipelined copy of a run in the frame of this client, the source.
    ImapClientResult copyRun(const std::wstring& folder, SimpleImapClient& target,
        const std::string& fetchCommand, CopyRun& run);

    bool connected_ = false;
    ConnectionInternal connection_;
    bool masterAuthentication_ = false;
    tavir::tiny::KMutex lock_;
    bool aborted_ TAVIR_GUARDED_BY(lock_) = false;
    std::string lastError_;
    TrustNotice trustNotice_;
    ConnectionInternal::LoginMethod testedLoginMethod_ = ConnectionInternal::LoginMethod::Login;
    bool testClosedBeforeGreeting_ = false;
    ImapStreamFactory factory_;
    unsigned timeoutMs_ = 0;
    std::shared_ptr<const tavir::utils::StopSignal> stop_;
    bool splitsItems_ = false;
};

} // namespace tavir::mail
