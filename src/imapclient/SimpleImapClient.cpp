#include "imapclient/SimpleImapClient.h"
#include "imapclient/SimpleImapClientFrame.h"

#include "Imap/textconv/TextConversion.h"
#include "imapclient/CommandAuth.h"
#include "imapclient/Parser.h"
#include "imapclient/ReplyReader.h"
#include "tiny/ScopeExit.h"

#include <strings.h>

#include <algorithm>

namespace tavir::mail {

using tavir::mailserver::common::KUuid;
using tavir::migration::unicodeToUtf7M;
using tavir::migration::unicodeToUtf8;

SimpleImapClient::SimpleImapClient()
    : factory_(makeTcpImapStream)
{
}

SimpleImapClient::~SimpleImapClient()
{
    disconnect(true);
}

void SimpleImapClient::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop)
{
    stop_ = stop;
    connection_.setStopSignal(std::move(stop));
}

void SimpleImapClient::setStreamFactory(ImapStreamFactory factory)
{
    factory_ = factory;
    connection_.setStreamFactory(std::move(factory));
}

SimpleImapClient::ImapClientResult SimpleImapClient::init(const std::wstring& host, unsigned port,
    const std::wstring& user, const std::wstring& password, bool useCramMD5, bool ssl)
{
    return open(host, port, user, password, useCramMD5, ssl, {});
}

SimpleImapClient::ImapClientResult SimpleImapClient::open(const std::wstring& host, unsigned port,
    const std::wstring& user, const std::wstring& password, bool useCramMD5, bool ssl,
    const ConnectionInternal::AfterChallenge& afterChallenge)
{
    if (connected_)
        return ImapAlreadyConnected;
    ImapClientResult result = guarded("the login", ImapLoginFailed, [&] {
        if (masterAuthentication_)
            connection_.initialize(
                unicodeToUtf8(host), port, unicodeToUtf8(password), readTimeout, ssl);
        else
            connection_.initialize(unicodeToUtf8(host), port, unicodeToUtf8(user),
                unicodeToUtf8(password), useCramMD5, readTimeout, ssl);
        if (timeoutMs_ != 0)
            connection_.setTimeoutMs(timeoutMs_);
        connection_.init(true, afterChallenge);
        connected_ = true;
        return ImapSuccess;
    });
    // Also after a refused login: the server was trusted all the same.
    trustNotice_ = connection_.getTrustNotice();
    return result;
}

SimpleImapClient::ImapClientResult SimpleImapClient::connect(
    const std::wstring& host, unsigned port, const std::wstring& masterPassword, bool ssl)
{
    masterAuthentication_ = true;
    return init(host, port, L"", masterPassword, false, ssl);
}

SimpleImapClient::ImapClientResult SimpleImapClient::connect(const std::wstring& host,
    unsigned port, const std::wstring& user, const std::wstring& password, bool useCramMD5,
    bool ssl)
{
    masterAuthentication_ = false;
    return init(host, port, user, password, useCramMD5, ssl);
}

// Written behind the switch, the listing is never written again on a new
// connection: the switch before it would be missing there.
struct SimpleImapClient::SwitchAndList {
    SwitchAndList(ConnectionInternal& connection, const AccountSwitch& account)
        : mailbox(unicodeToUtf8(account.user + L"@" + account.domain))
        , setUser(connection, mailbox)
        , list(connection, "", "*", account.wantGuid)
    {
        list.setReconnect(false);
    }

    std::string mailbox;
    CommandXSetUser setUser;
    CommandList list;
};

SimpleImapClient::ImapClientResult SimpleImapClient::connectAndSwitch(const std::wstring& host,
    unsigned port, const std::wstring& masterPassword, bool ssl, AccountSwitch& account)
{
    account.loggedIn = false;
    account.switched = false;
    masterAuthentication_ = true;
    std::unique_ptr<SwitchAndList> pair;
    bool behind = false;
    const ImapClientResult result = open(host, port, L"", masterPassword, false, ssl, [&] {
        pair = std::make_unique<SwitchAndList>(connection_, account);
        const std::string lines = pair->setUser.lineToWriteBehind();
        behind = !lines.empty();
        return behind ? lines + pair->list.lineToWriteBehind() : std::string();
    });
    if (result != ImapSuccess)
        return result;
    account.loggedIn = true;
    if (!behind)
        return setUserAndList(account);
    return readSwitchAndList(*pair, account);
}

namespace {

// A login's answer that holds its kind and text alone.
SimpleImapClient::LoginAnswer answered(SimpleImapClient::LoginAnswer::Kind kind, std::string text)
{
    SimpleImapClient::LoginAnswer answer;
    answer.kind = kind;
    answer.text = std::move(text);
    return answer;
}

} // namespace

SimpleImapClient::Welcome SimpleImapClient::greet(const std::wstring& host, unsigned port, bool ssl)
{
    Welcome welcome;
    if (connected_) {
        welcome.text = "connected already";
        return welcome;
    }
    masterAuthentication_ = false;
    const ImapClientResult result = guarded("the greeting", ImapConnectionError, [&] {
        connection_.initialize(unicodeToUtf8(host), port, "", "", false, readTimeout, ssl);
        if (timeoutMs_ != 0)
            connection_.setTimeoutMs(timeoutMs_);
        connection_.init(false);
        return ImapSuccess;
    });
    trustNotice_ = connection_.getTrustNotice();
    std::string greeting = connection_.getGreeting();
    Command::removeEOL(greeting);
    if (result == ImapSuccess)
        welcome = {connection_.greetedAsLoggedIn() ? Welcome::Preauth : Welcome::Ready, greeting};
    else if (connection_.closedBeforeGreeting())
        welcome = {Welcome::Closed, lastError_};
    else if (ReplyReader::isBye(greeting))
        welcome = {Welcome::TurnedAway, greeting};
    else
        welcome = {Welcome::Failed, lastError_};
    return welcome;
}

SimpleImapClient::LoginAnswer SimpleImapClient::logIn(
    const std::wstring& user, const std::wstring& password)
{
    if (connected_ || connection_.getState() != ConnectionInternal::Connected)
        return answered(LoginAnswer::Failed, "no greeted connection to log in on");
    bool noMethod = false;
    bool ended = false;
    const ImapClientResult result = guarded("the login", ImapLoginFailed, [&] {
        connection_.setUserLogin(unicodeToUtf8(user), unicodeToUtf8(password));
        noMethod = connection_.loginMethod() == ConnectionInternal::LoginMethod::None;
        try {
            connection_.login();
        } catch (const ImapServerBrokeConnection&) {
            ended = true;
            throw;
        }
        ended = connection_.endedBehindLogin();
        return ended ? ImapConnectionError : ImapSuccess;
    });
    if (result == ImapSuccess) {
        connected_ = true;
        return answered(LoginAnswer::Accepted, std::string());
    }
    // Whatever the server left open is of no use now.
    connection_.close();
    std::string text = lastError_;
    Command::removeEOL(text);
    if (noMethod)
        return answered(LoginAnswer::NoMethod, text);
    if (ended)
        return answered(LoginAnswer::EndedAtLogin, text);
    if (result != ImapLoginFailed)
        return answered(LoginAnswer::Failed, text);
    return refusal(text, connection_.loginReplies());
}

SimpleImapClient::LoginAnswer SimpleImapClient::refusal(
    const std::string& tagged, const std::vector<std::string>& untagged)
{
    LoginAnswer answer = answered(LoginAnswer::Refused, std::string());
    auto addAlert = [&answer](const std::string& text) {
        answer.alert += (answer.alert.empty() ? "" : " ") + text;
    };
    for (const std::string& line : untagged) {
        StatusResponse response;
        if (readStatusResponse(line, response) && strcasecmp(response.code.c_str(), "ALERT") == 0) {
            answer.text += response.words + " ";
            addAlert(response.text);
        }
    }
    StatusResponse response;
    if (!readStatusResponse(tagged, response)) {
        // Not the server's answer: why the login failed before one came.
        answer.text += tagged;
        return answer;
    }
    answer.text += response.words;
    answer.code = response.code;
    if (strcasecmp(response.code.c_str(), "ALERT") == 0)
        addAlert(response.text);
    return answer;
}

void SimpleImapClient::disconnect(bool logout)
{
    if (!connected_) {
        // A connection greeted and never logged in on.
        connection_.close();
        return;
    }
    if (logout)
        connection_.logout();
    connection_.close();
    connected_ = false;
}

void SimpleImapClient::setReconnection(std::function<Failure()> logInAgain)
{
    connection_.setReestablish([this, logInAgain = std::move(logInAgain)] {
        // greet() and logIn() take a client that is not logged in.
        connected_ = false;
        tavir::tiny::ScopeExit asBefore([this] { connected_ = true; });
        return logInAgain();
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::reconnect()
{
    connected_ = false;
    return guarded("the login", ImapLoginFailed, [&] {
        connection_.reconnect();
        connected_ = true;
        return ImapSuccess;
    });
}

bool SimpleImapClient::testImapServer(
    const std::wstring& host, unsigned port, bool ssl, unsigned timeout, std::wstring& greeting)
{
    ConnectionInternal probe;
    trustNotice_ = {};
    testedLoginMethod_ = ConnectionInternal::LoginMethod::Login;
    testClosedBeforeGreeting_ = false;
    try {
        probe.setStreamFactory(factory_);
        probe.setStopSignal(stop_);
        probe.initialize(unicodeToUtf8(host), port, "", "", false, timeout, ssl);
        probe.init(false);
        trustNotice_ = probe.getTrustNotice();
        testedLoginMethod_ = probe.greetedAsLoggedIn() ? ConnectionInternal::LoginMethod::Login
                                                       : probe.loginMethod();
        greeting = tavir::migration::utf8ToUnicode(probe.getGreeting());
        return true;
    } catch (...) {
        // A refused or failed connection, or a failure of our own: either
        // way the server could not be tested; the probe's text says why.
        trustNotice_ = probe.getTrustNotice();
        testClosedBeforeGreeting_ = probe.closedBeforeGreeting();
        lastError_ = probe.getLastErrorResponse();
        if (lastError_.empty())
            lastError_ = "testing " + probe.endpointText() + " failed";
        return false;
    }
}

SimpleImapClient::ImapClientResult SimpleImapClient::createUser(const std::wstring& user,
    const std::wstring& domain, const std::wstring& password, const std::wstring& fullName)
{
    return simple("X-CREATEUSER", ImapCreateUserFailed, [&] {
        CommandXCreateUser command(connection_, unicodeToUtf8(user), unicodeToUtf8(domain),
            unicodeToUtf8(password), unicodeToUtf8(fullName), {});
        return succeededOr(command.execute(nullptr), ImapCreateUserFailed);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::setUser(
    const std::wstring& user, const std::wstring& domain)
{
    return simple("X-SETUSER", ImapSetUserFailed, [&] {
        std::string mailbox = unicodeToUtf8(user + L"@" + domain);
        CommandXSetUser command(connection_, mailbox);
        unsigned status = command.execute(nullptr);
        if (status == Command::OK)
            noteSwitch(mailbox);
        return succeededOr(status, ImapSetUserFailed);
    });
}

void SimpleImapClient::noteSwitch(const std::string& mailbox)
{
    connection_.setSwitchedUser(mailbox);
    if (connection_.getState() == ConnectionInternal::Selected)
        connection_.setState(ConnectionInternal::Authenticated);
}

SimpleImapClient::ImapClientResult SimpleImapClient::setUserAndList(AccountSwitch& account)
{
    account.switched = false;
    std::unique_ptr<SwitchAndList> pair;
    const ImapClientResult written = simple("X-SETUSER", ImapSetUserFailed, [&] {
        pair = std::make_unique<SwitchAndList>(connection_, account);
        ConnectionInternal::Operation operation(connection_);
        if (!pair->setUser.send(false))
            return ImapSetUserFailed;
        // (LIST "" "*" has no literal to wait for.)
        pair->list.send(true);
        return ImapSuccess;
    });
    if (written != ImapSuccess)
        return written;
    return readSwitchAndList(*pair, account);
}

SimpleImapClient::ImapClientResult SimpleImapClient::readSwitchAndList(
    SwitchAndList& pair, AccountSwitch& account)
{
    // The server takes a connection's commands in turn, so the LIST lists
    // the account switched to; should the switch be refused, its refusal is
    // read first and the LIST's answer is not used. Each answer within its
    // own deadline.
    ConnectionInternal::Operation operation(connection_);
    const ImapClientResult switched = simple("X-SETUSER", ImapSetUserFailed, [&] {
        if (pair.setUser.finish() == Command::OK) {
            noteSwitch(pair.mailbox);
            account.switched = true;
            return ImapSuccess;
        }
        const std::string refusal = connection_.getLastErrorResponse();
        try {
            pair.list.finish();
        } catch (const ImapException&) {
            // The refusal is the answer; a connection that failed since is
            // closed, or tells a late answer by its tag.
        }
        connection_.setLastErrorResponse(refusal);
        return ImapSetUserFailed;
    });
    if (switched != ImapSuccess)
        return switched;
    operation.restart();
    return simple("LIST", ImapListFailed, [&] {
        if (pair.list.finish() != Command::OK)
            return ImapListFailed;
        pair.list.getList(account.folders, account.separator, true);
        return ImapSuccess;
    });
}

SimpleImapClient::FolderType SimpleImapClient::convertFolderType(const std::wstring& folderClass)
{
    static const struct {
        const char* text;
        FolderType type;
    } classes[] = {
        {"ipf.note", FolderTypeNoteClass},
        {"ipf.contact", FolderTypeContactClass},
        {"ipf.appointment", FolderTypeAppointmentClass},
        {"ipf.task", FolderTypeTaskClass},
        {"ipf.journal", FolderTypeJournalClass},
        {"ipf.stickynote", FolderTypeStickyNoteClass},
    };
    std::string text = unicodeToUtf8(folderClass);
    for (const auto& row : classes)
        if (strcasecmp(text.c_str(), row.text) == 0)
            return row.type;
    return FolderTypeNone;
}

unsigned SimpleImapClient::folderTypeBit(FolderType type)
{
    switch (type) {
    case FolderTypeContactClass:
        return FolderTypeContact;
    case FolderTypeAppointmentClass:
        return FolderTypeCalendar;
    case FolderTypeTaskClass:
        return FolderTypeTodo;
    case FolderTypeJournalClass:
        return FolderTypeJournal;
    case FolderTypeNoteClass:
        return FolderTypeMail;
    case FolderTypeStickyNoteClass:
        return FolderTypeNote;
    default:
        return 0;
    }
}

SimpleImapClient::ImapClientResult SimpleImapClient::createFolder(
    const std::wstring& name, KUuid& guid, const std::wstring& folderClass)
{
    return createFolder(name, guid, convertFolderType(folderClass));
}

SimpleImapClient::ImapClientResult SimpleImapClient::createFolder(
    const std::wstring& name, KUuid& guid, FolderType type)
{
    std::vector<FolderToCreate> one{{name, guid, type, ImapNotConnected, {}}};
    const ImapClientResult result = createFolders(one);
    if (result != ImapSuccess)
        return result;
    if (one.front().result != ImapSuccess) {
        lastError_ = one.front().error;
        return one.front().result;
    }
    guid = one.front().guid;
    return ImapSuccess;
}

SimpleImapClient::ImapClientResult SimpleImapClient::createdId(const Command& command, KUuid& guid)
{
    // The new folder's identifier is the fifth word of the tagged line.
    const std::string tagged = command.getTaggedResponse();
    Parser parser(tagged);
    std::string node;
    int read = 0;
    while (read < 5 && parser.getNode(node))
        ++read;
    KUuid id = read == 5 ? KUuid::fromString(node, true) : KUuid();
    if (id.isNull()) {
        connection_.setLastErrorResponse("the X-CREATE reply of " + connection_.endpointText()
            + " names no folder identifier: " + tagged);
        return ImapCreateFolderFailed;
    }
    guid = id;
    return ImapSuccess;
}

SimpleImapClient::ImapClientResult SimpleImapClient::createFolders(
    std::vector<FolderToCreate>& folders)
{
    for (FolderToCreate& folder : folders)
        folder.result = ImapNotConnected;
    std::size_t next = 0; // the first folder not yet written
    while (next < folders.size()) {
        std::vector<std::unique_ptr<CommandCreate>> commands;
        const ImapClientResult result = simple("X-CREATE", ImapCreateFolderFailed, [&] {
            const std::size_t end = std::min(folders.size(), next + createTogether);
            // An identifier given is the one the folder gets (a migration
            // keeps the source's); without one the server makes one up.
            for (std::size_t i = next; i < end; ++i)
                commands.push_back(
                    std::make_unique<CommandCreate>(connection_, unicodeToUtf7M(folders[i].name),
                        folderTypeBit(folders[i].type), folders[i].guid.toStringUpper(true), true));
            ConnectionInternal::Operation operation(connection_);
            // The first may wait for the server's continuations; those after
            // it go behind it when they need none, and are never written
            // again on a new connection.
            std::size_t written = commands.front()->send(false) ? 1 : 0;
            if (written == 1) {
                while (
                    written < commands.size() && !commands[written]->lineToWriteBehind().empty()) {
                    commands[written]->setReconnect(false);
                    commands[written]->send(false);
                    ++written;
                }
                connection_.send(std::string(), false, true);
            }
            // The server answers in turn, each answer within its own
            // deadline; a first one ended while a literal waited has its
            // answer already.
            const std::size_t answered = std::max<std::size_t>(written, 1);
            for (std::size_t i = 0; i < answered; ++i) {
                FolderToCreate& folder = folders[next + i];
                operation.restart();
                if ((written == 0 ? commands[i]->status() : commands[i]->finish()) == Command::OK)
                    folder.result = createdId(*commands[i], folder.guid);
                else
                    folder.result = ImapCreateFolderFailed;
                if (folder.result != ImapSuccess)
                    folder.error = connection_.getLastErrorResponse();
            }
            next += answered;
            return ImapSuccess;
        });
        if (result != ImapSuccess)
            return result;
    }
    return ImapSuccess;
}

SimpleImapClient::ImapClientResult SimpleImapClient::deleteFolder(
    const std::wstring& name, bool recursive)
{
    ImapClientResult selected = select(name);
    if (selected != ImapSuccess)
        return selected;
    return simple("DELETE", ImapDeleteFolderFailed, [&] {
        CommandDelete command(connection_, unicodeToUtf7M(name), recursive);
        unsigned status = command.execute(nullptr);
        // The deleted folder is selected no more: a reconnect must not try
        // to select it again (that would fail every later command), and a
        // folder made again under its name must really be selected.
        if (status == Command::OK && connection_.getState() == ConnectionInternal::Selected)
            connection_.setState(ConnectionInternal::Authenticated);
        return succeededOr(status, ImapDeleteFolderFailed);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::select(const std::wstring& name)
{
    return simple("SELECT", ImapSelectFailed, [&] {
        std::string folder = unicodeToUtf7M(name);
        if (connection_.getState() == ConnectionInternal::Selected
            && connection_.getSelectedFolder() == folder && !connection_.renumbered())
            return ImapSuccess;
        CommandSelect command(connection_, folder);
        unsigned status = command.execute(nullptr);
        if (status == Command::OK)
            connection_.setState(ConnectionInternal::Selected, folder);
        return succeededOr(status, ImapSelectFailed);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::noMessageCount(const char* verb)
{
    connection_.setLastErrorResponse(std::string("the ") + verb + " reply of "
        + connection_.endpointText() + " holds no message count");
    return ImapStatusFailed;
}

SimpleImapClient::ImapClientResult SimpleImapClient::select(
    const std::wstring& name, unsigned& count)
{
    return simple("SELECT", ImapSelectFailed, [&] {
        const std::string folder = unicodeToUtf7M(name);
        CommandSelect command(connection_, folder);
        ConnectionInternal::Operation operation(connection_);
        if (!command.send(true))
            return succeededOr(command.status(), ImapSelectFailed);
        return countSelected(command, folder, count);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::countSelected(
    CommandSelect& command, const std::string& folder, unsigned& count)
{
    const unsigned status = command.finish();
    if (status != Command::OK)
        return succeededOr(status, ImapSelectFailed);
    connection_.setState(ConnectionInternal::Selected, folder);
    std::vector<ResponseResult> exists;
    if (command.filterResponses(exists, RespExists) == 0) {
        return noMessageCount("SELECT");
    }
    count = exists.back().getNumber();
    return ImapSuccess;
}

SimpleImapClient::ImapClientResult SimpleImapClient::status(
    const std::wstring& name, unsigned& count)
{
    KUuid scratch;
    return status(name, count, scratch, false);
}

SimpleImapClient::ImapClientResult SimpleImapClient::status(
    const std::wstring& name, unsigned& count, KUuid& guid, bool wantGuid)
{
    return simple("STATUS", ImapStatusFailed, [&] {
        CommandStatus command(connection_, unicodeToUtf7M(name), wantGuid);
        if (command.execute(nullptr) != Command::OK)
            return ImapStatusFailed;
        // A reply without a count is a failed count, not an empty folder:
        // the folder's messages would otherwise be skipped silently.
        if (!command.hasMessagesCount()) {
            return noMessageCount("STATUS");
        }
        count = command.getMessagesCount();
        if (wantGuid)
            guid = command.getFolderGuid();
        return ImapSuccess;
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::list(
    std::vector<FolderInfo>& folders, bool wantGuid, char& separator)
{
    return simple("LIST", ImapListFailed, [&] {
        CommandList command(connection_, "", "*", wantGuid);
        if (command.execute(nullptr) != Command::OK)
            return ImapListFailed;
        command.getList(folders, separator, true);
        return ImapSuccess;
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::listAndSelectInbox(
    std::vector<FolderInfo>& folders, bool wantGuid, char& separator, Selection& inbox)
{
    inbox = Selection();
    std::unique_ptr<CommandSelect> select;
    bool selectSent = false;
    ConnectionInternal::Operation operation(connection_);
    const ImapClientResult listed = simple("LIST", ImapListFailed, [&] {
        CommandList list(connection_, "", "*", wantGuid);
        select = std::make_unique<CommandSelect>(connection_, "INBOX");
        // Written behind the listing, the SELECT is never written again on
        // a new connection; neither line has a literal to wait for.
        select->setReconnect(false);
        if (!list.send(false))
            return ImapListFailed;
        selectSent = select->send(true);
        if (list.finish() != Command::OK)
            return ImapListFailed;
        list.getList(folders, separator, true);
        return ImapSuccess;
    });
    // A listing that failed otherwise than by a refusal (a lost connection,
    // a time-out) fails the SELECT behind it too, which is not waited for.
    if (!selectSent || (listed != ImapSuccess && listed != ImapListFailed)) {
        inbox.result = listed == ImapSuccess ? ImapSelectFailed : listed;
        inbox.error = lastError_;
        return listed;
    }
    // The SELECT's answer follows the listing's; its failure is its own,
    // and the listing's stays the last error.
    const std::string listError = lastError_;
    operation.restart();
    inbox.result = simple(
        "SELECT", ImapSelectFailed, [&] { return countSelected(*select, "INBOX", inbox.count); });
    if (inbox.result != ImapSuccess)
        inbox.error = lastError_;
    lastError_ = listError;
    return listed;
}

SimpleImapClient::ImapClientResult SimpleImapClient::list(
    std::vector<std::wstring>& names, bool wantGuid, char& separator)
{
    names.clear();
    std::vector<FolderInfo> folders;
    ImapClientResult result = list(folders, wantGuid, separator);
    if (result != ImapSuccess)
        return result;
    return simple("LIST", ImapListFailed, [&] {
        for (const FolderInfo& folder : folders)
            if (folder.selectable)
                names.push_back(tavir::migration::utf7MToUnicode(folder.name));
        return ImapSuccess;
    });
}

void SimpleImapClient::abort()
{
    tavir::tiny::KMutexLocker locker(lock_);
    aborted_ = true;
}

bool SimpleImapClient::wasAborted()
{
    tavir::tiny::KMutexLocker locker(lock_);
    return aborted_;
}

std::wstring SimpleImapClient::getLastErrorResponse() const
{
    return tavir::migration::utf8ToUnicode(lastError_);
}

} // namespace tavir::mail
