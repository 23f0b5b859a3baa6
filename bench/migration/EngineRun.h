#pragma once
// The engine itself: one IMigrator run with six workers, from the source
// Dovecot into a fresh stand-in target, in a child process of its own so
// that its peak memory is the engine's.
#include "BenchCorpus.h"
#include "MeasuredRun.h"
#include "support/Dovecot.h"
#include "support/StandInTarget.h"

#include <memory>

namespace tavir::bench {

class EngineRun : public MeasuredRun {
public:
    static constexpr unsigned workers = 6;

    EngineRun(const BenchCorpus& corpus, const tavir::test::Dovecot& source);

    std::string name() const override { return "engine, 6 workers"; }
    void prepare() override;
    RunResult run() override;
    std::string check() override;
    void finish() override;

private:
    const BenchCorpus& corpus_;
    const tavir::test::Dovecot& source_;
    std::unique_ptr<tavir::test::StandInTarget> target_;
    std::unique_ptr<tavir::test::TempDir> work_; // accounts file, logs, HOME
};

// The stand-in as the benchmark runs it: its state on tmpfs like
// everything else, six workers offered, and large bodies read but not kept
// (the stand-in's own memory traffic is not what is measured); with the
// corpus's accounts made beforehand when asked.
std::unique_ptr<tavir::test::StandInTarget> benchTarget(
    const BenchCorpus& corpus, bool withAccounts);

} // namespace tavir::bench
