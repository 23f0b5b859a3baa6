#pragma once
// Starts the stand-in target server (tests/targetserver/stand_in_target.py)
// on free loopback ports, plain and implicit TLS, and reads back what it
// stored. The stand-in is written from the protocol alone and shares no code
// with the client under test.
#include "support/TestSupport.h"

#include <map>
#include <string>
#include <vector>

namespace tavir::test {

class StandInTarget {
public:
    struct Options {
        std::string masterPassword = "master-secret";
        // address -> password ("" for master-only accounts).
        std::map<std::string, std::string> accounts;
        bool autoCreateAccounts = false;
        // JSON list of planned faults, e.g.
        // [{"on": "APPEND", "count": 2, "action": "drop_in_literal", "after_bytes": 100}]
        // actions: drop, drop_in_literal, drop_after, no, bad, stall.
        std::string faults;
        // Keep messages on disk under the state folder (needed to read them back).
        bool persist = true;
        // Read literals of 1 MiB or more without keeping their bytes (only
        // their size): for benchmarks, so the target's memory traffic is
        // not what gets measured.
        bool discardBodies = false;
    };

    struct Message {
        unsigned uid = 0;
        std::string data;
        std::vector<std::string> flags;
        std::string date; // "dd-Mon-yyyy hh:mm:ss +0000"
        std::string guid;
        std::string annotationsJson;
    };

    struct Folder {
        std::string name; // as sent on the wire (modified UTF-7)
        unsigned type = 0;
        std::string guid;
        std::string aclJson;
        std::vector<Message> messages; // in UID order
    };

    explicit StandInTarget(const Options& options);
    StandInTarget()
        : StandInTarget(Options{})
    {
    }
    ~StandInTarget();
    StandInTarget(const StandInTarget&) = delete;
    StandInTarget& operator=(const StandInTarget&) = delete;

    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }

    // The folders of one account as stored now, by name.
    std::map<std::string, Folder> folders(const std::string& address) const;
    std::string transcript() const;

private:
    TempDir dir_;
    int pid_ = -1;
    int port_ = 0;
    int tlsPort_ = 0;
};

} // namespace tavir::test
