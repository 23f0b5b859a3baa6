// The engine's entry functions.
#include "Imap/engine/Engine.h"

#include "Imap/engine/Logger.h"
#include "Imap/engine/Migrator.h"
#include "Imap/engine/ServerAddress.h"
#include "Imap/textconv/TextConversion.h"
#include "imapclient/SimpleImapClient.h"
#include "tiny/SocketLayer.h"
#include "utils/KIconv.h"

#include <iostream>

namespace tavir::migration {

namespace {

// How long the source server has to connect and greet.
constexpr unsigned greetingTimeoutSeconds = 5;

int testImapServer(const std::wstring& server, bool ssl)
{
    Logger log;
    ServerAddress address;
    if (!parseServerAddress(server, ssl, address)) {
        log.report(TAVIR_HERE,
            sentence(
                L"The source server \"%1%\" is not a host name with an optional port.", server));
        return 1;
    }
    mail::SimpleImapClient client;
    std::wstring greeting;
    if (!client.testImapServer(address.host, address.port, ssl, greetingTimeoutSeconds, greeting)) {
        log.report(TAVIR_HERE,
            sentence(L"The source server %1%%2% did not greet as an IMAP server within %3% "
                     L"seconds.",
                address.text(), ssl ? L" (SSL)" : L"", greetingTimeoutSeconds));
        return 1;
    }
    while (!greeting.empty() && (greeting.back() == L'\r' || greeting.back() == L'\n'))
        greeting.pop_back();
    log.debug(TAVIR_HERE, sentence(L"The source server %1% greets: %2%", address.text(), greeting));
    return 0;
}

} // namespace

bool init(const std::wstring& reportFile, const std::wstring& debugFile)
{
    tiny::initSockets();
    bool library = utils::KIconv::init("", utils::KIconv::defaultLibraryDir());
    if (!LogManager::instance().open(unicodeToUtf8(reportFile), unicodeToUtf8(debugFile))) {
        std::cerr << "Error initializing logger!" << std::endl;
        return false;
    }
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
    try {
        return testImapServer(server, ssl);
    } catch (...) {
        return 1;
    }
}

} // namespace tavir::migration
