// The migration benchmark: builds the corpus in a throw-away Dovecot (12
// accounts, over 100 folders, about 5,000 messages of 200 bytes to 10 MB,
// about 250 MB, all from one seed) and copies it in several ways, each once
// per round, in an order shuffled anew every round, for several rounds:
// mbsync into a second Dovecot with six processes and with one, the engine
// through IMigrator with six workers into the stand-in target, and the
// stand-in's own intake (the same messages appended from memory by six
// clients); mbsync and the engine again with both links through relays
// that hold every chunk 5 ms each way (or as long as asked); the engine
// into the instant target, which answers at once and keeps nothing, beside
// the source's own time to fetch every message; the engine copying six
// 50 MB messages at once (a corpus and a source of their own); and many
// accounts of three small messages each (500, a corpus and a source of
// their own), mbsync against the engine through the relays, with the
// engine's administration round trips per account. `--help` prints the
// options (usage() below).
//
// First, one line on the engine's folder list alone: an account whose
// folders nest 2,000 levels deep, its CPU time and peak memory.
//
// Every server's written state is kept on tmpfs (/dev/shm), so the disk is
// not what is measured. Each copy is checked message by message (bytes,
// flags, internal date) where it landed. Prints each measurement as it
// ends, then per way of copying the minimum and median wall time,
// messages/s and MB/s at the median, the highest peak memory and the median
// CPU time of the copier's own processes, each median against the first
// way's, and each goal with "met" or "MISSED". Needs Dovecot, mbsync
// (isync), python3 and root, like the integration tests.
#include "BenchCorpus.h"
#include "ChildProcesses.h"
#include "EngineRun.h"
#include "MbsyncRun.h"
#include "SourceFetch.h"
#include "StandInIntake.h"

#include "Imap/engine/IFolderList.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tavir::bench;
using tavir::test::Dovecot;

namespace {

enum class Which { All, Corpus, Accounts };

struct Options {
    unsigned rounds = 5;
    BenchCorpus::Shape shape;
    // How late the relays pass every chunk on, each way: one latency series
    // per delay (none: no latency series).
    std::vector<std::chrono::microseconds> delays{std::chrono::microseconds{5000}};
    // The size of each of the six messages copied at once (0: no such series).
    std::uint32_t hugeMb = 50;
    // Accounts of three small messages each, copied at each delay (0: no
    // such series).
    unsigned accounts = 500;
    Which series = Which::All;
};

const char* const Usage
    = "usage: migration_bench [--rounds N] [--seed S] [--messages N] [--large N]\n"
      "                       [--delay MS[,MS...]] [--huge MB] [--accounts N]\n"
      "                       [--series all|corpus|accounts]\n"
      "  --rounds N       rounds of every series (5)\n"
      "  --seed S         the seed of every corpus (20240917)\n"
      "  --messages N     messages of the 12-account corpus (5000)\n"
      "  --large N        of them, messages of 1 to 10 MiB (25)\n"
      "  --delay MS,...   how long the relays hold every chunk each way, one latency\n"
      "                   series per value (5: a 10 ms round trip; 25.5: 51 ms; 0: none)\n"
      "  --huge MB        each of the six messages copied at once (50; 0: no such series)\n"
      "  --accounts N     accounts of three small messages each, copied by mbsync and\n"
      "                   the engine at each delay (500; 0: no such series)\n"
      "  --series WHICH   all, corpus (the 12-account corpus's series) or accounts\n"
      "                   (the many accounts' series alone)\n"
      "  --help           this text\n";

[[noreturn]] void refuse(const std::string& why)
{
    std::fprintf(stderr, "migration_bench: %s\n%s", why.c_str(), Usage);
    std::exit(2);
}

unsigned long number(const std::string& name, const std::string& text)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-')
        refuse(name + " wants a whole number, not \"" + text + "\"");
    return value;
}

std::vector<std::chrono::microseconds> delayList(const std::string& text)
{
    std::vector<std::chrono::microseconds> delays;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = text.find(',', from);
        const std::string one = text.substr(from, comma - from);
        char* end = nullptr;
        const double ms = std::strtod(one.c_str(), &end);
        if (one.empty() || *end != '\0' || !(ms >= 0 && ms <= 10000))
            refuse("--delay wants milliseconds from 0 to 10000, not \"" + one + "\"");
        if (ms > 0)
            delays.emplace_back(static_cast<long long>(ms * 1000));
        if (comma == std::string::npos)
            return delays;
        from = comma + 1;
    }
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(Usage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc)
            refuse(
                name.compare(0, 2, "--") == 0 ? name + " wants a value" : "unknown option " + name);
        const std::string value = argv[i + 1];
        if (name == "--rounds")
            options.rounds = static_cast<unsigned>(std::max(1ul, number(name, value)));
        else if (name == "--seed")
            options.shape.seed = number(name, value);
        else if (name == "--messages")
            options.shape.messages = static_cast<unsigned>(std::max(1ul, number(name, value)));
        else if (name == "--large")
            options.shape.largeMessages = static_cast<unsigned>(number(name, value));
        else if (name == "--delay")
            options.delays = delayList(value);
        else if (name == "--huge")
            options.hugeMb = static_cast<std::uint32_t>(std::min(1000ul, number(name, value)));
        else if (name == "--accounts")
            options.accounts = static_cast<unsigned>(std::min(100000ul, number(name, value)));
        else if (name == "--series" && (value == "all" || value == "corpus" || value == "accounts"))
            options.series = value == "all" ? Which::All
                : value == "corpus"         ? Which::Corpus
                                            : Which::Accounts;
        else
            refuse(name == "--series" ? "--series wants all, corpus or accounts"
                                      : "unknown option " + name);
    }
    return options;
}

// `accounts` accounts of an inbox with three small messages each.
BenchCorpus::Shape manyShape(const BenchCorpus::Shape& main, unsigned accounts)
{
    BenchCorpus::Shape shape;
    shape.seed = main.seed;
    shape.accounts = accounts;
    shape.messages = 3 * accounts;
    shape.largeMessages = 0;
    shape.smallMax = 4096;
    shape.accountsInTurn = true;
    shape.folders = 1;
    return shape;
}

// Six accounts, one message of `megabytes` in each: copied at once by the
// six workers.
BenchCorpus::Shape hugeShape(const BenchCorpus::Shape& main, std::uint32_t megabytes)
{
    BenchCorpus::Shape shape;
    shape.seed = main.seed;
    shape.accounts = EngineRun::workers;
    shape.messages = shape.largeMessages = EngineRun::workers;
    shape.largeMin = shape.largeMax = megabytes << 20;
    shape.accountsInTurn = true;
    return shape;
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
        list->build(listed, '/', {});
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
    Series(std::unique_ptr<MeasuredRun> measured, const BenchCorpus& copied)
        : run(std::move(measured))
        , corpus(copied)
    {
    }

    std::unique_ptr<MeasuredRun> run;
    const BenchCorpus& corpus;
    std::vector<double> seconds;
    std::vector<double> cpuSeconds;
    std::vector<double> adminTripsPerAccount; // where they were counted
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
        std::printf("round %u  %-56s FAILED: %s\n", round, run.name().c_str(), difference.c_str());
        series.failed = true;
        return;
    }
    series.seconds.push_back(result.seconds);
    series.cpuSeconds.push_back(result.cpuSeconds);
    series.peakKb = std::max(series.peakKb, result.peakKb);
    series.peakSumKb = std::max(series.peakSumKb, result.peakSumKb);
    std::printf("round %u  %-56s %8.2f s  CPU %6.2f s  peak %7.1f MB", round, run.name().c_str(),
        result.seconds, result.cpuSeconds, result.peakKb / 1024.0);
    // Round trips per account, where relays counted them.
    const double accounts = static_cast<double>(series.corpus.accounts().size());
    if (result.sourceRoundTrips >= 0)
        std::printf("  round trips per account: source %.1f, target %.1f",
            static_cast<double>(result.sourceRoundTrips) / accounts,
            static_cast<double>(result.targetRoundTrips) / accounts);
    if (result.adminRoundTrips >= 0) {
        series.adminTripsPerAccount.push_back(
            static_cast<double>(result.adminRoundTrips) / accounts);
        std::printf(", administration %.2f (%ld in all)", series.adminTripsPerAccount.back(),
            result.adminRoundTrips);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// Every series once, in an order drawn anew for each round from the seed,
// so that no series always runs first, or always after the same one.
void measureRounds(std::vector<Series>& all, unsigned rounds, std::uint64_t seed)
{
    std::vector<std::size_t> order(all.size());
    std::iota(order.begin(), order.end(), 0);
    for (unsigned round = 1; round <= rounds; ++round) {
        std::mt19937_64 random(seed + round);
        std::shuffle(order.begin(), order.end(), random);
        for (std::size_t index : order)
            measureRound(all[index], round);
    }
}

void printSummary(const std::vector<Series>& all)
{
    std::printf("\n%-56s %6s %7s %8s %8s %7s %8s %8s %8s %6s\n", "copy", "rounds", "min s",
        "median s", "msg/s", "MB/s", "CPU s", "peak MB", "all MB", "ratio");
    const double reference = all.front().seconds.empty() ? 0 : median(all.front().seconds);
    for (const Series& series : all) {
        if (series.seconds.empty()) {
            std::printf("%-56s failed\n", series.run->name().c_str());
            continue;
        }
        const double megabytes = static_cast<double>(series.corpus.totalBytes()) / 1e6;
        const double messages = static_cast<double>(series.corpus.messages().size());
        const double mid = median(series.seconds);
        const double least = *std::min_element(series.seconds.begin(), series.seconds.end());
        std::printf("%-56s %6zu %7.2f %8.2f %8.0f %7.1f %8.2f %8.1f %8.1f %6.2f\n",
            series.run->name().c_str(), series.seconds.size(), least, mid, messages / mid,
            megabytes / mid, median(series.cpuSeconds), series.peakKb / 1024.0,
            series.peakSumKb / 1024.0, reference > 0 ? mid / reference : 0);
    }
    std::printf("\nCPU s: user and system time of the"
                " copier's own processes (median); peak MB: the largest process; all MB: the peaks"
                " of all its processes added up; ratio: median against the first line's"
                " median\n");
}

// mbsync with six processes and the engine, side by side at one round
// trip (or on loopback).
struct Contest {
    const Series* mbsync = nullptr;
    const Series* engine = nullptr;
    std::string what; // ", 10 ms round trip", ", 500 accounts x 3 messages, ..."
};

// The series the goals compare; null where a series was left out.
struct GoalSeries {
    const Series* mbsync = nullptr; // six processes, loopback
    const Series* engine = nullptr; // six workers, loopback, into the stand-in
    const Series* intake = nullptr;
    const Series* instant = nullptr; // the engine into the instant target
    const Series* fetchOnly = nullptr;
    const Series* huge = nullptr; // six large messages at once
    std::vector<Contest> delayed; // the corpus at each round trip
    std::vector<Contest> many; // the many accounts at each round trip
};

void printGoal(const std::string& what, double value, const char* goal, bool met)
{
    std::printf("  %s: %.2f (goal %s) %s\n", what.c_str(), value, goal, met ? "met" : "MISSED");
}

bool measured(const Series* series)
{
    return series && !series->seconds.empty();
}

// A ratio of the medians of two series (wall time, or CPU time when `cpu`),
// against its goal "at most `limit`".
void printRatioGoal(const std::string& what, const Series* numerator, const Series* denominator,
    bool cpu, double limit, const char* goal)
{
    if (!measured(numerator) || !measured(denominator))
        return;
    const double ratio = cpu ? median(numerator->cpuSeconds) / median(denominator->cpuSeconds)
                             : median(numerator->seconds) / median(denominator->seconds);
    printGoal(what, ratio, goal, ratio <= limit);
}

void printMemoryGoal(const std::string& what, const Series* series, std::uint32_t largest)
{
    if (!measured(series))
        return;
    const double peakMb = series->peakKb / 1024.0;
    const double limitMb = 100.0 + 1.5 * static_cast<double>(largest) / 1048576.0;
    std::printf("  %s: %.1f MB (goal <= %.1f MB, 100 MB + 1.5 x the largest message) %s\n",
        what.c_str(), peakMb, limitMb, peakMb <= limitMb ? "met" : "MISSED");
}

void printGoals(const GoalSeries& goals, std::uint32_t largest, std::uint32_t hugeLargest)
{
    std::printf("\ngoals (medians):\n");
    printRatioGoal("engine / mbsync, 6 processes, wall time, loopback", goals.engine, goals.mbsync,
        false, 0.8, "<= 0.80");
    for (const auto* contests : {&goals.delayed, &goals.many})
        for (const Contest& contest : *contests)
            printRatioGoal("engine / mbsync, 6 processes, wall time" + contest.what, contest.engine,
                contest.mbsync, false, 0.8, "<= 0.80");
    printRatioGoal("engine / mbsync, 6 processes, client CPU, loopback", goals.engine, goals.mbsync,
        true, 0.6, "<= 0.60");
    printRatioGoal("engine into the instant target / the source's fetch-only time", goals.instant,
        goals.fetchOnly, false, 1.2, "<= 1.20");
    for (const Contest& contest : goals.many)
        if (measured(contest.engine) && !contest.engine->adminTripsPerAccount.empty()) {
            const double trips = median(contest.engine->adminTripsPerAccount);
            printGoal("engine administration round trips per account" + contest.what, trips,
                "<= 0.30", trips <= 0.3);
        }
    printMemoryGoal("engine peak memory, the corpus", goals.engine, largest);
    printMemoryGoal("engine peak memory, six large messages at once", goals.huge, hugeLargest);
    for (const Contest& contest : goals.many)
        if (measured(contest.engine)) {
            const double peakMb = contest.engine->peakKb / 1024.0;
            printGoal("engine peak memory, MB" + contest.what, peakMb, "<= 30", peakMb <= 30);
        }
    // Whether the stand-in, not the engine, is what the engine's figures
    // measure: it should take messages in far faster than they come.
    if (measured(goals.engine) && measured(goals.intake)) {
        const double ratio = median(goals.engine->seconds) / median(goals.intake->seconds);
        printGoal("stand-in intake rate / engine rate", ratio, ">= 3.00", ratio >= 3.0);
    }
}

// A source Dovecot holding `corpus`, filled in a child process: a child's
// peak memory (wait4) starts from what it inherits at fork, so the
// benchmark itself stays small.
std::unique_ptr<Dovecot> filledSource(const BenchCorpus& corpus)
{
    Dovecot::Options options = corpusDovecotOptions();
    // The engine logs in with the address first: the domain is dropped, so
    // that this login is the one that succeeds.
    options.extraConfig = "auth_username_format = %n\n";
    auto source = std::make_unique<Dovecot>(corpus.users(), options);
    RunResult fill = runChildren({[&] {
        corpus.fill(*source);
        return 0;
    }});
    if (!fill.ok)
        throw std::runtime_error("filling the source failed");
    return source;
}

void describe(const char* what, const BenchCorpus& corpus, std::uint64_t seed)
{
    std::printf(
        "%s: %zu accounts, %zu folders, %zu messages, %.1f MB, largest %.1f MB (seed %llu)\n", what,
        corpus.accounts().size(), corpus.folderCount(), corpus.messages().size(),
        static_cast<double>(corpus.totalBytes()) / 1e6,
        static_cast<double>(corpus.largestMessage()) / 1e6, static_cast<unsigned long long>(seed));
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);
    const bool corpusSeries = options.series != Which::Accounts;
    const bool manySeries = options.series != Which::Corpus && options.accounts > 0;
    if (corpusSeries)
        measureFolderNesting(2000);
    keepStateInMemory();
    if (!Dovecot::available() || !MbsyncRun::available()) {
        std::fprintf(stderr, "needs Dovecot, mbsync (isync) and root\n");
        return 1;
    }
    const BenchCorpus corpus(options.shape);
    const BenchCorpus huge(hugeShape(options.shape, std::max(1u, options.hugeMb)));
    const BenchCorpus many(manyShape(options.shape, std::max(1u, options.accounts)));
    const bool hugeSeries = corpusSeries && options.hugeMb > 0;
    if (corpusSeries)
        describe("corpus", corpus, options.shape.seed);
    if (hugeSeries)
        describe("six at once", huge, options.shape.seed);
    if (manySeries)
        describe("many accounts", many, options.shape.seed);
    const auto start = std::chrono::steady_clock::now();
    const std::unique_ptr<Dovecot> source = corpusSeries ? filledSource(corpus) : nullptr;
    const std::unique_ptr<Dovecot> hugeSource = hugeSeries ? filledSource(huge) : nullptr;
    const std::unique_ptr<Dovecot> manySource = manySeries ? filledSource(many) : nullptr;
    std::printf("sources filled in %.1f s; the benchmark's own resident memory: %.1f MB\n\n",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
        ownResidentKb() / 1024.0);

    // The first entry is the reference of the ratio column.
    using Target = EngineRun::Target;
    std::vector<Series> all;
    auto add = [&all](std::unique_ptr<MeasuredRun> run, const BenchCorpus& copied) {
        all.emplace_back(std::move(run), copied);
        return all.size() - 1;
    };
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t mbsync = none, engine = none, intake = none, instant = none, fetchOnly = none,
                hugeCopy = none;
    // Indexes of mbsync's and the engine's series per delay.
    using Pairs = std::vector<std::pair<std::size_t, std::size_t>>;
    Pairs delayed, manyDelayed;
    auto addPairs = [&](const BenchCorpus& copied, const Dovecot& from, const std::string& label,
                        Pairs& pairs) {
        for (const auto delay : options.delays) {
            const std::size_t first
                = add(std::make_unique<MbsyncRun>(copied, from, 6, delay, label), copied);
            pairs.emplace_back(first,
                add(std::make_unique<EngineRun>(copied, from, Target::StandIn, delay, label),
                    copied));
        }
    };
    if (corpusSeries) {
        mbsync = add(std::make_unique<MbsyncRun>(corpus, *source, 6), corpus);
        add(std::make_unique<MbsyncRun>(corpus, *source, 1), corpus);
        engine = add(std::make_unique<EngineRun>(corpus, *source), corpus);
        intake = add(std::make_unique<StandInIntake>(corpus), corpus);
        instant = add(std::make_unique<EngineRun>(corpus, *source, Target::Instant), corpus);
        fetchOnly = add(std::make_unique<SourceFetch>(corpus, *source), corpus);
        addPairs(corpus, *source, {}, delayed);
    }
    if (hugeSource)
        hugeCopy = add(
            std::make_unique<EngineRun>(huge, *hugeSource, Target::StandIn,
                std::chrono::microseconds{}, ", " + std::to_string(options.hugeMb) + " MB x 6"),
            huge);
    const std::string manyLabel = ", " + std::to_string(many.accounts().size()) + " accounts x 3";
    if (manySource)
        addPairs(many, *manySource, manyLabel, manyDelayed);

    measureRounds(all, options.rounds, options.shape.seed);
    printSummary(all);
    auto series = [&all](std::size_t index) { return index < all.size() ? &all[index] : nullptr; };
    GoalSeries goals;
    goals.mbsync = series(mbsync);
    goals.engine = series(engine);
    goals.intake = series(intake);
    goals.instant = series(instant);
    goals.fetchOnly = series(fetchOnly);
    goals.huge = series(hugeCopy);
    auto contests = [&](const Pairs& pairs, const std::string& label) {
        std::vector<Contest> out;
        for (std::size_t i = 0; i < pairs.size(); ++i)
            out.push_back({series(pairs[i].first), series(pairs[i].second),
                label + roundTripText(options.delays[i])});
        return out;
    };
    goals.delayed = contests(delayed, {});
    goals.many = contests(manyDelayed, manyLabel);
    printGoals(goals, corpus.largestMessage(), huge.largestMessage());
    for (const Series& one : all)
        if (one.failed)
            return 1;
    return 0;
}
