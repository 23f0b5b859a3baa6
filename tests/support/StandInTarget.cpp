#include "support/StandInTarget.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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

// The few JSON values the stand-in writes are flat; this reads a string or
// number field and a list of strings without a JSON library.
std::string jsonField(const std::string& json, const std::string& key)
{
    std::string needle = "\"" + key + "\": ";
    size_t at = json.find(needle);
    if (at == std::string::npos)
        return {};
    at += needle.size();
    if (json.compare(at, 4, "null") == 0)
        return {};
    if (json[at] != '"') {
        size_t end = json.find_first_of(",}", at);
        return json.substr(at, end - at);
    }
    std::string out;
    for (size_t i = at + 1; i < json.size(); ++i) {
        char c = json[i];
        if (c == '"')
            break;
        if (c == '\\' && i + 1 < json.size()) {
            char next = json[++i];
            if (next == 'u' && i + 4 < json.size()) {
                unsigned code = std::stoul(json.substr(i + 1, 4), nullptr, 16);
                i += 4;
                // Names are mirrored as UTF-8 in JSON; modified UTF-7 stays ASCII.
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                continue;
            }
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
            continue;
        }
        out += c;
    }
    return out;
}

std::string jsonRaw(const std::string& json, const std::string& key)
{
    std::string needle = "\"" + key + "\": ";
    size_t at = json.find(needle);
    if (at == std::string::npos)
        return {};
    at += needle.size();
    char open = json[at];
    char close = open == '[' ? ']' : open == '{' ? '}' : 0;
    if (!close)
        return jsonField(json, key);
    int depth = 0;
    bool inString = false;
    for (size_t i = at; i < json.size(); ++i) {
        char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == open) {
            ++depth;
        } else if (c == close && --depth == 0) {
            return json.substr(at, i - at + 1);
        }
    }
    return {};
}

std::vector<std::string> jsonStrings(const std::string& list)
{
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = list.find('"', at)) != std::string::npos) {
        std::string item;
        size_t i = at + 1;
        for (; i < list.size() && list[i] != '"'; ++i) {
            if (list[i] == '\\' && i + 1 < list.size())
                ++i;
            item += list[i];
        }
        out.push_back(item);
        at = i + 1;
    }
    return out;
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

    std::vector<std::string> args = {"python3", script, "--master-password", options.masterPassword,
        "--ports-file", dir_.file("ports"), "--cert", cert, "--key", key, "--config-db",
        dir_.file("config.db"), "--product-version", options.productVersion, "--backend-mode",
        options.backendMode ? "1" : "0", "--worker-threads", std::to_string(options.workerThreads)};
    for (const auto& [user, entry] : options.administrators) {
        args.push_back("--admin");
        args.push_back(user + ":" + entry.first + (entry.second ? ":readonly" : ""));
    }
    if (!options.stateParent.empty())
        stateParent_ = std::make_unique<TempDir>(options.stateParent);
    stateDir_ = (stateParent_ ? stateParent_->path() : dir_.path()) + "/state";
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

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A test that dies without its destructors (a sanitizer's abort)
        // takes the stand-in with it, instead of leaving it to hold the
        // test's output pipe open and the run waiting.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Its connections' processes join its process group, so that the
        // destructor ends them all at once.
        setpgid(0, 0);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp("python3", argv.data());
        _exit(127);
    }
    pid_ = pid;
    setpgid(pid_, pid_); // as the child does: whichever runs first

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the stand-in target exited at start-up");
        }
        std::ifstream ports(dir_.file("ports"));
        if (ports >> port_ >> tlsPort_ >> host_)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    throw std::runtime_error("the stand-in target did not start");
}

StandInTarget::~StandInTarget()
{
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::map<std::string, StandInTarget::Folder> StandInTarget::folders(
    const std::string& address) const
{
    std::string lower = address;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    std::map<std::string, Folder> result;
    fs::path root = fs::path(stateDir_) / "accounts" / lower;
    if (!fs::is_directory(root))
        return result;
    for (const auto& entry : fs::directory_iterator(root)) {
        if (!fs::exists(entry.path() / "folder.json"))
            continue;
        std::string meta = readFile((entry.path() / "folder.json").string());
        Folder folder;
        folder.name = jsonField(meta, "name");
        folder.type = static_cast<unsigned>(std::stoul(jsonField(meta, "type")));
        folder.guid = jsonField(meta, "guid");
        folder.aclJson = jsonRaw(meta, "acl");
        for (const auto& file : fs::directory_iterator(entry.path())) {
            if (file.path().extension() != ".json" || file.path().filename() == "folder.json")
                continue;
            std::string info = readFile(file.path().string());
            Message message;
            message.uid = static_cast<unsigned>(std::stoul(file.path().stem().string()));
            fs::path eml = file.path();
            eml.replace_extension(".eml");
            message.data = readFile(eml.string());
            message.flags = jsonStrings(jsonRaw(info, "flags"));
            message.date = jsonField(info, "date");
            message.guid = jsonField(info, "guid");
            message.annotationsJson = jsonRaw(info, "annotations");
            folder.messages.push_back(std::move(message));
        }
        std::sort(folder.messages.begin(), folder.messages.end(),
            [](const Message& a, const Message& b) { return a.uid < b.uid; });
        result[folder.name] = std::move(folder);
    }
    return result;
}

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

} // namespace

std::vector<std::vector<std::string>> StandInTarget::query(const std::string& select) const
{
    std::string script = std::string(TAVIR_SOURCE_DIR) + "/tests/targetserver/config_db.py";
    std::string output;
    if (runShell("python3 " + shellQuoted(script) + " " + shellQuoted(dir_.file("config.db")) + " "
                + shellQuoted(select),
            &output)
        != 0)
        throw std::runtime_error("the stand-in's database could not be read: " + select);
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> row;
        size_t start = 0;
        while (true) {
            size_t tab = line.find('\t', start);
            row.push_back(unescaped(line.substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        rows.push_back(std::move(row));
    }
    return rows;
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

std::string StandInTarget::transcript() const
{
    try {
        return readFile(stateDir_ + "/transcript.log");
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace tavir::test
