// One account's login on the source.
#include "Imap/engine/LoginCheck.h"

#include "Imap/engine/TrustReport.h"
#include "Imap/textconv/TextConversion.h"

#include <algorithm>
#include <cwctype>

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

TestStatus testStatusOf(LoginVerdict::Kind kind)
{
    switch (kind) {
    case LoginVerdict::Accepted:
        return TestLoginAccepted;
    case LoginVerdict::Refused:
        return TestLoginRefused;
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
            verdict.kind = LoginVerdict::Refused;
            verdict.sentence = sourceLoginRefused(
                server_.text(), address, asAddress, account.mailbox, tried.text);
            verdict.result = mail::ImapLoginFailed;
            return verdict;
        }
    }
    LoginVerdict verdict;
    verdict.result = tried.result;
    switch (tried.kind) {
    case Try::Accepted:
        log.debug(TAVIR_HERE,
            user == address ? sentence(L"%1% logged in with the address.", address)
                            : sentence(L"%1% logged in with the mailbox name %2%.", address, user));
        verdict.kind = LoginVerdict::Accepted;
        verdict.user = user;
        verdict.slot = std::move(tried.slot);
        break;
    case Try::EndedAtLogin:
        // Tried again already: the account's own (a limit of its own, a
        // refusal said with BYE), not the source's.
        verdict.kind = LoginVerdict::Refused;
        verdict.sentence
            = sentence(L"The source server %1% ended the session at the login of %2%: %3%",
                server_.text(), user, asSentence(tried.text));
        break;
    case Try::TurnedAway:
    case Try::SourceFailed:
        verdict.kind = LoginVerdict::SourceFailed;
        verdict.sentence = tried.text;
        break;
    case Try::Refused:
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
        verdict.kind = LoginVerdict::Refused;
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
        const bool endedNow = tried.kind == Try::EndedAtLogin;
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
    // Never greeted: the source turns the run away, or no one at all.
    if (times > turnedAwayAtMost
        || (away.meaning == Meaning::Source && how.kind == Try::TurnedAway))
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
    case Welcome::Refused:
        tried.kind = Try::TurnedAway;
        tried.text = turnedAwayAtGreeting(server_.text(), greeting);
        return tried;
    case Welcome::Closed:
        tried.kind = Try::TurnedAway;
        tried.text = sentence(
            L"The source server %1% closed the connection before it greeted.", server_.text());
        return tried;
    case Welcome::Failed:
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
        tried.kind = Try::Refused;
        tried.result = mail::ImapLoginFailed;
        break;
    case Answer::Ended:
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
