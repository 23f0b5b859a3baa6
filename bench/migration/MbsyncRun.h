#pragma once
// The yardstick: mbsync (Debian's isync) copying the corpus from the source
// Dovecot into a second, empty Dovecot, with the accounts shared out over a
// number of mbsync processes.
#include "BenchCorpus.h"
#include "MeasuredRun.h"
#include "support/Dovecot.h"

#include <memory>

namespace tavir::bench {

class MbsyncRun : public MeasuredRun {
public:
    MbsyncRun(const BenchCorpus& corpus, const tavir::test::Dovecot& source, unsigned processes);

    static bool available();

    std::string name() const override;
    void prepare() override;
    RunResult run() override;
    std::string check() override;
    void finish() override;

private:
    void writeConfig();

    const BenchCorpus& corpus_;
    const tavir::test::Dovecot& source_;
    unsigned processes_;
    std::unique_ptr<tavir::test::Dovecot> target_;
    std::unique_ptr<tavir::test::TempDir> work_; // configuration, sync state, logs
};

// "" when every account's folders on `server` hold the corpus's message
// counts, else the first difference.
std::string compareCounts(const BenchCorpus& corpus, const tavir::test::Dovecot& server);
// The same on any IMAP server at host:port; `withDomain` logs in with the
// account's address rather than its bare name.
std::string compareCounts(
    const BenchCorpus& corpus, const std::string& host, int port, bool withDomain);

} // namespace tavir::bench
