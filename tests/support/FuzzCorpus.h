#pragma once
// Replays a saved libFuzzer corpus (tests/fuzz/corpus/<target>) through a
// fuzz target's body in the ordinary test run: every input must come back
// with 0, and the corpus must not be empty.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace tavir::test {

inline void replayFuzzCorpus(const char* target, int (*run)(const std::uint8_t*, std::size_t))
{
    std::filesystem::path dir
        = std::filesystem::path(TAVIR_SOURCE_DIR) / "tests/fuzz/corpus" / target;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string bytes = readFile(entry.path().string());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(0, run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        ++count;
    }
    EXPECT_GT(count, 0u);
}

} // namespace tavir::test
