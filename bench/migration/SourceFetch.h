#pragma once
// The source's own limit: every message of the corpus fetched from the
// source Dovecot (flags, internal date and body, one FETCH per folder) by
// six processes at once, the accounts shared out as among mbsync's, through
// a raw client that keeps no body. The engine into the instant target is
// measured against this.
#include "BenchCorpus.h"
#include "MeasuredRun.h"
#include "support/Dovecot.h"

namespace tavir::bench {

class SourceFetch : public MeasuredRun {
public:
    static constexpr unsigned connections = 6;

    SourceFetch(const BenchCorpus& corpus, const tavir::test::Dovecot& source);

    std::string name() const override { return "source fetch only, 6 connections"; }
    void prepare() override { }
    RunResult run() override;
    // The run itself compares every folder's message count and bytes with
    // the corpus's, and fails when they differ.
    std::string check() override { return {}; }
    void finish() override { }

private:
    int fetchAccounts(unsigned connection) const;

    const BenchCorpus& corpus_;
    const tavir::test::Dovecot& source_;
    const BenchCorpus::Totals expected_;
};

} // namespace tavir::bench
