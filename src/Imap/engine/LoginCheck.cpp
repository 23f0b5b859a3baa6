// One account's login on the source.
#include "Imap/engine/LoginCheck.h"

#include "Imap/engine/TrustReport.h"
#include "Imap/textconv/TextConversion.h"

#include <algorithm>
#include <cwctype>
#include <initializer_list>
#include <strings.h>

namespace tavir::migration {

using mail::SimpleImapClient;

namespace {

// The client's sentence on a connection that never came as far as a
// greeting, said of the source server: "could not connect to H:P: ..."
// becomes "Could not connect to the source server H:P: ...", "H:P accepted
// the connection but sent no greeting within 60 s" "The source server H:P
// accepted ...". A text without the server in it is what the server sent
// instead of a greeting.
std::wstring sourceNotReached(const ServerAddress& server, const std::wstring& why)
{
    const std::wstring endpoint = server.text();
    const std::size_t at = why.find(endpoint);
    if (at == std::wstring::npos)
        return sentence(L"The source server %1% did not greet as an IMAP server: %2%", endpoint,
            asSentence(why));
    std::wstring text = why;
    text.insert(at, L"the source server ");
    text[0] = static_cast<wchar_t>(std::towupper(text[0]));
    return asSentence(text);
}

// Whether an ALERT's text (RFC 3501 7.1) names too many connections or
// sessions: "Too many simultaneous connections. (Failure)", a web-mail
// provider's answer to one session more than it takes of an account.
bool namesTooManyConnections(std::string alert)
{
    std::transform(alert.begin(), alert.end(), alert.begin(),
        [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    auto holds = [&alert](std::initializer_list<const char*> words) {
        return std::any_of(words.begin(), words.end(),
            [&alert](const char* word) { return alert.find(word) != std::string::npos; });
    };
    return holds({"connection", "session"}) && holds({"too many", "maximum", "limit", "exceeded"});
}

// What a NO (or BAD) to a login says: that the source can't take the login
// now (RFC 5530), which tells nothing of the password; or that it refuses
// it. A code that refuses makes it a refusal whatever ALERT comes beside
// it; without a code that says either, an ALERT says "not now" only when it
// names too many connections or sessions, and anything else is a refusal,
// as an answer without a code is.
bool saysNotNow(const SimpleImapClient::LoginAnswer& answer)
{
    auto isOneOf = [&answer](std::initializer_list<const char*> codes) {
        return std::any_of(codes.begin(), codes.end(),
            [&answer](const char* code) { return strcasecmp(answer.code.c_str(), code) == 0; });
    };
    if (isOneOf({"UNAVAILABLE", "LIMIT", "INUSE", "SERVERBUG"}))
        return true;
    if (isOneOf({"AUTHENTICATIONFAILED", "AUTHORIZATIONFAILED", "EXPIRED", "PRIVACYREQUIRED"}))
        return false;
    return namesTooManyConnections(answer.alert);
}

} // namespace

std::wstring noPasswordTaken(const std::wstring& server, bool ssl)
{
    return ssl ? sentence(L"The source server %1% takes no password this tool can send: it "
                          L"refuses LOGIN (LOGINDISABLED) and offers no AUTHENTICATE CRAM-MD5.",
               server)
               : sentence(L"The source server %1% accepts no password on a connection without "
                          L"TLS: turn SSL on for the source, usually port 993.",
                   server);
}

std::wstring turnedAwayAtGreeting(const std::wstring& server, const std::wstring& greeting)
{
    return sentence(L"The source server %1% turned the connection away at its greeting: %2%",
        server, asSentence(withoutLineEnd(greeting)));
}

std::wstring closedBeforeItGreeted(const std::wstring& server)
{
    return sentence(L"The source server %1% closed the connection before it greeted.", server);
}

TestStatus testStatusOf(LoginVerdict::Kind kind)
{
    switch (kind) {
    case LoginVerdict::Accepted:
        return TestLoginAccepted;
    case LoginVerdict::Failed:
        return TestLoginRefused;
    case LoginVerdict::NotNow:
    case LoginVerdict::SourceFailed:
    case LoginVerdict::Stopped:
        break;
    }
    return TestNotTested;
}

struct LoginCheck::Try {
    enum Kind {
        Accepted,
        // Answered NO or BAD: `text` is the server's answer alone.
        Refused,
        // Answered NO or BAD in words that say the source can't take the
        // login now (saysNotNow): `text` as for Refused.
        NotNow,
        // Turned away before a session began: closed before its greeting,
        // or greeted with BYE (`text`: the sentence, should the source
        // itself be at fault).
        TurnedAway,
        // The session ended at the login: a BYE (`text`), or a close.
        EndedAtLogin,
        // The source can't be tested: `text` is the sentence.
        SourceFailed,
        Stopped,
    };

    Kind kind = Stopped;
    std::wstring text;
    mail::ImapClientResult result = mail::ImapNotConnected;
    SourceConnections::Slot slot;

    // Answered at the login as a source at its limit may answer: the
    // session ended there, or the login can't be taken now. The run's own
    // connections may be the cause once, never twice for one name.
    bool atTheLogin() const { return kind == EndedAtLogin || kind == NotNow; }
};

LoginCheck::LoginCheck(const ServerAddress& server, bool ssl, SourceConnections& connections,
    SourceConnections::Who who)
    : server_(server)
    , ssl_(ssl)
    , connections_(connections)
    , who_(who)
{
}

LoginVerdict LoginCheck::check(const UserInfo& account, SimpleImapClient& client, Logger& log,
    const std::function<bool()>& stopped) const
{
    const std::wstring address = account.address();
    log.debug(TAVIR_HERE, sentence(L"Logging in to %1% as %2%.", server_.text(), address));
    Try tried = logInAs(address, account.password, client, log, stopped);
    std::wstring user = address;
    if (tried.kind == Try::Refused) {
        const std::wstring asAddress = tried.text;
        tried = logInAs(account.mailbox, account.password, client, log, stopped);
        user = account.mailbox;
        if (tried.kind == Try::Refused) {
            LoginVerdict verdict;
            verdict.kind = LoginVerdict::Failed;
            verdict.sentence = sourceLoginRefused(
                server_.text(), address, asAddress, account.mailbox, tried.text);
            verdict.result = mail::ImapLoginFailed;
            return verdict;
        }
    }
    if (tried.kind == Try::Accepted)
        log.debug(TAVIR_HERE,
            user == address ? sentence(L"%1% logged in with the address.", address)
                            : sentence(L"%1% logged in with the mailbox name %2%.", address, user));
    return verdictOf(std::move(tried), user, client);
}

LoginVerdict LoginCheck::logInAgain(const std::wstring& user, const std::wstring& password,
    SimpleImapClient& client, Logger& log, const std::function<bool()>& stopped) const
{
    log.debug(TAVIR_HERE,
        sentence(
            L"The connection of %1% to %2% was lost; it logs in again.", user, server_.text()));
    Try tried = logInAs(user, password, client, log, stopped);
    return verdictOf(std::move(tried), user, client);
}

LoginVerdict LoginCheck::verdictOf(
    Try tried, const std::wstring& user, const SimpleImapClient& client) const
{
    LoginVerdict verdict;
    verdict.result = tried.result;
    switch (tried.kind) {
    case Try::Accepted:
        verdict.kind = LoginVerdict::Accepted;
        verdict.user = user;
        verdict.slot = std::move(tried.slot);
        break;
    case Try::Refused:
        // One name only: check() tries the other before it comes here.
        verdict.kind = LoginVerdict::Failed;
        verdict.sentence = sentence(L"The source server %1% refused the login of %2%: %3%",
            server_.text(), user, asSentence(tried.text));
        break;
    case Try::NotNow:
        // Tried again already if the run's connections may have been the
        // cause: the account's own, and no verdict on its password.
        verdict.kind = LoginVerdict::NotNow;
        verdict.sentence = sentence(L"The source server %1% could not log %2% in now: %3%",
            server_.text(), user, asSentence(tried.text));
        break;
    case Try::EndedAtLogin:
        // Tried again already: the account's own (a limit of its own, a
        // refusal said with BYE), not the source's.
        verdict.kind = LoginVerdict::Failed;
        verdict.sentence
            = sentence(L"The source server %1% ended the session at the login of %2%: %3%",
                server_.text(), user, asSentence(tried.text));
        break;
    case Try::TurnedAway:
    case Try::SourceFailed:
        verdict.kind = LoginVerdict::SourceFailed;
        verdict.sentence = tried.text;
        verdict.unknownCertificate = client.trustNotice().unknown;
        break;
    case Try::Stopped:
        verdict.kind = LoginVerdict::Stopped;
        break;
    }
    return verdict;
}

LoginVerdict LoginCheck::test(const UserInfo& account, SimpleImapClient& client, Logger& log,
    const std::function<bool()>& stopped) const
{
    try {
        return check(account, client, log, stopped);
    } catch (const std::exception& e) {
        LoginVerdict verdict;
        verdict.kind = LoginVerdict::Failed;
        verdict.sentence = sentence(L"The login test of %1% failed on an unexpected error: %2%.",
            account.address(), utf8ToUnicode(e.what()));
        return verdict;
    }
}

LoginCheck::Try LoginCheck::logInAs(const std::wstring& user, const std::wstring& password,
    SimpleImapClient& client, Logger& log, const std::function<bool()>& stopped) const
{
    // What the first session ended at the login did to the source's limit.
    bool endedBefore = false;
    SourceConnections::LimitChange firstEnded;
    for (unsigned times = 1;; ++times) {
        SourceConnections::Slot slot = connections_.acquire(who_, stopped);
        if (!slot)
            return Try{};
        Try tried = attempt(user, password, client, slot, log);
        if (tried.kind == Try::Accepted) {
            slot.loggedIn();
            tried.slot = std::move(slot);
            return tried;
        }
        const bool endedNow = tried.atTheLogin();
        if (tried.kind != Try::TurnedAway && !endedNow)
            return tried;
        if (endedNow && endedBefore) {
            // Twice: the account's own, so the first told nothing of the
            // source's limit either.
            slot.release();
            firstEnded.undo();
            return tried;
        }
        SourceConnections::LimitChange change;
        if (!turnedAway(tried, user, slot, times, log, stopped, change))
            return tried;
        if (endedNow) {
            endedBefore = true;
            firstEnded = std::move(change);
        }
    }
}

bool LoginCheck::turnedAway(const Try& how, const std::wstring& user, SourceConnections::Slot& slot,
    unsigned times, Logger& log, const std::function<bool()>& stopped,
    SourceConnections::LimitChange& change) const
{
    using Meaning = SourceConnections::Meaning;
    SourceConnections::TurnedAway away = connections_.turnedAway(slot);
    change = std::move(away.change);
    // Never greeted: the source turns the run away, or no one at all. A
    // login the source can't take now while none of the run's connections
    // is open or lately closed is the account's own at once.
    if (times > turnedAwayAtMost
        || (away.meaning == Meaning::Source && how.kind == Try::TurnedAway)
        || (away.meaning != Meaning::AtLimit && how.kind == Try::NotNow))
        return false;
    const bool atLimit = away.meaning == Meaning::AtLimit;
    const std::wstring what = asSentence(withoutLineEnd(how.text));
    log.debug(TAVIR_HERE,
        atLimit
            ? sentence(L"%1% The run holds at most %2% connections to it from now on; the login "
                       L"of %3% waits for one of them to close.",
                what, connections_.limit(), user)
            : sentence(L"%1% The login of %2% is tried again shortly.", what, user));
    // At the limit, the next connection waits for one of the run's to
    // close; otherwise for a pause, longer each time.
    if (!atLimit)
        connections_.pause(SourceLimit::settlingAtFirst * (1u << std::min(times, 4u)), stopped);
    return true;
}

LoginCheck::Try LoginCheck::attempt(const std::wstring& user, const std::wstring& password,
    SimpleImapClient& client, SourceConnections::Slot& slot, Logger& log) const
{
    using Welcome = SimpleImapClient::Welcome;
    using Answer = SimpleImapClient::LoginAnswer;
    Try tried;
    tried.result = mail::ImapConnectionError;
    const Welcome welcome = client.greet(server_.host, server_.port, ssl_);
    reportTrustOnce(log, client.trustNotice());
    const std::wstring greeting = utf8ToUnicode(welcome.text);
    const bool stopped = client.getConnection().stopRequested();
    switch (welcome.kind) {
    case Welcome::Ready:
        slot.greeted();
        break;
    case Welcome::Preauth:
        // Logged in as whoever the server chose, before any login: no
        // account logs in as itself there, and no password goes out.
        slot.greeted();
        client.disconnect(false);
        tried.kind = Try::SourceFailed;
        tried.text = sentence(L"The source server %1% greets every connection as logged in already "
                              L"(PREAUTH), so no account can log in as itself: %2%",
            server_.text(), asSentence(greeting));
        return tried;
    case Welcome::TurnedAway:
        tried.kind = Try::TurnedAway;
        tried.text = turnedAwayAtGreeting(server_.text(), greeting);
        return tried;
    case Welcome::Closed:
        tried.kind = Try::TurnedAway;
        tried.text = closedBeforeItGreeted(server_.text());
        return tried;
    case Welcome::Failed:
        if (!stopped)
            slot.notReached();
        tried.kind = stopped ? Try::Stopped : Try::SourceFailed;
        tried.text = sourceNotReached(server_, withoutLineEnd(greeting));
        return tried;
    }
    const Answer answer = client.logIn(user, password);
    tried.text = withoutLineEnd(utf8ToUnicode(answer.text));
    switch (answer.kind) {
    case Answer::Accepted:
        tried.kind = Try::Accepted;
        tried.result = mail::ImapSuccess;
        break;
    case Answer::Refused:
        tried.kind = saysNotNow(answer) ? Try::NotNow : Try::Refused;
        tried.result = mail::ImapLoginFailed;
        break;
    case Answer::EndedAtLogin:
        tried.kind = Try::EndedAtLogin;
        break;
    case Answer::NoMethod:
        tried.kind = Try::SourceFailed;
        tried.result = mail::ImapLoginFailed;
        tried.text = noPasswordTaken(server_.text(), ssl_);
        break;
    case Answer::Failed:
        // Greeted, then no answer to the login (silent, cut off): every
        // other login would wait as long.
        tried.kind = client.getConnection().stopRequested() ? Try::Stopped : Try::SourceFailed;
        tried.text = sentence(L"The source server %1% did not answer the login of %2%: %3%",
            server_.text(), user, asSentence(tried.text));
        break;
    }
    return tried;
}

} // namespace tavir::migration
