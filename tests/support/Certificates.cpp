#include "support/Certificates.h"

#include <openssl/ssl.h>

#include <cctype>
#include <functional>
#include <stdexcept>

namespace tavir::test {

namespace {

void run(const std::string& command, std::string* output = nullptr)
{
    if (runShell(command + " 2>/dev/null", output) != 0)
        throw std::runtime_error("openssl failed: " + command);
}

// EC keys: as good for the tests as RSA, and made at once.
const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

std::string quoted(const std::string& path)
{
    return "'" + path + "'";
}

// What `openssl x509 -fingerprint` prints after its '=', in lower case:
// hexadecimal pairs joined by ':'.
std::string opensslFingerprint(const std::string& certificateFile, const std::string& digest)
{
    std::string text, fingerprint;
    run("openssl x509 -noout -fingerprint -" + digest + " -in " + quoted(certificateFile), &text);
    for (char c : text.substr(text.find('=') + 1))
        if (std::isxdigit(static_cast<unsigned char>(c)) || c == ':')
            fingerprint += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return fingerprint;
}

} // namespace

std::string sha1Fingerprint(const std::string& certificateFile)
{
    return opensslFingerprint(certificateFile, "sha1");
}

std::string sha256Fingerprint(const std::string& certificateFile)
{
    // The digest's bytes, as octal escapes for the shell's printf, written
    // in base64 by openssl.
    const std::string hex = opensslFingerprint(certificateFile, "sha256");
    std::string escaped;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 3) {
        const unsigned byte = static_cast<unsigned>(std::stoul(hex.substr(at, 2), nullptr, 16));
        escaped += "\\" + std::to_string(byte / 64) + std::to_string(byte / 8 % 8)
            + std::to_string(byte % 8);
    }
    std::string base64;
    run("printf '" + escaped + "' | openssl base64 -A", &base64);
    while (!base64.empty()
        && (base64.back() == '=' || std::isspace(static_cast<unsigned char>(base64.back()))))
        base64.pop_back();
    return "SHA256:" + base64;
}

TestAuthority::TestAuthority(const TempDir& dir, const std::string& name)
    : dir_(dir)
    , name_(name)
    , certificateFile_(dir.file(name + "-ca.pem"))
    , keyFile_(dir.file(name + "-ca.key"))
{
    run("openssl req -x509" + newKey + " -days 2 -subj '/CN=" + name + " test authority'"
        + " -addext basicConstraints=critical,CA:TRUE"
        + " -addext keyUsage=critical,keyCertSign,cRLSign -keyout " + quoted(keyFile_) + " -out "
        + quoted(certificateFile_));
}

IssuedCertificate TestAuthority::issue(const std::string& host) const
{
    const std::string stem = dir_.file(name_ + "-" + host);
    IssuedCertificate issued{stem + ".pem", stem + ".key", ""};
    writeFile(stem + ".ext",
        "subjectAltName=DNS:" + host
            + "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    run("openssl req" + newKey + " -subj '/CN=" + host + "' -keyout " + quoted(issued.keyFile)
        + " -out " + quoted(stem + ".csr"));
    run("openssl x509 -req -days 2 -in " + quoted(stem + ".csr") + " -CA "
        + quoted(certificateFile_) + " -CAkey " + quoted(keyFile_) + " -set_serial "
        + std::to_string(std::hash<std::string>()(stem) & 0x7fffffff) + " -extfile "
        + quoted(stem + ".ext") + " -out " + quoted(issued.certificateFile));
    issued.fingerprint = sha1Fingerprint(issued.certificateFile);
    return issued;
}

IssuedCertificate selfSigned(const TempDir& dir, const std::string& host)
{
    const std::string stem = dir.file(host);
    IssuedCertificate made{stem + ".pem", stem + ".key", ""};
    run("openssl req -x509" + newKey + " -days 2 -subj '/CN=" + host + "' -keyout "
        + quoted(made.keyFile) + " -out " + quoted(made.certificateFile));
    made.fingerprint = sha1Fingerprint(made.certificateFile);
    return made;
}

ServerTlsContext::ServerTlsContext(const IssuedCertificate& certificate)
    : context_(SSL_CTX_new(TLS_server_method()))
{
    if (!context_
        || SSL_CTX_use_certificate_file(
               context_, certificate.certificateFile.c_str(), SSL_FILETYPE_PEM)
            != 1
        || SSL_CTX_use_PrivateKey_file(context_, certificate.keyFile.c_str(), SSL_FILETYPE_PEM)
            != 1) {
        SSL_CTX_free(context_);
        throw std::runtime_error("no TLS server context for " + certificate.certificateFile);
    }
}

ServerTlsContext::~ServerTlsContext()
{
    SSL_CTX_free(context_);
}

} // namespace tavir::test
