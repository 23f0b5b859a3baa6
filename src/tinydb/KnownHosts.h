#pragma once
// The pinned administration servers: "known_hosts.cfg", one line per server
// ("host:port: fingerprint"), read and appended to under an exclusive file
// lock so that several processes adding servers at once lose no line.
#include <string>

namespace tavir::tinydb {

class KnownHosts {
public:
    enum class Verdict {
        Known, // the fingerprint is the one on record
        Recorded, // first contact: the fingerprint is on record now
        Mismatch, // another fingerprint is on record; the file is unchanged
        Failed, // the file could not be read or written
    };

    explicit KnownHosts(std::string path);

    // "$HOME/.tavir/admin/known_hosts.cfg"; empty when HOME is not set.
    static std::string defaultPath();

    // Checks the server's fingerprint and records it on first contact,
    // creating the folder (0700) and the file (0600) when missing.
    // `sentence` says what happened for Recorded, Mismatch and Failed.
    Verdict check(const std::string& host, unsigned port, const std::string& fingerprint,
        std::string& sentence) const;

private:
    std::string path_;
};

} // namespace tavir::tinydb
