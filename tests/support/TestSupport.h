#pragma once
// Small helpers shared by the tests: temporary folders, free loopback ports
// and running a shell command. Nothing here depends on the code under test.
#include <netinet/in.h>

#include <functional>
#include <string>
#include <vector>

namespace tavir::test {

// $TMPDIR, or /tmp when it is not set.
std::string temporaryBase();

// A fresh folder under temporaryBase(), or under `base` when given,
// removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    explicit TempDir(const std::string& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// An environment variable set for the life of the object; the previous
// value (or its absence) is put back.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string saved_;
};

// HOME pointed at a fresh temporary folder for the life of the object, so
// that what the code under test keeps under HOME (pinned servers, settings,
// logs) never touches the real one; the previous value is put back.
class ScopedHome {
public:
    ScopedHome() = default;
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    TempDir dir_;
    ScopedEnv home_{"HOME", dir_.path()};
};

// host ("127.0.0.1", another loopback address) and port as a socket
// address; throws std::runtime_error when host is not an IPv4 address.
sockaddr_in ipv4Address(const std::string& host, int port);

// A TCP port on `host` that was free a moment ago (the kernel's choice),
// never the administration port, which stand-in targets hold on theirs. A
// port for a stand-in's address is asked for on that address: one free on
// 127.0.0.1 may be taken on 127.0.0.N, by the stand-in itself.
int freeLoopbackPort(const std::string& host = "127.0.0.1");

// Runs `command` through /bin/sh; returns its exit status (-1 when it could
// not be run or was killed). Standard output is stored in `output` if given.
int runShell(const std::string& command, std::string* output = nullptr);

// Asks `done` every `stepMs` until it says yes (true) or `ms` have passed
// (false); it is asked once more at the end.
bool waitUntil(const std::function<bool()>& done, int ms, int stepMs = 20);

// True when `program` can be found on PATH.
bool haveProgram(const std::string& program);

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
// The lines of `text`, each without its end.
std::vector<std::string> linesOf(const std::string& text);

// How often `needle` occurs in `text` (overlapping ones too).
inline unsigned occurrences(const std::string& text, const std::string& needle)
{
    unsigned count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++count;
    return count;
}

} // namespace tavir::test
