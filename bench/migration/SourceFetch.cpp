#include "SourceFetch.h"

#include "ChildProcesses.h"

#include <cstdio>
#include <numeric>
#include <stdexcept>

namespace tavir::bench {

SourceFetch::SourceFetch(const BenchCorpus& corpus, const tavir::test::Dovecot& source)
    : corpus_(corpus)
    , source_(source)
    , expected_(corpus.expectedTotals())
{
}

int SourceFetch::fetchAccounts(unsigned connection) const
{
    const auto& accounts = corpus_.accounts();
    for (std::size_t a = connection; a < accounts.size(); a += connections) {
        const CorpusAccount& account = accounts[a];
        tavir::test::RawImap imap(source_.port());
        if (!imap.login(account.user, account.password))
            throw std::runtime_error(account.user + ": login refused");
        for (const auto& [folder, totals] : expected_.at(account.user)) {
            bool ok = false;
            imap.command("EXAMINE " + tavir::test::imapQuoted(wireName(folder)), &ok);
            std::vector<unsigned long long> bodies;
            if (ok && totals.messages > 0)
                imap.command("FETCH 1:* (FLAGS INTERNALDATE BODY.PEEK[])", &ok, bodies);
            const unsigned long long bytes = std::accumulate(bodies.begin(), bodies.end(), 0ull);
            if (!ok || bodies.size() != totals.messages || bytes != totals.bytes) {
                std::fprintf(stderr,
                    "%s/%s: %zu messages of %llu bytes fetched, %u of %llu expected\n",
                    account.user.c_str(), folder.c_str(), bodies.size(), bytes, totals.messages,
                    static_cast<unsigned long long>(totals.bytes));
                return 1;
            }
        }
    }
    return 0;
}

RunResult SourceFetch::run()
{
    return runChildren(connections, [this](unsigned k) { return fetchAccounts(k); });
}

} // namespace tavir::bench
