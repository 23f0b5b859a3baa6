// The saved fuzzing corpus replayed through the fuzz targets' bodies, so
// every input that once found a fault (or reached new code) stays tested in
// the ordinary build.
#include "fuzz/ImapFuzzTargets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

void replay(const char* target, int (*run)(const std::uint8_t*, std::size_t))
{
    std::filesystem::path dir
        = std::filesystem::path(TAVIR_SOURCE_DIR) / "tests/fuzz/corpus" / target;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(0, run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        ++count;
    }
    EXPECT_GT(count, 0u);
}

TEST(FuzzCorpusTest, ImapParser)
{
    replay("imap_parser", tavir::fuzz::imapParser);
}

TEST(FuzzCorpusTest, ImapResponse)
{
    replay("imap_response", tavir::fuzz::imapResponse);
}

TEST(FuzzCorpusTest, ImapQuote)
{
    replay("imap_quote", tavir::fuzz::imapQuote);
}

} // namespace
