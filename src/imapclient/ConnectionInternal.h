#pragma once
// One synchronous IMAP4rev1 client connection: the stream, the greeting,
// command tags, the login, the server's capabilities, writing command text
// with an optional reconnect, reading response lines and literals, and the
// connection state with the selected folder and the last error text. All
// text here is UTF-8 bytes.
#include "imapclient/Failure.h"
#include "imapclient/ImapStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavir::mail {

class ConnectionInternal {
public:
    enum State : std::uint32_t {
        NotConnected = 0,
        Connected = 1, // greeting accepted, not authenticated
        Authenticated = 2,
        Selected = 3,
    };

    static constexpr unsigned defaultServicePort = 0;
    static constexpr unsigned defaultImapPort = 143;
    static constexpr unsigned defaultImapSSLPort = 993;

    // Bounds on what a server may make this client hold. A line longer than
    // the line limit, a literal in a command's response larger than the
    // literal limit, or a command's responses adding up to more than the
    // response limit end the command and close the connection (the stream
    // can't be resynchronised), except that a caller that can drop one
    // reply has a line over the line limit read to its end (recvLine). Message bodies, which are
    // streamed, are bounded by the message limit.
    static constexpr std::size_t defaultMaxLineLength = 1u << 20; // 1 MiB
    static constexpr std::uint64_t defaultMaxLiteralSize = 64ull << 20; // 64 MiB
    static constexpr std::uint64_t defaultMaxResponseSize = 256ull << 20; // 256 MiB
    static constexpr std::uint64_t defaultMaxMessageSize = 1ull << 30; // 1 GiB

    // Bytes a message part carries at most, and what the data buffer holds.
    static constexpr std::size_t dataPartSize = 10240;
    // An APPEND's body of up to this size is collected whole before the
    // first byte of the command is written, and leaves with its line in one
    // write; a larger one is streamed from its source in parts of this
    // size, so that a copy holds at most this much of a message at a time.
    static constexpr std::uint64_t wholeBodyLimit = 1u << 20;

    // The slowest rate, in bytes per second, at which an answer or a message
    // still counts as moving. Each operation (a command with all its
    // replies, a connect with its greeting, a message of the pipelined copy)
    // must end within the read time-out plus the time its bytes take at
    // this rate: every byte read as it comes (a literal's announcement buys
    // nothing), every line or part written. A server that sends or takes
    // its bytes more slowly is cut off there.
    static constexpr std::uint64_t slowestRate = 32 * 1024;

    // How long the answer to a message written whole is still awaited after
    // a stop request: it says whether the message was stored, so that the
    // message is counted as what it became.
    static constexpr unsigned stopGraceMs = 500;

    // For its life, a stop request ends the waits only stopGraceMs after it
    // was seen.
    class StopGrace {
    public:
        explicit StopGrace(ConnectionInternal& connection);
        ~StopGrace();
        StopGrace(const StopGrace&) = delete;
        StopGrace& operator=(const StopGrace&) = delete;

    private:
        ConnectionInternal& connection_;
    };

    // The deadline of one operation, begun on construction: the read
    // time-out from now, growing with the bytes it moves. Outside an
    // operation, each reply and each write gets a deadline of its own.
    class Operation {
    public:
        explicit Operation(ConnectionInternal& connection);
        ~Operation() { connection_.inOperation_ = outer_; }
        // The next operation begins now, in place of this one: the read
        // time-out from now, and no credit carried over.
        void restart() { connection_.startDeadline(); }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

    private:
        ConnectionInternal& connection_;
        bool outer_;
    };

    ConnectionInternal();
    ~ConnectionInternal();
    ConnectionInternal(const ConnectionInternal&) = delete;
    ConnectionInternal& operator=(const ConnectionInternal&) = delete;

    // Master-authentication mode (the user name is left as it was).
    void initialize(const std::string& host, unsigned port, const std::string& masterPassword,
        unsigned timeout, bool ssl);
    // User mode.
    void initialize(const std::string& host, unsigned port, const std::string& user,
        const std::string& password, bool cramMD5, unsigned timeout, bool ssl);

    // Makes whole command lines that a master login writes right behind the
    // answer to its challenge, in the same write (see masterAuthenticate).
    using AfterChallenge = std::function<std::string()>;

    // Connects, reads and judges the greeting, and logs in when asked. After
    // a login, an account switch and a folder selection that this
    // connection had are restored before anything else is sent.
    // `afterChallenge` serves a master login only.
    void init(bool login, const AfterChallenge& afterChallenge = {});
    // Logs in as the mode says. A user-mode login sends no credential to a
    // server that greeted the connection as logged in already (PREAUTH),
    // nor LOGIN to one that refuses it on this connection: the method is
    // loginMethod()'s, and without one the login fails before anything is
    // sent (AuthenticateFailedException).
    void login(const AfterChallenge& afterChallenge = {});
    // How a user-mode login goes on this connection, from what the server
    // said of itself before it (its capabilities, asked for with CAPABILITY
    // when its greeting listed none): LOGIN; AUTHENTICATE CRAM-MD5 (RFC
    // 2195) when it was asked for, or when the server refuses LOGIN
    // (LOGINDISABLED, RFC 3501) and offers it (AUTH=CRAM-MD5); or none
    // when the server refuses LOGIN and offers nothing else this client
    // speaks. Throws as a command does when the CAPABILITY fails.
    enum class LoginMethod { Login, CramMD5, None };
    LoginMethod loginMethod();
    // The account a user-mode login to come logs in as, on a connection
    // made without one (init(false)); a reconnect logs in with it too.
    void setUserLogin(const std::string& user, const std::string& password);
    // True when the last connect was greeted as logged in already
    // ("* PREAUTH").
    bool greetedAsLoggedIn() const;
    // True when the last connect ended because the server closed or reset
    // the connection before any byte of a greeting (not a time-out, not a
    // stop): how a server that takes no more connections from a client often
    // turns one away.
    bool closedBeforeGreeting() const { return closedBeforeGreeting_; }
    // Right after a login answered OK: true when the server ended the session
    // there, its BYE (or its close) already in hand behind the OK, with the
    // BYE as the last error and the connection closed. Never waits for a
    // reply that has not begun.
    bool endedBehindLogin();
    // The untagged responses the server sent while it answered the last
    // user-mode login: an ALERT (RFC 3501 7.1) may come so, beside the
    // answer's own response code.
    const std::vector<std::string>& loginReplies() const { return loginReplies_; }
    // X-MASTERAUTH. `afterChallenge`, called once the command has its tag,
    // makes lines that follow the answer to the challenge: RFC 3501 (5.5)
    // lets a command follow once a continuation is sent, so commands that
    // need the login go without waiting for its completion. Their answers
    // are the caller's to read; they are sent only when the server asked
    // for the answer, and a refused login closes the connection anyway.
    void masterAuthenticate(const AfterChallenge& afterChallenge = {});
    void authenticateCramMD5();
    // Writes LOGOUT without waiting for its answer and closes the
    // connection. Never throws.
    void logout();
    void close();
    void reconnect();

    // How a lost connection is made again before the command in hand is
    // written anew (send with `reconnect`, reconnectIfLost): one new
    // connection, its greeting and a login. Without one set, the login is
    // this connection's own (init). An owner with rules of its own for its
    // logins installs them here: `logInAgain` connects, greets and logs in
    // on this connection again (through the owner's client, as any new
    // login of its) and says how that went, ImapSuccess once logged in.
    // Either way the account switch and the folder selected are then
    // restored, and a failure is the command's, as a lost connection's,
    // with the owner's sentence as the last error.
    using Reestablish = std::function<Failure()>;
    void setReestablish(Reestablish logInAgain) { reestablish_ = std::move(logInAgain); }

    // Writes a command's text; with `reconnect`, a lost connection is
    // re-established first (its session restored). `numbered`: the text
    // names messages of the selected folder by their sequence numbers, which
    // hold only for the numbering the caller knows: while renumbered() it is
    // not written, and neither when the reconnect finds the folder numbered
    // otherwise; it fails as ImapConnectionFailed then.
    bool send(const std::string& text, bool reconnect, bool flush, bool numbered = false);
    // Writes literal data that follows a command already sent: never
    // reconnects (the command would be lost). A failed write closes the
    // connection and throws.
    void sendLiteralData(const std::string& data);
    // Flushes pending output; a failed write closes the connection and
    // throws.
    void flushOrThrow();
    void flush();
    // True while the connection is up: connected and its stream good.
    bool isOpen() { return streamGood() && state_ != NotConnected; }
    // Re-establishes a connection known to be lost (closed, or its stream
    // bad), with its session restored; nothing when it looks usable.
    void reconnectIfLost();
    // One line with its line end. Empty when the read ended before any byte
    // of it (time-out or closed peer: readEndText says which); a line cut
    // off, a line over the limit or no memory close the connection and
    // throw with the last error set. With `overLong`, a line over the limit
    // is read to its end instead (up to the response limit) and its head
    // and its tail are kept, with *overLong set: the caller drops the reply,
    // and the connection stays in step.
    bool recvLine(std::string& line, bool* overLong = nullptr);
    // The parts of the message body an APPEND writes, kept from one message
    // to the next so that their storage is reused.
    std::vector<std::string>& messageParts() { return messageParts_; }
    // Appends n bytes read from the server to `buffer`; fewer when the read
    // ended early. Never throws. The bytes read, like a line's, add the time
    // they take at slowestRate to the operation's deadline.
    unsigned recvData(std::string& buffer, unsigned n);
    // Reads n bytes into `into`; fewer when the read ended early.
    unsigned recvData(char* into, unsigned n);
    // True when something the server sent can be read without waiting (or
    // the read would end at once). Never waits, never throws.
    bool dataWaiting();
    // True when bytes the server sent are already in hand: the next read
    // starts without a receive.
    bool bytesInHand() const { return stream_ && stream_->buffered() != 0; }

    std::string getTag();
    std::vector<std::string> getCapability();
    // Takes the capabilities a reply lists: an untagged CAPABILITY reply, or
    // a status line with a CAPABILITY response code (a greeting, a login's
    // OK). Other replies change nothing.
    void noteCapabilities(const std::string& reply);
    // Whether a literal of `size` bytes may be sent without waiting for the
    // server's continuation: with LITERAL+ any size, with LITERAL- up to
    // 4096 bytes (RFC 7888). Asks CAPABILITY when the server has not said,
    // with `reconnect` as the command in hand allows.
    bool mayPushLiteral(std::uint64_t size, bool reconnect);

    // What the server said of the selected folder: its message count (the
    // last EXISTS, less one for each EXPUNGE since), its UIDVALIDITY and its
    // UIDNEXT (0 where not said). Every reply read is looked at; a SELECT
    // written starts the record afresh.
    struct Mailbox {
        bool countKnown = false;
        std::uint32_t count = 0;
        std::uint32_t uidValidity = 0;
        std::uint32_t uidNext = 0;

        // True when both are known to number their messages alike: the same
        // UIDVALIDITY, count and UIDNEXT. A message that arrived makes
        // UIDNEXT grow, so with it none was expunged either.
        bool sameNumbering(const Mailbox& other) const;
    };
    const Mailbox& mailbox() const { return mailbox_; }
    // A SELECT is about to be written: what was said of the folder selected
    // before is forgotten, with any change of its numbering.
    void forgetMailbox();
    // Takes what an untagged reply (without its line end) says of the
    // selected folder: EXISTS, EXPUNGE, and the UIDVALIDITY and UIDNEXT
    // codes. Other replies change nothing.
    void noteMailbox(const std::string& reply);
    // True once the sequence numbers the caller holds may name other
    // messages: a reconnect selected the folder again and found it numbered
    // otherwise (another UIDVALIDITY, count or UIDNEXT), or the server
    // reported an EXPUNGE. Until the caller selects a folder, or says that
    // it found its messages again (acceptNumbering), no command naming
    // messages by number is written.
    bool renumbered() const { return renumbered_; }
    void acceptNumbering() { renumbered_ = false; }

    void setState(State state, const std::string& folder = std::string());
    State getState() const { return state_; }
    std::string getSelectedFolder() const;

    // Records that this (master) connection acts for `mailbox` after a
    // successful X-SETUSER; a reconnect switches to it again. An empty text
    // forgets the switch.
    void setSwitchedUser(const std::string& mailbox) { switchedUser_ = mailbox; }
    const std::string& getSwitchedUser() const { return switchedUser_; }

    void setLastErrorResponse(const std::string& text) { recordError(text, false); }
    // The same for a failure that is a time-out: a server that did not
    // answer in time, or sent or took its bytes too slowly.
    void setTimeoutError(const std::string& text) { recordError(text, true); }
    std::string getLastErrorResponse() const { return lastError_; }
    // True when the last error recorded was a time-out.
    bool lastErrorWasTimeout() const { return timedOut_; }
    // Records readEndText() as the last error, a time-out when it was one.
    void recordReadEnd();
    // The connection can't go on: closes it, records `text` as the last
    // error and throws it as ImapConnectionFailed.
    [[noreturn]] void closeWithError(const std::string& text);
    // A read ended inside a reply, whose rest can't be told apart from what
    // was lost: closes the connection, records readEndText() and throws it
    // as ImapTimeoutException.
    [[noreturn]] void closeAfterCutReply() { failOnReadEnd(true); }
    // A read ended where a reply or a line was awaited: records
    // readEndText() and throws it as ImapTimeoutException (as
    // ImapConnectionFailed after a stop request). The connection is closed
    // when `inside` a reply, when the server closed it or the read failed,
    // and when it was cut off at its deadline; after a plain time-out it
    // stays open, as a late answer can still be told apart by its tag.
    [[noreturn]] void failOnReadEnd(bool inside);
    // How many times an error text was recorded: an operation that failed
    // without recording one compares it before and after.
    unsigned long errorCount() const { return errorCount_; }

    // "a reply line from host:port is longer than 1 MiB".
    std::string lineTooLongText() const;
    // The server as "host:port", for error texts.
    std::string endpointText() const;
    // One sentence for a read that ended without data: the time-out, the
    // deadline of a server that sends too slowly (`what` names what was
    // not complete), a stop request, the peer closing the connection, or a
    // failure.
    std::string readEndText(const char* what = "its answer was") const;
    // True when the last read ended by a time-out or at the deadline.
    bool readEndWasTimeout() const;
    // How long that read waited: the operation's budget when it ended at
    // the deadline, else the read time-out ("5 s").
    std::string waitedText() const;
    // True when the last read ended for good: the peer closed the
    // connection, the read failed, a stop came, or a server that was
    // sending was cut off at its deadline (not a silent time-out).
    bool readEndedForGood() const;

    // Every wait of the stream in hand and of those this connection makes
    // from now on ends at once when `stop` is raised: the command in hand
    // fails and the connection is closed.
    void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop);
    bool stopRequested() const;
    // A deadline for the next reply or write when no operation is in hand.
    void stepDeadline();
    // Gives the operation in hand the time `bytes` take at slowestRate.
    void creditDeadline(std::uint64_t bytes);
    // "1 MiB", "64 KiB", "1000 bytes": a byte count in error texts.
    static std::string sizeText(std::uint64_t bytes);
    const std::string& getGreeting() const { return greeting_; }
    // How the server's certificate was trusted at the last connect (TLS),
    // or that it was refused as changed; empty over plain TCP and when the
    // connect failed before the certificate was judged.
    const TrustNotice& getTrustNotice() const { return trustNotice_; }

    // Read time-out of the current stream, in seconds; later connects keep
    // the stored time-out.
    void setTimeout(unsigned seconds);
    // Stored and current read time-out in milliseconds (for short tests).
    void setTimeoutMs(unsigned ms);
    unsigned getTimeoutMs() const { return timeoutMs_; }
    // False for a connection that writes commands alone, never a message
    // body (a source's): the streams it makes from now on get a small send
    // area (ImapEndpoint::writesBodies).
    void setWritesBodies(bool writes) { writesBodies_ = writes; }
    // Over TLS, the streams it makes from now on pin at the first contact
    // with a server what `firstUse` allows (ImapEndpoint::firstUse).
    void setFirstUse(const tavir::ssl::FirstUse& firstUse) { firstUse_ = firstUse; }
    bool streamGood();

    const std::string& getHost() const { return host_; }
    unsigned getPort() const { return port_; }
    bool isSsl() const { return ssl_; }
    const std::string& getUser() const { return user_; }
    const std::string& getPassword() const { return password_; }
    bool isMasterAuthentication() const { return master_; }
    bool isCramMD5() const { return cramMD5_; }

    void setLimits(std::size_t maxLineLength, std::uint64_t maxLiteralSize,
        std::uint64_t maxResponseSize, std::uint64_t maxMessageSize);
    std::size_t maxLineLength() const { return maxLine_; }
    std::uint64_t maxLiteralSize() const { return maxLiteral_; }
    std::uint64_t maxResponseSize() const { return maxResponse_; }
    std::uint64_t maxMessageSize() const { return maxMessage_; }

    // Replaces how streams are made (tests put scripted servers here).
    void setStreamFactory(ImapStreamFactory factory);

    // True when a greeting line (without its line feed) opens an IMAP
    // session: "* OK" or "* PREAUTH".
    static bool isAcceptableGreeting(const std::string& greeting);

private:
    void connectAndGreet(bool login, const AfterChallenge& afterChallenge);
    // Appends to `line` what the stream has of it, the line limit at most;
    // true when its line feed came.
    bool readLinePart(std::string& line);
    // Reads the rest of a line over the limit and drops its middle; true
    // when its line feed came.
    bool skipRestOfLine(std::string& line);
    void readGreeting();
    // The server ended the connection before any byte of its greeting (or,
    // over TLS, of its handshake): closes, records how it ended (as the
    // stream's read end says) and throws it.
    [[noreturn]] void failClosedBeforeGreeting();
    void restoreSession();
    void writeText(const std::string& text, bool flush);
    [[noreturn]] void sendFailed(const std::string& what);
    void recordError(const std::string& text, bool timeout);
    void startDeadline();
    std::string stoppedText() const;
    void reestablish();
    // reestablish() through the owner's login (setReestablish).
    void reestablishAsOwnerLogsIn();
    // The capabilities, asked for when not known. A CAPABILITY answered OK
    // without a list fails (ImapConnectionFailed) unless `listMayBeEmpty`:
    // then nothing is known of the server, which is all it told.
    const std::vector<std::string>& knownCapabilities(bool reconnect, bool listMayBeEmpty = false);
    // A login that can't be made on this connection: `text` as the last
    // error, thrown as a refused login.
    [[noreturn]] void refuseLogin(const std::string& text);
    // A command that names messages by number is not written while the
    // numbering is in doubt (renumbered()).
    void refuseIfRenumbered();

    std::uint32_t tagCounter_ = 0;
    unsigned timeout_ = 0; // seconds
    unsigned timeoutMs_ = 0;
    State state_ = NotConnected;
    std::string greeting_;
    bool closedBeforeGreeting_ = false;
    std::vector<std::string> loginReplies_;
    TrustNotice trustNotice_;
    std::vector<std::string> capabilities_;
    bool capabilitiesKnown_ = false;
    std::unique_ptr<ImapStream> stream_;
    bool ssl_ = false;
    std::string host_;
    std::string password_;
    std::string user_;
    bool master_ = true;
    bool cramMD5_ = false;
    unsigned port_ = 0;
    std::string lastError_;
    unsigned long errorCount_ = 0;
    bool timedOut_ = false;
    std::string selectedFolder_;
    std::vector<std::string> messageParts_;

    std::shared_ptr<const tavir::utils::StopSignal> stop_;
    bool writesBodies_ = true;
    tavir::ssl::FirstUse firstUse_;
    bool inOperation_ = false;
    unsigned budgetMs_ = 0; // the operation's time-out and credit so far
    std::uint64_t received_ = 0; // bytes read in the operation

    // What a reconnect restores: the account a master login switched to and
    // the folder that was selected last.
    std::string switchedUser_;
    std::string restoreFolder_;
    Mailbox mailbox_;
    bool renumbered_ = false;

    Reestablish reestablish_;

    std::size_t maxLine_ = defaultMaxLineLength;
    std::uint64_t maxLiteral_ = defaultMaxLiteralSize;
    std::uint64_t maxResponse_ = defaultMaxResponseSize;
    std::uint64_t maxMessage_ = defaultMaxMessageSize;
    ImapStreamFactory factory_;
};

} // namespace tavir::mail
