#include "crypto/KUuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <unordered_set>
#include <vector>

using tavir::mailserver::common::hash_value;
using tavir::mailserver::common::KUuid;

TEST(KUuid, TextRoundTrip)
{
    const std::string lower = "0123abcd-ef45-6789-abcd-ef0123456789";
    const std::string upper = "0123ABCD-EF45-6789-ABCD-EF0123456789";
    KUuid a = KUuid::fromString(lower, false);
    EXPECT_FALSE(a.isNull());
    EXPECT_EQ(a.toString(), upper);
    EXPECT_EQ(a.toStringLower(true), lower);
    EXPECT_EQ(a.toStringUpper(true), upper);
    EXPECT_EQ(a.data()[0], 0x01);
    EXPECT_EQ(a.data()[15], 0x89);
    EXPECT_EQ(KUuid::fromString(a.toString(), false), a);

    KUuid kept = KUuid::fromString(lower, true);
    EXPECT_EQ(kept.toString(), upper);
    kept.setPreserveCase();
    EXPECT_EQ(kept.toString(), lower);
    KUuid copy = kept;
    EXPECT_EQ(copy.toString(), lower);
    copy.stripString();
    EXPECT_EQ(copy.toString(), upper);
    EXPECT_EQ(kept.toString(), lower);
    KUuid assigned;
    assigned = kept;
    EXPECT_EQ(assigned.toString(), lower);
}

TEST(KUuid, StrictRejection)
{
    const std::vector<std::string> bad = {
        "",
        "{0123ABCD-EF45-6789-ABCD-EF0123456789}",
        "0123ABCD-EF45-6789-ABCD-EF012345678", // 35
        "0123ABCD-EF45-6789-ABCD-EF01234567890", // 37
        "0123ABCDEEF45-6789-ABCD-EF0123456789", // missing '-'
        "0123ABCD-EF45-6789-ABCD_EF0123456789",
        "0123ABCD-EF45-6789-ABCDEEF0123456789-",
        " 123ABCD-EF45-6789-ABCD-EF0123456789", // blank
        "0123ABCD-EF45-6789-ABCD-EF01234567 9",
        "+123ABCD-EF45-6789-ABCD-EF0123456789", // sign
        "0123ABCD--F45-6789-ABCD-EF0123456789",
        "0x23ABCD-EF45-6789-ABCD-EF0123456789", // "0x"
        "0123ABCD-0x45-6789-ABCD-EF0123456789",
        "0123ABCG-EF45-6789-ABCD-EF0123456789", // not a digit
        "0123ABCD-EF45-6789-ABCD-EF012345678\xC3",
        std::string("0123ABCD-EF45-6789-ABCD-EF01234567\0", 36),
    };
    for (const auto& s : bad) {
        KUuid id = KUuid::fromString(s, false);
        EXPECT_TRUE(id.isNull()) << s;
        EXPECT_EQ(id.toString(), "") << s;
        EXPECT_EQ(id.toStringLower(false), "00000000-0000-0000-0000-000000000000") << s;
        EXPECT_EQ(id.toStringUpper(true), "") << s;
    }
    // A text that did not parse is still kept when asked for.
    KUuid braces = KUuid::fromString(bad[1], true);
    braces.setPreserveCase();
    EXPECT_TRUE(braces.isNull());
    EXPECT_EQ(braces.toString(), "");
}

TEST(KUuid, OrderingAndHashFollowBytes)
{
    KUuid a = KUuid::fromString("00000000-0000-0000-0000-000000000001", true);
    KUuid a2 = KUuid::fromString("00000000-0000-0000-0000-000000000001", false);
    a.setPreserveCase();
    KUuid b = KUuid::fromString("80000000-0000-0000-0000-000000000000", false);
    KUuid c = KUuid::fromString("7FFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", false);

    // Differing only in stored text: equal, neither less.
    EXPECT_TRUE(a == a2);
    EXPECT_FALSE(a != a2);
    EXPECT_TRUE(a.equals(a2));
    EXPECT_FALSE(a < a2);
    EXPECT_FALSE(a2 < a);
    EXPECT_EQ(hash_value(a), hash_value(a2));
    EXPECT_EQ(std::hash<KUuid>()(a), std::hash<KUuid>()(a2));

    // Unsigned byte order: 0x80 sorts after 0x7F.
    EXPECT_LT(c.compare(b), 0);
    EXPECT_TRUE(c < b);
    EXPECT_TRUE(a < c);
    std::set<KUuid> ordered = {b, c, a, a2};
    ASSERT_EQ(ordered.size(), 3u);
    EXPECT_EQ(ordered.begin()->toString(false), a.toString());
    EXPECT_EQ(ordered.rbegin()->toStringUpper(true), b.toStringUpper(true));

    std::unordered_set<KUuid> hashed = {a, a2, b, c};
    EXPECT_EQ(hashed.size(), 3u);

    // The hash of the null identifier by hand: 16 rounds over zero bytes.
    uint64_t v = 0;
    for (int i = 0; i < 16; ++i)
        v ^= (v >> 2) + (v << 6) + 0x9e3779b9u;
    EXPECT_EQ(hash_value(KUuid()), v);
}

TEST(KUuid, GenerateGivesDistinctRandomIdentifiers)
{
    std::set<KUuid> seen;
    for (int i = 0; i < 1000; ++i) {
        KUuid id = KUuid::generate();
        EXPECT_FALSE(id.isNull());
        // Random (version 4, RFC 4122 variant) identifiers.
        EXPECT_EQ(id.data()[6] >> 4, 4);
        EXPECT_EQ(id.data()[8] & 0xC0, 0x80);
        EXPECT_EQ(KUuid::fromString(id.toString(), false), id);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(KUuid, CreateGuidHash)
{
    KUuid h1 = KUuid::createGuidHash("INBOX/Sent");
    KUuid h2 = KUuid::createGuidHash("INBOX/Sent");
    EXPECT_FALSE(h1.isNull());
    EXPECT_EQ(h1, h2);
    EXPECT_NE(h1, KUuid::createGuidHash("INBOX/Sent2"));
    // MD5("abc") = 900150983cd24fb0d6963f7d28e17f72, thirteenth digit made '4'.
    EXPECT_EQ(KUuid::createGuidHash("abc").toString(), "90015098-3CD2-4FB0-D696-3F7D28E17F72");
    EXPECT_EQ(h1.toString()[14], '4');
    // MD5("") = d41d8cd98f00b204e9800998ecf8427e.
    EXPECT_EQ(
        KUuid::createGuidHash("").toStringLower(true), "d41d8cd9-8f00-4204-e980-0998ecf8427e");
    // An identifier text is taken as it stands.
    const std::string id = "0123abcd-ef45-6789-abcd-ef0123456789";
    KUuid same = KUuid::createGuidHash(id);
    same.setPreserveCase();
    EXPECT_EQ(same.toString(), id);
}
