#pragma once
// One account's login on the source: the one routine of the wizard's test
// of the accounts, of a run's own tests and of the account's road. The
// full address is tried, then the bare mailbox when the source refuses the
// address. The greeting, and what the server says of itself, come before
// any password: a server that greets as logged in already (PREAUTH) is sent
// none, nor is one that takes no password on the connection (LOGINDISABLED
// without AUTHENTICATE CRAM-MD5). A source that can't be tested (no
// connection, no greeting, a failed TLS handshake, no IMAP greeting, one of
// those two, a login left unanswered) is said as such, about the server,
// never as a refused login. A source that turns a connection away while the
// run holds others is at its limit (SourceConnections): the login waits
// for room and goes on, and is no account's failure. A login the source
// answers with a code that says it can't take it now (RFC 5530: LIMIT,
// UNAVAILABLE, INUSE, SERVERBUG) says nothing of the password: the bare
// mailbox is not tried, and the account is not judged.
#include "Common/Tools/UserInfo.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/ServerAddress.h"
#include "Imap/engine/SourceConnections.h"
#include "imapclient/SimpleImapClient.h"

#include <functional>
#include <memory>
#include <string>

namespace tavir::migration {

// A connection to the source logged in as an account, kept for the
// account's road with the slot it is counted by; no client when none was
// kept.
struct SourceLogin {
    // Before the client: members go in reverse order, so that however a
    // login is dropped, its connection is closed before its slot is given
    // back (the source counts it until then).
    SourceConnections::Slot slot;
    std::unique_ptr<mail::SimpleImapClient> client;
    // The name it logged in as: the full address, or the bare mailbox.
    std::wstring user;
};

struct LoginVerdict {
    enum Kind {
        Accepted,
        // The account's own failure: the source refused both names, or
        // ended the session at the login twice, or the test failed on an
        // error of its own.
        Failed,
        // The source could not take the account's login now (at a limit
        // of the account's own, unavailable, in use): the login was
        // neither accepted nor refused.
        NotNow,
        // The source itself failed the test: every account would meet it.
        SourceFailed,
        // A stop ended the test first: neither accepted nor refused.
        Stopped,
    };

    Kind kind = Stopped;
    // The report's sentence: why the account failed (Failed), why the
    // source could not take its login now (NotNow), or why the source
    // can't be tested (SourceFailed); empty otherwise.
    std::wstring sentence;
    // Accepted: the name that logged in, and the slot the connection is
    // counted by, which goes where the connection goes.
    std::wstring user;
    SourceConnections::Slot slot;
    // The client's result of the last login tried: what an account's road
    // that could not log in ends with.
    mail::ImapClientResult result = mail::ImapNotConnected;
    // SourceFailed on a certificate that is neither vouched for nor pinned,
    // and that the client's first use may not pin: its SHA-256 fingerprint
    // (mail::TrustNotice::unknown), for the user to accept.
    std::string unknownCertificate;
};

// The one mapping of a verdict to the account's test status, for the
// wizard's test and the run's alike: accepted, refused (the account's own
// failure), or not tested (a source that can't be tested or can't take the
// login now is no verdict on the account, and a stop leaves the account as
// it was).
TestStatus testStatusOf(LoginVerdict::Kind kind);

// The report's sentence on a source `server` ("host:port", with what the
// caller adds) that takes no password on a connection: it refuses LOGIN
// (LOGINDISABLED) and offers no AUTHENTICATE CRAM-MD5. Over plain IMAP that
// is a server that wants TLS first.
std::wstring noPasswordTaken(const std::wstring& server, bool ssl);
// The report's sentence on a source that greeted a connection with a BYE.
std::wstring turnedAwayAtGreeting(const std::wstring& server, const std::wstring& greeting);
// The report's sentence on a source that closed or reset a connection
// before it greeted (over TLS, before its handshake).
std::wstring closedBeforeItGreeted(const std::wstring& server);

class LoginCheck {
public:
    // A test login that the server leaves unanswered ends after this long
    // (milliseconds), so a stop request or closing the program never waits
    // for the client's much longer transfer time-out.
    static constexpr unsigned defaultTimeoutMs = 60000;
    // How often the source may turn one name's connection away, each time
    // after one of the run's connections has closed or after a pause,
    // before the login gives up and the source counts as failed.
    static constexpr unsigned turnedAwayAtMost = 10;

    // Logins to `server` on connections counted in `connections` as
    // `who`'s.
    LoginCheck(const ServerAddress& server, bool ssl, SourceConnections& connections,
        SourceConnections::Who who);

    // Logs `account` in on `client` (disconnected; its read time-out and
    // stop signal as the caller set them), one connection at a time, each
    // closed before the next. Accepted: `client` is logged in, and the
    // verdict holds its slot. `stopped` is asked while a connection waits
    // for room. Any thread; the check holds no state between calls.
    LoginVerdict check(const UserInfo& account, mail::SimpleImapClient& client, Logger& log,
        const std::function<bool()>& stopped) const;
    // check() as a test of the login: an error of the test's own is the
    // account's failure (Failed), with its reason.
    LoginVerdict test(const UserInfo& account, mail::SimpleImapClient& client, Logger& log,
        const std::function<bool()>& stopped) const;
    // The login again of a connection that was lost under a command, as
    // `user` (the name that logged in before: no other is tried), on
    // `client`, whose lost connection is closed and counted out: check()'s
    // rules for that one name, on a connection of its own counted as
    // check()'s are.
    LoginVerdict logInAgain(const std::wstring& user, const std::wstring& password,
        mail::SimpleImapClient& client, Logger& log, const std::function<bool()>& stopped) const;

private:
    struct Try;
    // What the last try of `user` on `client` makes of the login.
    LoginVerdict verdictOf(
        Try tried, const std::wstring& user, const mail::SimpleImapClient& client) const;
    // One name, on as many connections as the source turns away.
    Try logInAs(const std::wstring& user, const std::wstring& password,
        mail::SimpleImapClient& client, Logger& log, const std::function<bool()>& stopped) const;
    // One connection: its greeting, then the login.
    Try attempt(const std::wstring& user, const std::wstring& password,
        mail::SimpleImapClient& client, SourceConnections::Slot& slot, Logger& log) const;
    // The source turned a connection of `user` away (`how`): what the run's
    // connections make of it, said in the debug log; `change` is what it
    // did to the source's limit, to undo should it prove the account's own.
    // False when the login can't go on.
    bool turnedAway(const Try& how, const std::wstring& user, SourceConnections::Slot& slot,
        unsigned times, Logger& log, const std::function<bool()>& stopped,
        SourceConnections::LimitChange& change) const;

    ServerAddress server_;
    bool ssl_;
    SourceConnections& connections_;
    SourceConnections::Who who_;
};

} // namespace tavir::migration
