// "host[:port]" as the wizard passes servers to the engine.
#include "Imap/engine/ServerAddress.h"

#include <gtest/gtest.h>

using namespace tavir::migration;

namespace {

TEST(ServerAddress, TakesTheDefaultPortOfTheProtocol)
{
    const struct {
        std::wstring text;
        bool ssl;
        std::wstring host;
        unsigned port;
    } cases[] = {
        {L"mail.example.com", false, L"mail.example.com", 143},
        {L"mail.example.com", true, L"mail.example.com", 993},
        {L" mail.example.com:1143 ", true, L"mail.example.com", 1143},
        {L"10.0.0.1:65535", false, L"10.0.0.1", 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        ServerAddress address;
        ASSERT_TRUE(parseServerAddress(c.text, c.ssl, address));
        EXPECT_EQ(c.host, address.host);
        EXPECT_EQ(c.port, address.port);
    }
}

TEST(ServerAddress, RefusesWhatIsNoHostAndPort)
{
    for (const wchar_t* text : {L"", L"  ", L":143", L"host:", L"host:0", L"host:65536",
             L"host:143x", L"host:-1", L"host:1:2"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
        ServerAddress address;
        EXPECT_FALSE(parseServerAddress(text, false, address));
    }
}

} // namespace
