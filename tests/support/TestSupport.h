#pragma once
// Small helpers shared by the tests: temporary folders, free loopback ports
// and running a shell command. Nothing here depends on the code under test.
#include <string>

namespace tavir::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's choice).
int freeLoopbackPort();

// Runs `command` through /bin/sh; returns its exit status (-1 when it could
// not be run or was killed). Standard output is stored in `output` if given.
int runShell(const std::string& command, std::string* output = nullptr);

// True when `program` can be found on PATH.
bool haveProgram(const std::string& program);

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

} // namespace tavir::test
