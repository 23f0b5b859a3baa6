#pragma once
// The settings a preparation read before it changed any: what the target
// had, as the administration client saves it, the journal keeps it and a
// later run puts it back.
#include "tinydb/ResultSet.h"

#include <string>
#include <vector>

namespace tavir::tinydb {

struct SavedSetting {
    std::string table; // "Cluster", "MessageStore", "Security", "ServicePorts"
    std::string service; // the ServicePorts row's service ("IMAP", "IMAPS"); else empty
    std::vector<std::string> columns;
    std::vector<Value> values; // one per column
};

struct SavedSettings {
    std::vector<SavedSetting> settings; // in the order they are put back
    std::string accessList; // the temporary IP access list's name; empty when none
};

} // namespace tavir::tinydb
