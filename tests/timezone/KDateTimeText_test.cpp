#include "timezone/KDateTime.h"

#include <gtest/gtest.h>

using namespace tavir::timezone;

namespace {

KTimeSpan secs(int64_t n)
{
    return KTimeSpan::fromSecondCount(n);
}

// A kind-2 value at UTC seconds `utc` shown at a fixed offset.
KDateTime at(int64_t utc, int offsetSeconds)
{
    KDateTime v = KDateTime::from64(utc);
    v.setGmtOffset(secs(offsetSeconds));
    v += secs(offsetSeconds);
    return v;
}

TEST(KDateTimeText, IsoOutput)
{
    const int64_t t = KDateTime(5, 3, 2024, 13, 7, 9).to64();
    const int64_t newYear = KDateTime(1, 1, 2024, 0, 0, 0).to64();
    const struct {
        KDateTime value;
        unsigned flags;
        const char* text;
    } cases[] = {
        {at(t, 3600), 0, "20240305T140709+0100"},
        {at(t, 3600), 1, "2024-03-05T14:07:09+01:00"},
        {at(t, 3600), 3, "2024-03-05T14:07:09.000+01:00"},
        {at(t, 0), 0, "20240305T130709Z"},
        {at(newYear, -330 * 60), 0, "20231231T183000-0530"},
        {at(newYear, -330 * 60), 8, "20231231T183000"},
        {at(newYear, 0), 4, "20240101T000000+0000"},
        {at(newYear, 0), 5, "2024-01-01T00:00:00+00:00"},
        {KDateTime(5, 3, 2024), 0, "20240305"},
        {KDateTime(5, 3, 2024), 1, "2024-03-05"},
        {KDateTime(5, 3, 2024), 16, "20240305T000000Z"},
        {KDateTime::null, 0, ""},
        {KDateTime::infinity(), 0, ""},
        {KDateTime(1, 1, 10000, 0, 0, 0), 0, ""},
        {KDateTime(31, 12, 9999, 23, 59, 59), 0, "99991231T235959Z"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value.toIsoString(c.flags), c.text) << c.text;

    // A local-machine value carries no designator.
    KDateTime local = KDateTime::from64(t);
    local.setAsLocalMachine();
    EXPECT_EQ(local.toIsoString(0), "20240305T130709");
}

TEST(KDateTimeText, Rfc1123)
{
    const int64_t t = KDateTime(5, 3, 2024, 13, 7, 9).to64();
    EXPECT_EQ(at(t, 3600).toRfc1123String(), "Tue, 5 Mar 2024 13:07:09 GMT");
    EXPECT_EQ(KDateTime::from64(0).toRfc1123String(), "Thu, 1 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(
        KDateTime(31, 12, 2023, 23, 59, 59).toRfc1123String(), "Sun, 31 Dec 2023 23:59:59 GMT");
}

TEST(KDateTimeText, ParseIso)
{
    const int64_t NOOFF = INT64_MIN;
    const struct {
        const char* text;
        bool ok;
        int64_t start;
        int64_t end;
        bool dateOnly;
        int64_t offset;
    } cases[] = {
        {"2024", true, KDateTime(1, 1, 2024, 0, 0, 0).to64(),
            KDateTime(31, 12, 2024, 23, 59, 59).to64(), false, NOOFF},
        {"2024-03-05", true, KDateTime(5, 3, 2024, 0, 0, 0).to64(),
            KDateTime(5, 3, 2024, 23, 59, 59).to64(), true, NOOFF},
        {"20240305", true, KDateTime(5, 3, 2024, 0, 0, 0).to64(),
            KDateTime(5, 3, 2024, 23, 59, 59).to64(), true, NOOFF},
        // A month names its whole length: 30 April, 29 February.
        {"2024-04", true, KDateTime(1, 4, 2024, 0, 0, 0).to64(),
            KDateTime(30, 4, 2024, 23, 59, 59).to64(), false, NOOFF},
        {"202402", true, KDateTime(1, 2, 2024, 0, 0, 0).to64(),
            KDateTime(29, 2, 2024, 23, 59, 59).to64(), false, NOOFF},
        {"2023-02", true, KDateTime(1, 2, 2023, 0, 0, 0).to64(),
            KDateTime(28, 2, 2023, 23, 59, 59).to64(), false, NOOFF},
        {"202", false, 0, 0, false, NOOFF},
        {"x024", false, 0, 0, false, NOOFF},
        {"2024-03-05T10:20:30.123Z", true, KDateTime(5, 3, 2024, 10, 20, 30).to64(),
            KDateTime(5, 3, 2024, 10, 20, 30).to64(), false, 0},
        {"20240305T102030+0130", true, KDateTime(5, 3, 2024, 8, 50, 30).to64(),
            KDateTime(5, 3, 2024, 8, 50, 30).to64(), false, 5400},
        {"20240305T102030+01", true, KDateTime(5, 3, 2024, 9, 20, 30).to64(),
            KDateTime(5, 3, 2024, 9, 20, 30).to64(), false, 3600},
        {"2024-03-05T10:20:30-05:00", true, KDateTime(5, 3, 2024, 15, 20, 30).to64(),
            KDateTime(5, 3, 2024, 15, 20, 30).to64(), false, -18000},
        {"20240305T102030 Z", true, KDateTime(5, 3, 2024, 10, 20, 30).to64(),
            KDateTime(5, 3, 2024, 10, 20, 30).to64(), false, 0},
        {"20240305T10", true, KDateTime(5, 3, 2024, 10, 0, 0).to64(),
            KDateTime(5, 3, 2024, 10, 59, 59).to64(), false, NOOFF},
        {"20240305T102030", true, KDateTime(5, 3, 2024, 10, 20, 30).to64(),
            KDateTime(5, 3, 2024, 10, 20, 30).to64(), false, NOOFF},
    };
    for (const auto& c : cases) {
        int64_t start = 7, end = 7;
        bool dateOnly = true;
        KTimeSpan offset = secs(99);
        EXPECT_EQ(KDateTime::parseIsoString(c.text, start, end, dateOnly, &offset), c.ok) << c.text;
        EXPECT_EQ(start, c.start) << c.text;
        EXPECT_EQ(end, c.end) << c.text;
        EXPECT_EQ(dateOnly, c.dateOnly) << c.text;
        if (!c.ok)
            continue;
        if (c.offset == NOOFF)
            EXPECT_TRUE(offset.isNull()) << c.text;
        else
            EXPECT_EQ(offset.toSecondCount64(), c.offset) << c.text;
    }
    int64_t s = 0, e = 0;
    bool d = false;
    EXPECT_TRUE(KDateTime::parseIsoString("2024", s, e, d, nullptr));
    long long ls = 0, le = 0;
    EXPECT_TRUE(KDateTime::parseIsoString("2024-03-05", ls, le, d, nullptr));
    EXPECT_EQ(ls, KDateTime(5, 3, 2024).to64());
    EXPECT_EQ(le, ls + 86399);
    EXPECT_TRUE(d);
}

TEST(KDateTimeText, FromIsoString)
{
    EXPECT_TRUE(KDateTime::fromIsoString("nonsense", {}).isNull());
    const KDateTime z = KDateTime::fromIsoString("20240305T102030Z", {});
    EXPECT_EQ(z.to64(), KDateTime(5, 3, 2024, 10, 20, 30).to64());
    EXPECT_EQ(z.getKind(), KDateTime::KindOffset);
    EXPECT_EQ(z.toIsoString(0), "20240305T102030Z");
    const KDateTime o = KDateTime::fromIsoString("2024-03-05T10:20:30+05:30", {});
    EXPECT_EQ(o.to64(), KDateTime(5, 3, 2024, 4, 50, 30).to64());
    EXPECT_EQ(o.getHour(), 10);
    EXPECT_EQ(o.toIsoString(1), "2024-03-05T10:20:30+05:30");
    const KDateTime d = KDateTime::fromIsoString("20240305", {});
    EXPECT_TRUE(d.isDateOnly());
    EXPECT_EQ(d.getDay(), 5);
    EXPECT_EQ(d.getHour(), 0);

    // Every written text reads back as the same instant and text.
    for (int offset : {0, 3600, -18000, 45900, -34200}) {
        for (int64_t t : {0LL, 951868800LL, 1709644029LL, 4102444799LL}) {
            const KDateTime v = at(t, offset);
            for (unsigned flags : {0u, 1u, 3u}) {
                const std::string text = v.toIsoString(flags);
                const KDateTime back = KDateTime::fromIsoString(text, {});
                EXPECT_EQ(back.to64(), t) << text;
                EXPECT_EQ(back.toIsoString(flags), text);
            }
        }
    }
}

} // namespace
