#pragma once
// zorp-engine-run's command line: its options and four operands, read into
// one value, or the one sentence that says what is wrong with it.
#include <optional>
#include <string>

namespace tavir::enginerun {

struct CommandLine {
    bool help = false; // --help or -h: the usage, and nothing else
    std::string admin = "admin";
    std::optional<std::string> home; // --home
    std::optional<unsigned> endWithinSeconds; // --end-within
    std::string source;
    std::string target;
    std::string accounts;
    std::string logs;
};

// The usage: every option, operand and exit status.
extern const char* const usageText;

// The arguments after the program's name. False with `mistake` saying in
// one sentence what is wrong ("there is no option --hme"), without the
// program's name and without a full stop.
bool readCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& mistake);

} // namespace tavir::enginerun
