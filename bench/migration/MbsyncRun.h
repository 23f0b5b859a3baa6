#pragma once
// The yardstick: mbsync (Debian's isync) copying the corpus from the source
// Dovecot into a second, empty Dovecot, with the accounts shared out over a
// number of mbsync processes; over loopback, or with both links (to the
// source and to the target) through delaying relays.
#include "BenchCorpus.h"
#include "DelayRelay.h"
#include "MeasuredRun.h"
#include "support/Dovecot.h"

#include <chrono>
#include <memory>

namespace tavir::bench {

class MbsyncRun : public MeasuredRun {
public:
    // `delay`: how late each link passes every chunk on, each way (0: no
    // relay); `label` names the corpus where it is not the main one.
    MbsyncRun(const BenchCorpus& corpus, const tavir::test::Dovecot& source, unsigned processes,
        std::chrono::microseconds delay = {}, std::string label = {});

    static bool available();

    std::string name() const override;
    void prepare() override;
    RunResult run() override;
    std::string check() override;
    void finish() override;

private:
    void writeConfig(const std::string& sourceHost, const std::string& targetHost);

    const BenchCorpus& corpus_;
    const tavir::test::Dovecot& source_;
    unsigned processes_;
    std::chrono::microseconds delay_;
    std::string label_;
    std::unique_ptr<tavir::test::Dovecot> target_;
    std::unique_ptr<DelayRelay> sourceRelay_;
    std::unique_ptr<DelayRelay> targetRelay_;
    std::unique_ptr<tavir::test::TempDir> work_; // configuration, sync state, logs
};

} // namespace tavir::bench
