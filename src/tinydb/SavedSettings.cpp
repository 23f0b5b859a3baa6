// What the saved settings share between the administration client and the
// journal: the secret's digest and the settings as words.
#include "tinydb/SavedSettings.h"

#include "crypto/StreamDigest.h"
#include "tinydb/Sql.h"

namespace tavir::tinydb {

const char* const secretColumn = "MasterPassword";

std::string secretDigest(const std::string& secret, const std::string& salt)
{
    crypto::StreamDigestSHA512 digest;
    digest << salt << '\n' << secret;
    return "sha512:" + digest.getAsciiDigest(true);
}

std::string describedValues(const std::vector<std::string>& columns,
    const std::vector<Value>& values, const std::string& secretAs)
{
    std::string out;
    for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i)
        out += (i ? ", " : "") + columns[i] + " "
            + (columns[i] == secretColumn ? secretAs : sqlValue(values[i]));
    return out;
}

} // namespace tavir::tinydb
