// Reading zorp-engine-run's command line.
#include "CommandLine.h"

#include "ssl/FirstUse.h"
#include "utils/StringUtils.h"

#include <cstddef>
#include <iterator>
#include <vector>

namespace tavir::enginerun {

const char* const usageText
    = "usage: zorp-engine-run [--home DIR] [--admin USER] [--end-within SECONDS]\n"
      "                       [--trust-source-certificate SHA256:...]\n"
      "                       SOURCE TARGET ACCOUNTS LOGS\n"
      "  SOURCE       the source server: host[:port] or imap://host[:port] (143 when\n"
      "               left out), or imaps://host[:port] over TLS (993 when left out)\n"
      "  TARGET       the target, host[:port]: the port its IMAP service is bound to for\n"
      "               the run (143 when left out); its administration service is on 44337\n"
      "  ACCOUNTS     the accounts file; every account's login is tested on the source\n"
      "               before its account is made on the target, and only the accepted\n"
      "               ones are migrated\n"
      "  LOGS         an existing folder, which gets report.txt and debug.log (added to\n"
      "               the end of those a run before left there)\n"
      "  --admin      the target's administrator (admin)\n"
      "  --home       the folder that keeps the pinned certificates and the target's\n"
      "               journal under .tavir/admin ($HOME)\n"
      "  --end-within seconds from SIGTERM, SIGINT or SIGHUP to the run's end (35)\n"
      "  --trust-source-certificate\n"
      "               the fingerprint of the source's certificate to pin in the known\n"
      "               hosts when no authority this system trusts vouches for it and\n"
      "               none is pinned for it; without it such a certificate ends the run\n"
      "               before any login, naming its fingerprint\n"
      "  --help, -h   this text\n"
      "The administrator's password is taken from ZORP_ADMIN_PASSWORD.\n"
      "Exit status: 0 every account finished without a failure, 1 the run ended with\n"
      "failures or a login the source refused, 3 the migration did not start, 4\n"
      "anything else, 128 + N ended by signal N.\n";

std::string howToTrustSource(const std::string& fingerprint)
{
    return "if " + fingerprint + " is the fingerprint of the source server's certificate, run "
        + "again with --trust-source-certificate " + fingerprint + " to pin it";
}

namespace {

// The longest --end-within: beyond it a stop would outlast any service
// manager's patience.
constexpr unsigned longestEndWithin = 3600;

const char* const operandNames[] = {"SOURCE", "TARGET", "ACCOUNTS", "LOGS"};
constexpr std::size_t operandCount = std::size(operandNames);

bool readSeconds(const std::string& text, unsigned& seconds)
{
    if (text.empty() || text.size() > 4
        || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    seconds = static_cast<unsigned>(std::stoul(text));
    return seconds <= longestEndWithin;
}

// One option and its value, into `line`; false with the mistake.
bool takeOption(
    const std::string& name, const std::string& value, CommandLine& line, std::string& mistake)
{
    if (name == "--end-within") {
        unsigned seconds = 0;
        if (!readSeconds(value, seconds)) {
            mistake = "--end-within takes whole seconds from 0 to "
                + std::to_string(longestEndWithin) + ", not \"" + value + "\"";
            return false;
        }
        line.endWithinSeconds = seconds;
    } else if (value.empty()) {
        mistake = name + " needs a value that is not empty";
        return false;
    } else if (name == "--home") {
        line.home = value;
    } else if (name == "--trust-source-certificate") {
        line.trustSourceCertificate = tavir::ssl::readSha256Fingerprint(value);
        if (line.trustSourceCertificate.empty()) {
            mistake = "--trust-source-certificate takes a fingerprint as this program prints it, "
                      "SHA256: and 43 characters, not \""
                + value + "\"";
            return false;
        }
    } else {
        line.admin = value;
    }
    return true;
}

// SOURCE into `line`: its host[:port], and whether it is reached over TLS.
bool takeSource(const std::string& source, CommandLine& line, std::string& mistake)
{
    line.source = source;
    const std::size_t scheme = source.find("://");
    if (scheme != std::string::npos) {
        const std::string name = tavir::utils::lower(source.substr(0, scheme));
        line.source = source.substr(scheme + 3);
        line.sourceSsl = name == "imaps";
        if (line.source.empty() || (name != "imap" && name != "imaps")) {
            mistake = "SOURCE is host[:port], imap://host[:port] or imaps://host[:port], not \""
                + source + "\"";
            return false;
        }
    }
    if (!line.trustSourceCertificate.empty() && !line.sourceSsl) {
        mistake = "--trust-source-certificate is for a source reached over TLS "
                  "(imaps://host[:port]), not \""
            + source + "\"";
        return false;
    }
    return true;
}

bool takeOperands(const std::vector<std::string>& operands, CommandLine& line, std::string& mistake)
{
    if (operands.size() < operandCount) {
        mistake = std::string(operandNames[operands.size()])
            + " is missing: " + "SOURCE, TARGET, ACCOUNTS and LOGS are needed, in this order";
        return false;
    }
    if (operands.size() > operandCount) {
        const std::size_t extra = operands.size() - operandCount;
        mistake = (extra == 1 ? std::string("one operand") : std::to_string(extra) + " operands")
            + " too many, from \"" + operands[operandCount]
            + "\" on: SOURCE, TARGET, ACCOUNTS and LOGS are needed";
        return false;
    }
    line.target = operands[1];
    line.accounts = operands[2];
    line.logs = operands[3];
    return takeSource(operands[0], line, mistake);
}

} // namespace

bool readCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& mistake)
{
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            operands.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            line.help = true;
            return true;
        }
        // "--admin USER" or "--admin=USER".
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name == "--help" || name == "-h") {
            mistake = name + " takes no value";
            return false;
        }
        if (name != "--home" && name != "--admin" && name != "--end-within"
            && name != "--trust-source-certificate") {
            mistake = "there is no option " + name;
            return false;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            mistake = name + " needs a value after it";
            return false;
        }
        if (!takeOption(name, value, line, mistake))
            return false;
    }
    return takeOperands(operands, line, mistake);
}

} // namespace tavir::enginerun
