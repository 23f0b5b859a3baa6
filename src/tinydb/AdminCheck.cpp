// checkAdministrator and probeAdministration over the administration client.
#include "tinydb/AdminCheck.h"

#include "tinydb/TinyDb.h"
#include "tinydb/TinyDbClient.h"
#include "utils/CharsetNames.h"
#include "utils/StreamConverter.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace tavir::tinydb {

namespace {

constexpr const char* probeUser = "zorp-probe";
constexpr const char* probePassword = "zorp-probe";
constexpr unsigned probeTimeoutMs = 3000;

std::string utf8(const std::wstring& text)
{
    std::string out;
    tavir::utils::unicodeToCharset(tavir::utils::cp::UTF_8, text, out, false);
    return out;
}

// The host of "host" or "host:port", without blanks around it.
std::string hostOf(const std::wstring& server)
{
    std::string text = utf8(server);
    text = text.substr(0, text.find(':'));
    std::size_t first = text.find_first_not_of(" \t");
    std::size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// The numeric parts of a dotted version; trailing non-digits of a part are
// dropped ("2-beta" is 2).
std::vector<unsigned long> versionParts(const std::string& version)
{
    std::vector<unsigned long> parts;
    std::size_t start = 0;
    while (start <= version.size()) {
        std::size_t end = version.find('.', start);
        if (end == std::string::npos)
            end = version.size();
        unsigned long number = 0;
        for (std::size_t i = start; i < end && std::isdigit(static_cast<unsigned char>(version[i]));
             ++i)
            number = std::min(number * 10 + static_cast<unsigned long>(version[i] - '0'), 999999ul);
        parts.push_back(number);
        start = end + 1;
    }
    return parts;
}

// The one place a login's status becomes the check's result: anything
// but a refusal or a read-only administrator means the service was not
// reached, or not spoken with to the end.
AdminCheckResult resultOf(Status login)
{
    return login == Status::Ok      ? AdminOk
        : login == Status::Refused  ? AdminAuthenticationFailed
        : login == Status::ReadOnly ? AdminReadOnly
                                    : AdminNoConnection;
}

} // namespace

int compareVersions(const std::string& a, const std::string& b)
{
    std::vector<unsigned long> left = versionParts(a), right = versionParts(b);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        unsigned long x = i < left.size() ? left[i] : 0;
        unsigned long y = i < right.size() ? right[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

AdminCheckResult checkAdministrator(const std::wstring& server, const std::wstring& user,
    const std::wstring& password, std::string& sentence)
{
    const std::string host = hostOf(server);
    TinyDbClient client;
    const TinyDbClient::LoginOutcome login = client.connect(host, utf8(user), utf8(password));
    if (!login) {
        sentence = login.failure;
        return resultOf(login.login);
    }
    std::string version;
    if (Outcome read = client.readVersion(version); !read) {
        sentence = read.failure;
        return AdminNoConnection;
    }
    const std::string where = host + ":" + std::to_string(adminPort);
    if (compareVersions(version, minimumVersion) < 0) {
        sentence = "The server on " + where + " runs version " + version + "; a migration needs "
            + minimumVersion + " or later.";
        return AdminUnsupportedVersion;
    }
    sentence = "The administrator may run a migration on " + where + " (server version " + version
        + ").";
    if (!client.notice().empty())
        sentence += " The " + client.notice() + ".";
    return AdminOk;
}

AdminCheckResult checkAdministrator(
    const std::wstring& server, const std::wstring& user, const std::wstring& password)
{
    std::string sentence;
    return checkAdministrator(server, user, password, sentence);
}

bool probeAdministration(const std::wstring& host, std::string& sentence)
{
    TinyDbOptions options;
    options.host = hostOf(host);
    options.timeoutMs = probeTimeoutMs;
    options.pin = false;
    tinydb_handle* handle = nullptr;
    Status status = tinydb_open(options, &handle);
    const std::string where = tinydb_where(handle);
    if (status != Status::Ok) {
        sentence
            = "No administration service answers on " + where + ": " + tinydb_error(handle) + ".";
        tinydb_close(handle);
        return false;
    }
    sentence = "The source host runs an administration service on " + where + " (version "
        + tinydb_server_version(handle) + ")";
    status = tinydb_authenticate(handle, probeUser, probePassword);
    sentence += status == Status::Ok || status == Status::ReadOnly
        ? "; the probe login was accepted."
        : "; the probe login failed: " + tinydb_error(handle) + ".";
    tinydb_close(handle);
    return true;
}

} // namespace tavir::tinydb
