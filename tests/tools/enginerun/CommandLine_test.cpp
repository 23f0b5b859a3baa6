// How zorp-engine-run reads its command line: each form of SOURCE (over TLS
// with imaps://, its port then 993 by the engine's rule), the certificate a
// run may pin, in the forms a user may copy it in, and the one sentence on
// each mistake. The program's other mistakes are rows of the engine's
// RunsInProcesses_itest, which runs it.
#include "CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tavir::enginerun::CommandLine;

namespace {

TEST(CommandLine, ReadsEachFormOfTheSourceAndTheCertificateItMayPin)
{
    // The SHA-256 digest of nothing, as OpenSSH and `openssl dgst -sha256
    // -binary | base64` write it.
    const std::string digest = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU";
    const std::string fingerprint = "SHA256:" + digest;
    const std::string trust = "--trust-source-certificate";
    const std::string tls = "imaps://mail.example.com";
    // Each mistake's sentence up to the argument it quotes.
    const std::string notASource
        = "SOURCE is host[:port], imap://host[:port] or imaps://host[:port], not \"";
    const std::string notAFingerprint = trust
        + " takes a fingerprint as this program prints it, SHA256: and 43 characters, not \"";
    const std::string oneShort = fingerprint.substr(0, fingerprint.size() - 1);
    // Its last character holds bits beyond the digest's 256.
    const std::string noDigest = "SHA256:" + std::string(42, 'A') + "B";
    struct Row {
        const char* name;
        std::vector<std::string> arguments; // before TARGET ACCOUNTS LOGS
        std::string mistake; // when not empty: the mistake said
        std::string source = "";
        bool ssl = false;
        std::string trusted = "";
    } rows[] = {
        {"a host", {"mail.example.com"}, "", "mail.example.com"},
        {"a host and port", {"mail.example.com:1143"}, "", "mail.example.com:1143"},
        {"imap://", {"imap://mail.example.com:1143"}, "", "mail.example.com:1143"},
        {"imaps:// without a port", {tls}, "", "mail.example.com", true},
        {"IMAPS:// with a port", {"IMAPS://mail.example.com:10993"}, "", "mail.example.com:10993",
            true},
        {"the fingerprint as printed", {trust, fingerprint, tls}, "", "mail.example.com", true,
            fingerprint},
        {"the fingerprint padded, its prefix in lower case, after =",
            {trust + "=sha256:" + digest + "=", tls}, "", "mail.example.com", true, fingerprint},
        {"another scheme", {"pop3://mail.example.com"}, notASource + "pop3://mail.example.com\""},
        {"imaps:// and no host", {"imaps://"}, notASource + "imaps://\""},
        {"a fingerprint in hexadecimal", {trust, "AB:CD:EF", tls}, notAFingerprint + "AB:CD:EF\""},
        {"a fingerprint a character short", {trust, oneShort, tls},
            notAFingerprint + oneShort + "\""},
        {"a fingerprint no digest has", {trust, noDigest, tls}, notAFingerprint + noDigest + "\""},
        {"a fingerprint for a source without TLS", {trust, fingerprint, "mail.example.com"},
            trust
                + " is for a source reached over TLS (imaps://host[:port]), not "
                  "\"mail.example.com\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> arguments = row.arguments;
        arguments.insert(arguments.end(), {"corvane.example.com", "accounts.txt", "logs"});
        std::vector<const char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(argument.c_str());
        CommandLine line;
        std::string mistake;
        const bool read = tavir::enginerun::readCommandLine(
            static_cast<int>(argv.size()), argv.data(), line, mistake);
        EXPECT_EQ(row.mistake.empty(), read);
        EXPECT_EQ(row.mistake, mistake);
        if (!read)
            continue;
        EXPECT_EQ(row.source, line.source);
        EXPECT_EQ(row.ssl, line.sourceSsl);
        EXPECT_EQ(row.trusted, line.trustSourceCertificate);
        EXPECT_EQ("corvane.example.com", line.target);
    }
}

} // namespace
