#include "utils/Url.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace tavir::utils {

namespace {

bool allDigits(const std::string& text)
{
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The port of a service name; getservbyname_r because several workers may
// build addresses at the same time.
bool lookUpService(const std::string& name, int& port)
{
    servent entry;
    servent* found = nullptr;
    char buffer[4096];
    if (getservbyname_r(name.c_str(), nullptr, &entry, buffer, sizeof buffer, &found) != 0
        || !found)
        return false;
    port = ntohs(static_cast<uint16_t>(found->s_port));
    return true;
}

} // namespace

Url::Url() = default;

Url::Url(const std::string& text)
    : url_(text)
    , parsed_(false)
    , changed_(false)
    , pathParsed_(false)
    , pathChanged_(false)
{
}

Url::Url(const Url& other)
{
    other.refresh();
    other.refreshPath();
    protocol_ = other.protocol_;
    user_ = other.user_;
    password_ = other.password_;
    host_ = other.host_;
    port_ = other.port_;
    path_ = other.path_;
    url_ = other.url_;
    query_ = other.query_;
    ref_ = other.ref_;
    filename_ = other.filename_;
    dir_ = other.dir_;
    portNumber_ = other.portNumber_;
}

Url& Url::operator=(const Url& other)
{
    if (this != &other) {
        Url copy(other);
        protocol_.swap(copy.protocol_);
        user_.swap(copy.user_);
        password_.swap(copy.password_);
        host_.swap(copy.host_);
        port_.swap(copy.port_);
        path_.swap(copy.path_);
        url_.swap(copy.url_);
        query_.swap(copy.query_);
        ref_.swap(copy.ref_);
        filename_.swap(copy.filename_);
        dir_.swap(copy.dir_);
        portNumber_ = copy.portNumber_;
        address_ = Inet4Address();
        resolved_ = false;
        parsed_ = true;
        pathParsed_ = true;
        changed_ = false;
        pathChanged_ = false;
    }
    return *this;
}

void Url::refresh() const
{
    parse();
    updateConst();
}

void Url::refreshPath() const
{
    parse_path();
    if (pathChanged_)
        updatePathConst();
}

const std::string& Url::getProtocol() const
{
    parse();
    return protocol_;
}
const std::string& Url::getUser() const
{
    parse();
    return user_;
}
const std::string& Url::getPassword() const
{
    parse();
    return password_;
}
const std::string& Url::getHost() const
{
    parse();
    return host_;
}
const std::string& Url::getPortString() const
{
    parse();
    return port_;
}
int Url::getPort() const
{
    parse();
    return portNumber_;
}
const std::string& Url::getPath() const
{
    parse();
    if (pathChanged_)
        updatePathConst();
    return path_;
}
const std::string& Url::getUrl() const
{
    updateConst();
    return url_;
}
const std::string& Url::getDir() const
{
    parse_path();
    return dir_;
}
const std::string& Url::getFilename() const
{
    parse_path();
    return filename_;
}
const std::string& Url::getQuery() const
{
    parse_path();
    return query_;
}
const std::string& Url::getRef() const
{
    parse_path();
    return ref_;
}

bool Url::parse() const
{
    if (parsed_)
        return true;
    const std::string& s = url_;
    size_t authority = 0;
    size_t scheme = s.find("://");
    if (scheme != std::string::npos) {
        protocol_ = s.substr(0, scheme);
        authority = scheme + 3;
    }
    size_t pathStart = s.find_first_of("/?#", authority);
    if (pathStart == std::string::npos)
        pathStart = s.size();

    size_t hostStart = authority;
    // The last '@' of the authority ends the user information, so that a
    // password may itself hold an '@'.
    size_t at = std::string::npos;
    if (pathStart > authority) {
        size_t found = s.rfind('@', pathStart - 1);
        if (found != std::string::npos && found >= authority)
            at = found;
    }
    if (at != std::string::npos) {
        size_t colon = s.find(':', authority);
        if (colon != std::string::npos && colon < at) {
            user_ = s.substr(authority, colon - authority);
            password_ = s.substr(colon + 1, at - colon - 1);
        } else {
            user_ = s.substr(authority, at - authority);
        }
        hostStart = at + 1;
    }
    path_ = s.substr(pathStart);

    size_t hostEnd = pathStart;
    size_t colon = s.find(':', hostStart);
    if (colon != std::string::npos && colon < pathStart) {
        port_ = s.substr(colon + 1, pathStart - colon - 1);
        hostEnd = colon;
    }
    if (hostEnd > hostStart)
        host_ = s.substr(hostStart, hostEnd - hostStart);
    parsed_ = true;
    if (!port_.empty())
        return assignPortNumber(port_);
    return true;
}

bool Url::parse_path() const
{
    parse();
    if (pathParsed_)
        return true;
    const std::string& p = path_;
    size_t hash = p.rfind('#');
    if (hash != std::string::npos)
        ref_ = p.substr(hash + 1);
    size_t end = hash == std::string::npos ? p.size() : hash;
    size_t question = p.find('?');
    if (question != std::string::npos && question < end) {
        query_ = p.substr(question + 1, end - question - 1);
        end = question;
    }
    if (end > 0) {
        size_t slash = p.rfind('/', end - 1);
        if (slash != std::string::npos) {
            filename_ = p.substr(slash + 1, end - slash - 1);
            dir_ = p.substr(0, slash + 1);
        }
    }
    pathParsed_ = true;
    return true;
}

void Url::updateConst() const
{
    if (!changed_)
        return;
    changed_ = false;
    if (pathChanged_)
        updatePathConst();
    std::string text;
    if (!protocol_.empty())
        text += protocol_ + "://";
    if (!user_.empty()) {
        text += user_;
        if (!password_.empty())
            text += ":" + password_;
        text += "@";
    }
    text += host_;
    if (!port_.empty())
        text += ":" + port_;
    text += path_;
    url_ = text;
}

void Url::updatePathConst() const
{
    if (!pathChanged_)
        return;
    std::string p = dir_ + filename_;
    if (!query_.empty())
        p += "?" + query_;
    if (!ref_.empty())
        p += "#" + ref_;
    path_ = p;
    pathChanged_ = false;
    if (changed_)
        updateConst();
}

void Url::update()
{
    updateConst();
}

void Url::update_path()
{
    updatePathConst();
}

void Url::erase(Parts from, Parts to)
{
    if (!(0 <= from && from < to && to <= END))
        return;
    parse_path();
    changed_ = true;
    if (to >= FILENAME)
        pathChanged_ = true;
    std::string* parts[]
        = {&protocol_, &user_, &password_, &host_, &port_, &dir_, &filename_, &query_, &ref_};
    for (int i = from; i < to; ++i)
        parts[i]->clear();
}

void Url::setPort(int port)
{
    parse();
    changed_ = true;
    assignPortNumber(std::to_string(port));
}

bool Url::assignPortNumber(const std::string& text) const
{
    port_ = text;
    if (text.empty()) {
        portNumber_ = 0;
        return true;
    }
    if (allDigits(text)) {
        // Read without overflow: anything above 65535 is no port at all
        // (the socket address would otherwise wrap to another port).
        unsigned long value = 0;
        for (char c : text) {
            value = value * 10 + unsigned(c - '0');
            if (value > 65535)
                break;
        }
        if (value <= 65535) {
            portNumber_ = int(value);
            return true;
        }
    } else {
        int port = 0;
        if (lookUpService(text, port)) {
            portNumber_ = port;
            return true;
        }
    }
    portNumber_ = 0;
    port_.clear();
    return false;
}

bool Url::portIsNumber() const
{
    parse();
    return allDigits(port_);
}

bool Url::hostIsIp() const
{
    return Inet4Address::hostIsIp(getHost());
}

bool Url::resolve(bool throwOnError)
{
    if (changed_) {
        updateConst();
        resolved_ = false;
    }
    if (!parse()) {
        reset();
        return false;
    }
    if (resolved_)
        return true;
    if (host_.empty()) {
        address_ = Inet4Address();
        resolved_ = true;
        return true;
    }
    try {
        address_ = Inet4Address::getByName(host_);
        resolved_ = true;
        return true;
    } catch (const CantResolveException&) {
        if (throwOnError)
            throw;
        reset();
        return false;
    }
}

bool Url::isResolved() const
{
    return resolved_ && !changed_;
}

void Url::reset()
{
    protocol_.clear();
    user_.clear();
    password_.clear();
    host_.clear();
    port_.clear();
    path_.clear();
    url_.clear();
    query_.clear();
    ref_.clear();
    filename_.clear();
    dir_.clear();
    portNumber_ = 0;
    address_ = Inet4Address();
    resolved_ = false;
    parsed_ = true;
    pathParsed_ = true;
    changed_ = false;
    pathChanged_ = false;
}

bool Url::getUrl(char* buffer, int length) const
{
    if (!buffer || length < 1)
        return false;
    const std::string& text = getUrl();
    size_t room = size_t(length) - 1;
    size_t n = text.size() < room ? text.size() : room;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n == text.size();
}

bool Url::operator==(const Url& other) const
{
    return getUrl() == other.getUrl();
}

bool Url::operator==(const std::string& other) const
{
    return getUrl() == other;
}

bool Url::containsUrlValidCharacters() const
{
    for (unsigned char c : url_)
        if (c < 0x80 && (c < 0x20 || c == 0x7F))
            return false;
    return true;
}

bool Url::isValid() const
{
    getPath();
    if (path_.empty() && host_.empty())
        return false;
    return containsUrlValidCharacters();
}

bool Url::isValidWeb() const
{
    getPath();
    if (path_.empty() || host_.empty() || protocol_.empty())
        return false;
    if (protocol_ != "http" && protocol_ != "ftp" && protocol_ != "https")
        return false;
    return containsUrlValidCharacters();
}

bool Url::isLocal() const
{
    parse();
    return host_.empty() && (protocol_.empty() || protocol_ == "file");
}

void Url::dump() const
{
    refreshPath();
    std::printf("-----------------------\n");
    std::printf("Protocol = '%s'\n", protocol_.c_str());
    std::printf("User     = '%s'\n", user_.c_str());
    std::printf("Password = '%s'\n", password_.c_str());
    std::printf("Host     = '%s'\n", host_.c_str());
    std::printf("Port     = '%s'\n", port_.c_str());
    std::printf("Path     = '%s'\n", path_.c_str());
    std::printf("Dir      = '%s'\n", dir_.c_str());
    std::printf("Filename = '%s'\n", filename_.c_str());
    std::printf("Query    = '%s'\n", query_.c_str());
    std::printf("Ref      = '%s'\n", ref_.c_str());
}

std::ostream& operator<<(std::ostream& out, const Url& url)
{
    return out << url.getUrl();
}

} // namespace tavir::utils
