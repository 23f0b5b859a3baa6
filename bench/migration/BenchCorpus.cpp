#include "BenchCorpus.h"

#include "Imap/textconv/TextConversion.h"

#include <atomic>
#include <cmath>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tavir::bench {

const char* const CorpusDomain = "example.com";

namespace {

// SplitMix64: the same numbers on every machine and library, unlike the
// standard distributions.
class Random {
public:
    explicit Random(std::uint64_t seed)
        : state_(seed)
    {
    }
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }

private:
    std::uint64_t state_;
};

// Every account has this tree (nested, non-ASCII, one name outside the
// Basic Multilingual Plane); parents come before their children.
const char* const FolderTree[] = {"INBOX", "Archive", "Archive/2023", "Archive/2024", "Projekte",
    "Projekte/\xC3\x9C"
    "berblick",
    "\xD0\x94\xD0\xBE\xD0\xBA\xD1\x83\xD0\xBC\xD0\xB5"
    "\xD0\xBD\xD1\x82\xD1\x8B",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E/\xE3\x83\xA1\xE3\x83\xA2", "Reisen \xE2\x9C\x88",
    "Fotos \xF0\x9F\x93\xB7", "Kunden", "Kunden/\xC3\x86r\xC3\xB8 & S\xC3\xB8n"};

std::string internalDate(Random& random)
{
    // 2000-01-01 to 2024-12-31, whole seconds.
    const std::time_t first = 946684800;
    const std::time_t span = 25LL * 365 * 24 * 3600;
    std::time_t when = first + static_cast<std::time_t>(random.unit() * static_cast<double>(span));
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%d-%b-%Y %H:%M:%S +0000", &parts);
    return text;
}

std::string flagsFor(Random& random)
{
    std::string flags;
    auto add = [&](double chance, const char* flag) {
        if (random.unit() < chance)
            flags += (flags.empty() ? "" : " ") + std::string(flag);
    };
    add(0.7, "\\Seen");
    add(0.2, "\\Answered");
    add(0.1, "\\Flagged");
    add(0.02, "\\Draft");
    add(0.05, "$Label1");
    return flags;
}

} // namespace

tavir::test::Dovecot::Options corpusDovecotOptions()
{
    tavir::test::Dovecot::Options options;
    options.separator = '/';
    return options;
}

std::string wireName(const std::string& utf8Folder)
{
    return tavir::migration::unicodeToUtf7M(tavir::migration::utf8ToUnicode(utf8Folder));
}

BenchCorpus::BenchCorpus(const Shape& shape)
{
    Random random(shape.seed);
    for (unsigned a = 0; a < shape.accounts; ++a) {
        char user[16];
        std::snprintf(user, sizeof user, "user%02u", a + 1);
        CorpusAccount account{user, std::string("pw-") + user, {}};
        for (const char* folder : FolderTree)
            if (shape.folders == 0 || account.folders.size() < shape.folders)
                account.folders.push_back(folder);
        accounts_.push_back(std::move(account));
    }
    // The large messages sit at random places in the sequence.
    std::vector<bool> large(shape.messages, false);
    for (unsigned placed = 0; placed < shape.largeMessages && placed < shape.messages;) {
        unsigned at = random.below(shape.messages);
        if (!large[at]) {
            large[at] = true;
            ++placed;
        }
    }
    unsigned largeSoFar = 0;
    const double smallLow = std::log(200.0);
    const double smallHigh = std::log(static_cast<double>(shape.smallMax));
    for (unsigned i = 0; i < shape.messages; ++i) {
        CorpusMessage message;
        message.account = shape.accountsInTurn ? i % shape.accounts : random.below(shape.accounts);
        const unsigned folders = static_cast<unsigned>(accounts_[message.account].folders.size());
        message.folder = random.unit() < 0.3 || folders == 1 ? 0 : 1 + random.below(folders - 1);
        if (large[i]) {
            const unsigned step = shape.largeMessages > 1 ? shape.largeMessages - 1 : 1;
            message.size = shape.largeMin + (shape.largeMax - shape.largeMin) / step * largeSoFar++;
            if (largeSoFar == shape.largeMessages)
                message.size = shape.largeMax;
        } else if (i == 0) {
            message.size = 200;
        } else {
            message.size = static_cast<std::uint32_t>(
                std::exp(smallLow + random.unit() * (smallHigh - smallLow)));
        }
        message.seed = random.next();
        message.flags = flagsFor(random);
        message.date = internalDate(random);
        totalBytes_ += message.size;
        largest_ = std::max(largest_, message.size);
        messages_.push_back(std::move(message));
    }
}

std::size_t BenchCorpus::folderCount() const
{
    std::size_t count = 0;
    for (const CorpusAccount& account : accounts_)
        count += account.folders.size();
    return count;
}

std::map<std::string, std::string> BenchCorpus::users() const
{
    std::map<std::string, std::string> users;
    for (const CorpusAccount& account : accounts_)
        users[account.user] = account.password;
    return users;
}

BenchCorpus::Totals BenchCorpus::expectedTotals() const
{
    Totals totals;
    for (const CorpusAccount& account : accounts_)
        for (const std::string& folder : account.folders)
            totals[account.user][folder] = {};
    for (const CorpusMessage& message : messages_) {
        const CorpusAccount& account = accounts_[message.account];
        FolderTotals& folder = totals[account.user][account.folders[message.folder]];
        ++folder.messages;
        folder.bytes += message.size;
    }
    return totals;
}

std::string BenchCorpus::body(const CorpusMessage& message) const
{
    char header[200];
    std::snprintf(header, sizeof header,
        "From: bench@example.org\r\nTo: %s\r\nSubject: m%016llx\r\n"
        "Message-ID: <%016llx@bench>\r\n\r\n",
        accounts_[message.account].address().c_str(), static_cast<unsigned long long>(message.seed),
        static_cast<unsigned long long>(message.seed));
    std::string text = header;
    text.reserve(message.size + 80);
    Random random(message.seed);
    while (text.size() < message.size) {
        for (int word = 0; word < 9; ++word) {
            std::uint64_t bits = random.next();
            for (int c = 0; c < 8; ++c, bits >>= 8)
                text.push_back(static_cast<char>('!' + (bits & 0xFF) % 94));
        }
        text.append("\r\n");
    }
    // Cut to the size, never leaving a CR without its LF.
    text.resize(message.size - 2);
    if (!text.empty() && text.back() == '\r')
        text.back() = 'x';
    return text + "\r\n";
}

void BenchCorpus::fill(const tavir::test::Dovecot& dovecot, unsigned connections) const
{
    std::atomic<unsigned> nextAccount{0};
    std::mutex errorLock;
    std::string error;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < connections; ++t)
        threads.emplace_back([&] {
            for (unsigned a = nextAccount++; a < accounts_.size(); a = nextAccount++) {
                try {
                    fillAccount(dovecot, a);
                } catch (const std::exception& e) {
                    std::lock_guard<std::mutex> hold(errorLock);
                    error = e.what();
                    return;
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    if (!error.empty())
        throw std::runtime_error(error);
}

void BenchCorpus::fillAccount(const tavir::test::Dovecot& dovecot, unsigned index) const
{
    const CorpusAccount& account = accounts_[index];
    tavir::test::RawImap imap(dovecot.port());
    if (!imap.login(account.user, account.password))
        throw std::runtime_error("corpus: login refused for " + account.user);
    for (const std::string& folder : account.folders)
        if (folder != "INBOX" && !imap.create(wireName(folder)))
            throw std::runtime_error("corpus: cannot create " + folder);
    for (const CorpusMessage& message : messages_) {
        if (message.account != index)
            continue;
        const std::string& folder = account.folders[message.folder];
        if (!imap.append(wireName(folder), body(message), message.flags, message.date))
            throw std::runtime_error("corpus: append refused in " + folder);
    }
}

} // namespace tavir::bench
