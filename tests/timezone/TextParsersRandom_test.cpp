// Random texts through every parser of the date library: nothing reads past
// a text's end (checked by the sanitizer build), failures leave results
// untouched, and whatever a rule reads it writes back in a form that reads
// back the same.
#include "timezone/KDateTime.h"
#include "timezone/MailDateParser.h"
#include "timezone/RRule.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace tavir::timezone;

namespace {

std::string randomText(std::mt19937& rng, const std::string& alphabet, size_t maxLength)
{
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string out(length(rng), ' ');
    for (char& c : out)
        c = alphabet[pick(rng)];
    return out;
}

// Pieces of real texts glued at random, so that many texts get far into the
// parsers before they break.
std::string gluedText(std::mt19937& rng, const std::vector<std::string>& pieces, int count)
{
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
    std::string out;
    for (int i = 0; i < count; ++i)
        out += pieces[pick(rng)];
    return out;
}

TEST(TextParsersRandom, MailDates)
{
    std::mt19937 rng(5322);
    const std::vector<std::string> pieces = {
        "Mon, ",
        "5",
        "05",
        " ",
        "-",
        "Jan",
        "jan",
        "2004",
        "04",
        "69",
        "10:20:30",
        "23:59:60",
        " +0100",
        "-0530",
        "EST",
        "edt",
        "-J",
        "-UT",
        "Z",
        "(CET)",
        ",",
        ":",
        "1",
        "xx",
        "\x80",
    };
    for (int i = 0; i < 200000; ++i) {
        const std::string text = i % 2 ? gluedText(rng, pieces, 1 + i % 9)
                                       : randomText(rng, "0123456789 -+:,()JanESTZjut\x80", 32);
        int64_t r64 = 77;
        if (parseRFC822Date64(text.c_str(), &r64)) {
            ASSERT_GE(r64, KDateTime(1, 1, 1899, 0, 0, 0).to64()) << text;
            ASSERT_LE(r64, KDateTime(1, 1, 10001, 0, 0, 0).to64()) << text;
        } else {
            ASSERT_EQ(r64, 77) << text;
        }
        time_t t = 77;
        if (!parseInternaldate(text.c_str(), &t)) {
            ASSERT_EQ(t, 77) << text;
        }
        parseRFC822Timezone(text.c_str());
    }
}

TEST(TextParsersRandom, IsoTexts)
{
    std::mt19937 rng(8601);
    const std::vector<std::string> pieces = {"2024", "-", "03", "05", "T", "10", ":", "20", "30",
        ".123", ",5", " ", "Z", "+", "-", "0130", "01:30", "x", "1", ""};
    for (int i = 0; i < 100000; ++i) {
        const std::string text = i % 2 ? gluedText(rng, pieces, 1 + i % 12)
                                       : randomText(rng, "0123456789-:T.,Z+ x", 28);
        int64_t start = 1, end = 1;
        bool dateOnly = true;
        KTimeSpan offset;
        const bool ok = KDateTime::parseIsoString(text, start, end, dateOnly, &offset);
        // Within the calendar's years the text names a period, not less.
        if (ok && text.compare(0, 4, "1601") >= 0) {
            ASSERT_LE(start, end) << text;
        }
        const KDateTime value = KDateTime::fromIsoString(text, {});
        ASSERT_EQ(value.isNull(), !ok) << text;
        if (ok && !offset.isNull() && value.to64() > KDateTime::minSeconds + 86400
            && value.to64() < KDateTime(1, 1, 9999, 0, 0, 0).to64()) {
            // A text with a designator reads back as the same instant.
            ASSERT_EQ(KDateTime::fromIsoString(value.toIsoString(0), {}).to64(), value.to64())
                << text;
        }
        KTimeSpan::fromIsoString(text);
    }
}

TEST(TextParsersRandom, RecurrenceRules)
{
    std::mt19937 rng(5545);
    const std::vector<std::string> pieces = {
        "FREQ=",
        "YEARLY",
        "MONTHLY",
        "WEEKLY",
        "DAILY",
        "HOURLY",
        ";",
        ";",
        "BYDAY=",
        "MO",
        "-1SU",
        "2TU",
        ",",
        "BYMONTH=",
        "BYMONTHDAY=",
        "BYYEARDAY=",
        "BYWEEKNO=",
        "BYSETPOS=",
        "BYHOUR=",
        "1",
        "-1",
        "10",
        "53",
        "COUNT=",
        "3",
        "INTERVAL=",
        "2",
        "UNTIL=",
        "20071104T000000Z",
        "20071104",
        "X-UNTIL=",
        "WKST=",
        "SU",
        "XX",
        "W1 ",
        "MD1 ",
        "YM2 ",
        "MP1 ",
        "2- ",
        "1+ ",
        "LD ",
        "#5",
        "#0",
        " ",
        "=",
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string text = gluedText(rng, pieces, 1 + i % 14);
        RRule rule;
        rule.setRRule(text.c_str());
        const std::string written = rule.getRRule();
        ASSERT_EQ(written.empty(), !rule.valid) << text;
        if (!rule.valid)
            continue;
        RRule again;
        again.setRRule(written.c_str());
        ASSERT_TRUE(again.valid) << text << " -> " << written;
        ASSERT_EQ(again.getRRule(), written) << text;
        rule.getSimpleRRule();
        // A few occurrences of every rule that reads: no hang, ascending.
        const KDateTime start(15, 3, 2024, 9, 30, 0);
        int n = 0;
        int64_t previous = INT64_MIN;
        for (auto it = rule.begin(start, i % 2 == 0); it != rule.end() && n < 5; ++it, ++n) {
            ASSERT_GE(it->to64(), previous) << text;
            previous = it->to64();
        }
    }
}

} // namespace
