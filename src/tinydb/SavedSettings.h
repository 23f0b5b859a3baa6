#pragma once
// The settings a preparation read before it changed any, with what it set
// in their place: what the target had, as the administration client saves
// it, the journal keeps it and a later run puts it back, and what the run
// put there, so that a later run puts back only what still holds it.
#include "tinydb/ResultSet.h"

#include <string>
#include <vector>

namespace tavir::tinydb {

// The one column whose values are secrets: never written to a log, and
// journaled as what a preparation sets only as a digest (secretDigest).
extern const char* const secretColumn; // "MasterPassword"

struct SavedSetting {
    std::string table; // "Cluster", "MessageStore", "Security", "ServicePorts"
    std::string service; // the ServicePorts row's service ("IMAP", "IMAPS"); else empty
    std::vector<std::string> columns;
    std::vector<Value> values; // what the target had, one per column
    // What the preparation puts there, one per column; the secret column's
    // as secretDigest(value, accessList).
    std::vector<Value> set;
};

struct SavedSettings {
    std::vector<SavedSetting> settings; // in the order they are put back
    std::string accessList; // the temporary IP access list's name; empty when none
};

// "sha512:" and the hexadecimal SHA-512 digest of `salt`, a line feed and
// `secret`: enough to tell whether a secret is still the one a run set,
// without keeping it.
std::string secretDigest(const std::string& secret, const std::string& salt);

// "BackendMode 0, MasterPassword as it was, BackendAccessList ''": each
// column with its value, the secret one as `secretAs` says.
std::string describedValues(const std::vector<std::string>& columns,
    const std::vector<Value>& values, const std::string& secretAs = "as it was");

} // namespace tavir::tinydb
