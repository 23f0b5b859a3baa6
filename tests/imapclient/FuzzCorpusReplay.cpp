// The saved fuzzing corpus replayed through the fuzz targets' bodies, so
// every input that once found a fault (or reached new code) stays tested in
// the ordinary build.
#include "fuzz/ImapFuzzTargets.h"
#include "support/FuzzCorpus.h"

TEST(FuzzCorpusTest, ImapParser)
{
    tavir::test::replayFuzzCorpus("imap_parser", tavir::fuzz::imapParser);
}

TEST(FuzzCorpusTest, ImapResponse)
{
    tavir::test::replayFuzzCorpus("imap_response", tavir::fuzz::imapResponse);
}

TEST(FuzzCorpusTest, ImapQuote)
{
    tavir::test::replayFuzzCorpus("imap_quote", tavir::fuzz::imapQuote);
}
