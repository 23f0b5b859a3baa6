// The preparation of the target for a run, its undoing, and the restoration
// at the end.
#include "Imap/engine/TargetPreparation.h"

#include "Imap/textconv/TextConversion.h"

#include <functional>

namespace tavir::migration {

using tinydb::TinyDbClient;

namespace {

void reportFailure(TinyDbClient& admin, Logger& log)
{
    log.report(TAVIR_HERE, utf8ToUnicode(admin.lastError()));
}

} // namespace

bool prepareTarget(TinyDbClient& admin, const TargetPlan& plan, PreparedTarget& out, Logger& log)
{
    if (admin.connect(plan.host, plan.adminUser, plan.adminPassword) != TinyDbClient::Login::Ok) {
        reportFailure(admin, log);
        log.report(TAVIR_HERE, L"The target server was not changed; the migration did not start.");
        return false;
    }
    out.notice = admin.notice();
    // Each change reads and keeps the setting it changes first.
    const std::function<bool()> steps[] = {
        [&] { return admin.readVersion(out.version); },
        [&] { return admin.enableBackend(plan.masterPassword); },
        [&] { return admin.enableCaches(); },
        [&] { return admin.setSecurityPolicyMode(0); },
        [&] { return admin.bindImap(plan.ssl, plan.imapPort); },
    };
    for (const auto& step : steps) {
        if (step())
            continue;
        reportFailure(admin, log);
        // Half a preparation must not stay behind: an access list that
        // admits everyone, no security policy and a master password nobody
        // will use again.
        bool restored = restoreTarget(admin, log);
        admin.close();
        log.report(TAVIR_HERE,
            restored ? L"What was changed on the target server was put back; the migration did "
                       L"not start."
                     : L"The migration did not start.");
        return false;
    }
    unsigned count = 0;
    if (!admin.readWorkerCount(count)) {
        log.report(TAVIR_HERE,
            sentence(
                L"%1% %2% workers migrate.", utf8ToUnicode(admin.lastError()), defaultWorkerCount));
        out.workers = defaultWorkerCount;
    } else {
        out.workers = count == 0 ? 1 : count;
    }
    return true;
}

bool restoreTarget(TinyDbClient& admin, Logger& log)
{
    bool (TinyDbClient::*const steps[])()
        = {&TinyDbClient::restoreBackend, &TinyDbClient::restoreCaches,
            &TinyDbClient::restoreSecurityPolicy, &TinyDbClient::restoreImapBinding};
    bool all = true;
    for (auto step : steps) {
        if ((admin.*step)())
            continue;
        reportFailure(admin, log);
        all = false;
    }
    return all;
}

} // namespace tavir::migration
