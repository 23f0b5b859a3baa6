#include "crypto/Random.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

using tavir::utils::Random;

namespace {

bool allLowerHex(const std::string& s)
{
    return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace

TEST(Random, GetStringGivesExactlyTheLengthAskedFor)
{
    Random r;
    std::string out = "old";
    for (size_t len : {0u, 1u, 15u, 16u, 20u, 4096u, 100000u}) {
        EXPECT_EQ(r.getString(out, len).size(), len);
        EXPECT_EQ(out.size(), len);
    }
    std::string a, b;
    r.getString(a, 32);
    r.getString(b, 32);
    EXPECT_NE(a, b);
    EXPECT_THROW(r.getString(out, size_t(0x80000000u)), tavir::utils::Exception);
}

// A device that runs dry after a few bytes: the rest comes from OpenSSL and
// the result still has exactly the length asked for.
TEST(Random, ShortDeviceIsCompletedExactly)
{
    tavir::test::TempDir dir;
    const std::string device = dir.file("device");
    tavir::test::writeFile(device, "\x01\x02\x03\x04\x05");
    Random r(device);
    std::string out;
    r.getString(out, 16);
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(out.substr(0, 5), "\x01\x02\x03\x04\x05");
    // Drained now: everything from the fall-back.
    for (size_t len : {1u, 16u, 1000u})
        EXPECT_EQ(r.getString(out, len).size(), len);

    Random missing(dir.file("no-such-device"));
    std::string x, y;
    EXPECT_EQ(missing.getString(x, 64).size(), 64u);
    EXPECT_EQ(missing.getString(y, 64).size(), 64u);
    EXPECT_NE(x, y);
    std::string ascii;
    EXPECT_EQ(missing.getAscii(ascii, 40).size(), 40u);
    EXPECT_TRUE(allLowerHex(ascii));
}

TEST(Random, NumbersCombineBytesMostSignificantFirst)
{
    tavir::test::TempDir dir;
    const std::string device = dir.file("device");
    // Each byte is added as a signed 8-bit value.
    tavir::test::writeFile(device,
        std::string("\x80\x00\x00\x01"
                    "\x01\xFF\x00\x00"
                    "\x12\x34\x56\x78"
                    "\x00\x00\x00\x00\x00\x00\x00\xFF"
                    "\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF",
            28));
    Random r(device);
    EXPECT_EQ(r.getUInt(), 0x80000001u);
    EXPECT_EQ(r.getInt(), 0x00FF0000);
    EXPECT_EQ(r.getUInt(), 0x12345678u);
    EXPECT_EQ(r.getInt64(), -1);
    EXPECT_EQ(r.getUInt64(), 0x7EFEFEFEFEFEFEFFull);
    // The device is empty now; the fall-back still answers.
    std::set<uint64_t> values;
    for (int i = 0; i < 20; ++i)
        values.insert(r.getUInt64());
    EXPECT_GT(values.size(), 15u);
}

TEST(Random, GetAscii)
{
    Random r;
    std::string out = "old";
    EXPECT_EQ(r.getAscii(out, 0), "");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        r.getAscii(out, 12);
        ASSERT_EQ(out.size(), 12u);
        EXPECT_TRUE(allLowerHex(out)) << out;
        seen.insert(out);
    }
    EXPECT_EQ(seen.size(), 200u);
    r.getAscii(out, 40);
    ASSERT_EQ(out.size(), 40u);
    EXPECT_TRUE(allLowerHex(out));
    // Two digests of different random input, not one digest repeated.
    r.getAscii(out, 64);
    EXPECT_NE(out.substr(0, 32), out.substr(32));
}

TEST(Random, UniqIdIsUniqueAcrossThreads)
{
    EXPECT_EQ(Random::uniqID(0), "");
    EXPECT_EQ(Random::uniqID(32).size(), 32u);
    EXPECT_EQ(Random::uniqID(40).size(), 32u);
    std::vector<std::vector<std::string>> ids(4);
    std::vector<std::thread> threads;
    for (auto& list : ids)
        threads.emplace_back([&list] {
            for (int i = 0; i < 250; ++i)
                list.push_back(tavir::utils::uniqID(8));
        });
    for (auto& t : threads)
        t.join();
    std::set<std::string> all;
    for (const auto& list : ids)
        for (const auto& id : list) {
            EXPECT_EQ(id.size(), 8u);
            EXPECT_TRUE(allLowerHex(id)) << id;
            all.insert(id);
        }
    EXPECT_EQ(all.size(), 1000u);
}
