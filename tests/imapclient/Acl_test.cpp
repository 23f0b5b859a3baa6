// ACL rights: letters to mask and back, with the letters outside the known
// set kept beside the mask.
#include "imapclient/Acl.h"

#include <gtest/gtest.h>

using namespace tavir::mail;

TEST(AclTest, LettersToRightsAndBack)
{
    struct Case {
        const char* letters;
        unsigned long long rights;
        const char* extra;
        const char* written;
    };
    const Case cases[] = {
        {"", 0x0, "", ""},
        {"rwl", 0xB, "", "lrw"},
        {"lrsx", 0x7, "x", "lrsx"},
        {"llr", 0x3, "l", "lrl"}, // a second l is not a right twice
        {"xxy", 0x0, "xy", "xy"},
        {"O", 0x200, "", "O"},
        {"o", 0x0, "o", "o"}, // case-sensitive: o is not O
        {"lrswipcdaO", 0x3FF, "", "lrswipcdaO"},
        {"Oadcpiwsrl", 0x3FF, "", "lrswipcdaO"},
        // RFC 4314 rights this client does not model, as Dovecot grants them.
        {"lrwstipekxacd", 0x1FF, "tekx", "lrswipcdatekx"},
        {"L R", 0x0, "L R", "L R"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letters);
        ACL acl(std::string(c.letters));
        EXPECT_EQ(c.rights, acl.get());
        EXPECT_EQ(c.extra, acl.getExtra());
        EXPECT_EQ(c.written, acl.getStr());
        // What is written reads back to the same rights.
        ACL again(acl.getStr());
        EXPECT_EQ(acl.get(), again.get());
    }
}

TEST(AclTest, TableOrderAndMasks)
{
    std::string letters;
    unsigned long long all = 0;
    for (const AclCodeRow& row : aclCodeStrings) {
        letters += row.letter;
        EXPECT_EQ(0u, all & row.mask) << row.letter;
        all |= row.mask;
    }
    EXPECT_EQ("lrswipcdaO", letters);
    EXPECT_EQ(0x3FFu, all);
}

TEST(AclTest, ConversionFunctions)
{
    unsigned long long rights = 0xFFFF;
    std::string rest = "old";
    AclCodeString::convertFromString("xlrl", rights, rest);
    EXPECT_EQ(0x3u, rights);
    EXPECT_EQ("xl", rest);

    std::string out = "old";
    AclCodeString::convertToString(out, 0x201, "zz");
    EXPECT_EQ("lOzz", out);
    AclCodeString::convertToString(out, 0xFC00, "");
    EXPECT_EQ("", out); // bits outside the table write nothing

    std::string target = "ab";
    AclCodeString::mergeString(target, "bccda");
    EXPECT_EQ("abcd", target);
}

TEST(AclTest, MaskOperations)
{
    ACL acl(0xFFFFull);
    EXPECT_EQ(0x3FFu, acl.get());
    acl.clear();
    acl.add(0x400);
    EXPECT_EQ(0u, acl.get());
    EXPECT_TRUE(acl.testRight(0ULL));

    acl.set(std::string("rx"));
    acl.set(0x3ull);
    EXPECT_EQ(0x3u, acl.get());
    EXPECT_EQ("lrx", acl.getStr()); // the extra letter stays

    acl.add(std::string("wyx"));
    EXPECT_EQ(0xBu, acl.get());
    EXPECT_EQ("lrwxy", acl.getStr());
    EXPECT_TRUE(acl.testRight(0x9ull));
    EXPECT_FALSE(acl.testRight(0x11ull));
    EXPECT_TRUE(acl.testRight('y'));
    EXPECT_FALSE(acl.testRight('z'));

    acl.set(std::string("l"));
    EXPECT_EQ("l", acl.getStr()); // set replaces the extra letters

    EXPECT_TRUE(ACL(std::string("O")).testRight('O'));
    EXPECT_FALSE(ACL(std::string("o")).testRight('O'));
    EXPECT_TRUE(ACL(std::string("o")).testRight('o'));
}
