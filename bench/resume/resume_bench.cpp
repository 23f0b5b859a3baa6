// What resuming a large folder costs: a Dovecot folder of N messages (20,000
// unless told) of which the target's folder holds all but the last ten,
// copied there before by the engine's own folder copy. It measures the
// engine's comparison of the two folders (planResume: one FETCH of size,
// date and Message-ID from each side, then the match) against the same
// FETCH sent by a raw client to each side, which is what the comparison
// can't do without; the goal is at most twice that. Then it copies the ten
// the target lacks and checks the target holds N. With --without-message-id
// 1 the messages have no Message-ID, so every one is told apart by a digest
// of its bytes on both sides: the reference then adds a raw FETCH of the
// bodies from each side.
//
//   resume_bench [--messages N] [--repeat R] [--without-message-id 1]
//
// Needs Dovecot, python3 and root, like the integration tests.
#include "Imap/engine/FolderCopy.h"
#include "Imap/engine/FolderResume.h"
#include "Imap/engine/LogManager.h"
#include "support/Dovecot.h"
#include "support/StandInTarget.h"
#include "support/TestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace tavir::migration;
using tavir::mail::SimpleImapClient;
using tavir::test::Dovecot;
using tavir::test::RawImap;
using tavir::test::StandInTarget;

namespace {

constexpr unsigned lacking = 10;
bool withMessageId = true;

void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(2);
}

std::string message(unsigned n)
{
    std::string text = "From: bench@example.com\r\n"
        + (withMessageId ? "Message-ID: <" + std::to_string(n) + ".resume@example.com>\r\n" : "")
        + "Subject: message " + std::to_string(n) + "\r\n\r\n";
    while (text.size() < 400)
        text += "line " + std::to_string(text.size()) + " of message " + std::to_string(n) + "\r\n";
    return text;
}

// With a LITERAL+ literal: no round trip for the continuation.
void append(RawImap& imap, unsigned n)
{
    const std::string data = message(n);
    bool ok = false;
    imap.command("APPEND INBOX (\\Seen) \"17-Jul-1996 02:44:25 -0700\" {"
            + std::to_string(data.size()) + "+}\r\n" + data,
        &ok);
    if (!ok)
        fail("an append to Dovecot failed");
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One FETCH of the matching items from a raw client, which shares no code
// with the engine, and of the bodies when the comparison needs digests.
double rawFetch(RawImap& imap, const std::string& folder, unsigned count)
{
    bool ok = false;
    imap.command("EXAMINE \"" + folder + "\"", &ok);
    const auto start = std::chrono::steady_clock::now();
    imap.command("FETCH 1:" + std::to_string(count) + " " + tavir::mail::messageSummaryItems, &ok);
    std::vector<unsigned long long> bodies;
    if (ok && !withMessageId)
        imap.command("FETCH 1:" + std::to_string(count) + " BODY.PEEK[]", &ok, bodies);
    const double seconds = secondsSince(start);
    if (!ok) {
        std::fprintf(stderr, "the raw FETCH failed\n");
        std::exit(2);
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned messages = 20000, repeat = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const unsigned value = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        if (name == "--messages")
            messages = std::max(value, lacking + 1);
        else if (name == "--repeat")
            repeat = std::max(value, 1u);
        else if (name == "--without-message-id")
            withMessageId = value == 0;
    }
    // Both servers keep their state on tmpfs where they can, so that the
    // disk is not what is measured.
    if (access("/dev/shm", W_OK) == 0)
        setenv("TMPDIR", "/dev/shm", 1);
    if (!Dovecot::available())
        fail("Dovecot is not installed, or this is not run as root");
    tavir::test::TempDir logs;
    LogManager::instance().open(logs.file("report.txt"), logs.file("debug.log"));

    Dovecot dovecot(std::map<std::string, std::string>{{"bench", "benchpw"}});
    StandInTarget::Options options;
    options.accounts = {{"bench@example.com", "benchpw"}};
    StandInTarget target(options);
    {
        RawImap imap(dovecot.port());
        if (!imap.login("bench", "benchpw"))
            fail("the Dovecot login failed");
        for (unsigned n = 1; n <= messages - lacking; ++n)
            append(imap, n);
    }

    SimpleImapClient source, to;
    if (source.connect(
            L"127.0.0.1", static_cast<unsigned>(dovecot.port()), L"bench", L"benchpw", false, false)
            != 0
        || source.select(L"INBOX") != 0
        || to.connect(target.whost(), static_cast<unsigned>(target.port()), L"master-secret", false)
            != 0
        || to.setUser(L"bench", L"example.com") != 0)
        fail("a login failed");
    MigrationFolder folder;
    folder.sourceName = folder.targetName = L"INBOX";
    Logger log;
    unsigned timeouts = 0;
    FolderCopy::Tally tally;
    auto start = std::chrono::steady_clock::now();
    FolderCopy(
        source, to, log, [] { return false; }, [](const FolderCopy::Tally&, unsigned) {}, timeouts)
        .copy(folder, messages - lacking, tally);
    std::printf(
        "copied %u messages into the target in %.2f s\n", tally.copied, secondsSince(start));
    {
        RawImap imap(dovecot.port());
        imap.login("bench", "benchpw");
        for (unsigned n = messages - lacking + 1; n <= messages; ++n)
            append(imap, n);
    }
    source.disconnect(true);
    if (source.connect(
            L"127.0.0.1", static_cast<unsigned>(dovecot.port()), L"bench", L"benchpw", false, false)
            != 0
        || source.select(L"INBOX") != 0)
        fail("the source login failed");

    // The fastest of the repeats counts, so that other load on the machine
    // disturbs the figures less.
    double bestPlan = 1e9, bestSource = 1e9, bestTarget = 1e9;
    ResumePlan plan;
    for (unsigned r = 0; r < repeat; ++r) {
        start = std::chrono::steady_clock::now();
        plan = planResume(source, to, folder, messages, messages - lacking);
        bestPlan = std::min(bestPlan, secondsSince(start));
        if (plan.failure.failed() || plan.wanted.size() != lacking)
            fail("the comparison did not find the messages the target lacks");
        RawImap fromSource(dovecot.port());
        RawImap fromTarget(target.host(), target.port());
        if (!fromSource.login("bench", "benchpw")
            || !fromTarget.login("bench@example.com", "benchpw"))
            fail("a raw login failed");
        bestSource = std::min(bestSource, rawFetch(fromSource, "INBOX", messages));
        bestTarget = std::min(bestTarget, rawFetch(fromTarget, "INBOX", messages - lacking));
    }
    const double raw = bestSource + bestTarget;
    std::printf("%u messages, %u lacking, %u told apart by digests: comparison %.3f s; the same "
                "FETCH%s %.3f s from the source and %.3f s from the target; ratio %.2f (goal: at "
                "most 2)\n",
        messages, lacking, plan.settledByDigest, bestPlan,
        withMessageId ? "" : "es (and the bodies)", bestSource, bestTarget, bestPlan / raw);

    FolderCopy::Tally rest;
    start = std::chrono::steady_clock::now();
    FolderCopy(
        source, to, log, [] { return false; }, [](const FolderCopy::Tally&, unsigned) {}, timeouts)
        .copy(folder, messages, plan.wanted, rest);
    unsigned held = 0;
    to.status(L"INBOX", held);
    std::printf("copied the %u lacking in %.3f s; the target holds %u of %u\n", rest.copied,
        secondsSince(start), held, messages);
    return bestPlan <= 2 * raw && held == messages ? 0 : 1;
}
