#pragma once
// zorp-engine-run's command line: its options and four operands, read into
// one value, or the one sentence that says what is wrong with it. SOURCE is
// host[:port], imap://host[:port] or, over TLS, imaps://host[:port].
#include <optional>
#include <string>

namespace tavir::enginerun {

struct CommandLine {
    bool help = false; // --help or -h: the usage, and nothing else
    std::string admin = "admin";
    std::optional<std::string> home; // --home
    std::optional<unsigned> endWithinSeconds; // --end-within
    // --trust-source-certificate: the fingerprint of the one source
    // certificate the run may pin (ssl::readSha256Fingerprint's form).
    std::string trustSourceCertificate;
    std::string source; // host[:port], without its imap:// or imaps://
    bool sourceSsl = false; // given as imaps://
    std::string target;
    std::string accounts;
    std::string logs;
};

// The usage: every option, operand and exit status.
extern const char* const usageText;

// What to do about a source certificate the run could neither trust nor
// pin (`fingerprint`, "SHA256:..."): one sentence, without a full stop.
std::string howToTrustSource(const std::string& fingerprint);

// The arguments after the program's name. False with `mistake` saying in
// one sentence what is wrong ("there is no option --hme"), without the
// program's name and without a full stop.
bool readCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& mistake);

} // namespace tavir::enginerun
