#pragma once
// The pinned servers: "known_hosts.cfg", one line per server
// ("host:port: fingerprint"), read and appended to under an exclusive file
// lock so that several processes adding servers at once lose no line. The
// administration service's certificate is always pinned here; an IMAP
// server's is when no trusted authority vouches for it. The file and its
// folders are the program's own (utils/PrivateFile.h): a symbolic link, or
// one that other users can change, is refused.
#include "utils/PrivateFile.h"

#include <string>

namespace tavir::ssl {

class KnownHosts {
public:
    enum class Verdict {
        Known, // the fingerprint is the one on record
        Recorded, // first contact: the fingerprint is on record now
        Mismatch, // another fingerprint is on record; the file is unchanged
        Failed, // the file could not be read or written, or was refused
    };

    explicit KnownHosts(utils::PrivateLocation where);
    // A file given by its full path; its folder is taken as it is.
    explicit KnownHosts(const std::string& path);

    // $HOME and ".tavir/admin/known_hosts.cfg"; an empty base when HOME is
    // not set.
    static utils::PrivateLocation defaultLocation();
    // The default location as one path; empty when HOME is not set.
    static std::string defaultPath();

    // Checks the server's fingerprint and records it on first contact,
    // creating the folders (0700) and the file (0600) when missing.
    // `sentence` says what happened for Recorded, Mismatch and Failed.
    Verdict check(const std::string& host, unsigned port, const std::string& fingerprint,
        std::string& sentence) const;

    std::string path() const { return where_.path(); }

private:
    utils::PrivateLocation where_;
};

} // namespace tavir::ssl
