// The report says once per server and process how its certificate was
// trusted, and what this process did to trust it (a pin made, an
// authority's line written) whichever of its connections is reported first.
#include "Imap/engine/TrustReport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tavir::mail::TrustNotice;
using namespace tavir::migration;

namespace {

TEST(TrustReport, SaysOncePerServerWhatThisProcessDid)
{
    const std::string unverified
        = "the certificate of h:993 is not vouched for by an authority this system trusts "
          "(self-signed certificate); ";
    const std::string pinned = unverified
        + "on this first connection its fingerprint aa:bb was pinned in /k, and another "
          "certificate will be refused.";
    const std::string matches
        = unverified + "it matches the fingerprint aa:bb pinned for it in /k.";
    const std::string vouched
        = "The certificate of h:993 is issued for h by an authority this system trusts";
    const std::string recorded = vouched
        + "; /k now records that, and a certificate no authority vouches for will be refused.";
    // The server of each row's notices is a name of its own: what was said
    // is said for the process.
    const TrustNotice pinning{"", pinned, false, "", pinned};
    const TrustNotice findingThePin{"", matches, false, "", pinned};
    const TrustNotice matchingAnEarlierPin{"", matches, false, "", ""};
    const TrustNotice recording{"", recorded, false, "", recorded};
    const TrustNotice findingTheRecord{"", vouched + ".", false, "", recorded};
    const TrustNotice refused{"", "", true, "", ""};
    const std::wstring saysPinned = trustSentence(pinned) + L"\n";
    const struct {
        const char* name;
        std::vector<TrustNotice> notices; // in the order they are reported
        std::wstring said;
    } rows[] = {
        {"the connection that pinned it first", {pinning, findingThePin}, saysPinned},
        {"one that found the pin a moment after it was made first", {findingThePin, pinning},
            saysPinned},
        {"found by one connection only, the pin's own notice never reported", {findingThePin},
            saysPinned},
        {"pinned by an earlier process", {matchingAnEarlierPin, matchingAnEarlierPin},
            trustSentence(matches) + L"\n"},
        {"vouched for, found recorded a moment after it was recorded",
            {findingTheRecord, recording}, trustSentence(recorded) + L"\n"},
        {"refused, then pinned: said once it is trusted", {refused, findingThePin, pinning},
            saysPinned},
        {"without a sentence (plain TCP): nothing", {TrustNotice{}}, L""},
    };
    unsigned number = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string server = "row" + std::to_string(++number) + ".test:993";
        Logger log;
        for (TrustNotice notice : row.notices) {
            notice.server = server;
            reportTrustOnce(log, notice);
        }
        EXPECT_EQ(row.said, log.kept());
    }
}

} // namespace
