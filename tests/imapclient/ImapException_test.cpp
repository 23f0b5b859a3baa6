#include "imapclient/ImapException.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tavir::mail;

TEST(ImapExceptionTest, ResultDependsOnTheClassOnly)
{
    struct Case {
        std::shared_ptr<ImapException> e;
        ImapClientResult fallback;
        ImapClientResult expected;
        long code;
    };
    const Case cases[] = {
        {std::make_shared<ImapTimeoutException>(""), ImapSelectFailed, ImapConnectionError, 3},
        {std::make_shared<ImapConnectionFailed>("x"), ImapListFailed, ImapConnectionError, 3},
        {std::make_shared<AuthenticateFailedException>("Authentication failed - Login"),
            ImapLoginFailed, ImapLoginFailed, 0},
        {std::make_shared<ImapServerBrokeConnection>(""), ImapFetchFailed, ImapConnectionError, 3},
        {std::make_shared<IMessageLoadFailedException>("x"), ImapAppendFailed,
            ImapMessageLoadFailed, 10},
        {std::make_shared<IMessageAppendException>("x"), ImapFetchFailed, ImapAppendFailed, 9},
        {std::make_shared<ImapParserException>(""), ImapListFailed, ImapListFailed, 0},
        {std::make_shared<ImapParserException>(""), ImapLoginFailed, ImapLoginFailed, 0},
        {std::make_shared<ImapException>("plain", 42), ImapStatusFailed, ImapStatusFailed, 42},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.e->what());
        EXPECT_EQ(c.expected, handleImapException(*c.e, c.fallback));
        EXPECT_EQ(c.code, c.e->errorCode());
        EXPECT_EQ(c.code != 0, c.e->hasErrorCode());
        EXPECT_EQ(c.code != 0 ? c.code : 7, c.e->errorCode(7));
    }
}

TEST(ImapExceptionTest, IsARuntimeErrorWithItsText)
{
    try {
        throw AuthenticateFailedException("Authentication failed - Login");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Authentication failed - Login", e.what());
    }
}
