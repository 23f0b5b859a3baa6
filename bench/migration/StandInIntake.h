#pragma once
// The stand-in target's own intake: the corpus's messages appended from
// memory by six clients at once (accounts shared out as the engine's workers
// would take them), so that what the stand-in can take in is known next to
// what the engine hands it.
#include "BenchCorpus.h"
#include "MeasuredRun.h"
#include "support/StandInTarget.h"

#include <memory>

namespace tavir::bench {

class StandInIntake : public MeasuredRun {
public:
    static constexpr unsigned clients = 6;

    explicit StandInIntake(const BenchCorpus& corpus);

    std::string name() const override { return "stand-in intake, 6 clients"; }
    void prepare() override;
    RunResult run() override;
    std::string check() override;
    void finish() override;

private:
    int appendAccounts(unsigned client) const;

    const BenchCorpus& corpus_;
    std::unique_ptr<tavir::test::StandInTarget> target_;
};

} // namespace tavir::bench
