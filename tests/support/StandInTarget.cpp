#include "support/StandInTarget.h"

#include "support/Dovecot.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavir::test {

namespace fs = std::filesystem;

namespace {

// One certificate for every stand-in of a test program. Stand-ins take
// random loopback addresses, and one that gets the address an earlier
// stand-in of the same test had would otherwise meet that one's pin in the
// test's known-hosts file and be refused; an RSA key is also slow to make.
const TempDir& sharedCertificate()
{
    static const TempDir dir;
    static const bool made = runShell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 "
                                      "-subj /CN=localhost -keyout '"
                                 + dir.file("key.pem") + "' -out '" + dir.file("cert.pem")
                                 + "' >/dev/null 2>&1")
        == 0;
    if (!made)
        throw std::runtime_error("openssl could not make a certificate");
    return dir;
}

} // namespace

const std::vector<std::pair<std::string, unsigned>>& StandInTarget::accountFolders()
{
    static const std::vector<std::pair<std::string, unsigned>> folders = {{"INBOX", 0x10},
        {"Sent", 0x10}, {"Drafts", 0x10}, {"Trash", 0x10}, {"Junk", 0x10}, {"Contacts", 0x1},
        {"Calendar", 0x2}, {"Tasks", 0x4}, {"Notes", 0x40}, {"Journal", 0x8}};
    return folders;
}

StandInTarget::StandInTarget(const Options& options)
{
    std::string script = std::string(TAVIR_SOURCE_DIR) + "/tests/targetserver/stand_in_target.py";
    std::string cert = dir_.file("cert.pem");
    std::string key = dir_.file("key.pem");
    fs::copy_file(sharedCertificate().file("cert.pem"), cert);
    fs::copy_file(sharedCertificate().file("key.pem"), key);

    configDb_ = (options.home.empty() ? dir_.path() : options.home) + "/config.db";
    std::vector<std::string> args = {"python3", script, "--master-password", options.masterPassword,
        "--ports-file", dir_.file("ports"), "--cert", cert, "--key", key, "--config-db",
        configDb_, "--product-version", options.productVersion, "--backend-mode",
        options.backendMode ? "1" : "0", "--worker-threads", std::to_string(options.workerThreads)};
    for (const auto& [user, entry] : options.administrators) {
        args.push_back("--admin");
        args.push_back(user + ":" + entry.first + (entry.second ? ":readonly" : ""));
    }
    if (!options.stateParent.empty())
        stateParent_ = std::make_unique<TempDir>(options.stateParent);
    stateDir_ = (!options.home.empty() ? options.home
                        : stateParent_ ? stateParent_->path()
                                       : dir_.path())
        + "/state";
    args.push_back("--state-dir");
    args.push_back(stateDir_);
    if (!options.persist)
        args.push_back("--no-bodies");
    for (const auto& [address, password] : options.accounts) {
        args.push_back("--account");
        args.push_back(password.empty() ? address : address + ":" + password);
    }
    if (options.discardBodies)
        args.push_back("--discard-bodies");
    if (options.autoCreateAccounts)
        args.push_back("--auto-create-accounts");
    if (!options.faults.empty()) {
        writeFile(dir_.file("faults.json"), options.faults);
        args.push_back("--faults");
        args.push_back(dir_.file("faults.json"));
    }

    // Its connections' processes join its process group, so that they all
    // end with it.
    ChildProcess::Options group;
    group.ownGroup = true;
    process_ = std::make_unique<ChildProcess>(args, group);
    process_->waitReady(
        [&] {
            std::ifstream ports(dir_.file("ports"));
            return static_cast<bool>(ports >> port_ >> tlsPort_ >> host_);
        },
        20000, "the stand-in target");
}

StandInTarget::~StandInTarget() = default;

namespace {

std::string shellQuoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string unescaped(const std::string& cell)
{
    if (cell == "\\N")
        return "NULL";
    std::string out;
    for (size_t i = 0; i < cell.size(); ++i) {
        if (cell[i] == '\\' && i + 1 < cell.size()) {
            char next = cell[++i];
            out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            out += cell[i];
        }
    }
    return out;
}

// The rows one of the stand-in's own scripts prints (config_db.print_rows),
// each value as text, NULL as "NULL".
std::vector<std::vector<std::string>> scriptRows(
    const std::string& script, const std::vector<std::string>& args)
{
    std::string command
        = "python3 " + shellQuoted(std::string(TAVIR_SOURCE_DIR) + "/tests/targetserver/" + script);
    for (const std::string& arg : args)
        command += " " + shellQuoted(arg);
    std::string output;
    if (runShell(command, &output) != 0)
        throw std::runtime_error("the stand-in's " + script + " failed: " + command);
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> row;
        for (size_t start = 0;;) {
            const size_t tab = line.find('\t', start);
            row.push_back(unescaped(line.substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace

std::map<std::string, StandInTarget::Folder> StandInTarget::folders(
    const std::string& address) const
{
    std::map<std::string, Folder> result;
    Folder* folder = nullptr;
    std::string directory;
    for (const auto& row : scriptRows("mail_store.py", {stateDir_, address})) {
        if (row.at(0) == "folder") {
            folder = &result[row.at(1)];
            *folder
                = {row[1], static_cast<unsigned>(std::stoul(row.at(2))), row.at(3), row.at(4), {}};
            directory = row.at(5);
            continue;
        }
        Message message{static_cast<unsigned>(std::stoul(row.at(1))),
            readFile(directory + "/" + row[1] + ".eml"), {}, row.at(2), row.at(3), row.at(5)};
        std::istringstream flags(row.at(4));
        for (std::string flag; flags >> flag;)
            message.flags.push_back(flag);
        folder->messages.push_back(std::move(message));
    }
    return result;
}

std::vector<std::vector<std::string>> StandInTarget::query(const std::string& select) const
{
    return scriptRows("config_db.py", {configDb_, select});
}

void StandInTarget::change(const std::string& statement) const
{
    scriptRows("config_db.py", {"--change", configDb_, statement});
}

void StandInTarget::freezeAdministration(bool frozen) const
{
    ::kill(process_->pid(), frozen ? SIGSTOP : SIGCONT);
}

std::string StandInTarget::queryOne(const std::string& select) const
{
    auto rows = query(select);
    if (rows.size() != 1 || rows[0].size() != 1)
        throw std::runtime_error("not one value: " + select);
    return rows[0][0];
}

std::string StandInTarget::certificateFingerprint() const
{
    std::string output;
    runShell("openssl x509 -noout -fingerprint -sha1 -in " + shellQuoted(dir_.file("cert.pem")),
        &output);
    size_t equals = output.find('=');
    if (equals == std::string::npos)
        throw std::runtime_error("openssl showed no fingerprint");
    std::string fingerprint = output.substr(equals + 1);
    while (!fingerprint.empty() && std::isspace(static_cast<unsigned char>(fingerprint.back())))
        fingerprint.pop_back();
    return fingerprint;
}

bool StandInTarget::imapGreetsOn(int port) const
{
    try {
        RawImap imap(host_, port);
        return imap.greeting().rfind("* OK", 0) == 0;
    } catch (const std::exception&) {
        return false; // nothing listens there
    }
}

std::string StandInTarget::transcript() const
{
    try {
        return readFile(stateDir_ + "/transcript.log");
    } catch (const std::exception&) {
        return {};
    }
}

unsigned clientCommands(const std::string& transcript, const std::string& verb)
{
    unsigned n = 0;
    std::istringstream lines(transcript);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string session, direction, first, second;
        words >> session >> direction >> first >> second;
        n += direction == "C:" && (first == verb || second == verb);
    }
    return n;
}

std::vector<std::string> adminRoundTrips(const std::string& transcript, const std::string& session)
{
    std::vector<std::string> trips;
    std::istringstream lines(transcript);
    std::string line;
    bool opening = false;
    while (std::getline(lines, line)) {
        if (line.rfind(session + " R: ", 0) == 0)
            opening = true;
        else if (opening && line.rfind(session + " C: ", 0) == 0) {
            trips.push_back(line.substr(session.size() + 4));
            opening = false;
        }
    }
    return trips;
}

} // namespace tavir::test
