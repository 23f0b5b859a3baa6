// Certificate fingerprints in OpenSSH's shape.
#include "ssl/FirstUse.h"

#include "utils/Base64.h"
#include "utils/StringUtils.h"

namespace tavir::ssl {

namespace {

const std::string prefix = "SHA256:";
constexpr std::size_t digestSize = 32;

} // namespace

std::string sha256Fingerprint(const std::string& digest)
{
    std::string text;
    tavir::utils::encodeBase64(digest, text, false, 0, false);
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return prefix + text;
}

std::string readSha256Fingerprint(const std::string& typed)
{
    if (typed.size() <= prefix.size()
        || tavir::utils::lower(typed.substr(0, prefix.size())) != tavir::utils::lower(prefix))
        return {};
    std::string encoded = typed.substr(prefix.size());
    if (!encoded.empty() && encoded.back() == '=')
        encoded.pop_back();
    std::string digest;
    // Decoded and written again: only a text that is exactly a digest's
    // base64 comes back the same.
    if (!tavir::utils::isBase64(encoded, false)
        || !tavir::utils::decodeBase64(encoded + "=", digest) || digest.size() != digestSize)
        return {};
    const std::string fingerprint = sha256Fingerprint(digest);
    return fingerprint == prefix + encoded ? fingerprint : std::string();
}

} // namespace tavir::ssl
