// One account's login test on the source.
#include "Imap/engine/LoginTest.h"

#include "Imap/engine/TrustReport.h"
#include "Imap/textconv/TextConversion.h"
#include "imapclient/Parser.h"
#include "imapclient/SimpleImapClient.h"

#include <cwctype>

namespace tavir::migration {

namespace {

// The client's sentence on a connection that never came as far as a login,
// said of the source server: "could not connect to H:P: ..." becomes "Could
// not connect to the source server H:P: ...", "H:P accepted the connection
// but sent no greeting within 60 s" "The source server H:P accepted ...".
// A text without the server in it is what the server sent instead of a
// greeting.
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

LoginTester::LoginTester(const ServerAddress& server, bool ssl,
    std::shared_ptr<utils::StopSignal> stop, unsigned timeoutMs)
    : server_(server)
    , ssl_(ssl)
    , stop_(std::move(stop))
    , timeoutMs_(timeoutMs)
{
}

LoginVerdict LoginTester::test(const UserInfo& account, Logger& log, Accepted accepted) const
{
    const std::wstring address = account.address();
    log.debug(TAVIR_HERE, sentence(L"Testing the login of %1% on %2%.", address, server_.text()));
    LoginVerdict asAddress = tryLogin(address, account.password, log, accepted);
    if (asAddress.kind == LoginVerdict::Accepted)
        log.debug(TAVIR_HERE, sentence(L"%1% logged in with the address.", address));
    if (asAddress.kind != LoginVerdict::Refused)
        return asAddress;
    LoginVerdict asMailbox = tryLogin(account.mailbox, account.password, log, accepted);
    if (asMailbox.kind == LoginVerdict::Accepted)
        log.debug(TAVIR_HERE,
            sentence(L"%1% logged in with the mailbox name %2%.", address, account.mailbox));
    if (asMailbox.kind != LoginVerdict::Refused)
        return asMailbox;
    return {LoginVerdict::Refused,
        sourceLoginRefused(
            server_.text(), address, asAddress.sentence, account.mailbox, asMailbox.sentence)};
}

LoginVerdict LoginTester::tryLogin(
    const std::wstring& user, const std::wstring& password, Logger& log, Accepted accepted) const
{
    auto client = std::make_unique<mail::SimpleImapClient>();
    client->setReadTimeoutMs(timeoutMs_);
    client->setStopSignal(stop_);
    // A source's connection, which an account's road may go on with.
    client->getConnection().setWritesBodies(false);
    const mail::ImapClientResult result
        = client->connect(server_.host, server_.port, user, password, false, ssl_);
    reportTrustOnce(log, client->trustNotice());
    const std::string greeting = client->getConnection().getGreeting();
    const std::wstring why = withoutLineEnd(client->getLastErrorResponse());
    // Logged in as whoever the server chose, before any LOGIN: whatever it
    // answers, no account logs in as itself there.
    const bool preauth = mail::imap::startsWithNoCase(greeting, 0, "* PREAUTH");
    SourceLogin login;
    if (result == mail::ImapSuccess && !preauth && accepted == Accepted::Keep)
        login = {std::move(client), user};
    else
        client->disconnect(true);
    if (result != mail::ImapSuccess && stop_->raised())
        return {LoginVerdict::Stopped, {}};
    if (preauth)
        return {LoginVerdict::SourceFailed,
            sentence(L"The source server %1% greets every connection as logged in already "
                     L"(PREAUTH), so no account can log in as itself: %2%",
                server_.text(), asSentence(withoutLineEnd(utf8ToUnicode(greeting))))};
    if (result == mail::ImapSuccess)
        return {LoginVerdict::Accepted, {}, std::move(login)};
    if (!mail::ConnectionInternal::isAcceptableGreeting(greeting))
        return {LoginVerdict::SourceFailed, sourceNotReached(server_, why)};
    if (result == mail::ImapLoginFailed)
        return {LoginVerdict::Refused, why};
    // Greeted, then no answer to the login (silent, cut off): every other
    // login would wait as long.
    return {LoginVerdict::SourceFailed,
        sentence(L"The source server %1% did not answer the login of %2%: %3%", server_.text(),
            user, asSentence(why))};
}

} // namespace tavir::migration
