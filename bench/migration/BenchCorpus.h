#pragma once
// The migration benchmark's corpus: accounts, a folder tree per account
// (nested, non-ASCII) and messages from 200 bytes to 10 MB (or of a shape
// asked for) with flags and dates, all derived from one seed, so every run of the benchmark copies
// the same bytes. It can fill a Dovecot and hand every message to a copier
// that appends from memory.
#include "support/Dovecot.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavir::bench {

extern const char* const CorpusDomain;

struct CorpusAccount {
    std::string user; // the Dovecot user name
    std::string password;
    std::vector<std::string> folders; // UTF-8, "/"-separated, parents first; INBOX first

    // user@CorpusDomain: the login on the stand-in target.
    std::string address() const { return user + "@" + CorpusDomain; }
};

struct CorpusMessage {
    unsigned account = 0; // index into accounts()
    unsigned folder = 0; // index into that account's folders
    std::uint32_t size = 0;
    std::uint64_t seed = 0; // makes the bytes
    std::string flags; // inside of an APPEND flag list, may be empty
    std::string date; // INTERNALDATE text
};

class BenchCorpus {
public:
    struct Shape {
        std::uint64_t seed = 20240917;
        unsigned accounts = 12;
        unsigned messages = 5000;
        // Messages of largeMin to largeMax bytes, evenly spaced (the largest
        // is exactly largeMax); the rest are log-uniform between 200 bytes
        // and smallMax.
        unsigned largeMessages = 25;
        std::uint32_t largeMin = 1u << 20;
        std::uint32_t largeMax = 10u << 20;
        std::uint32_t smallMax = 140 * 1024;
        // Messages go to the accounts in turn instead of at random (six
        // large messages in six accounts are copied at once).
        bool accountsInTurn = false;
        // How many of the folder tree's folders each account has, INBOX
        // first (0: all of them).
        unsigned folders = 0;
    };

    // What a folder holds.
    struct FolderTotals {
        unsigned messages = 0;
        std::uint64_t bytes = 0;
    };
    // Per account (user name) and folder (UTF-8 name).
    using Totals = std::map<std::string, std::map<std::string, FolderTotals>>;

    explicit BenchCorpus(const Shape& shape);

    const std::vector<CorpusAccount>& accounts() const { return accounts_; }
    const std::vector<CorpusMessage>& messages() const { return messages_; }
    std::uint64_t totalBytes() const { return totalBytes_; }
    std::size_t folderCount() const;
    std::uint32_t largestMessage() const { return largest_; }
    // Dovecot's user table for these accounts.
    std::map<std::string, std::string> users() const;
    // What every folder of every account holds, to check a copy against.
    Totals expectedTotals() const;

    // The message's bytes (CRLF lines, headers and a text body).
    std::string body(const CorpusMessage& message) const;
    // Creates the folders and appends every message over IMAP, one
    // connection per account at a time on `connections` threads.
    // Throws std::runtime_error when the server refuses anything.
    void fill(const tavir::test::Dovecot& dovecot, unsigned connections = 6) const;

private:
    void fillAccount(const tavir::test::Dovecot& dovecot, unsigned account) const;

    std::vector<CorpusAccount> accounts_;
    std::vector<CorpusMessage> messages_;
    std::uint64_t totalBytes_ = 0;
    std::uint32_t largest_ = 0;
};

// A Dovecot that holds the corpus: "/" as the separator, as in the
// corpus's folder names.
tavir::test::Dovecot::Options corpusDovecotOptions();

// A corpus folder name as it goes on the wire (modified UTF-7).
std::string wireName(const std::string& utf8Folder);

} // namespace tavir::bench
