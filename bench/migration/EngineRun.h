#pragma once
// The engine itself: one IMigrator run with six workers, from the source
// Dovecot into a fresh target, in a child process of its own so that its
// peak memory and CPU time are the engine's. The target is the stand-in,
// which keeps every message (checked message by message), or the instant
// target, which keeps only counts; the links run over loopback or through
// delaying relays.
#include "BenchCorpus.h"
#include "DelayRelay.h"
#include "InstantTarget.h"
#include "MeasuredRun.h"
#include "support/Dovecot.h"
#include "support/StandInTarget.h"

#include <chrono>
#include <memory>

namespace tavir::bench {

class EngineRun : public MeasuredRun {
public:
    static constexpr unsigned workers = 6;

    enum class Target { StandIn, Instant };

    // `delay`: how late each link passes every chunk on, each way (0: no
    // relay); `label` names the corpus where it is not the main one.
    EngineRun(const BenchCorpus& corpus, const tavir::test::Dovecot& source,
        Target target = Target::StandIn, std::chrono::microseconds delay = {},
        std::string label = {});

    std::string name() const override;
    void prepare() override;
    RunResult run() override;
    std::string check() override;
    void finish() override;

private:
    const BenchCorpus& corpus_;
    const tavir::test::Dovecot& source_;
    const Target target_;
    const std::chrono::microseconds delay_;
    const std::string label_;
    std::unique_ptr<tavir::test::StandInTarget> standIn_;
    std::unique_ptr<InstantTarget> instant_;
    std::unique_ptr<DelayRelay> sourceRelay_;
    std::unique_ptr<DelayRelay> targetRelay_;
    int targetPort_ = 0; // the target's IMAP port
    std::string sourceAddress_; // host:port, as the engine is given them
    std::string targetAddress_;
    std::unique_ptr<tavir::test::TempDir> work_; // accounts file, logs, HOME
};

// The stand-in as the benchmark runs it: its state on tmpfs like
// everything else, six workers offered, every message kept; with the
// corpus's accounts made beforehand when asked.
std::unique_ptr<tavir::test::StandInTarget> benchTarget(
    const BenchCorpus& corpus, bool withAccounts);

} // namespace tavir::bench
