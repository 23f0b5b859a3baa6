// What loading an accounts file costs: IMigrator::loadUsers (reading the
// file, handing every password to the logs' mask, building the account
// list) for 100,000 accounts with short passwords, 10,000 with passwords of
// 480 characters, and 10,000 with passwords of 480 characters made of '"'
// and '\' (each doubled in a server's quoted echo). Each load runs in a
// child process of its own, and so does the load of the file's first line
// alone, the baseline: the line gives the load's wall time, the child's peak
// resident memory, and how far that is above the baseline's (what the list
// costs, not the program and the libraries it loads). Goal: 100,000 accounts
// in under 1 s and within 100 MB more than one line.
//
//   accounts_bench [--accounts N]
#include "Imap/engine/Migrator.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

using namespace tavir::migration;

namespace {

struct Shape {
    const char* name;
    unsigned accounts;
    std::string (*password)(std::mt19937& random);
};

std::string shortPassword(std::mt19937& random)
{
    static const char letters[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789-_!";
    std::string text;
    for (int i = 0; i < 12; ++i)
        text += letters[random() % (sizeof letters - 1)];
    return text;
}

std::string longPassword(std::mt19937& random)
{
    std::string text;
    while (text.size() < 480)
        text += shortPassword(random);
    return text.substr(0, 480);
}

// Unquoted in the file: a field that does not open with '"' is taken as
// written, quotes and backslashes included.
std::string quotesAndBackslashes(std::mt19937& random)
{
    std::string text;
    while (text.size() < 480)
        text += random() % 2 ? "\\\"" : "\\\\";
    return text;
}

std::string accountsText(const Shape& shape)
{
    std::mt19937 random(7);
    std::string text;
    for (unsigned i = 0; i < shape.accounts; ++i)
        text += "user" + std::to_string(i) + "@bench" + std::to_string(i % 97) + ".example.com;"
            + shape.password(random) + "\n";
    return text;
}

struct Load {
    double seconds = 0;
    double peakMb = 0;
};

// Loads `path` in a child process of its own; false when the load failed.
bool measureLoad(const std::string& path, Load& load)
{
    int code = -1;
    rusage usage{};
    const std::string seconds = tavir::test::childOutput(
        [&](int out) {
            Migrator migrator;
            const auto start = std::chrono::steady_clock::now();
            if (!migrator.loadUsers(std::wstring(path.begin(), path.end())))
                return 1;
            const double spent
                = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            return tavir::utils::writeAll(out, std::to_string(spent)) ? 0 : 1;
        },
        &code, &usage);
    load.seconds = std::atof(seconds.c_str());
    load.peakMb = usage.ru_maxrss / 1024.0;
    return code == 0;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned many = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--accounts") == 0) {
            many = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: %s [--accounts N]\n", argv[0]);
            return 2;
        }
    }
    const Shape shapes[] = {
        {"12-character passwords", many, shortPassword},
        {"480-character passwords", many / 10, longPassword},
        {"480 characters of '\"' and '\\'", many / 10, quotesAndBackslashes},
    };
    tavir::test::TempDir dir;
    bool goal = true;
    for (const Shape& shape : shapes) {
        const std::string text = accountsText(shape);
        const std::string path = dir.file("accounts.txt");
        const std::string oneLine = dir.file("one-line.txt");
        tavir::test::writeFile(path, text);
        tavir::test::writeFile(oneLine, text.substr(0, text.find('\n') + 1));
        Load baseline;
        Load load;
        if (!measureLoad(oneLine, baseline) || !measureLoad(path, load)) {
            std::fprintf(stderr, "%s: the load failed\n", shape.name);
            return 2;
        }
        const double overMb = load.peakMb - baseline.peakMb;
        std::printf("%7u accounts, %-32s load %.2f s, peak %.0f MB, %.0f MB over one line\n",
            shape.accounts, shape.name, load.seconds, load.peakMb, overMb);
        if (&shape == &shapes[0])
            goal = load.seconds < 1.0 && overMb < 100;
    }
    return goal ? 0 : 1;
}
