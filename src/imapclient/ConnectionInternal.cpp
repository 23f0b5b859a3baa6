#include "imapclient/ConnectionInternal.h"

#include "imapclient/Command.h"
#include "imapclient/CommandFolder.h"
#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"
#include "imapclient/ReplyReader.h"
#include "ssl/StopSignal.h"
#include "tiny/FormatError.h"
#include "tiny/ScopeExit.h"
#include "utils/StringUtils.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <strings.h>

namespace tavir::mail {

using imap::startsWithNoCase;

namespace {

// Seconds as milliseconds, saturating instead of wrapping.
unsigned toMs(unsigned seconds)
{
    std::uint64_t ms = static_cast<std::uint64_t>(seconds) * 1000u;
    return ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(ms);
}

// A deadline for a sentence: whole seconds from 10 s on, tenths below.
std::string budgetText(unsigned ms)
{
    const unsigned step = ms >= 10000 ? 1000 : 100;
    return utils::secondsText((ms + step / 2) / step * step);
}

// The words of a capability list, up to a closing bracket.
std::vector<std::string> capabilityWords(const std::string& text, std::size_t from)
{
    std::string list = text.substr(from, text.find(']', from) - from);
    Parser parser(list);
    std::vector<std::string> words;
    std::string word;
    while (parser.getNode(word))
        words.push_back(word);
    return words;
}

} // namespace

ConnectionInternal::Operation::Operation(ConnectionInternal& connection)
    : connection_(connection)
    , outer_(connection.inOperation_)
{
    connection.startDeadline();
    connection.inOperation_ = true;
}

ConnectionInternal::StopGrace::StopGrace(ConnectionInternal& connection)
    : connection_(connection)
{
    if (connection_.stream_)
        connection_.stream_->setStopGrace(stopGraceMs);
}

ConnectionInternal::StopGrace::~StopGrace()
{
    if (connection_.stream_)
        connection_.stream_->setStopGrace(0);
}

ConnectionInternal::ConnectionInternal()
    : factory_(makeTcpImapStream)
{
}

ConnectionInternal::~ConnectionInternal()
{
    try {
        if (state_ == Authenticated || state_ == Selected)
            logout();
    } catch (...) {
        // A farewell that fails changes nothing: the connection is closed.
    }
    close();
}

void ConnectionInternal::initialize(const std::string& host, unsigned port,
    const std::string& masterPassword, unsigned timeout, bool ssl)
{
    timeout_ = timeout;
    timeoutMs_ = toMs(timeout);
    host_ = host;
    port_ = port == defaultServicePort ? (ssl ? defaultImapSSLPort : defaultImapPort) : port;
    password_ = masterPassword;
    ssl_ = ssl;
    master_ = true;
    cramMD5_ = false;
    switchedUser_.clear();
    restoreFolder_.clear();
    forgetMailbox();
}

void ConnectionInternal::initialize(const std::string& host, unsigned port, const std::string& user,
    const std::string& password, bool cramMD5, unsigned timeout, bool ssl)
{
    timeout_ = timeout;
    timeoutMs_ = toMs(timeout);
    host_ = host;
    port_ = port == defaultServicePort ? (ssl ? defaultImapSSLPort : defaultImapPort) : port;
    password_ = password;
    user_ = user;
    ssl_ = ssl;
    master_ = false;
    cramMD5_ = cramMD5;
    switchedUser_.clear();
    restoreFolder_.clear();
    forgetMailbox();
}

void ConnectionInternal::setLimits(std::size_t maxLineLength, std::uint64_t maxLiteralSize,
    std::uint64_t maxResponseSize, std::uint64_t maxMessageSize)
{
    maxLine_ = maxLineLength;
    maxLiteral_ = maxLiteralSize;
    maxResponse_ = maxResponseSize;
    maxMessage_ = maxMessageSize;
}

void ConnectionInternal::setStreamFactory(ImapStreamFactory factory)
{
    factory_ = std::move(factory);
}

bool ConnectionInternal::isAcceptableGreeting(const std::string& greeting)
{
    if (greeting.size() < 2 || greeting[0] != '*' || greeting[1] != ' ')
        return false;
    for (const char* word : {"OK", "PREAUTH"}) {
        if (!startsWithNoCase(greeting, 2, word))
            continue;
        std::size_t end = 2 + std::char_traits<char>::length(word);
        if (end == greeting.size() || greeting[end] == ' ' || greeting[end] == '\r')
            return true;
    }
    return false;
}

std::string ConnectionInternal::endpointText() const
{
    return host_ + ":" + std::to_string(port_);
}

std::string ConnectionInternal::sizeText(std::uint64_t bytes)
{
    if (bytes != 0 && bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes != 0 && bytes % 1024u == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

std::string ConnectionInternal::lineTooLongText() const
{
    return "a reply line from " + endpointText() + " is longer than " + sizeText(maxLine_);
}

std::string ConnectionInternal::stoppedText() const
{
    return "the connection to " + endpointText() + " was closed on a stop request";
}

std::string ConnectionInternal::readEndText(const char* what) const
{
    if (stopRequested())
        return stoppedText();
    int error = stream_ ? stream_->readEndError() : ETIMEDOUT;
    if (error == ETIME && received_ > 0)
        return endpointText() + " sends too slowly: " + what + " not complete after "
            + budgetText(budgetMs_) + ", and the connection was cut off";
    if (error == ETIME || error == ETIMEDOUT)
        return "connection to " + endpointText() + " timed out after " + waitedText();
    if (error == 0)
        return endpointText() + " closed the connection";
    return "connection to " + endpointText()
        + " failed: " + tavir::tiny::FormatError::formatErrorFromErrorCode(error);
}

std::string ConnectionInternal::waitedText() const
{
    const int error = stream_ ? stream_->readEndError() : ETIMEDOUT;
    return error == ETIME ? budgetText(budgetMs_) : utils::secondsText(timeoutMs_);
}

bool ConnectionInternal::readEndWasTimeout() const
{
    if (stopRequested())
        return false;
    int error = stream_ ? stream_->readEndError() : ETIMEDOUT;
    return error == ETIMEDOUT || error == ETIME;
}

bool ConnectionInternal::readEndedForGood() const
{
    if (!stream_)
        return false;
    int error = stream_->readEndError();
    return stopRequested() || !(error == ETIMEDOUT || (error == ETIME && received_ == 0));
}

void ConnectionInternal::recordError(const std::string& text, bool timeout)
{
    lastError_ = text;
    timedOut_ = timeout;
    ++errorCount_;
}

void ConnectionInternal::recordReadEnd()
{
    recordError(readEndText(), readEndWasTimeout());
}

void ConnectionInternal::failOnReadEnd(bool inside)
{
    const std::string text = readEndText();
    const bool timeout = readEndWasTimeout();
    const bool stopped = stopRequested();
    if (inside || readEndedForGood())
        close();
    recordError(text, timeout);
    if (stopped)
        throw ImapConnectionFailed(text);
    throw ImapTimeoutException(text);
}

void ConnectionInternal::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop)
{
    stop_ = std::move(stop);
    if (stream_)
        stream_->setStopSignal(stop_);
}

bool ConnectionInternal::stopRequested() const
{
    return stop_ && stop_->raised();
}

void ConnectionInternal::startDeadline()
{
    budgetMs_ = timeoutMs_;
    received_ = 0;
    if (stream_)
        stream_->startDeadline(timeoutMs_);
}

void ConnectionInternal::stepDeadline()
{
    if (!inOperation_)
        startDeadline();
}

void ConnectionInternal::creditDeadline(std::uint64_t bytes)
{
    if (timeoutMs_ == 0 || !stream_)
        return;
    const std::uint64_t ms = std::min<std::uint64_t>(bytes * 1000u / slowestRate, 0x7FFFFFFFu);
    budgetMs_ = static_cast<unsigned>(std::min<std::uint64_t>(budgetMs_ + ms, 0xFFFFFFFFu));
    stream_->extendDeadline(static_cast<unsigned>(ms));
}

std::string ConnectionInternal::getTag()
{
    return "K" + std::to_string(tagCounter_++);
}

bool ConnectionInternal::streamGood()
{
    return stream_ && stream_->good();
}

void ConnectionInternal::setTimeout(unsigned seconds)
{
    if (stream_)
        stream_->setTimeoutMs(toMs(seconds));
}

void ConnectionInternal::setTimeoutMs(unsigned ms)
{
    timeoutMs_ = ms;
    timeout_ = (ms + 999u) / 1000u;
    if (stream_)
        stream_->setTimeoutMs(ms);
}

void ConnectionInternal::setState(State state, const std::string& folder)
{
    if (state == state_) {
        if (state_ == Selected) {
            selectedFolder_ = folder;
            restoreFolder_ = folder;
        }
        return;
    }
    switch (state_) {
    case NotConnected:
        if (state == Connected)
            state_ = Connected;
        break;
    case Connected:
        if (state == NotConnected || state == Authenticated)
            state_ = state;
        break;
    case Authenticated:
        if (state == Selected) {
            selectedFolder_ = folder;
            restoreFolder_ = folder;
        }
        state_ = state;
        break;
    case Selected:
        selectedFolder_.clear();
        if (state == Authenticated)
            restoreFolder_.clear(); // the caller left the folder on purpose
        if (state != Connected)
            state_ = state;
        break;
    }
}

std::string ConnectionInternal::getSelectedFolder() const
{
    return state_ == Selected ? selectedFolder_ : std::string();
}

void ConnectionInternal::close()
{
    if (stream_)
        stream_->close();
    // Through the state rules; what a reconnect restores is kept.
    if (state_ != NotConnected) {
        selectedFolder_.clear();
        state_ = NotConnected;
    }
}

void ConnectionInternal::init(bool login, const AfterChallenge& afterChallenge)
{
    try {
        connectAndGreet(login, afterChallenge);
    } catch (const ImapException&) {
        close();
        throw;
    } catch (const std::exception& e) {
        // A failure of our own (no memory, a digest that could not be
        // made) while the session was set up.
        closeWithError("connecting to " + endpointText() + " failed: " + e.what());
    }
}

void ConnectionInternal::connectAndGreet(bool login, const AfterChallenge& afterChallenge)
{
    ImapEndpoint endpoint;
    endpoint.host = host_;
    endpoint.port = port_;
    endpoint.ssl = ssl_;
    endpoint.timeoutMs = timeoutMs_;
    endpoint.stop = stop_;
    endpoint.writesBodies = writesBodies_;
    endpoint.firstUse = firstUse_;
    // Whatever this object had is over: a new session starts from state 0,
    // and what the server said of itself is asked anew (another server may
    // answer at the same address).
    close();
    trustNotice_ = {};
    closedBeforeGreeting_ = false;
    greeting_.clear();
    capabilities_.clear();
    capabilitiesKnown_ = false;
    std::unique_ptr<ImapStream> stream = factory_ ? factory_(endpoint) : nullptr;
    if (!stream) {
        std::string text = "host name " + host_ + " could not be resolved";
        setLastErrorResponse(text);
        throw ImapConnectionFailed(text);
    }
    stream_ = std::move(stream);
    stream_->setTimeoutMs(timeoutMs_);
    // Connecting, the TLS handshake and the greeting share one deadline.
    Operation greeting(*this);
    const bool connected = stream_->create() && stream_->good();
    // Also when refused: it tells whether the certificate changed.
    trustNotice_ = stream_->trustNotice();
    if (!connected) {
        if (stopRequested())
            closeWithError(stoppedText());
        // Reset as it was taken, or closed before a byte of the TLS
        // handshake: as closed before the greeting, which is how a server
        // at its limit turns a connection away.
        if (stream_->closedBeforeAnyByte())
            failClosedBeforeGreeting();
        std::string reason = stream_->connectFailure();
        closeWithError((ssl_ ? "could not connect with TLS to " : "could not connect to ")
            + endpointText() + (reason.empty() ? "" : ": " + reason));
    }
    setState(Connected);
    readGreeting();
    noteCapabilities(greeting_);
    if (login) {
        this->login(afterChallenge);
        restoreSession();
    }
}

void ConnectionInternal::readGreeting()
{
    // One line, CR kept, LF dropped.
    greeting_.clear();
    bool complete = false;
    bool ended = false;
    for (;;) {
        int c = stream_->get();
        if (c < 0) {
            ended = true;
            break;
        }
        ++received_;
        if (c == '\n') {
            complete = true;
            break;
        }
        if (greeting_.size() >= maxLine_)
            break;
        greeting_.push_back(static_cast<char>(c));
    }
    if (complete && stream_->good() && isAcceptableGreeting(greeting_))
        return;
    // A server that said something is quoted; one that said nothing, was
    // cut off while it spoke or was stopped is described. One that took the
    // connection and stayed silent is told apart from one that could not
    // be reached: the address is right, the service behind it is not.
    const bool timeout = ended && readEndWasTimeout();
    const bool cutOff = ended && stream_->readEndError() == ETIME;
    const int endError = ended ? stream_->readEndError() : -1;
    if (ended && received_ == 0 && !stopRequested()
        && (endError == 0 || endError == ECONNRESET || endError == EPIPE))
        failClosedBeforeGreeting();
    std::string refused = timeout && received_ == 0
        ? endpointText() + " accepted the connection but sent no greeting within " + waitedText()
        : ended && (greeting_.empty() || cutOff || stopRequested())
        ? readEndText("its greeting was")
        : greeting_.find_first_not_of("\r ") == std::string::npos
        ? endpointText() + " sent an empty greeting"
        : greeting_;
    close();
    recordError(refused, timeout);
    throw ImapConnectionFailed(refused);
}

void ConnectionInternal::failClosedBeforeGreeting()
{
    closedBeforeGreeting_ = true;
    const std::string text = readEndText("its greeting was");
    close();
    recordError(text, false);
    throw ImapConnectionFailed(text);
}

void ConnectionInternal::restoreSession()
{
    if (!switchedUser_.empty()) {
        Command setUser(*this, "X-SETUSER");
        setUser.addParamString(switchedUser_);
        setUser.setReconnect(false);
        if (setUser.execute(nullptr) != Command::OK)
            throw ImapConnectionFailed("Restoring the account switch failed");
    }
    if (!restoreFolder_.empty()) {
        std::string folder = restoreFolder_;
        // Sequence numbers hold within one session: the folder selected
        // again may number its messages otherwise (one expunged, another
        // arrived meanwhile). A numbering in doubt before stays in doubt;
        // both are taken before the SELECT forgets them.
        const Mailbox before = mailbox_;
        const bool inDoubt = renumbered_;
        CommandSelect select(*this, folder);
        select.setReconnect(false);
        if (select.execute(nullptr) != Command::OK)
            throw ImapConnectionFailed("Restoring the selected folder failed");
        setState(Selected, folder);
        renumbered_ = inDoubt || !mailbox_.sameNumbering(before);
    }
}

void ConnectionInternal::login(const AfterChallenge& afterChallenge)
{
    if (master_) {
        masterAuthenticate(afterChallenge);
        return;
    }
    loginReplies_.clear();
    // Logged in already as whoever the server chose: a password sent now
    // could only go to a session that is not the account's.
    if (greetedAsLoggedIn())
        refuseLogin(endpointText()
            + " greets the connection as logged in already (PREAUTH); no password was sent");
    switch (loginMethod()) {
    case LoginMethod::CramMD5:
        authenticateCramMD5();
        return;
    case LoginMethod::None:
        refuseLogin(endpointText()
            + " refuses LOGIN on this connection (LOGINDISABLED) and offers no AUTHENTICATE "
              "CRAM-MD5; no password was sent");
    case LoginMethod::Login:
        break;
    }
    Command command(*this, "LOGIN");
    command.addParamString(user_);
    command.addParamString(password_);
    // A login never reconnects: it is itself part of (re)connecting.
    command.setReconnect(false);
    const unsigned status = command.execute(nullptr);
    loginReplies_ = command.getUntaggedResponses();
    if (status != Command::OK)
        throw AuthenticateFailedException("Authentication failed - Login");
    setState(Authenticated);
}

ConnectionInternal::LoginMethod ConnectionInternal::loginMethod()
{
    if (cramMD5_)
        return LoginMethod::CramMD5;
    bool loginDisabled = false;
    bool cramMD5 = false;
    // Part of (re)connecting: a lost connection is not re-established here.
    for (const std::string& capability : knownCapabilities(false, true)) {
        loginDisabled = loginDisabled || strcasecmp(capability.c_str(), "LOGINDISABLED") == 0;
        cramMD5 = cramMD5 || strcasecmp(capability.c_str(), "AUTH=CRAM-MD5") == 0;
    }
    if (!loginDisabled)
        return LoginMethod::Login;
    return cramMD5 ? LoginMethod::CramMD5 : LoginMethod::None;
}

void ConnectionInternal::setUserLogin(const std::string& user, const std::string& password)
{
    user_ = user;
    password_ = password;
    master_ = false;
}

bool ConnectionInternal::greetedAsLoggedIn() const
{
    return greeting_.size() > 2 && greeting_.compare(0, 2, "* ") == 0
        && startsWithNoCase(greeting_, 2, "PREAUTH") && isAcceptableGreeting(greeting_);
}

void ConnectionInternal::refuseLogin(const std::string& text)
{
    setLastErrorResponse(text);
    throw AuthenticateFailedException(text);
}

bool ConnectionInternal::endedBehindLogin()
{
    if (!bytesInHand() && !dataWaiting())
        return false;
    std::string line;
    try {
        stepDeadline();
        recvLine(line);
    } catch (const ImapException&) {
        // Reset, or cut off inside a line: the session is over, and the
        // failure recorded.
        return true;
    }
    if (!line.empty() && !ReplyReader::isBye(line)) {
        // News the session goes on after, read as any reply's would be.
        noteCapabilities(line);
        return false;
    }
    Command::removeEOL(line);
    close();
    if (line.empty())
        recordReadEnd();
    else
        setLastErrorResponse(line);
    return true;
}

void ConnectionInternal::logout()
{
    // Sent, not awaited: the connection is closed at once. Its answer
    // would tell nothing (the server ends the session either way), and
    // every command before it was answered or is given up; waiting would
    // cost a round trip per connection. A connection already lost is only
    // closed.
    const std::string lastError = lastError_;
    try {
        if (isOpen()) {
            Command command(*this, "LOGOUT");
            command.setReconnect(false);
            command.send(true);
        }
    } catch (const ImapException&) {
        // A farewell that can't be written changes nothing, nor is it news.
        lastError_ = lastError;
    }
    close();
}

void ConnectionInternal::reconnect()
{
    close();
    init(true);
}

void ConnectionInternal::writeText(const std::string& text, bool flush)
{
    if (!text.empty())
        stream_->write(text.data(), text.size());
    if (flush)
        stream_->flush();
}

void ConnectionInternal::closeWithError(const std::string& text)
{
    close();
    setLastErrorResponse(text);
    throw ImapConnectionFailed(text);
}

void ConnectionInternal::sendFailed(const std::string& what)
{
    if (stopRequested())
        closeWithError(stoppedText());
    const int error = stream_ ? stream_->writeEndError() : 0;
    if (error == ETIME || error == ETIMEDOUT) {
        // Still ImapConnectionFailed, so that the command in hand fails as
        // any write does; the time-out is told by lastErrorWasTimeout().
        const std::string text = endpointText() + " reads too slowly: " + what
            + " was not taken after " + budgetText(budgetMs_) + ", and the connection was cut off";
        close();
        setTimeoutError(text);
        throw ImapConnectionFailed(text);
    }
    closeWithError("sending " + what + " to " + endpointText() + " failed");
}

bool ConnectionInternal::send(const std::string& text, bool reconnect, bool flush, bool numbered)
{
    stepDeadline();
    creditDeadline(text.size());
    if (numbered)
        refuseIfRenumbered();
    if (streamGood() && state_ != NotConnected) {
        writeText(text, flush);
        if (streamGood() && state_ != NotConnected)
            return true;
    }
    if (!reconnect)
        sendFailed("a command");
    // The text is always written after a reconnect: reporting success for
    // text that was never sent would lose the command.
    reestablish();
    if (numbered)
        refuseIfRenumbered();
    writeText(text, true);
    if (streamGood())
        return true;
    sendFailed("a command");
}

void ConnectionInternal::reestablish()
{
    close();
    // A new stream, greeting and login; the account switch and the folder
    // are restored before anything else is written.
    try {
        if (reestablish_)
            reestablishAsOwnerLogsIn();
        else
            init(true);
    } catch (const ImapException& e) {
        // However the automatic reconnect failed (a refused login
        // included), the command in hand met a lost connection.
        if (handleImapException(e, ImapConnectionError) != ImapConnectionError)
            throw ImapConnectionFailed(e.what());
        throw;
    }
}

void ConnectionInternal::reestablishAsOwnerLogsIn()
{
    Failure failure;
    {
        // The owner's login begins a session afresh (initialize forgets what
        // a reconnect restores): the lost session's is set aside, and taken
        // up again whatever came of the login.
        tiny::ScopeExit takeUp([this, switchedUser = switchedUser_, folder = restoreFolder_,
                                   mailbox = mailbox_, renumbered = renumbered_] {
            switchedUser_ = switchedUser;
            restoreFolder_ = folder;
            mailbox_ = mailbox;
            renumbered_ = renumbered;
        });
        failure = reestablish_();
    }
    if (!failure.failed() && state_ == Authenticated) {
        try {
            restoreSession();
        } catch (const ImapException&) {
            close();
            throw;
        }
        return;
    }
    close();
    if (stopRequested())
        closeWithError(stoppedText());
    const std::string why
        = !failure.why.empty() ? failure.why : "logging in to " + endpointText() + " again failed";
    recordError(why, failure.timedOut);
    throw ImapConnectionFailed(why);
}

void ConnectionInternal::refuseIfRenumbered()
{
    if (!renumbered_)
        return;
    const std::string text = "the messages of folder " + restoreFolder_ + " on " + endpointText()
        + " may be numbered otherwise than when they were counted: no command names them by "
          "number before they are found again";
    setLastErrorResponse(text);
    throw ImapConnectionFailed(text);
}

bool ConnectionInternal::Mailbox::sameNumbering(const Mailbox& other) const
{
    return uidValidity != 0 && uidNext != 0 && countKnown && other.countKnown
        && uidValidity == other.uidValidity && uidNext == other.uidNext && count == other.count;
}

void ConnectionInternal::forgetMailbox()
{
    mailbox_ = Mailbox();
    renumbered_ = false;
}

void ConnectionInternal::noteMailbox(const std::string& reply)
{
    if (reply.compare(0, 2, "* ") != 0)
        return;
    // "* 12 EXISTS", "* 3 EXPUNGE". FETCH replies come here too, with the
    // literals read into them (a digest's piece of 1 MiB): the word after
    // the number is looked at where it stands, and nothing is copied.
    const std::size_t blank = reply.find(' ', 2);
    const char* word = blank == std::string::npos ? "" : reply.c_str() + blank + 1;
    const bool exists = strcasecmp(word, "EXISTS") == 0;
    std::uint32_t number = 0;
    if ((exists || strcasecmp(word, "EXPUNGE") == 0)
        && imap::parseUnsigned32(reply.substr(2, blank - 2), number)) {
        if (exists) {
            mailbox_.count = number;
            mailbox_.countKnown = true;
        } else {
            if (mailbox_.count > 0)
                --mailbox_.count;
            // Every message after it moved down by one.
            renumbered_ = true;
        }
        return;
    }
    // "* OK [UIDVALIDITY 3857529045] UIDs valid", "* OK [UIDNEXT 4392] ..."
    for (auto [code, value] :
        {std::pair<const char*, std::uint32_t*>{"OK [UIDVALIDITY ", &mailbox_.uidValidity},
            {"OK [UIDNEXT ", &mailbox_.uidNext}}) {
        if (!startsWithNoCase(reply, 2, code))
            continue;
        const std::size_t from = 2 + std::char_traits<char>::length(code);
        const std::size_t end = reply.find(']', from);
        std::uint32_t read = 0;
        if (end != std::string::npos && imap::parseUnsigned32(reply.substr(from, end - from), read))
            *value = read;
        return;
    }
}

void ConnectionInternal::reconnectIfLost()
{
    if (!isOpen())
        reestablish();
}

void ConnectionInternal::flush()
{
    if (streamGood() && state_ != NotConnected)
        stream_->flush();
}

void ConnectionInternal::flushOrThrow()
{
    if (streamGood() && state_ != NotConnected) {
        stream_->flush();
        if (streamGood())
            return;
    }
    sendFailed("a message");
}

bool ConnectionInternal::recvLine(std::string& line, bool* overLong)
{
    line.clear();
    if (overLong != nullptr)
        *overLong = false;
    if (!streamGood() || state_ == NotConnected)
        closeWithError("the connection to " + endpointText() + " is not open");
    bool complete = readLinePart(line);
    if (!complete && line.size() >= maxLine_) {
        if (overLong == nullptr)
            closeWithError(lineTooLongText());
        complete = skipRestOfLine(line);
        *overLong = true;
    }
    // The read ended inside a line: what follows can't be told apart from
    // what was lost, so the connection is given up.
    if (!complete && !line.empty())
        closeAfterCutReply();
    if (!streamGood())
        closeWithError(readEndText());
    return true;
}

bool ConnectionInternal::readLinePart(std::string& line)
{
    const std::size_t before = line.size();
    bool complete = false;
    try {
        complete = stream_->readLine(line, maxLine_);
    } catch (const std::bad_alloc&) {
        closeWithError("out of memory while reading a reply from " + endpointText());
    }
    received_ += line.size() - before;
    creditDeadline(line.size() - before);
    return complete;
}

bool ConnectionInternal::skipRestOfLine(std::string& line)
{
    // The line's head names its reply ("* 3 FETCH (UID 9 FLAGS ..."), its
    // tail may announce a literal ("BODY[] {2048}" CR LF): both are kept,
    // what lies between is read in parts of the line limit and dropped.
    // A line longer than a command's whole answer may be is not skipped.
    constexpr std::size_t headKept = 4096;
    constexpr std::size_t tailKept = 64;
    std::string tail = line.substr(line.size() - std::min(line.size(), tailKept));
    line.resize(std::min(line.size(), headKept));
    std::string part;
    std::uint64_t skipped = maxLine_;
    for (;;) {
        part.clear();
        const bool complete = readLinePart(part);
        skipped += part.size();
        tail = (tail + part)
                   .substr(std::max<std::size_t>(tail.size() + part.size(), tailKept) - tailKept);
        if (complete || part.size() < maxLine_) {
            line += tail;
            return complete;
        }
        if (skipped > maxResponse_)
            closeWithError("a reply line from " + endpointText() + " is longer than "
                + sizeText(maxResponse_));
    }
}

void ConnectionInternal::sendLiteralData(const std::string& data)
{
    creditDeadline(data.size());
    if (streamGood() && state_ != NotConnected) {
        writeText(data, false);
        if (streamGood() && state_ != NotConnected)
            return;
    }
    sendFailed("a message");
}

unsigned ConnectionInternal::recvData(std::string& buffer, unsigned n)
{
    const std::size_t start = buffer.size();
    try {
        buffer.resize(start + n);
    } catch (const std::exception&) {
        // Reported as a short read; the caller gives the literal up.
        return 0;
    }
    const unsigned done = recvData(&buffer[start], n);
    buffer.resize(start + done);
    return done;
}

unsigned ConnectionInternal::recvData(char* into, unsigned n)
{
    if (n == 0 || !stream_ || state_ == NotConnected)
        return 0;
    std::size_t done = 0;
    try {
        done = stream_->read(into, n);
    } catch (const std::exception&) {
        // Reported as a short read; the caller gives the literal up.
    }
    received_ += done;
    creditDeadline(done);
    return static_cast<unsigned>(done);
}

bool ConnectionInternal::dataWaiting()
{
    return isOpen() && stream_->dataWaiting();
}

std::vector<std::string> ConnectionInternal::getCapability()
{
    return knownCapabilities(true);
}

const std::vector<std::string>& ConnectionInternal::knownCapabilities(
    bool reconnect, bool listMayBeEmpty)
{
    if (!capabilitiesKnown_) {
        Command command(*this, "CAPABILITY");
        command.setReconnect(reconnect);
        if (command.execute(nullptr) == Command::OK && !capabilitiesKnown_ && !listMayBeEmpty) {
            std::string text = "the CAPABILITY reply of " + endpointText() + " lists nothing";
            setLastErrorResponse(text);
            throw ImapConnectionFailed(text);
        }
        // A server that refuses the command has told all it will.
        capabilitiesKnown_ = true;
    }
    return capabilities_;
}

void ConnectionInternal::noteCapabilities(const std::string& reply)
{
    // "* CAPABILITY a b", or "<tag or *> OK [CAPABILITY a b] text" (also
    // PREAUTH, in a greeting).
    std::size_t at = reply.find(' ');
    if (at == std::string::npos)
        return;
    ++at;
    std::size_t list = 0;
    if (reply[0] == '*' && startsWithNoCase(reply, at, "CAPABILITY "))
        list = at + 11;
    for (const char* status : {"OK [CAPABILITY ", "PREAUTH [CAPABILITY "})
        if (list == 0 && startsWithNoCase(reply, at, status))
            list = at + std::char_traits<char>::length(status);
    if (list == 0)
        return;
    try {
        capabilities_ = capabilityWords(reply, list);
        capabilitiesKnown_ = true;
    } catch (const ImapParserException&) {
        // A list that can't be read tells nothing; what was known stays.
    }
}

bool ConnectionInternal::mayPushLiteral(std::uint64_t size, bool reconnect)
{
    // RFC 7888 section 4: without LITERAL+ or LITERAL- a client waits for
    // the continuation before each literal.
    constexpr std::uint64_t literalMinusLimit = 4096;
    bool plus = false;
    bool minus = false;
    for (const std::string& capability : knownCapabilities(reconnect)) {
        plus = plus || strcasecmp(capability.c_str(), "LITERAL+") == 0;
        minus = minus || strcasecmp(capability.c_str(), "LITERAL-") == 0;
    }
    return plus || (minus && size <= literalMinusLimit);
}

} // namespace tavir::mail
