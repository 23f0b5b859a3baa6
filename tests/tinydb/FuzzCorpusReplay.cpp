// The saved fuzzing corpus of the tinydb decoders replayed through the fuzz
// targets' bodies, so every input that once found a fault (or reached new
// code) stays tested in the ordinary build.
#include "fuzz/TinyDbFuzzTargets.h"
#include "support/FuzzCorpus.h"

TEST(TinyDbFuzzCorpus, Decoder)
{
    tavir::test::replayFuzzCorpus("tinydb_decoder", tavir::fuzz::tinydbDecoder);
}

TEST(TinyDbFuzzCorpus, Session)
{
    tavir::test::replayFuzzCorpus("tinydb_session", tavir::fuzz::tinydbSession);
}
