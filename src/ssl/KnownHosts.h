#pragma once
// The pinned servers: "known_hosts.cfg", one line per server
// ("host:port: fingerprint"), read and appended to under the file's lock
// (an interlocked file, utils/KInterLockedFile.h) so that several processes
// adding servers at once lose no line. The
// administration service's certificate is always pinned here; an IMAP
// server's is when no trusted authority vouches for it. A server that an
// authority vouched for once has a line of its own,
// "authority@host:port: fingerprint", and is never pinned on first use
// after that (docs/engine.md, "Trusting servers"). The file and its
// folders are the program's own (utils/PrivateFile.h): a symbolic link, or
// one that other users can change, is refused.
#include "utils/PrivateFile.h"

#include <chrono>
#include <optional>
#include <string>

namespace tavir::utils {
class StopSignal;
}

namespace tavir::ssl {

// How long a check of the known-hosts file waits for another program's lock
// on it: never past `deadline` (the connection's), never longer than
// KnownHosts::lockWaitMs, and no longer once `stop` (may be null) is raised.
struct KnownHostsWait {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    const utils::StopSignal* stop = nullptr;
};

class KnownHosts {
public:
    enum class Verdict {
        Known, // the fingerprint is the one on record
        Recorded, // first contact: the fingerprint is on record now
        Mismatch, // another fingerprint is on record; the file is unchanged
        Failed, // the file could not be read or written, or was refused
        Unpinned, // nothing is on record, and check() was not to record it
    };
    // What check() does for a server with nothing on record.
    enum class FirstContact { Record, Leave };

    using Wait = KnownHostsWait;
    // The longest wait for another program's lock on the file.
    static constexpr int lockWaitMs = 10000;

    explicit KnownHosts(utils::PrivateLocation where);
    // A file given by its full path; its folder is taken as it is.
    explicit KnownHosts(const std::string& path);

    // $HOME and ".tavir/admin/known_hosts.cfg"; an empty base when HOME is
    // not set.
    static utils::PrivateLocation defaultLocation();
    // The default location as one path; empty when HOME is not set.
    static std::string defaultPath();

    // Checks the fingerprint of a certificate no authority vouches for and
    // records it on first contact (Unpinned instead, the file unchanged,
    // when `first` is Leave), creating the folders (0700) and the file
    // (0600) when missing. A server an authority vouched for before is a
    // Mismatch, whatever its fingerprint. `sentence` says what happened for
    // Recorded, Mismatch, Failed and Unpinned.
    Verdict check(const std::string& host, unsigned port, const std::string& fingerprint,
        std::string& sentence, const Wait& wait = {},
        FirstContact first = FirstContact::Record) const;
    // Records that an authority vouches for the server's certificate, on
    // the first time only (Recorded; Known after that), so that check()
    // refuses from then on what no authority vouches for.
    Verdict vouched(const std::string& host, unsigned port, const std::string& fingerprint,
        std::string& sentence, const Wait& wait = {}) const;

    // Whether this process wrote the line that records the server in this
    // file (through any KnownHosts of it): its pin with `fingerprint`
    // (check()'s Recorded), or that an authority vouches for it (vouched()'s
    // Recorded, whatever certificate it was). A line is known to be this
    // process's before the file holds it, so a check on another thread
    // that finds it a moment later learns this too. Any thread.
    bool pinnedHere(const std::string& host, unsigned port, const std::string& fingerprint) const;
    bool vouchedHere(const std::string& host, unsigned port) const;

    std::string path() const { return where_.path(); }

private:
    // Opens the file, reads it and hands its text to `decide`, which gives
    // the verdict, its sentence, and a line to append (none: the file stays
    // as it is). Known with nothing to append is taken as read; any other
    // verdict is decided again on the text read under the file's lock. The
    // key is "host:port".
    template <class Decide>
    Verdict withFile(
        const std::string& key, const Wait& wait, std::string& sentence, Decide decide) const;

    utils::PrivateLocation where_;
};

} // namespace tavir::ssl
