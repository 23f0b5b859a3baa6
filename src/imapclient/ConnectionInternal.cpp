#include "imapclient/ConnectionInternal.h"

#include "imapclient/Command.h"
#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"

#include <algorithm>
#include <new>

namespace tavir::mail {

namespace {

bool startsWithNoCase(const std::string& text, std::size_t at, const char* word)
{
    for (std::size_t i = 0; word[i] != '\0'; ++i) {
        if (at + i >= text.size())
            return false;
        char c = text[at + i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i])
            return false;
    }
    return true;
}

// Seconds as milliseconds, saturating instead of wrapping.
unsigned toMs(unsigned seconds)
{
    std::uint64_t ms = static_cast<std::uint64_t>(seconds) * 1000u;
    return ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(ms);
}

} // namespace

ConnectionInternal::ConnectionInternal()
    : factory_(makeTcpImapStream)
{
}

ConnectionInternal::~ConnectionInternal()
{
    try {
        if ((state_ == Authenticated || state_ == Selected) && streamGood()) {
            Command farewell(*this, "LOGOUT");
            farewell.setReconnect(false);
            farewell.execute(nullptr);
        }
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

void ConnectionInternal::init(bool login)
{
    try {
        connectAndGreet(login);
    } catch (const ImapException&) {
        close();
        throw;
    } catch (const std::exception& e) {
        close();
        throw ImapConnectionFailed(e.what());
    }
}

void ConnectionInternal::connectAndGreet(bool login)
{
    ImapEndpoint endpoint;
    endpoint.host = host_;
    endpoint.port = port_;
    endpoint.ssl = ssl_;
    endpoint.timeoutMs = timeoutMs_;
    // Whatever this object had is over: a new session starts from state 0.
    close();
    std::unique_ptr<ImapStream> stream = factory_ ? factory_(endpoint) : nullptr;
    if (!stream)
        throw ImapConnectionFailed(""); // the host name can't be resolved
    stream_ = std::move(stream);
    stream_->setTimeoutMs(timeoutMs_);

    if (!stream_->create() || !stream_->good()) {
        close();
        lastError_ = "CONNECTION FAILED";
        throw ImapConnectionFailed("");
    }
    setState(Connected);

    // The greeting: one line, CR kept, LF dropped.
    greeting_.clear();
    bool complete = false;
    for (;;) {
        int c = stream_->get();
        if (c < 0)
            break;
        if (c == '\n') {
            complete = true;
            break;
        }
        if (greeting_.size() >= maxLine_)
            break;
        greeting_.push_back(static_cast<char>(c));
    }
    if (!complete || !stream_->good() || greeting_.empty() || !isAcceptableGreeting(greeting_)) {
        std::string refused = greeting_;
        close();
        lastError_ = refused;
        throw ImapConnectionFailed(refused);
    }
    if (login) {
        this->login();
        restoreSession();
    }
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
        Command select(*this, "SELECT");
        select.addParamString(folder);
        select.setReconnect(false);
        if (select.execute(nullptr) != Command::OK)
            throw ImapConnectionFailed("Restoring the selected folder failed");
        setState(Selected, folder);
    }
}

void ConnectionInternal::login()
{
    if (master_) {
        masterAuthenticate();
        return;
    }
    if (cramMD5_) {
        authenticateCramMD5();
        return;
    }
    Command command(*this, "LOGIN");
    command.addParamString(user_);
    command.addParamString(password_);
    // A login never reconnects: it is itself part of (re)connecting.
    command.setReconnect(false);
    if (command.execute(nullptr) != Command::OK)
        throw AuthenticateFailedException("Authentication failed - Login");
    setState(Authenticated);
}

void ConnectionInternal::logout()
{
    Command command(*this, "LOGOUT");
    command.setReconnect(false);
    std::string lastError = lastError_;
    try {
        command.execute(nullptr);
    } catch (const ImapServerBrokeConnection&) {
        // The BYE that every server sends before its tagged OK is the
        // answer asked for, not a failure.
        lastError_ = lastError;
        close();
        return;
    }
    setState(NotConnected);
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

bool ConnectionInternal::send(const std::string& text, bool reconnect, bool flush)
{
    lastSent_ = text;
    if (streamGood() && state_ != NotConnected) {
        writeText(text, flush);
        if (streamGood() && state_ != NotConnected)
            return true;
    }
    close();
    if (!reconnect)
        throw ImapConnectionFailed("Send data failed");
    // A new stream, greeting and login; the account switch and the folder
    // are restored before the text is written again. The text is always
    // written: reporting success for text that was never sent would lose
    // the command.
    try {
        init(true);
    } catch (const ImapException& e) {
        // However the automatic reconnect failed (a refused login
        // included), the command in hand met a lost connection.
        if (handleImapException(e, ImapConnectionError) != ImapConnectionError)
            throw ImapConnectionFailed(e.what());
        throw;
    }
    writeText(text, true);
    if (streamGood())
        return true;
    close();
    throw ImapConnectionFailed("Send failed");
}

void ConnectionInternal::flush()
{
    if (streamGood() && state_ != NotConnected)
        stream_->flush();
}

bool ConnectionInternal::recvLine(std::string& line)
{
    line.clear();
    if (!streamGood() || state_ == NotConnected) {
        close();
        throw ImapConnectionFailed("recvLine failed");
    }
    bool complete = false;
    try {
        for (;;) {
            int c = stream_->get();
            if (c < 0)
                break;
            if (line.size() >= maxLine_) {
                close();
                lastError_ = "RESPONSE LINE TOO LONG";
                throw ImapConnectionFailed("Response line too long");
            }
            line.push_back(static_cast<char>(c));
            if (c == '\n') {
                complete = true;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        close();
        lastError_ = "OUT OF MEMORY";
        throw ImapConnectionFailed("Out of memory");
    }
    if (!streamGood()) {
        close();
        throw ImapConnectionFailed("recvLine failed");
    }
    if (!complete && !line.empty()) {
        // The read ended inside a line: what follows can't be told apart
        // from what was lost, so the connection is given up.
        close();
        lastError_ = "CONNECTION TIMEOUT";
        throw ImapTimeoutException("");
    }
    return true;
}

void ConnectionInternal::sendLiteralData(const std::string& data)
{
    if (streamGood() && state_ != NotConnected) {
        writeText(data, false);
        if (streamGood() && state_ != NotConnected)
            return;
    }
    close();
    throw ImapConnectionFailed("Send data failed");
}

unsigned ConnectionInternal::recvData(std::string& buffer, unsigned n)
{
    if (n == 0 || !stream_ || state_ == NotConnected)
        return 0;
    buffer.reserve(buffer.size() + n);
    char chunk[dataPartSize];
    unsigned done = 0;
    try {
        while (done < n) {
            std::size_t want = std::min<std::size_t>(dataPartSize, n - done);
            std::size_t got = stream_->read(chunk, want);
            buffer.append(chunk, got);
            done += static_cast<unsigned>(got);
            if (got < want)
                break;
        }
    } catch (const std::exception&) {
        // Reported as a short read; the caller gives the literal up.
    }
    return done;
}

std::vector<std::string> ConnectionInternal::getCapability()
{
    if (capabilities_.empty()) {
        Command command(*this, "CAPABILITY");
        if (command.execute(nullptr) == Command::OK) {
            std::vector<ResponseResult> results;
            if (command.filterResponses(results, RespCapability) == 0)
                throw ImapConnectionFailed("");
            std::string text = results.front().getString();
            Parser parser(text);
            std::string node;
            while (parser.getNode(node))
                capabilities_.push_back(node);
        }
    }
    return capabilities_;
}

} // namespace tavir::mail
