// The engine's entry functions.
#include "Imap/engine/Engine.h"

#include "Imap/engine/Logger.h"
#include "Imap/engine/LoginCheck.h"
#include "Imap/engine/Migrator.h"
#include "Imap/engine/ServerAddress.h"
#include "Imap/engine/TrustReport.h"
#include "Imap/textconv/TextConversion.h"
#include "imapclient/ReplyReader.h"
#include "imapclient/SimpleImapClient.h"
#include "tiny/SocketLayer.h"
#include "tinydb/AdminCheck.h"
#include "utils/KIconv.h"

#include <atomic>
#include <iostream>

namespace tavir::migration {

namespace {

// How long the source server has to connect and greet.
constexpr unsigned greetingTimeoutSeconds = 5;

// What the last source test found beyond its code, for the wizard's page.
std::atomic<SourceTestFailure> lastSourceTestFailure{SourceTestFailure::Other};

// Whether the source host also runs an administration service of the
// target's kind is only of interest to whoever reads the debug log.
void probeSourceHost(const std::wstring& server, Logger& log)
{
    std::string outcome;
    tinydb::probeAdministration(server, outcome);
    log.debug(TAVIR_HERE, utf8ToUnicode(outcome));
}

int testImapServer(const std::wstring& server, bool ssl)
{
    Logger log;
    probeSourceHost(server, log);
    ServerAddress address;
    if (!parseServerAddress(server, ssl, address)) {
        log.report(TAVIR_HERE, notAnAddress(L"source", server) + L".");
        return 1;
    }
    mail::SimpleImapClient client;
    std::wstring greeting;
    const bool greeted
        = client.testImapServer(address.host, address.port, ssl, greetingTimeoutSeconds, greeting);
    reportTrustOnce(log, client.trustNotice());
    const std::wstring named = address.text() + (ssl ? L" (SSL)" : L"");
    if (!greeted) {
        const bool certificateChanged = client.trustNotice().changed;
        if (certificateChanged)
            lastSourceTestFailure = SourceTestFailure::CertificateChanged;
        const std::wstring why = withoutLineEnd(client.getLastErrorResponse());
        // A server that showed another certificate never had the chance to
        // greet: the certificate is what was wrong. One that closed the
        // connection first (over TLS, before any byte of the handshake) or
        // greeted with BYE turned the connection away: no TLS failure, no
        // other service.
        if (certificateChanged)
            log.report(TAVIR_HERE,
                sentence(L"The source server %1% showed another certificate than the one pinned "
                         L"for it, and it was refused: %2%.",
                    named, why));
        else if (client.testClosedBeforeGreeting())
            log.report(TAVIR_HERE, closedBeforeItGreeted(named));
        else if (mail::ReplyReader::isBye(unicodeToUtf8(why)))
            log.report(TAVIR_HERE, turnedAwayAtGreeting(named, why));
        else
            log.report(TAVIR_HERE,
                sentence(
                    L"The source server %1% did not greet as an IMAP server: %2%.", named, why));
        return 1;
    }
    // No account could be tested, nor migrated, on a connection where the
    // server takes no password.
    if (client.testedLoginMethod() == mail::ConnectionInternal::LoginMethod::None) {
        lastSourceTestFailure = SourceTestFailure::TakesNoPassword;
        log.report(TAVIR_HERE, noPasswordTaken(named, ssl));
        return 1;
    }
    log.debug(TAVIR_HERE,
        sentence(L"The source server %1% greets: %2%", address.text(), withoutLineEnd(greeting)));
    return 0;
}

} // namespace

bool init(const std::wstring& reportFile, const std::wstring& debugFile)
{
    std::string logsFailure;
    const bool ready = initNamingLogsFailure(reportFile, debugFile, logsFailure);
    if (!logsFailure.empty())
        std::cerr << "Error initializing logger!" << std::endl;
    return ready;
}

bool initNamingLogsFailure(
    const std::wstring& reportFile, const std::wstring& debugFile, std::string& logsFailure)
{
    tiny::initSockets();
    bool library = utils::KIconv::init("", utils::KIconv::defaultLibraryDir());
    if (!LogManager::instance().open(
            unicodeToUtf8(reportFile), unicodeToUtf8(debugFile), logsFailure))
        return false;
    if (!library) {
        Logger log;
        log.report(TAVIR_HERE,
            sentence(L"The conversion library %1% can't be loaded from %2%.",
                utf8ToUnicode(utils::KIconv::DEFAULT_LIBRARY_NAME),
                utf8ToUnicode(utils::KIconv::defaultLibraryDir())));
    }
    return library;
}

void done()
{
}

bool createMigrator(IMigrator** out)
{
    if (!out)
        return false;
    *out = new Migrator();
    return true;
}

int testImap(const std::wstring& server, bool ssl)
{
    lastSourceTestFailure = SourceTestFailure::Other;
    try {
        return testImapServer(server, ssl);
    } catch (...) {
        return 1;
    }
}

SourceTestFailure sourceTestFailure()
{
    return lastSourceTestFailure;
}

int testCvn(const std::wstring& server, const std::wstring& user, const std::wstring& password)
{
    hideInLogs({password});
    std::string outcome;
    const tinydb::AdminCheckResult result
        = tinydb::checkAdministrator(server, user, password, outcome);
    Logger log;
    if (result == tinydb::AdminOk)
        log.debug(TAVIR_HERE, utf8ToUnicode(outcome));
    else
        log.report(TAVIR_HERE, utf8ToUnicode(outcome));
    return result;
}

} // namespace tavir::migration
