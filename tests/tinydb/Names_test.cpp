// What may be created on the target (domain and account records), how texts
// become statement literals, and how versions compare.
#include "tinydb/AdminCheck.h"
#include "tinydb/CvnDomain.h"
#include "tinydb/CvnUser.h"
#include "tinydb/Sql.h"

#include <gtest/gtest.h>

using namespace tavir::tinydb;

TEST(TinyDbNames, DomainNames)
{
    const std::string label63(63, 'a');
    struct Case {
        std::string name;
        bool valid;
        const char* says;
    } cases[] = {
        {"example.com", true, ""},
        {"a", true, ""},
        {"mail-1.Example.ORG", true, ""},
        {"b\xC3\xBC"
         "cher.de",
            true, ""},
        {label63 + ".com", true, ""},
        {"", false, "empty"},
        {label63 + "a.com", false, "not a domain name"},
        {std::string(254, 'a'), false, "longer than 253"},
        {"exa mple.com", false, "not a domain name"},
        {"example.com.", false, "not a domain name"},
        {".example.com", false, "not a domain name"},
        {"example..com", false, "not a domain name"},
        {"-example.com", false, "not a domain name"},
        {"example-.com", false, "not a domain name"},
        {"exa'mple.com", false, "not a domain name"},
        {"exa\"mple.com", false, "not a domain name"},
        {"exa\\mple.com", false, "not a domain name"},
        {"exa\nmple.com", false, "\"exa?mple.com\""},
        {std::string("exa\0mple.com", 12), false, "not a domain name"},
        {"exa_mple.com", false, "not a domain name"},
        {"b\xFC"
         "cher.de",
            false, "not UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string sentence;
        EXPECT_EQ(c.valid, CvnDomain{c.name}.validate(sentence));
        EXPECT_NE(std::string::npos, sentence.find(c.says)) << sentence;
    }
}

TEST(TinyDbNames, AccountRecords)
{
    auto user = [](std::string name, std::string password = "pw", std::string fullName = "") {
        return CvnUser{"example.com", std::move(name), std::move(password), std::move(fullName)};
    };
    struct Case {
        const char* label;
        CvnUser user;
        bool valid;
        const char* says;
    } cases[] = {
        {"plain", user("alice"), true, ""},
        {"dots and plus", user("alice.b+tag_1"), true, ""},
        {"non-ASCII", user("j\xC3\xB6rg"), true, ""},
        {"64 bytes", user(std::string(64, 'x')), true, ""},
        {"password with quotes and controls", user("bob", "p'w\"\\\t\n"), true, ""},
        {"full name with quotes", user("bob", "pw", "Bob \"the\" O'Neil \\ Jr."), true, ""},
        {"empty", user(""), false, "empty"},
        {"65 bytes", user(std::string(65, 'x')), false, "longer than 64"},
        {"blank", user("al ice"), false, "can't have"},
        {"single quote", user("o'neil"), false, "can't have"},
        {"double quote", user("a\"b"), false, "can't have"},
        {"control character", user("a\tb"), false, "control character"},
        {"at sign", user("a@b"), false, "can't have"},
        {"backslash", user("a\\b"), false, "can't have"},
        {"leading dot", user(".alice"), false, "dot"},
        {"two dots", user("al..ice"), false, "dot"},
        {"trailing dot", user("alice."), false, "dot"},
        {"not UTF-8",
            user("al\xE9"
                 "ce"),
            false, "not UTF-8"},
        {"bad domain", CvnUser{"exa mple.com", "alice", "pw", ""}, false, "domain name"},
        {"password with NUL", user("bob", std::string("p\0w", 3)), false, "NUL"},
        {"over-long password", user("bob", std::string(1025, 'p')), false, "password"},
        {"full name with a line end", user("bob", "pw", "Bob\nSmith"), false, "full name"},
        {"over-long full name", user("bob", "pw", std::string(257, 'n')), false, "full name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string sentence;
        EXPECT_EQ(c.valid, c.user.validate(sentence));
        EXPECT_NE(std::string::npos, sentence.find(c.says)) << sentence;
        // The whole check is the domain's and the account fields' own.
        std::string domainSentence;
        std::string fieldsSentence;
        EXPECT_EQ(c.valid,
            CvnDomain{c.user.domain}.validate(domainSentence)
                && c.user.validateAccountFields(fieldsSentence));
        EXPECT_EQ(sentence, domainSentence.empty() ? fieldsSentence : domainSentence);
    }
}

TEST(TinyDbNames, LiteralsEscapeQuotesAndBackslashesOnly)
{
    struct Case {
        std::string text;
        std::string literal;
    } cases[] = {
        {"", "''"},
        {"plain", "'plain'"},
        {"O'Neil", "'O\\'Neil'"},
        {"back\\slash", "'back\\\\slash'"},
        {"\\'", "'\\\\\\''"},
        {"'; DELETE FROM User WHERE Name = '", "'\\'; DELETE FROM User WHERE Name = \\''"},
        {"line\nend \"dq\"", "'line\nend \"dq\"'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.literal, sqlText(c.text));
    }
    EXPECT_EQ("NULL", sqlValue(Value::null()));
    EXPECT_EQ("-12", sqlValue(Value::of(std::int64_t{-12})));
    EXPECT_EQ("'it\\'s'", sqlValue(Value::of(std::string("it's"))));
}

TEST(TinyDbNames, VersionsCompareByNumber)
{
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"6.5.2", "6.5.2", 0},
        {"6.5.1", "6.5.2", -1},
        {"7.0.0", "6.5.2", 1},
        {"6.10", "6.5.2", 1},
        {"6.5", "6.5.0", 0},
        {"6.5", "6.5.2", -1},
        {"6.5.2.1", "6.5.2", 1},
        {"6.5.2-beta", "6.5.2", 0},
        {"", "6.5.2", -1},
        {"garbage", "0.0.1", -1},
        {"99999999999999999999.1", "6.5.2", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        int result = compareVersions(c.a, c.b);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0));
        int reverse = compareVersions(c.b, c.a);
        EXPECT_EQ(-c.sign, (reverse > 0) - (reverse < 0));
    }
}
