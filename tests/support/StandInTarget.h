#pragma once
// Starts the stand-in target server (tests/targetserver/stand_in_target.py)
// on a loopback address of its own (127.0.0.N, N >= 2): IMAP on free ports,
// plain and implicit TLS, and the administration service (tinydb) on 44337.
// Each IMAP connection is served by a process of its own, all sharing the
// stand-in's state folder (docs/stand-in-target.md); this reads back what
// they stored there, and the configuration database. The stand-in is
// written from the protocols alone and shares no code with the clients
// under test.
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
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
        // actions: drop, drop_in_literal, drop_after, no, bad, stall, and
        // pause (answers after "seconds", 1 by default). "count"
        // counts the verb over all connections: the 2nd APPEND the stand-in
        // receives, whichever connection sends it. "on" may also name a
        // step of making a store or a folder, counted the same way, with
        // the action die (the process serving the connection is killed
        // there): "MAKE STORE" (its folder made, none of its folders yet),
        // "INDEX FOLDER" (a new folder's identifier indexed, the folder not
        // yet in place), "PLACE FOLDER" (the folder in place). The stores
        // of `accounts` are made by the stand-in's main process as it
        // starts, and count too.
        std::string faults;
        // Keep the bytes of the messages (needed to read them back); false
        // keeps everything else about them (folders, UIDs, flags, dates).
        bool persist = true;
        // Where the state folder (mail, transcript, fault counts) is made:
        // empty for the stand-in's own temporary folder; "/dev/shm" for
        // benchmarks, so that the disk is not what they measure. It goes
        // with the stand-in either way.
        std::string stateParent;
        // The folder of its configuration database ("config.db") and state
        // folder ("state"), which it leaves there: one an earlier stand-in
        // left, to start on its settings, accounts and mail as a restarted
        // server does. Empty: both go with the stand-in (stateParent names
        // where the state folder is made).
        std::string home;
        // Read literals of 1 MiB or more without keeping their bytes (only
        // their size): for benchmarks, so the target's memory traffic is
        // not what gets measured.
        bool discardBodies = false;
        // The administration service: its administrators (user -> password
        // and read-only flag), the version it reports, the backend mode at
        // start (false: X-MASTERAUTH is refused until it is switched on) and
        // the worker thread count it offers. Faults of the administration
        // service go in `faults` too, "on" one of "TINYDB HELLO", "TINYDB
        // LOGIN", "TINYDB QUERY" (counted over all its connections), with
        // the actions drop, drop_after (run the statement, then drop), no
        // (refuse it), stall and pause (serve it "seconds" later). A
        // "TINYDB QUERY" fault with a "statement" counts only the statements
        // that begin with it ("the 2nd INSERT INTO IpAccessList"); one with
        // an "after" ({"statement": ..., "count": m}) counts only what comes
        // after the m-th statement that begins with that one.
        std::map<std::string, std::pair<std::string, bool>> administrators
            = {{"admin", {"admin-secret", false}}};
        std::string productVersion = "6.5.2";
        bool backendMode = true;
        unsigned workerThreads = 4;
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

    // The folders every new account starts with (INBOX, the special mail
    // folders and the groupware folders) and their folder types, the
    // X-CREATE type bits (mail 0x10, contacts 0x1, calendar 0x2, tasks 0x4,
    // journal 0x8, notes 0x40). A domain's public folders start empty.
    static const std::vector<std::pair<std::string, unsigned>>& accountFolders();

    explicit StandInTarget(const Options& options);
    StandInTarget()
        : StandInTarget(Options{})
    {
    }
    ~StandInTarget();
    StandInTarget(const StandInTarget&) = delete;
    StandInTarget& operator=(const StandInTarget&) = delete;

    // The stand-in's own loopback address, where all its services listen.
    const std::string& host() const { return host_; }
    std::wstring whost() const { return std::wstring(host_.begin(), host_.end()); }
    // The IMAP ports it started with. The administration service moves a
    // listener when it stops and starts the service, to where ServicePorts
    // says then (an address of 0.0.0.0 is host() here), never when the row
    // alone changes.
    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }
    // Whether an IMAP service greets a plain connection to host():`port`
    // now: where the plain listener really is, whatever ServicePorts says.
    bool imapGreetsOn(int port) const;
    static constexpr int adminPort = 44337;

    // The rows of one SELECT on the configuration database, each value as
    // text, NULL as "NULL".
    std::vector<std::vector<std::string>> query(const std::string& select) const;
    // One value of a SELECT that returns one row; throws otherwise.
    std::string queryOne(const std::string& select) const;
    // Runs an UPDATE, INSERT or DELETE on the configuration database, as an
    // administrator changes a setting by hand.
    void change(const std::string& statement) const;
    // The administration service stops answering (connections are taken,
    // nothing is read or sent), or answers again: the stand-in's main
    // process, which serves it, is stopped or let go on. IMAP connections
    // made before go on; new ones wait too.
    void freezeAdministration(bool frozen) const;
    // The SHA-1 fingerprint of the stand-in's certificate as the openssl
    // command shows it ("AB:CD:..").
    std::string certificateFingerprint() const;

    // The folders of one account as stored now, by name; the address is
    // found as the stand-in finds it, without regard to case.
    std::map<std::string, Folder> folders(const std::string& address) const;
    // The folders of a domain's public folder store (X-SETUSER
    // "#public@<domain>"), by name.
    std::map<std::string, Folder> publicFolders(const std::string& domain) const
    {
        return folders("#public@" + domain);
    }
    std::string transcript() const;
    // The state folder: the mail, transcript.log and the fault counts, as
    // tests/targetserver/mail_store.py lays them out.
    const std::string& stateDir() const { return stateDir_; }

private:
    TempDir dir_;
    std::unique_ptr<TempDir> stateParent_;
    std::string stateDir_;
    std::string configDb_;
    std::string host_;
    int port_ = 0;
    int tlsPort_ = 0;
    std::unique_ptr<ChildProcess> process_; // last: ended before the rest goes
};

// How many of the client lines in a transcript of the stand-in are `verb`
// commands: "<session> C: QUERY ..." for the administration service,
// "<session> C: <tag> APPEND ..." for IMAP.
unsigned clientCommands(const std::string& transcript, const std::string& verb);
// The round trips of one administration session ("A1") in a transcript,
// each as the first message the client wrote in it ("HELLO 1 Tavir Zorp",
// "QUERY SELECT Version FROM Info", "BYE"): the stand-in marks a message
// that none of its bytes came with the ones before it ("A1 R: round trip
// 3").
std::vector<std::string> adminRoundTrips(const std::string& transcript, const std::string& session);

} // namespace tavir::test
