// checkAdministrator's five results and the source-host probe against stand-in
// targets, with the server certificate pinned over real TLS.
#include "tinydb/AdminCheck.h"

#include "tinydb/AdminPeers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

using namespace tavir::tinydb;
using tavir::test::StandInTarget;

namespace {

std::wstring wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), ::tolower);
    return text;
}

// checkAdministrator pins in $HOME: each test gets a HOME of its own.
class AdminCheckTarget : public ::testing::Test {
protected:
    std::string knownHosts() const { return dir.file(".tavir/admin/known_hosts.cfg"); }

    tavir::test::ScopedHome dir;
};

unsigned mode(const std::string& path)
{
    struct stat st { };
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

TEST_F(AdminCheckTarget, FiveResults)
{
    std::map<std::string, std::unique_ptr<StandInTarget>> targets;
    for (const char* version : {"6.5.1", "6.5.2", "7.0.0"}) {
        StandInTarget::Options options;
        options.productVersion = version;
        options.administrators["reader"] = {"reader-pw", true};
        targets[version] = std::make_unique<StandInTarget>(options);
    }
    struct Case {
        const char* name;
        std::wstring server;
        const wchar_t* user;
        const wchar_t* password;
        AdminCheckResult result;
        std::string says;
    } cases[] = {
        {"6.5.2 is enough", wide(targets["6.5.2"]->host()), L"admin", L"admin-secret", AdminOk,
            "server version 6.5.2"},
        {"7.0.0, with the IMAP port written", wide(targets["7.0.0"]->host()) + L":993", L"admin",
            L"admin-secret", AdminOk, "server version 7.0.0"},
        {"6.5.1 is too old", wide(targets["6.5.1"]->host()) + L":143", L"admin", L"admin-secret",
            AdminUnsupportedVersion, "runs version 6.5.1; a migration needs 6.5.2"},
        {"wrong password", wide(targets["7.0.0"]->host()), L"admin", L"nope",
            AdminAuthenticationFailed,
            "Could not log in to the administration service on " + targets["7.0.0"]->host()
                + ":44337: the server refused the login of admin"},
        {"read-only administrator", wide(targets["7.0.0"]->host()), L"reader", L"reader-pw",
            AdminReadOnly, "may only read"},
        // 127.0.0.1:44337 is kept free on test machines.
        // Not connected, not refused: no login was tried.
        {"nothing listens", L"127.0.0.1:143", L"admin", L"admin-secret", AdminNoConnection,
            "Could not connect to the administration service on 127.0.0.1:44337: connection "
            "refused."},
        {"unknown host", L"no-such-host.invalid", L"admin", L"admin-secret", AdminNoConnection,
            "Could not connect to the administration service on no-such-host.invalid:44337: the "
            "host name can't be resolved."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string sentence;
        EXPECT_EQ(c.result, checkAdministrator(c.server, c.user, c.password, sentence));
        EXPECT_NE(std::string::npos, sentence.find(c.says)) << sentence;
        EXPECT_EQ(c.result, checkAdministrator(c.server, c.user, c.password));
    }
}

TEST_F(AdminCheckTarget, FirstContactPinsTheCertificateThatOpensslShows)
{
    StandInTarget target;
    std::string sentence;
    ASSERT_EQ(AdminOk, checkAdministrator(wide(target.host()), L"admin", L"admin-secret", sentence))
        << sentence;
    const std::string fingerprint = lower(target.certificateFingerprint());
    EXPECT_NE(std::string::npos, sentence.find("now recorded")) << sentence;
    EXPECT_EQ(target.host() + ":44337: " + fingerprint + "\n", tavir::test::readFile(knownHosts()));
    EXPECT_EQ(0600u, mode(knownHosts()));
    EXPECT_EQ(0700u, mode(dir.file(".tavir/admin")));

    ASSERT_EQ(
        AdminOk, checkAdministrator(wide(target.host()), L"admin", L"admin-secret", sentence));
    EXPECT_EQ(std::string::npos, sentence.find("now recorded")) << sentence;
}

TEST_F(AdminCheckTarget, AnotherCertificateIsNoConnectionAndTheFileIsKept)
{
    StandInTarget target;
    const std::string pinned = target.host()
        + ":44337: 00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:"
          "ee:ff:00:11:22:33\n";
    std::filesystem::create_directories(dir.file(".tavir/admin"));
    tavir::test::writeFile(knownHosts(), pinned);
    std::string sentence;
    EXPECT_EQ(AdminNoConnection,
        checkAdministrator(wide(target.host()), L"admin", L"admin-secret", sentence));
    for (const std::string& part :
        {target.host() + ":44337", lower(target.certificateFingerprint()),
            std::string("00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33")})
        EXPECT_NE(std::string::npos, sentence.find(part)) << sentence;
    EXPECT_EQ(pinned, tavir::test::readFile(knownHosts()));
    EXPECT_EQ(std::string::npos, target.transcript().find("LOGIN")) << "no credentials were sent";
}

TEST_F(AdminCheckTarget, ProbeOfTheSourceHost)
{
    StandInTarget::Options options;
    options.faults = R"([{"on": "TINYDB HELLO", "count": 2, "action": "stall"}])";
    StandInTarget target(options);
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        std::wstring host;
        bool answers;
        std::string says;
        std::chrono::milliseconds within;
    } cases[] = {
        {"an administration service", wide(target.host()) + L":143", true,
            "version 6.5.2); the probe login failed", std::chrono::milliseconds(3000)},
        {"it stalls", wide(target.host()), false, "no answer within 3 s",
            std::chrono::milliseconds(4500)},
        {"a refused port is a quick no", L"127.0.0.1", false, "connection refused",
            std::chrono::milliseconds(500)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string sentence;
        auto began = Clock::now();
        EXPECT_EQ(c.answers, probeAdministration(c.host, sentence));
        EXPECT_LT(Clock::now() - began, c.within);
        EXPECT_NE(std::string::npos, sentence.find(c.says)) << sentence;
    }
    EXPECT_NE(std::string::npos, target.transcript().find("LOGIN zorp-probe"));
    EXPECT_FALSE(std::ifstream(knownHosts()).good()) << "the probe pins nothing";
}
