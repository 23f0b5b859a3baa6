// The migration benchmark: builds the corpus in a throw-away Dovecot (12
// accounts, over 100 folders, about 5,000 messages of 200 bytes to 10 MB,
// about 250 MB, all from one seed) and copies it in several ways, each once
// per round, in turn, for several rounds: mbsync into a second Dovecot with
// six processes and with one, the engine through IMigrator with six workers
// into the stand-in target, and the stand-in's own intake (the same
// messages appended from memory by six clients):
//
//   migration_bench [--rounds N] [--seed S] [--messages N] [--large N]
//
// First, one line on the engine's folder list alone: an account whose
// folders nest 2,000 levels deep, its CPU time and peak memory.
//
// Every server's written state is kept on tmpfs (/dev/shm), so the disk is
// not what is measured. Prints each measurement as it ends, then per way of
// copying the minimum and median wall time, messages/s and MB/s at the
// median, and the highest peak memory, and each median against the first
// way's, and whether the engine meets its goals. Needs Dovecot, mbsync
// (isync), python3 and root, like the integration tests.
#include "BenchCorpus.h"
#include "ChildProcesses.h"
#include "EngineRun.h"
#include "MbsyncRun.h"
#include "StandInIntake.h"

#include "Imap/engine/IFolderList.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace tavir::bench;
using tavir::test::Dovecot;

namespace {

struct Options {
    unsigned rounds = 5;
    BenchCorpus::Shape shape;
};

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
        if (name == "--rounds")
            options.rounds = std::max(1ul, value);
        else if (name == "--seed")
            options.shape.seed = value;
        else if (name == "--messages")
            options.shape.messages = static_cast<unsigned>(std::max(1ul, value));
        else if (name == "--large")
            options.shape.largeMessages = static_cast<unsigned>(value);
        else
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
    }
    return options;
}

// Temporary folders (and so both Dovecots' mail) go to tmpfs.
void keepStateInMemory()
{
    struct stat info { };
    if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0)
        setenv("TMPDIR", "/dev/shm", 1);
    else
        std::printf("note: /dev/shm is not writable; state goes to the disk\n");
}

// A line "Name: N kB" of /proc/self/status; 0 when it can't be read.
long ownStatusKb(const char* pattern)
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, pattern, &kb) == 1)
            break;
    std::fclose(status);
    return kb;
}

// VmRSS of this process.
long ownResidentKb()
{
    return ownStatusKb("VmRSS: %ld kB");
}

// VmHWM: the peak resident memory of this process.
long ownPeakKb()
{
    return ownStatusKb("VmHWM: %ld kB");
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One line: the folder list of an account whose folders nest `depth` levels
// deep, every level listed ("a", "a/a", ...), built and asked what to create
// and copy as an account's road does, in a child process of its own: its
// CPU time and its peak resident memory against the goals.
void measureFolderNesting(unsigned depth)
{
    runChildren({[depth] {
        std::vector<tavir::mail::FolderInfo> listed;
        std::string name;
        for (unsigned level = 1; level <= depth; ++level) {
            name += level == 1 ? "a" : "/a";
            listed.push_back({name, true, {}});
        }
        // The peak counts from here, not from what the child inherited.
        if (std::FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", refs);
            std::fclose(refs);
        }
        const double start = cpuSeconds();
        auto list = tavir::migration::createFolderList(tavir::migration::FolderStore::Mailbox);
        list->build(listed, '/');
        const std::size_t handedOut
            = list->foldersToCreate().size() + list->foldersToCopy().size();
        const double cpu = cpuSeconds() - start;
        const double peakMb = ownPeakKb() / 1024.0;
        std::printf("folder list %u levels deep (%zu folders handed out): %.2f s CPU (goal < "
                    "0.5), peak %.1f MB (goal < 30) %s\n\n",
            depth, handedOut, cpu, peakMb, cpu < 0.5 && peakMb < 30 ? "met" : "MISSED");
        return 0;
    }});
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Series {
    explicit Series(std::unique_ptr<MeasuredRun> measured)
        : run(std::move(measured))
    {
    }

    std::unique_ptr<MeasuredRun> run;
    std::vector<double> seconds;
    long peakKb = 0;
    long peakSumKb = 0;
    bool failed = false;
};

void measureRound(Series& series, unsigned round)
{
    MeasuredRun& run = *series.run;
    run.prepare();
    RunResult result = run.run();
    std::string difference = result.ok ? run.check() : result.error;
    run.finish();
    if (!result.ok || !difference.empty()) {
        std::printf("round %u  %-28s FAILED: %s\n", round, run.name().c_str(), difference.c_str());
        series.failed = true;
        return;
    }
    series.seconds.push_back(result.seconds);
    series.peakKb = std::max(series.peakKb, result.peakKb);
    series.peakSumKb = std::max(series.peakSumKb, result.peakSumKb);
    std::printf("round %u  %-28s %8.2f s  peak %7.1f MB\n", round, run.name().c_str(),
        result.seconds, result.peakKb / 1024.0);
    std::fflush(stdout);
}

void printSummary(const std::vector<Series>& all, const BenchCorpus& corpus)
{
    const double megabytes = static_cast<double>(corpus.totalBytes()) / 1e6;
    const double messages = static_cast<double>(corpus.messages().size());
    std::printf("\n%-28s %6s %9s %9s %9s %8s %10s %10s %8s\n", "copy", "rounds", "min s",
        "median s", "msg/s", "MB/s", "peak MB", "all MB", "ratio");
    const double reference = all.front().seconds.empty() ? 0 : median(all.front().seconds);
    for (const Series& series : all) {
        if (series.seconds.empty()) {
            std::printf("%-28s failed\n", series.run->name().c_str());
            continue;
        }
        const double mid = median(series.seconds);
        const double least = *std::min_element(series.seconds.begin(), series.seconds.end());
        std::printf("%-28s %6zu %9.2f %9.2f %9.0f %8.1f %10.1f %10.1f %8.2f\n",
            series.run->name().c_str(), series.seconds.size(), least, mid, messages / mid,
            megabytes / mid, series.peakKb / 1024.0, series.peakSumKb / 1024.0,
            reference > 0 ? mid / reference : 0);
    }
    std::printf("\npeak MB: the largest process; all MB: the peaks of all its processes"
                " added up; ratio: median against the first line's median\n");
}

// The three goals: the engine no slower than mbsync with six processes; the
// stand-in taking messages in at least three times as fast as the engine
// hands them over (so that it is not what is measured); the engine's peak
// memory below 100 MB plus one and a half times the largest message.
void printGoals(
    const BenchCorpus& corpus, const Series& mbsync, const Series& engine, const Series& intake)
{
    if (mbsync.seconds.empty() || engine.seconds.empty() || intake.seconds.empty())
        return;
    const double engineTime = median(engine.seconds);
    const double timeRatio = engineTime / median(mbsync.seconds);
    const double intakeRatio = engineTime / median(intake.seconds);
    const double peakMb = engine.peakKb / 1024.0;
    const double limitMb = 100.0 + 1.5 * static_cast<double>(corpus.largestMessage()) / 1048576.0;
    std::printf("\ngoals:\n");
    std::printf("  engine / %s wall time: %.2f (goal <= 1.00) %s\n", mbsync.run->name().c_str(),
        timeRatio, timeRatio <= 1.0 ? "met" : "MISSED");
    std::printf("  stand-in intake rate / engine rate: %.2f (goal >= 3.00) %s\n", intakeRatio,
        intakeRatio >= 3.0 ? "met" : "MISSED");
    std::printf("  engine peak memory: %.1f MB (goal < %.1f MB) %s\n", peakMb, limitMb,
        peakMb < limitMb ? "met" : "MISSED");
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);
    measureFolderNesting(2000);
    keepStateInMemory();
    if (!Dovecot::available() || !MbsyncRun::available()) {
        std::fprintf(stderr, "needs Dovecot, mbsync (isync) and root\n");
        return 1;
    }
    BenchCorpus corpus(options.shape);
    std::printf("corpus: %zu accounts, %zu folders, %zu messages, %.1f MB, largest %.1f MB"
                " (seed %llu)\n",
        corpus.accounts().size(), corpus.folderCount(), corpus.messages().size(),
        static_cast<double>(corpus.totalBytes()) / 1e6,
        static_cast<double>(corpus.largestMessage()) / 1e6,
        static_cast<unsigned long long>(options.shape.seed));
    Dovecot::Options sourceOptions = corpusDovecotOptions();
    // The engine logs in with the address first: the domain is dropped, so
    // that this login is the one that succeeds.
    sourceOptions.extraConfig = "auth_username_format = %n\n";
    Dovecot source(corpus.users(), sourceOptions);
    // A child's peak memory (wait4) starts from what it inherits at fork,
    // so the benchmark itself stays small: the bodies are made in a child.
    RunResult fill = runChildren({[&] {
        corpus.fill(source);
        return 0;
    }});
    if (!fill.ok) {
        std::fprintf(stderr, "filling the source failed\n");
        return 1;
    }
    std::printf("source filled in %.1f s; the benchmark's own resident memory: %.1f MB\n\n",
        fill.seconds, ownResidentKb() / 1024.0);

    // The first entry is the reference of the ratio column.
    std::vector<Series> all;
    all.emplace_back(std::make_unique<MbsyncRun>(corpus, source, 6));
    all.emplace_back(std::make_unique<MbsyncRun>(corpus, source, 1));
    all.emplace_back(std::make_unique<EngineRun>(corpus, source));
    all.emplace_back(std::make_unique<StandInIntake>(corpus));

    for (unsigned round = 1; round <= options.rounds; ++round)
        for (Series& series : all)
            measureRound(series, round);
    printSummary(all, corpus);
    printGoals(corpus, all[0], all[2], all[3]);
    for (const Series& series : all)
        if (series.failed)
            return 1;
    return 0;
}
